#include "certdesk/text_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <system_error>

#include "certdesk/codec.h"
#include "certdesk/dialogs.h"
#include "certdesk/error.h"

namespace certdesk {
namespace {

namespace fs = std::filesystem;

// Closes a file descriptor on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now and tells whether the close succeeded (a late write error shows up here).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

[[noreturn]] void ThrowCannotOpen(const std::string& fileName) {
    throw Error(Ansi("Не могу открыть файл ") + fileName);
}

[[noreturn]] void ThrowCannotCreate(const std::string& fileName) {
    throw Error(Ansi("Не могу создать файл ") + fileName);
}

// Removes the temporary file unless it has been renamed into place.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<fs::path>& LogPathSlot() {
    static std::optional<fs::path> path;
    return path;
}

unsigned char LowerAnsi(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF))
        return static_cast<unsigned char>(c + 0x20);
    // The capitals of the upper half whose small letters are not 0x20 away or are elsewhere.
    switch (c) {
        case 0x80:
            return 0x90;
        case 0x81:
            return 0x83;
        case 0x8A:
            return 0x9A;
        case 0x8C:
            return 0x9C;
        case 0x8D:
            return 0x9D;
        case 0x8E:
            return 0x9E;
        case 0x8F:
            return 0x9F;
        case 0xA1:
            return 0xA2;
        case 0xA3:
            return 0xBC;
        case 0xA5:
            return 0xB4;
        case 0xA8:
            return 0xB8;
        case 0xAA:
            return 0xBA;
        case 0xAF:
            return 0xBF;
        case 0xB2:
            return 0xB3;
        case 0xBD:
            return 0xBE;
        default:
            return c;
    }
}

std::string LowerAnsiText(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(LowerAnsi(static_cast<unsigned char>(c)));
    return out;
}

// "*" and "?" wildcards; greedy with one backtrack point, so linear in practice.
bool MatchesMask(std::string_view name, std::string_view mask) {
    std::size_t n = 0, m = 0;
    std::size_t starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

constexpr double kUnixEpochDateTime = 25569.0;         // 1970-01-01 in days since 1899-12-30
constexpr std::uint32_t kDosEpochSeconds = 315532800;  // 1980-01-01 00:00:00 UTC

}  // namespace

std::string EncodeUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (const char16_t u : text) {
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

std::u16string DecodeUtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    const auto continuation = [&](std::size_t i, unsigned& value) {
        if (i >= bytes.size())
            return false;
        value = static_cast<unsigned char>(bytes[i]);
        return (value & 0xC0) == 0x80;
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        unsigned c1 = 0, c2 = 0;
        if (lead & 0x20) {
            if (!continuation(i + 1, c1) || !continuation(i + 2, c2))
                return {};
            out += static_cast<char16_t>(((lead & 0x3F) << 12 | (c1 & 0x3F) << 6 | (c2 & 0x3F)) &
                                         0xFFFF);
            i += 3;
        } else {
            if (!continuation(i + 1, c1))
                return {};
            out += static_cast<char16_t>((lead & 0x3F) << 6 | (c1 & 0x3F));
            i += 2;
        }
    }
    return out;
}

std::string Utf8ToAnsiText(std::string_view bytes) {
    return AnsiFromUtf16(DecodeUtf8(bytes));
}

std::string PadLeft(std::string_view text, std::size_t width, char fill) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::string out;
    if (text.size() < width)
        out.assign(width - text.size(), fill);
    out += text;
    return out;
}

fs::path PathFromAnsi(std::string_view fileName) {
    return fs::path(Utf8FromAnsi(fileName));
}

std::string AnsiFromPath(const fs::path& path) {
    return AnsiFromUtf8(path.native());
}

std::string ReadFileToString(const std::string& fileName) {
    // Non-blocking open, so a named pipe picked by mistake cannot hang the program.
    FileDescriptor fd(::open(PathFromAnsi(fileName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > kMaxReadFileSize)
        ThrowCannotOpen(fileName);
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ThrowCannotOpen(fileName);
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
        // The file may grow while it is read.
        if (content.size() > kMaxReadFileSize)
            ThrowCannotOpen(fileName);
    }
    return content;
}

bool WriteFileConfirm(Dialogs& dialogs, const std::string& fileName, std::string_view content) {
    fs::path target = PathFromAnsi(fileName);
    std::error_code ec;
    const bool existed = fs::exists(fs::symlink_status(target, ec)) || fs::exists(target, ec);
    if (existed) {
        const std::string question = Ansi("Файл с именем ") + fileName + Ansi(" уже существует.") +
                                     "\r\n" + Ansi("Перезаписать?");
        if (dialogs.ShowMessageBox(question, MessageKind::Confirmation,
                                   {Button::Yes, Button::No}) != ResultCode(Button::Yes))
            return false;
    }
    // A link is written through, as opening it would: the link itself stays.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path resolved = fs::weakly_canonical(target, ec);
        if (ec)
            ThrowCannotCreate(fileName);
        target = resolved;
    }
    struct stat old {};
    const bool haveOld = ::stat(target.c_str(), &old) == 0;
    if (haveOld && !S_ISREG(old.st_mode))
        ThrowCannotCreate(fileName);

    // The new content goes to a file beside the target and replaces it only when complete.
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    std::string temp = (folder / ("." + target.filename().native() + ".XXXXXX")).native();
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.Valid())
        ThrowCannotCreate(fileName);
    TemporaryFile cleanup(temp);
    if (haveOld) {
        ::fchmod(fd.Get(), old.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd.Get(), 0666 & ~mask);
    }
    if (!WriteAll(fd.Get(), content) || ::fsync(fd.Get()) != 0 || !fd.Close())
        ThrowCannotCreate(fileName);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        ThrowCannotCreate(fileName);
    cleanup.Release();
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid())
        ::fsync(dir.Get());

    if (existed)
        LogEvent(Ansi("Файл ") + fileName + Ansi(" перезаписан"));
    return true;
}

fs::path EventLogPathFor(const fs::path& programFolder) {
    const fs::path beside = programFolder / "error.log";
    std::error_code ec;
    const bool writable = fs::exists(beside, ec) ? ::access(beside.c_str(), W_OK) == 0
                                                 : ::access(programFolder.c_str(), W_OK) == 0;
    if (writable)
        return beside;
    fs::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/')
        state = xdg;
    else if (const char* home = std::getenv("HOME"); home && home[0] != '\0')
        state = fs::path(home) / ".local" / "state";
    else
        state = fs::temp_directory_path(ec);
    return state / "CertDesk" / "error.log";
}

fs::path EventLogPath() {
    std::lock_guard lock(LogMutex());
    auto& slot = LogPathSlot();
    if (!slot) {
        std::error_code ec;
        slot = EventLogPathFor(fs::read_symlink("/proc/self/exe", ec).parent_path());
    }
    return *slot;
}

void SetEventLogPath(const fs::path& path) {
    std::lock_guard lock(LogMutex());
    LogPathSlot() = path;
}

std::string EventLine(std::string_view message, std::string_view source, int year, int month,
                      int day, int hour, int minute, int second, int millisecond) {
    // The separators of a Russian system: "." in dates, ":" in times.
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%02d %02d:%02d:%02d:%03d", day, month,
                  ((year % 100) + 100) % 100, hour, minute, second, millisecond);
    std::string line = stamp;
    line += " [EVENT] ";
    if (!source.empty()) {
        line += '[';
        line += source;
        line += "] ";
    }
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') {
            line += '\x07';
            ++i;
        } else {
            line += message[i];
        }
    }
    line += '\n';
    return line;
}

void LogEvent(std::string_view message, std::string_view source) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    if (!::localtime_r(&seconds, &local))
        return;
    const std::string line =
        EventLine(message, source, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
    const fs::path path = EventLogPath();
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.Valid())
        WriteAll(fd.Get(), line);  // one write per line, so concurrent writers do not interleave
}

std::string IncludeTrailingSlash(std::string_view path) {
    std::string out(path);
    if (out.empty() || out.back() != '/')
        out += '/';
    return out;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask,
                                   unsigned attributes) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(PathFromAnsi(IncludeTrailingSlash(folder)), ec);
    if (ec)
        return names;
    const std::string lowerMask = LowerAnsiText(mask);
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        const std::string native = it->path().filename().native();
        const std::string name = AnsiFromUtf8(native);
        if (Utf8FromAnsi(name) != native)
            continue;
        if (name.front() == '.' && !(attributes & faHidden))
            continue;
        if (!MatchesMask(LowerAnsiText(name), lowerMask))
            continue;
        // The entry's type comes from the folder listing; only links need a look at the target.
        std::error_code typeError;
        if (!it->is_regular_file(typeError) &&
            (typeError || !(attributes & faSysFile) || it->is_directory(typeError) ||
             !it->exists(typeError)))
            continue;
        names.push_back(name);
    }
    // Case-insensitive order, as the Windows file system lists names.
    std::vector<std::pair<std::u16string, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names)
        keyed.emplace_back(Utf16FromAnsi(LowerAnsiText(name)), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    names.clear();
    for (auto& entry : keyed)
        names.push_back(std::move(entry.second));
    return names;
}

double UnixToDateTime(std::uint32_t seconds) {
    seconds = std::max(seconds, kDosEpochSeconds);
    seconds -= seconds % 2;
    return kUnixEpochDateTime + static_cast<double>(seconds / 86400) +
           static_cast<double>(seconds % 86400) / 86400.0;
}

CalendarTime DecodeDateTime(double dateTime) {
    double whole = std::floor(dateTime);
    auto ms = static_cast<long long>(std::llround((dateTime - whole) * 86400000.0));
    if (ms >= 86400000) {
        whole += 1;
        ms -= 86400000;
    }
    // Civil date from a day count (H. Hinnant's algorithm), days counted from 1970-01-01.
    const long long z = static_cast<long long>(whole) - 25569 + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    CalendarTime t;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int>(ms / 3600000);
    t.minute = static_cast<int>(ms / 60000 % 60);
    t.second = static_cast<int>(ms / 1000 % 60);
    t.millisecond = static_cast<int>(ms % 1000);
    return t;
}

std::string DateText(double dateTime) {
    const CalendarTime t = DecodeDateTime(dateTime);
    char text[32];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.day, t.month, t.year);
    return text;
}

}  // namespace certdesk
