// The store of one partition is the directory <root>/<partition> (0700) holding:
//   store  the state, replaced as a whole on every change (0600)
//   lock   the file whose flock serialises changes between processes (0600)
// A change takes the lock, rereads "store", writes the new state to "store.new", fsyncs it,
// renames it over "store" and fsyncs the directory, so a reader sees the old or the new state
// and never a part of one.
//
// "store" is text, one record a line, fields separated by one space, byte strings in upper-case
// hex with "-" for an empty one:
//   softtoken-store <format version>
//   next-handle <decimal>
//   slot <present 0|1>                              a slot; the lines below belong to it
//   token <initialized 0|1> <label>
//   so <iterations> <salt> <verifier> <wrapped token key>
//   user <iterations> <salt> <verifier> <wrapped token key> <wrong PINs in a row>
//   object <handle>                                  an object of the token above
//   attr <type hex> <value>                          an attribute in the clear
//   sealed <type hex> <value>                        an attribute sealed under the token key
//   checksum <CRC-32 of every byte before this line, 8 hex digits>
// A PIN's key is PBKDF2(PIN, salt, iterations); the verifier is Streebog-256 of that key and
// the token key is sealed (AES-256-GCM) under it. A later format version is refused, and so is
// a file that does not parse or whose checksum does not match; neither is ever overwritten.
#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "error.h"

namespace softtoken {

namespace {

constexpr unsigned kFormatVersion = 1;
constexpr const char* kMagic = "softtoken-store";

std::uint32_t Crc32(const std::string& text) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : text) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

std::string Hex(const Bytes& bytes) {
    if (bytes.empty()) {
        return "-";
    }
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

[[noreturn]] void Damaged(const std::string& why) {
    throw Error(CKR_DEVICE_ERROR, "the token store is damaged: " + why);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Bytes Unhex(const std::string& text) {
    if (text == "-") {
        return {};
    }
    if (text.empty() || text.size() % 2 != 0) {
        Damaged("bad byte string");
    }
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = HexDigit(text[2 * i]);
        int lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            Damaged("bad byte string");
        }
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return out;
}

unsigned long long Number(const std::string& text, int base = 10) {
    if (text.empty() || text.size() > 20) {
        Damaged("bad number");
    }
    for (char c : text) {
        if (base == 10 ? !(c >= '0' && c <= '9') : HexDigit(c) < 0) {
            Damaged("bad number");
        }
    }
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, base);
    if (errno != 0) {
        Damaged("bad number");
    }
    return value;
}

bool Flag(const std::string& text) {
    if (text != "0" && text != "1") {
        Damaged("bad flag");
    }
    return text == "1";
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space - start));
        if (space == std::string::npos) {
            return fields;
        }
        start = space + 1;
    }
}

void Expect(const std::vector<std::string>& fields, std::size_t count) {
    if (fields.size() != count) {
        Damaged("bad record \"" + fields[0] + "\"");
    }
}

std::string PinLine(const char* name, const PinRecord& pin) {
    return std::string(name) + " " + std::to_string(pin.iterations) + " " + Hex(pin.salt) + " " +
           Hex(pin.verifier) + " " + Hex(pin.wrappedKey);
}

PinRecord ReadPin(const std::vector<std::string>& f) {
    PinRecord pin;
    pin.iterations = static_cast<unsigned>(Number(f[1]));
    pin.salt = Unhex(f[2]);
    pin.verifier = Unhex(f[3]);
    pin.wrappedKey = Unhex(f[4]);
    return pin;
}

std::string TypeHex(CK_ATTRIBUTE_TYPE type) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lX", type);
    return buffer;
}

// A file descriptor closed on every path.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

[[noreturn]] void SystemFailure(const std::string& what, const std::filesystem::path& path) {
    std::string message = what + " " + path.string() + ": " + std::strerror(errno);
    throw Error(CKR_DEVICE_ERROR, message);
}

void MakeDirectories(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            SystemFailure("cannot create the token store folder", partial);
        }
    }
}

void WriteAll(int fd, const std::string& text, const std::filesystem::path& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("cannot write", path);
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

StoreData FreshStore() {
    StoreData data;
    data.slots.emplace_back();
    return data;
}

std::string Serialize(const StoreData& data) {
    std::ostringstream out;
    out << kMagic << ' ' << kFormatVersion << '\n';
    out << "next-handle " << data.nextHandle << '\n';
    for (const SlotRecord& slot : data.slots) {
        const TokenRecord& t = slot.token;
        out << "slot " << (slot.present ? 1 : 0) << '\n';
        out << "token " << (t.initialized ? 1 : 0) << ' '
            << Hex(Bytes(t.label.begin(), t.label.end())) << '\n';
        out << PinLine("so", t.so) << '\n';
        out << PinLine("user", t.user) << ' ' << t.userFailures << '\n';
        for (const ObjectRecord& object : t.objects) {
            out << "object " << object.handle << '\n';
            for (const auto& [type, value] : object.attributes) {
                out << "attr " << TypeHex(type) << ' ' << Hex(value) << '\n';
            }
            for (const auto& [type, value] : object.sealed) {
                out << "sealed " << TypeHex(type) << ' ' << Hex(value) << '\n';
            }
        }
    }
    std::string body = out.str();
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, "checksum %08X\n", Crc32(body));
    return body + checksum;
}

StoreData Parse(const std::string& text) {
    std::size_t firstEnd = text.find('\n');
    std::vector<std::string> header = Fields(text.substr(0, firstEnd));
    if (header.size() != 2 || header[0] != kMagic) {
        Damaged("not a token store");
    }
    unsigned long long version = Number(header[1]);
    if (version > kFormatVersion) {
        throw Error(CKR_TOKEN_NOT_RECOGNIZED,
                    "the token store was written by a later version (format " + header[1] + ")");
    }
    if (version != kFormatVersion) {
        Damaged("unknown format " + header[1]);
    }
    if (text.empty() || text.back() != '\n') {
        Damaged("truncated");
    }
    std::size_t lastStart = text.rfind('\n', text.size() - 2);
    lastStart = lastStart == std::string::npos ? 0 : lastStart + 1;
    std::vector<std::string> last = Fields(text.substr(lastStart, text.size() - 1 - lastStart));
    if (last.size() != 2 || last[0] != "checksum" || last[1].size() != 8 ||
        Number(last[1], 16) != Crc32(text.substr(0, lastStart))) {
        Damaged("checksum mismatch");
    }

    StoreData data;
    bool sawHandle = false;
    std::istringstream lines(text.substr(firstEnd + 1, lastStart - firstEnd - 1));
    std::string line;
    // Each slot's "token", "so" and "user" come in this order before its objects.
    int expected = 0;  // 0 slot or object, 1 token, 2 so, 3 user
    while (std::getline(lines, line)) {
        std::vector<std::string> f = Fields(line);
        const std::string& kind = f[0];
        if (kind == "next-handle" && !sawHandle && data.slots.empty()) {
            Expect(f, 2);
            data.nextHandle = Number(f[1]);
            sawHandle = true;
        } else if (kind == "slot" && expected == 0 && sawHandle) {
            Expect(f, 2);
            data.slots.emplace_back();
            data.slots.back().present = Flag(f[1]);
            expected = 1;
        } else if (kind == "token" && expected == 1) {
            Expect(f, 3);
            TokenRecord& t = data.slots.back().token;
            t.initialized = Flag(f[1]);
            Bytes label = Unhex(f[2]);
            t.label.assign(label.begin(), label.end());
            expected = 2;
        } else if (kind == "so" && expected == 2) {
            Expect(f, 5);
            data.slots.back().token.so = ReadPin(f);
            expected = 3;
        } else if (kind == "user" && expected == 3) {
            Expect(f, 6);
            TokenRecord& t = data.slots.back().token;
            t.user = ReadPin(f);
            t.userFailures = static_cast<unsigned>(Number(f[5]));
            expected = 0;
        } else if (kind == "object" && expected == 0 && !data.slots.empty()) {
            Expect(f, 2);
            ObjectRecord object;
            object.handle = Number(f[1]);
            if (object.handle == 0 || object.handle >= data.nextHandle) {
                Damaged("bad object handle");
            }
            data.slots.back().token.objects.push_back(object);
        } else if ((kind == "attr" || kind == "sealed") && expected == 0 && !data.slots.empty() &&
                   !data.slots.back().token.objects.empty()) {
            Expect(f, 3);
            ObjectRecord& object = data.slots.back().token.objects.back();
            Attributes& target = kind == "attr" ? object.attributes : object.sealed;
            if (!target.emplace(Number(f[1], 16), Unhex(f[2])).second) {
                Damaged("repeated attribute");
            }
        } else {
            Damaged("unexpected record \"" + kind + "\"");
        }
    }
    if (!sawHandle || data.slots.empty() || expected != 0) {
        Damaged("incomplete");
    }
    return data;
}

std::filesystem::path StoreDirectory(const std::string& partition) {
    if (const char* root = std::getenv("SOFTTOKEN_DIR"); root && *root) {
        return std::filesystem::path(root) / partition;
    }
    std::filesystem::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        data = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        data = std::filesystem::path(home) / ".local" / "share";
    } else {
        throw Error(CKR_DEVICE_ERROR, "neither SOFTTOKEN_DIR nor HOME is set");
    }
    return data / "softtoken" / partition;
}

FileStore::FileStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

FileStore::~FileStore() {
    Hold(-1);
}

void FileStore::Hold(int fd) {
    if (heldFd_ >= 0) {
        ::close(heldFd_);
    }
    heldFd_ = fd;
}

std::optional<FileStore::Identity> FileStore::FileIdentity() const {
    struct stat st;
    if (::stat((directory_ / "store").c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::nullopt;
        }
        SystemFailure("cannot examine", directory_ / "store");
    }
    return Identity{st.st_dev, st.st_ino};
}

void FileStore::ReadFile() {
    valid_ = false;
    std::filesystem::path path = directory_ / "store";
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            SystemFailure("cannot open", path);
        }
        data_ = FreshStore();
        loaded_.reset();
        Hold(-1);
        valid_ = true;
        return;
    }
    std::string text;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("cannot read", path);
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        SystemFailure("cannot examine", path);
    }
    try {
        data_ = Parse(text);
    } catch (const Error& e) {
        throw Error(e.rv(), path.string() + ": " + e.what());
    }
    loaded_ = Identity{st.st_dev, st.st_ino};
    Hold(fd.release());
    valid_ = true;
}

void FileStore::Reload() {
    ReadFile();
}

const StoreData& FileStore::Current() {
    if (!valid_ || FileIdentity() != loaded_) {
        ReadFile();
    }
    return data_;
}

void FileStore::Modify(const std::function<void(StoreData&)>& change) {
    MakeDirectories(directory_);
    std::filesystem::path lockPath = directory_ / "lock";
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) {
        SystemFailure("cannot open", lockPath);
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            SystemFailure("cannot lock", lockPath);
        }
    }
    ReadFile();
    StoreData next = data_;
    change(next);
    WriteFile(next);
}

void FileStore::WriteFile(const StoreData& data) {
    std::filesystem::path path = directory_ / "store";
    std::filesystem::path temporary = directory_ / "store.new";
    std::string text = Serialize(data);
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        SystemFailure("cannot create", temporary);
    }
    WriteAll(fd.get(), text, temporary);
    if (::fsync(fd.get()) != 0) {
        SystemFailure("cannot flush", temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        SystemFailure("cannot replace", path);
    }
    Fd dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
        SystemFailure("cannot flush", directory_);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        SystemFailure("cannot examine", path);
    }
    data_ = data;
    loaded_ = Identity{st.st_dev, st.st_ino};
    Hold(fd.release());
    valid_ = true;
}

}  // namespace softtoken
