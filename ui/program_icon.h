// The program icon (icon resource 128): a folder sending its contents up to
// a server. Drawn with QPainter at the usual icon sizes, so no image file has
// to travel with the program.
//
// Window thread only (needs a QGuiApplication).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace velmorix::ui {

QIcon ProgramIcon();
// One size of it, square.
QPixmap ProgramIconPixmap(int size);

}  // namespace velmorix::ui
