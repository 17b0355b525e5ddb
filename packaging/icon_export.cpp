// Draws the program icon into the files an installation puts in the hicolor
// icon theme, with the painting the window uses (ui/program_icon.h):
//
//   velmorix-icon-export OUTPUT_FOLDER SIZE...
//
// writes OUTPUT_FOLDER/hicolor/scalable/apps/velmorix.svg and, for each SIZE,
// OUTPUT_FOLDER/hicolor/SIZExSIZE/apps/velmorix.png. Run by the build; it
// never opens a window, so it needs no display.
#include <QByteArray>
#include <QDir>
#include <QGuiApplication>
#include <QList>
#include <QPixmap>
#include <QPainter>
#include <QString>
#include <QStringList>
#include <QSvgGenerator>
#include <QTextStream>

#include "ui/program_icon.h"

namespace {

constexpr int kCanvasSize = 64;
constexpr int kLargestSize = 1024;

QString IconFolder(const QString& outputFolder, const QString& sizeFolder) {
  return outputFolder + "/hicolor/" + sizeFolder + "/apps";
}

// Returns an empty text on success, otherwise what went wrong with the path.
QString WriteSvg(const QString& folder) {
  if (!QDir().mkpath(folder)) {
    return "cannot create the folder " + folder;
  }
  const QString path = folder + "/velmorix.svg";
  QSvgGenerator generator;
  generator.setFileName(path);
  generator.setSize(QSize(kCanvasSize, kCanvasSize));
  generator.setViewBox(QRect(0, 0, kCanvasSize, kCanvasSize));
  generator.setTitle("VELMORIX");
  generator.setDescription("A folder sending its contents up to a server");
  QPainter painter;
  if (!painter.begin(&generator)) {
    return "cannot write " + path;
  }
  velmorix::ui::PaintProgramIcon(painter);
  if (!painter.end()) {
    return "cannot write " + path;
  }
  return {};
}

QString WritePng(const QString& folder, int size) {
  if (!QDir().mkpath(folder)) {
    return "cannot create the folder " + folder;
  }
  const QString path = folder + "/velmorix.png";
  // The pixmap the window's own icon is made of, at this size.
  if (!velmorix::ui::ProgramIconPixmap(size).save(path, "PNG")) {
    return "cannot write " + path;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  // No window is opened, but the SVG generator takes its default font and the
  // PNGs their resolution from a QGuiApplication; the offscreen platform lets
  // the build make one without a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  QTextStream errors(stderr);

  const QStringList arguments = application.arguments();
  if (arguments.size() < 3) {
    errors << "Usage: velmorix-icon-export OUTPUT_FOLDER SIZE...\n";
    return 64;
  }
  QList<int> sizes;
  for (qsizetype i = 2; i < arguments.size(); ++i) {
    bool isNumber = false;
    const int size = arguments[i].toInt(&isNumber);
    if (!isNumber || size < 1 || size > kLargestSize) {
      errors << "velmorix-icon-export: not an icon size: " << arguments[i] << '\n';
      return 64;
    }
    sizes.append(size);
  }

  const QString outputFolder = arguments[1];
  QString failure = WriteSvg(IconFolder(outputFolder, "scalable"));
  for (qsizetype i = 0; failure.isEmpty() && i < sizes.size(); ++i) {
    const QString sizeText = QString::number(sizes[i]);
    failure = WritePng(IconFolder(outputFolder, sizeText + 'x' + sizeText), sizes[i]);
  }
  if (!failure.isEmpty()) {
    errors << "velmorix-icon-export: " << failure << '\n';
    return 1;
  }
  return 0;
}
