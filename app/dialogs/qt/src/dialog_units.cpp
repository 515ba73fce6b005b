#include "certdesk/dialog_units.h"

#include <QFontMetrics>
#include <cstdint>
#include <cstdlib>

#include "certdesk/codec.h"

namespace certdesk {

int MulDiv(int a, int b, int c) {
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = std::llabs(c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(c);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

DialogUnits DialogUnits::Of(const QFont& font) {
    const QFontMetrics fm(font);
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return DialogUnits{fm.horizontalAdvance(letters) / 52, fm.height()};
}

QString ToQt(const std::string& ansi) {
    return QString::fromStdU16String(Utf16FromAnsi(ansi));
}

std::string FromQt(const QString& text) {
    return AnsiFromUtf16(text.toStdU16String());
}

QString ShownCaption(const QString& caption) {
    QString shown;
    shown.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&') {
            if (i + 1 < caption.size() && caption[i + 1] == u'&')
                ++i;
            else
                continue;
        }
        shown.append(caption[i]);
    }
    return shown;
}

}  // namespace certdesk
