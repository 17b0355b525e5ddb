#include "ui/dialog_metrics.h"

#include <algorithm>

#include <QFontMetrics>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

namespace velmorix::ui {

QFont DialogFont() {
  QFont font;
  // The first family that is installed wins; the generic name at the end
  // lets fontconfig pick a sans-serif that has Japanese glyphs.
  font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                    QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                    QStringLiteral("VL PGothic"), QStringLiteral("TakaoPGothic"),
                    QStringLiteral("sans-serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(9);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width is taken over the 52 Latin letters, rounded to the
  // nearest pixel, which is how dialog base units have always been measured.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseWidth_ = std::max(1, (letters / 26 + 1) / 2);
  baseHeight_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const {
  return (units * baseWidth_ + 2) / 4;
}

int DialogUnits::Y(int units) const {
  return (units * baseHeight_ + 4) / 8;
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  // The far edges are converted too, so that neighbouring controls that
  // touch in dialog units also touch in pixels.
  const int left = X(x);
  const int top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QSize DialogUnits::Size(int width, int height) const {
  return QSize(X(width), Y(height));
}

void Place(QWidget* widget, const DialogUnits& units, int x, int y, int width, int height) {
  widget->setGeometry(units.Rect(x, y, width, height));
}

QPushButton* AddButton(QWidget* parent, const DialogUnits& units, const char* name,
                       const char* text, int x, int y, int width, int height) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  button->setObjectName(name);
  Place(button, units, x, y, width, height);
  return button;
}

}  // namespace velmorix::ui
