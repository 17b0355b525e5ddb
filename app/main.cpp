// velmorix, the window program. It takes no arguments of its own (Qt's
// platform options still work) and keeps its settings in the per-user key
// store under the company key and the program's file name.
#include <string>

#include <QApplication>
#include <QFile>

#include "base/process_guard.h"
#include "resources/string_table.h"
#include "settings/settings_store.h"
#include "ui/program_icon.h"
#include "ui/window_program.h"

int main(int argc, char** argv) {
  // Before the settings, and with them the passwords, are loaded.
  velmorix::ForbidCoreDumps();
  QApplication application(argc, argv);
  application.setWindowIcon(velmorix::ui::ProgramIcon());
  // Lets a Wayland desktop match the window with the installed menu entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("jp.quenzari.velmorix"));

  velmorix::SettingsStore store(
      std::string(velmorix::strings::kCompanyKey),
      velmorix::ProgramKeyFromPath(
          QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString()));
  velmorix::ui::RunWindowProgram(store);
  // The exit status carries no information.
  return 0;
}
