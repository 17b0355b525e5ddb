#include "ui/window_program.h"

#include "settings/settings_store.h"

namespace velmorix::ui {

void RunWindowProgram(SettingsStore& store, MainWindow::Paths paths) {
  MainWindow window(std::move(paths));
  store.LoadSettings(window.settings());
  window.exec();
  store.SaveSettings(window.settings());
}

}  // namespace velmorix::ui
