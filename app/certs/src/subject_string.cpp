#include "certdesk/subject_string.h"

#include "certdesk/text_utils.h"

namespace certdesk {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string DecodeEscapedRun(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\\' && i + 2 < text.size() && text[i + 1] == 'x') {
            const std::string_view digits = text.substr(i + 2, 2);
            int value = 0;
            bool hex = true;
            for (char c : digits) {
                const int d = HexDigit(c);
                hex = hex && d >= 0;
                value = value * 16 + d;
            }
            if (hex && value > 0)
                bytes += static_cast<char>(value);
            i += 2 + digits.size();
        } else {
            bytes += text[i++];
        }
    }
    return Utf8ToAnsiText(bytes);
}

}  // namespace

std::string DecodeHexEscapes(std::string_view text) {
    const std::size_t first = text.find("\\x");
    if (first == std::string_view::npos)
        return std::string(text);
    return std::string(text.substr(0, first)) + DecodeEscapedRun(text.substr(first));
}

std::string GetDNValue(std::string_view subject, std::string_view name) {
    std::string_view rest = subject;
    while (!rest.empty()) {
        const std::size_t equals = rest.find('=');
        if (equals == std::string_view::npos)
            return {};
        std::string_view key = rest.substr(0, equals);
        if (const std::size_t comma = key.rfind(','); comma != std::string_view::npos)
            key.remove_prefix(comma + 1);
        rest.remove_prefix(equals + 1);
        if (key != name)
            continue;
        std::string_view value = rest;
        if (name == "unstructuredName" || name == "1.2.840.113549.1.9.2") {
            value = rest.substr(0, rest.find(','));
        } else if (const std::size_t next = rest.find('='); next != std::string_view::npos) {
            // Up to the "," that precedes the next key; no "," at all leaves nothing.
            const std::size_t comma = rest.substr(0, next).rfind(',');
            value = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        }
        return DecodeHexEscapes(value);
    }
    return {};
}

}  // namespace certdesk
