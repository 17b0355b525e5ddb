#include "ui/window_program.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "settings/settings_store.h"

namespace velmorix::ui {

bool InstallQtJapaneseTexts() {
  static const bool installed = [] {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                          QStringLiteral("_"), folder)) {
      qWarning("qtbase_ja.qm could not be loaded from %s; Qt's own texts stay English",
               qPrintable(folder));
      delete translator;
      return false;
    }
    return QCoreApplication::installTranslator(translator);
  }();
  return installed;
}

void RunWindowProgram(SettingsStore& store, MainWindow::Paths paths) {
  InstallQtJapaneseTexts();
  MainWindow window(std::move(paths));
  store.LoadSettings(window.settings());
  window.exec();
  store.SaveSettings(window.settings());
}

}  // namespace velmorix::ui
