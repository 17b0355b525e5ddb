// The windows' font, their dialog-unit geometry and their placed buttons.
//
// Every window of the program is laid out in dialog units, as its controls'
// rectangles are given: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height. The font is
// "IPAPGothic" at 9 points, whose metrics match the Japanese proportional
// Gothic the layout was made with, so the texts fit their rectangles.
//
// Window thread only (fonts and widgets).
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QPushButton;
class QWidget;

namespace velmorix::ui {

// "IPAPGothic" 9 point, falling back to the system's Japanese sans-serif
// (and, glyph by glyph, to whatever font has the character).
QFont DialogFont();

// Converts dialog units of one font into pixels, rounding as the units are
// usually rounded (to the nearest pixel).
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;   // average character width in pixels
  int baseHeight_;  // character height in pixels
};

// Gives `widget` the rectangle x, y, width, height in dialog units.
void Place(QWidget* widget, const DialogUnits& units, int x, int y, int width, int height);

// Creates a push button with the UTF-8 `text` as a child of `parent` (which
// owns it), names it `name` (the tests find controls by name) and places it.
QPushButton* AddButton(QWidget* parent, const DialogUnits& units, const char* name,
                       const char* text, int x, int y, int width, int height);

}  // namespace velmorix::ui
