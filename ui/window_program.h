// The window program's start-up and shutdown: Qt's own texts are switched to
// Japanese, the settings are read once before the main window is shown and
// written once after it has closed, by whatever way it closed. Nothing is
// written in between.
//
// Window thread only; a QApplication must exist.
#pragma once

#include "ui/main_window.h"

namespace velmorix {
class SettingsStore;
}

namespace velmorix::ui {

// Gives Qt's own texts, the standard buttons of the boxes (はい, いいえ,
// キャンセル), the folder picker and the text fields' context menus, in
// Japanese from qtbase_ja.qm in Qt's translations folder (Debian's
// qt6-translations-l10n), whatever the user's language: the windows speak
// Japanese only. Returns false, after a warning on standard error, when the
// file cannot be loaded; Qt's texts then stay English. A second call only
// returns what the first did. The translator belongs to the application.
bool InstallQtJapaneseTexts();

// Installs Qt's Japanese texts, loads the settings from `store`, runs the
// main window modally, and saves the settings back to `store` when it has
// closed; a save that fails is reported in a box with the reason before
// the program ends.
void RunWindowProgram(SettingsStore& store,
                      MainWindow::Paths paths = MainWindow::ProgramPaths());

}  // namespace velmorix::ui
