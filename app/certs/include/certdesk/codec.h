// Windows-1251, the program's text, and its conversions to the platform's encodings.
#pragma once

#include <string>
#include <string_view>

namespace certdesk {

// UTF-16 of Windows-1251 text, and back; a character the code page lacks becomes "?".
std::u16string Utf16FromAnsi(std::string_view ansi);
std::string AnsiFromUtf16(std::u16string_view utf16);

// The same through UTF-8, for literals, files and tools.
std::string AnsiFromUtf8(std::string_view utf8);
std::string Utf8FromAnsi(std::string_view ansi);

// The program's text for a UTF-8 literal of the sources: Ansi("Ошибка").
inline std::string Ansi(std::string_view utf8Literal) {
    return AnsiFromUtf8(utf8Literal);
}

}  // namespace certdesk
