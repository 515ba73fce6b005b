// Sizes of dialogs in dialog units: a quarter of the font's average letter width across, an
// eighth of its line height down.
#pragma once

#include <QFont>
#include <QString>
#include <string>

namespace certdesk {

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c);

struct DialogUnits {
    int x = 0;  // average width of the letters A-Z, a-z
    int y = 0;  // line height

    static DialogUnits Of(const QFont& font);
    int Horizontal(int units) const { return MulDiv(units, x, 4); }
    int Vertical(int units) const { return MulDiv(units, y, 8); }
};

// The widget's text of the program's Windows-1251 text, and back.
QString ToQt(const std::string& ansi);
std::string FromQt(const QString& text);

// A caption as it is shown: "&" marks the accelerator and is not drawn, "&&" is one "&".
QString ShownCaption(const QString& caption);

}  // namespace certdesk
