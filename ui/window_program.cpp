#include "ui/window_program.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <string>

#include "settings/settings_store.h"
#include "ui/dialogs.h"

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
  std::string error;
  if (!store.SaveSettings(window.settings(), &error)) {
    // The program ends all the same; the user must know that what was
    // changed is not kept, and why.
    Dialogs::Warn(nullptr,
                  QStringLiteral("設定を保存できませんでした。\n") +
                      QString::fromUtf8(error.data(), static_cast<qsizetype>(error.size())));
  }
}

}  // namespace velmorix::ui
