// The window program's start-up and shutdown: the settings are read once
// before the main window is shown and written once after it has closed, by
// whatever way it closed. Nothing is written in between.
//
// Window thread only; a QApplication must exist.
#pragma once

#include "ui/main_window.h"

namespace velmorix {
class SettingsStore;
}

namespace velmorix::ui {

// Loads the settings from `store`, runs the main window modally, and saves
// the settings back to `store` when it has closed.
void RunWindowProgram(SettingsStore& store,
                      MainWindow::Paths paths = MainWindow::PathsBesideExecutable());

}  // namespace velmorix::ui
