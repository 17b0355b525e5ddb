// The program icon (icon resource 128): a folder sending its contents up to
// a server. Drawn with QPainter at the usual icon sizes, so no image file has
// to travel with the program; the build draws the installed icon files with
// the same code (packaging/icon_export.cpp).
#pragma once

#include <QIcon>
#include <QPixmap>

class QPainter;

namespace velmorix::ui {

// Paints the icon on a 64 × 64 canvas from (0, 0); scale the painter first for
// another size. The painter must be active, and is left with the icon's pen,
// brush and render hints. Needs a QGuiApplication (the offscreen platform is
// enough, as for the build's icon files); any thread may paint on an image.
void PaintProgramIcon(QPainter& painter);

// Window thread only (a QPixmap needs a QGuiApplication).
QIcon ProgramIcon();
// One size of it, square.
QPixmap ProgramIconPixmap(int size);

}  // namespace velmorix::ui
