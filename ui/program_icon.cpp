#include "ui/program_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace velmorix::ui {

void PaintProgramIcon(QPainter& painter) {
  painter.setRenderHint(QPainter::Antialiasing);

  // The server: a dark blue rack with two drive slots, at the top right.
  QLinearGradient rackShade(40, 4, 60, 30);
  rackShade.setColorAt(0, QColor(0x3a, 0x5f, 0xa8));
  rackShade.setColorAt(1, QColor(0x1d, 0x33, 0x6b));
  painter.setPen(QPen(QColor(0x12, 0x22, 0x4a), 1.5));
  painter.setBrush(rackShade);
  painter.drawRoundedRect(QRectF(36, 3, 25, 27), 3, 3);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xd8, 0xe4, 0xf8));
  painter.drawRect(QRectF(40, 8, 17, 4));
  painter.drawRect(QRectF(40, 16, 17, 4));
  painter.setBrush(QColor(0x6c, 0xe0, 0x6c));
  painter.drawEllipse(QRectF(53, 23, 4, 4));

  // The folder: a yellow manila folder at the bottom left.
  QPainterPath back;
  back.moveTo(3, 30);
  back.lineTo(3, 26);
  back.lineTo(16, 26);
  back.lineTo(20, 30);
  back.lineTo(40, 30);
  back.lineTo(40, 60);
  back.lineTo(3, 60);
  back.closeSubpath();
  painter.setPen(QPen(QColor(0x8a, 0x64, 0x0e), 1.5));
  painter.setBrush(QColor(0xe8, 0xb4, 0x30));
  painter.drawPath(back);
  QLinearGradient front(0, 34, 0, 60);
  front.setColorAt(0, QColor(0xff, 0xe0, 0x7a));
  front.setColorAt(1, QColor(0xf2, 0xc1, 0x3c));
  painter.setBrush(front);
  painter.drawRoundedRect(QRectF(3, 34, 37, 26), 2, 2);

  // The arrow: from the folder up to the server.
  const QPolygonF arrow({QPointF(26, 46), QPointF(40, 32), QPointF(35, 31), QPointF(47, 24),
                         QPointF(46, 38), QPointF(43, 34), QPointF(30, 49)});
  painter.setPen(QPen(QColor(0x0b, 0x6b, 0x1f), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(QColor(0x2f, 0xb8, 0x47));
  painter.drawPolygon(arrow);
}

QPixmap ProgramIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.scale(size / 64.0, size / 64.0);
  PaintProgramIcon(painter);
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(ProgramIconPixmap(size));
  }
  return icon;
}

}  // namespace velmorix::ui
