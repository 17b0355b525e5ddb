// Start-up and shutdown of the window program with the real settings store
// in a scratch $XDG_CONFIG_HOME: what a first start writes at exit, and that
// what was changed during one run is there at the next start; and that the
// start gives Qt's own texts in Japanese.
#include "ui/window_program.h"

#include <memory>
#include <optional>
#include <string>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "resources/string_table.h"
#include "settings/registry/key_store.h"
#include "settings/settings_store.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/control_names.h"
#include "ui/dialogs.h"
#include "ui/profile_editor.h"

namespace velmorix {
namespace {

namespace ids = ui::main_window;
using testing::Control;
using testing::Retype;
using testing::TempDir;
using testing::WhenModal;

const std::string kCompany(strings::kCompanyKey);
const std::string kProgram(kWindowProgramKey);

class WindowProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::Dialogs::Script();
    paths_.logPath = QString::fromStdString((folder_.path() / "VELMORIX.LOG").string());
    paths_.helpPath = QString::fromStdString((folder_.path() / "velmorix.html").string());
  }

  // Runs the program once; `inWindow` acts on the open main window and
  // closes it.
  void RunProgram(std::function<void(ui::MainWindow&)> inWindow) {
    SettingsStore store(kCompany, kProgram);
    bool ran = false;
    WhenModal<ui::MainWindow>([&ran, &inWindow](ui::MainWindow& window) {
      ran = true;
      inWindow(window);
      // A failed check may have left before closing; the program must still end.
      if (window.isVisible()) {
        ADD_FAILURE() << "the window was left open";
        window.reject();
      }
    });
    ui::RunWindowProgram(store, paths_);
    EXPECT_TRUE(ran);
  }

  std::optional<registry::RegistryValue> Stored(const std::string& section,
                                                const std::string& name) {
    registry::KeyStore keys(registry::UserKeyStorePath(kCompany));
    auto key = keys.OpenKey("SOFTWARE\\" + kCompany + "\\" + kProgram + "\\" + section);
    if (!key) {
      return std::nullopt;
    }
    return key->QueryValue(name);
  }

  TempDir configHome_;
  testing::ScopedEnvironment xdg_{"XDG_CONFIG_HOME", configHome_.str()};
  TempDir folder_;
  ui::MainWindow::Paths paths_;
};

TEST_F(WindowProgramTest, FirstStartOpensEmptyAndExitWritesTheDefaults) {
  RunProgram([](ui::MainWindow& window) {
    EXPECT_EQ(Control<QComboBox>(&window, ids::kDestinationList)->count(), 0);
    EXPECT_TRUE(Control<QLineEdit>(&window, ids::kSourceFolder)->text().isEmpty());
    EXPECT_TRUE(Control<QAction>(&window, ids::kDeleteMessageAction)->isChecked());
    EXPECT_TRUE(Control<QAction>(&window, ids::kDeleteDotsAction)->isChecked());
    QTest::mouseClick(Control<QPushButton>(&window, ids::kCloseButton), Qt::LeftButton);
  });
  EXPECT_EQ(Stored("SETTINGS", "LASTFTP"), registry::RegistryValue::Number(0xFFFFFFFFu));
  EXPECT_EQ(Stored("SETTINGS", "LASTDELMES"), registry::RegistryValue::Number(1));
  EXPECT_EQ(Stored("SETTINGS", "LASTDELDOTS"), registry::RegistryValue::Number(1));
  EXPECT_EQ(Stored("FTPSETTINGS", "FTPNAME1"), std::nullopt);
}

TEST_F(WindowProgramTest, WhatOneRunChangedIsShownAtTheNextStart) {
  // First run: add two destinations, type a folder for one, clear an option,
  // flip a switch, leave by File > Exit.
  RunProgram([](ui::MainWindow& window) {
    WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) {
      namespace editor_ids = ui::profile_editor;
      for (const char* name : {"本番サーバー", "staging"}) {
        Retype(Control<QLineEdit>(&editor, editor_ids::kName), QString::fromUtf8(name));
        Retype(Control<QLineEdit>(&editor, editor_ids::kPassword), "pässwörd 7");
        Retype(Control<QLineEdit>(&editor, editor_ids::kPort), "2121");
        QTest::mouseClick(Control<QPushButton>(&editor, editor_ids::kAddButton), Qt::LeftButton);
      }
      QTest::mouseClick(Control<QPushButton>(&editor, editor_ids::kOkButton), Qt::LeftButton);
    });
    Control<QAction>(&window, ids::kFtpSettingsAction)->trigger();
    // The editor left "staging" selected; it sorts first.
    auto* list = Control<QComboBox>(&window, ids::kDestinationList);
    EXPECT_EQ(list->currentText(), "staging");
    Retype(Control<QLineEdit>(&window, ids::kSourceFolder), "/home/web/公開");
    Control<QCheckBox>(&window, ids::kSkipImagesFolder)->click();
    Control<QAction>(&window, ids::kDeleteMessageAction)->trigger();
    Control<QAction>(&window, ids::kExitAction)->trigger();
  });

  // Second run: all of it is back.
  RunProgram([](ui::MainWindow& window) {
    auto* list = Control<QComboBox>(&window, ids::kDestinationList);
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentText(), "staging");
    EXPECT_EQ(Control<QLineEdit>(&window, ids::kSourceFolder)->text(), "/home/web/公開");
    EXPECT_FALSE(Control<QCheckBox>(&window, ids::kSkipImagesFolder)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(&window, ids::kOnlyNewer)->isChecked());
    EXPECT_FALSE(Control<QAction>(&window, ids::kDeleteMessageAction)->isChecked());
    EXPECT_TRUE(Control<QAction>(&window, ids::kDeleteDotsAction)->isChecked());
    const AppSettings& settings = window.settings();
    ASSERT_EQ(settings.profileCount, 2);
    EXPECT_EQ(settings.profiles[0].name, "本番サーバー");
    EXPECT_EQ(settings.profiles[0].password, "pässwörd 7");
    EXPECT_EQ(settings.profiles[0].port, 2121);
    EXPECT_EQ(settings.profiles[0].localDir, "");
    QTest::keyClick(list, Qt::Key_Escape);
  });
  EXPECT_EQ(Stored("SETTINGS", "LASTFTP"), registry::RegistryValue::Number(0));
  EXPECT_EQ(Stored("FTPSETTINGS", "LOCALDIR2"), registry::RegistryValue::Text("/home/web/公開"));
}

TEST_F(WindowProgramTest, StartGivesQtsOwnTextsInJapanese) {
  QStringList menuTexts;
  RunProgram([&menuTexts](ui::MainWindow& window) {
    auto* field = Control<QLineEdit>(&window, ids::kSourceFolder);
    const std::unique_ptr<QMenu> menu(field->createStandardContextMenu());
    for (const QAction* action : menu->actions()) {
      if (!action->isSeparator()) {
        menuTexts.append(action->text().section('\t', 0, 0));  // without the shortcut
      }
    }
    window.reject();
  });
  EXPECT_EQ(menuTexts, QStringList({"元に戻す(&U)", "やり直す(&R)", "切り取り(&T)", "コピー(&C)",
                                    "貼り付け(&P)", "削除", "すべてを選択"}));
}

TEST_F(WindowProgramTest, TextsThatAreNoUtf8KeepTheirBytesUnlessEdited) {
  const std::string shiftJis =
      "\x83\x65\x83\x58\x83\x67";  // a folder name written by an older tool
  {
    SettingsStore store(kCompany, kProgram);
    AppSettings settings;
    settings.profiles[0].name = "site";
    settings.profiles[0].remoteDir = "/" + shiftJis;
    settings.profiles[0].localDir = "/srv/" + shiftJis;
    settings.profileCount = 1;
    store.SaveSettings(settings);
  }
  RunProgram([](ui::MainWindow& window) {
    WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) {
      namespace editor_ids = ui::profile_editor;
      Retype(Control<QLineEdit>(&editor, editor_ids::kUrl), "ftp.example.jp");
      QTest::mouseClick(Control<QPushButton>(&editor, editor_ids::kUpdateButton), Qt::LeftButton);
      QTest::mouseClick(Control<QPushButton>(&editor, editor_ids::kOkButton), Qt::LeftButton);
    });
    Control<QAction>(&window, ids::kFtpSettingsAction)->trigger();
    QTest::mouseClick(Control<QPushButton>(&window, ids::kCloseButton), Qt::LeftButton);
  });
  EXPECT_EQ(Stored("FTPSETTINGS", "FTPURL1"), registry::RegistryValue::Text("ftp.example.jp"));
  EXPECT_EQ(Stored("FTPSETTINGS", "FTPDIR1"), registry::RegistryValue::Text("/" + shiftJis));
  EXPECT_EQ(Stored("FTPSETTINGS", "LOCALDIR1"), registry::RegistryValue::Text("/srv/" + shiftJis));
}

TEST_F(WindowProgramTest, SettingsThatCannotBeSavedAtExitAreReportedWithTheReason) {
  testing::WriteFile(configHome_.path() / "Quenzari", "a file where the settings folder belongs");
  RunProgram([](ui::MainWindow& window) {
    Control<QAction>(&window, ids::kDeleteMessageAction)->trigger();
    QTest::mouseClick(Control<QPushButton>(&window, ids::kCloseButton), Qt::LeftButton);
  });
  const QStringList shown = ui::Dialogs::Shown();
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0], "設定を保存できませんでした。\n" +
                          QString::fromStdString((configHome_.path() / "Quenzari").string()) +
                          ": Not a directory");
}

}  // namespace
}  // namespace velmorix
