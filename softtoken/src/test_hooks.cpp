#include "test_hooks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace softtoken::hooks {

namespace {

std::mutex failMutex;
std::string lastFailValue;
bool failValueSeen = false;
std::vector<FailEntry> failEntries;

bool ParseRv(const std::string& text, CK_RV& rv) {
    if (text.empty()) {
        return false;
    }
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    }
    if (digits.empty() || digits[0] == '-' || digits[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    rv = static_cast<CK_RV>(value);
    return true;
}

}  // namespace

std::vector<FailEntry> ParseFailEntries(const std::string& text) {
    std::vector<FailEntry> entries;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty()) {
            continue;
        }
        FailEntry entry;
        std::string spec = item;
        if (spec.size() > 5 && spec.compare(spec.size() - 5, 5, "/once") == 0) {
            entry.once = true;
            spec.resize(spec.size() - 5);
        }
        std::size_t equals = spec.find('=');
        std::size_t colon = spec.find(':');
        if (colon != std::string::npos && colon < equals) {
            entry.partition = spec.substr(0, colon);
            spec = spec.substr(colon + 1);
            equals = spec.find('=');
        }
        if (equals == std::string::npos || equals == 0 ||
            !ParseRv(spec.substr(equals + 1), entry.rv)) {
            std::fprintf(stderr, "softtoken: SOFTTOKEN_FAIL entry \"%s\" ignored\n", item.c_str());
            continue;
        }
        entry.function = spec.substr(0, equals);
        entries.push_back(entry);
    }
    return entries;
}

std::optional<CK_RV> InjectedFailure(const char* partition, const char* function) {
    const char* value = std::getenv("SOFTTOKEN_FAIL");
    std::lock_guard<std::mutex> lock(failMutex);
    if (value == nullptr) {
        if (failValueSeen) {
            failValueSeen = false;
            lastFailValue.clear();
            failEntries.clear();
        }
        return std::nullopt;
    }
    if (!failValueSeen || lastFailValue != value) {
        failValueSeen = true;
        lastFailValue = value;
        failEntries = ParseFailEntries(lastFailValue);
    }
    for (FailEntry& entry : failEntries) {
        if (entry.function != function ||
            (!entry.partition.empty() && entry.partition != partition)) {
            continue;
        }
        if (entry.once) {
            if (entry.spent) {
                continue;
            }
            entry.spent = true;
        }
        return entry.rv;
    }
    return std::nullopt;
}

void Journal(const char* partition, const char* function, CK_RV rv) {
    const char* path = std::getenv("SOFTTOKEN_JOURNAL");
    if (path == nullptr || *path == '\0') {
        return;
    }
    char line[160];
    int length = std::snprintf(line, sizeof line, "%s %s 0x%08lX\n", partition, function,
                               static_cast<unsigned long>(rv));
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    // One write per line, so that lines of several processes never interleave. The journal is
    // a test aid: a line that cannot be written must not change the call's result.
    if (::write(fd, line, static_cast<std::size_t>(length)) != length) {
        std::fprintf(stderr, "softtoken: cannot write to SOFTTOKEN_JOURNAL %s\n", path);
    }
    ::close(fd);
}

}  // namespace softtoken::hooks
