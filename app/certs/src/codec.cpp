#include "certdesk/codec.h"

#include <array>
#include <cstdint>

namespace certdesk {
namespace {

// Windows-1251 bytes 0x80..0xBF. 0x98 has no character; it maps to U+0098 and back, as the
// platform's own conversion does, so every byte survives a round trip.
constexpr std::array<char16_t, 64> kUpperTable = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char16_t WideFromByte(unsigned char byte) {
    if (byte < 0x80)
        return byte;
    if (byte < 0xC0)
        return kUpperTable[byte - 0x80];
    return static_cast<char16_t>(0x0410 + (byte - 0xC0));
}

char ByteFromWide(char32_t unit) {
    if (unit < 0x80)
        return static_cast<char>(unit);
    if (unit >= 0x0410 && unit <= 0x044F)
        return static_cast<char>(0xC0 + (unit - 0x0410));
    for (std::size_t i = 0; i < kUpperTable.size(); ++i)
        if (kUpperTable[i] == unit)
            return static_cast<char>(0x80 + i);
    return '?';
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string Utf16FromAnsi(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi)
        out += WideFromByte(static_cast<unsigned char>(c));
    return out;
}

std::string AnsiFromUtf16(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char16_t unit = utf16[i];
        // A surrogate pair is one character the code page lacks: one "?".
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF)
            ++i;
        out += ByteFromWide(unit);
    }
    return out;
}

std::string AnsiFromUtf8(std::string_view utf8) {
    // Strict UTF-8: every character the code page lacks, and every malformed sequence, is "?".
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07;
        }
        bool valid = length != 0 && i + length <= utf8.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80)
                valid = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (valid) {
            const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
            const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
            valid = !overlong && !surrogate && cp <= 0x10FFFF;
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out += ByteFromWide(cp);
        i += length;
    }
    return out;
}

std::string Utf8FromAnsi(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() * 2);
    for (char c : ansi)
        AppendUtf8(out, WideFromByte(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace certdesk
