// The window's text boundary: widgets hold QString, the rest of the program Windows-1251.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "certdesk/codec.h"

namespace certdesk {

inline QString QStringFromAnsi(std::string_view ansi) {
    const std::u16string wide = Utf16FromAnsi(ansi);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

inline std::string AnsiFromQString(const QString& text) {
    return AnsiFromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                             static_cast<std::size_t>(text.size())));
}

// A UTF-8 literal of the sources as widget text, through the program's code page.
inline QString Text(std::string_view utf8Literal) {
    return QStringFromAnsi(Ansi(utf8Literal));
}

}  // namespace certdesk
