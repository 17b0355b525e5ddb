// The main window, driven through its real controls and menu: the start,
// selection changes, the four ways of closing, the two switches, the profile
// editor's return, Browse, LOG, Help and About, and Transfer and Directory
// against the real test FTP server.
#include "ui/main_window.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include "resources/string_table.h"
#include "settings/app_settings.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/about_box.h"
#include "ui/control_names.h"
#include "ui/dialogs.h"
#include "ui/profile_editor.h"
#include "ui/progress_console.h"

namespace velmorix {
namespace {

namespace ids = ui::main_window;
namespace fs = std::filesystem;
using testing::Control;
using testing::PickItem;
using testing::TempDir;
using testing::TypeText;
using testing::WhenModal;

// Records what the window asks the desktop to open, in place of a viewer.
class DesktopRecorder : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> opened;

 public slots:
  void open(const QUrl& url) { opened.append(url); }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::Dialogs::Script();
    paths_.logPath = QString::fromStdString((folder_.path() / "VELMORIX.LOG").string());
    paths_.helpPath = QString::fromStdString((folder_.path() / "velmorix.html").string());
    window_ = std::make_unique<ui::MainWindow>(paths_);
  }

  void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

  // A profile as the store would have loaded it.
  FtpProfile& Stored(const std::string& name, const std::string& localDir = {},
                     TransferOptions options = {}) {
    AppSettings& settings = window_->settings();
    FtpProfile& profile = settings.profiles[settings.profileCount++];
    profile.name = name;
    profile.url = name + ".example.org";
    profile.localDir = localDir;
    profile.options = options;
    return profile;
  }

  void Show() {
    window_->show();
    list_ = Control<QComboBox>(window_.get(), ids::kDestinationList);
    folder_field_ = Control<QLineEdit>(window_.get(), ids::kSourceFolder);
    transfer_ = Control<QPushButton>(window_.get(), ids::kTransferButton);
    close_ = Control<QPushButton>(window_.get(), ids::kCloseButton);
    browse_ = Control<QPushButton>(window_.get(), ids::kBrowseButton);
    log_ = Control<QPushButton>(window_.get(), ids::kLogButton);
    boxes_ = {Control<QCheckBox>(window_.get(), ids::kOnlyNewer),
              Control<QCheckBox>(window_.get(), ids::kSkipFrontPageFolders),
              Control<QCheckBox>(window_.get(), ids::kSkipImagesFolder),
              Control<QCheckBox>(window_.get(), ids::kIgnoreExeFiles),
              Control<QCheckBox>(window_.get(), ids::kDeleteOnServer)};
    ASSERT_FALSE(::testing::Test::HasFailure());
  }

  QAction* Action(const char* name) { return Control<QAction>(window_.get(), name); }

  // The five boxes as options, in the order of TransferOptions.
  TransferOptions Boxes() const {
    return {boxes_[0]->isChecked(), boxes_[1]->isChecked(), boxes_[2]->isChecked(),
            boxes_[3]->isChecked(), boxes_[4]->isChecked()};
  }

  void TypeFolder(const QString& text) {
    folder_field_->setFocus();
    folder_field_->selectAll();
    QTest::keyClick(folder_field_, Qt::Key_Delete);
    TypeText(folder_field_, text);
  }

  const FtpProfile& ProfileNamed(const std::string& name) {
    const int index = window_->settings().FindProfile(name);
    EXPECT_GE(index, 0) << name;
    return window_->settings().profiles[std::max(index, 0)];
  }

  DesktopRecorder* RecordDesktop() {
    auto* recorder = new DesktopRecorder;
    recorder->setParent(window_.get());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), recorder, "open");
    return recorder;
  }

  TempDir folder_;
  ui::MainWindow::Paths paths_;
  std::unique_ptr<ui::MainWindow> window_;
  QComboBox* list_ = nullptr;
  QLineEdit* folder_field_ = nullptr;
  QPushButton* transfer_ = nullptr;
  QPushButton* close_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* log_ = nullptr;
  std::array<QCheckBox*, 5> boxes_{};
};

constexpr TransferOptions kAllOn{1, 1, 1, 1, 1};
constexpr TransferOptions kMixed{0, 1, 0, 0, 1};

// ---------------------------------------------------------------------------
// Start

using MainWindowStartTest = MainWindowTest;

TEST_F(MainWindowStartTest, FirstStartShowsEmptyListEmptyFolderAndEverythingOn) {
  Show();
  EXPECT_EQ(list_->count(), 0);
  EXPECT_EQ(list_->currentIndex(), -1);
  EXPECT_TRUE(folder_field_->text().isEmpty());
  EXPECT_EQ(Boxes(), kAllOn);
  EXPECT_TRUE(Action(ids::kDeleteMessageAction)->isChecked());
  EXPECT_TRUE(Action(ids::kDeleteDotsAction)->isChecked());
  EXPECT_EQ(window_->settings().lastFtp, -1);
  EXPECT_EQ(window_->windowTitle(), "VELMORIX");
}

TEST_F(MainWindowStartTest, WithoutStoredSelectionFirstSortedItemIsShown) {
  Stored("west", "/srv/west");
  Stored("east", "/srv/east", kMixed);
  Show();
  EXPECT_EQ(list_->currentText(), "east");
  EXPECT_EQ(window_->settings().lastFtp, 0);
  EXPECT_EQ(window_->settings().currentProfile, 1);
  EXPECT_EQ(folder_field_->text(), "/srv/east");
  EXPECT_EQ(Boxes(), kMixed);
}

TEST_F(MainWindowStartTest, StoredPositionIsShownAndPositionBeyondListCountsAsNone) {
  Stored("b", "/srv/b");
  Stored("a", "/srv/a");
  window_->settings().lastFtp = 1;
  Show();
  EXPECT_EQ(list_->currentText(), "b");
  EXPECT_EQ(folder_field_->text(), "/srv/b");

  window_ = std::make_unique<ui::MainWindow>(paths_);
  Stored("b", "/srv/b");
  Stored("a", "/srv/a");
  window_->settings().lastFtp = 5;
  Show();
  EXPECT_EQ(window_->settings().lastFtp, 0);
  EXPECT_EQ(list_->currentText(), "a");
  EXPECT_EQ(folder_field_->text(), "/srv/a");
  EXPECT_EQ(window_->settings().currentProfile, 1);
}

TEST_F(MainWindowStartTest, SwitchesShowTheLoadedValues) {
  window_->settings().deleteMessage = 0;
  window_->settings().deleteDots = 1;
  Show();
  EXPECT_FALSE(Action(ids::kDeleteMessageAction)->isChecked());
  EXPECT_TRUE(Action(ids::kDeleteDotsAction)->isChecked());
}

TEST_F(MainWindowStartTest, FocusStartsInListAndTabOrderFollowsTemplate) {
  Show();
  EXPECT_EQ(window_->focusWidget(), list_);
  const QList<QWidget*> expected = {list_,     folder_field_, transfer_, close_,
                                    browse_,   log_,          boxes_[0], boxes_[1],
                                    boxes_[2], boxes_[3],     boxes_[4], list_};
  QWidget* widget = list_;
  for (qsizetype step = 1; step < expected.size(); ++step) {
    do {
      widget = widget->nextInFocusChain();
    } while (!(widget->focusPolicy() & Qt::TabFocus));
    EXPECT_EQ(widget, expected[step]) << "step " << step;
  }
  EXPECT_TRUE(transfer_->isDefault());
}

TEST_F(MainWindowStartTest, LogAndHelpLieBesideTheProgram) {
  const ui::MainWindow::Paths paths = ui::MainWindow::PathsBesideExecutable();
  const QString folder = QCoreApplication::applicationDirPath();
  EXPECT_EQ(paths.logPath, folder + "/VELMORIX.LOG");
  EXPECT_EQ(paths.helpPath,
            folder + "/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + ".html");
}

// ---------------------------------------------------------------------------
// Picking a destination

using MainWindowSelectionTest = MainWindowTest;

TEST_F(MainWindowSelectionTest, TypedFolderAndBoxesStayWithTheirProfile) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b", kMixed);
  Show();
  TypeFolder("/home/typed/サイト");
  boxes_[0]->click();
  PickItem(list_, 1);
  EXPECT_EQ(folder_field_->text(), "/srv/b");
  EXPECT_EQ(Boxes(), kMixed);
  EXPECT_EQ(window_->settings().lastFtp, 1);
  PickItem(list_, 0);
  EXPECT_EQ(folder_field_->text(), "/home/typed/サイト");
  EXPECT_EQ(Boxes(), (TransferOptions{0, 1, 1, 1, 1}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/home/typed/サイト");
  EXPECT_EQ(window_->settings().changeCount, 0);
}

TEST_F(MainWindowSelectionTest, ProfileWithEmptyFolderShowsEmptyField) {
  Stored("a", "/srv/a");
  Stored("b", "");
  Show();
  PickItem(list_, 1);
  EXPECT_TRUE(folder_field_->text().isEmpty());
}

TEST_F(MainWindowSelectionTest, NamesDifferingInCaseSelectTheExactSpelling) {
  Stored("abc", "/srv/lower");
  Stored("ABC", "/srv/upper");
  Show();
  ASSERT_EQ(list_->count(), 2);
  EXPECT_EQ(list_->currentText(), "ABC");
  EXPECT_EQ(folder_field_->text(), "/srv/upper");
  PickItem(list_, 1);
  EXPECT_EQ(list_->currentText(), "abc");
  EXPECT_EQ(window_->settings().currentProfile, 0);
  EXPECT_EQ(folder_field_->text(), "/srv/lower");
}

// ---------------------------------------------------------------------------
// Closing: the Close button, Escape, the close box and File > Exit all store
// the folder and the options into the current profile.

class MainWindowCloseTest : public MainWindowTest,
                            public ::testing::WithParamInterface<const char*> {
 protected:
  void CloseBy(const std::string& way) {
    if (way == "button") {
      QTest::mouseClick(close_, Qt::LeftButton);
    } else if (way == "escape") {
      QTest::keyClick(list_, Qt::Key_Escape);
    } else if (way == "closebox") {
      window_->close();
    } else {
      Action(ids::kExitAction)->trigger();
    }
  }
};

TEST_P(MainWindowCloseTest, StoresFolderAndOptionsOfTheShownProfile) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b");
  Show();
  PickItem(list_, 1);
  TypeFolder("/home/edited");
  boxes_[1]->click();
  boxes_[4]->click();
  CloseBy(GetParam());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->result(), QDialog::Rejected);
  const FtpProfile& b = ProfileNamed("b");
  EXPECT_EQ(b.localDir, "/home/edited");
  EXPECT_EQ(b.options, (TransferOptions{1, 0, 1, 1, 0}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/srv/a");
}

INSTANTIATE_TEST_SUITE_P(Ways, MainWindowCloseTest,
                         ::testing::Values("button", "escape", "closebox", "exit"));

TEST_F(MainWindowTest, ClosingWithoutProfilesStoresNothing) {
  Show();
  TypeFolder("/home/typed");
  QTest::mouseClick(close_, Qt::LeftButton);
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(window_->settings().profileCount, 0);
  EXPECT_EQ(window_->settings().profiles[0], FtpProfile{});
}

// ---------------------------------------------------------------------------
// The two switches

using MainWindowSwitchTest = MainWindowTest;

TEST_F(MainWindowSwitchTest, FlipOnceChangesValueAndCheckMarkTwiceRestoresIt) {
  Show();
  QAction* message = Action(ids::kDeleteMessageAction);
  QAction* dots = Action(ids::kDeleteDotsAction);
  message->trigger();
  EXPECT_EQ(window_->settings().deleteMessage, 0);
  EXPECT_FALSE(message->isChecked());
  EXPECT_EQ(window_->settings().deleteDots, 1);
  EXPECT_EQ(window_->settings().changeCount, 1);

  dots->trigger();
  dots->trigger();
  EXPECT_EQ(window_->settings().deleteDots, 1);
  EXPECT_TRUE(dots->isChecked());
  EXPECT_EQ(window_->settings().changeCount, 3);

  message->trigger();
  EXPECT_EQ(window_->settings().deleteMessage, 1);
  EXPECT_TRUE(message->isChecked());
}

// ---------------------------------------------------------------------------
// Returning from the profile editor

using MainWindowEditorTest = MainWindowTest;

TEST_F(MainWindowEditorTest, CancelAfterAddRebuildsListSoListAndSettingsAgree) {
  Stored("b", "/srv/b");
  Show();
  WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) {
    auto* name = Control<QLineEdit>(&editor, ui::profile_editor::kName);
    name->selectAll();
    QTest::keyClick(name, Qt::Key_Delete);
    QTest::keyClicks(name, "a");
    QTest::mouseClick(Control<QPushButton>(&editor, ui::profile_editor::kAddButton),
                      Qt::LeftButton);
    QTest::mouseClick(Control<QPushButton>(&editor, ui::profile_editor::kCancelButton),
                      Qt::LeftButton);
  });
  Action(ids::kFtpSettingsAction)->trigger();
  ASSERT_EQ(list_->count(), 2);
  EXPECT_EQ(list_->itemText(0), "a");
  EXPECT_EQ(list_->currentText(), "a");
  EXPECT_EQ(window_->settings().profiles[window_->settings().currentProfile].name, "a");
  EXPECT_TRUE(folder_field_->text().isEmpty());
  EXPECT_EQ(Boxes(), kAllOn);
}

TEST_F(MainWindowEditorTest, CancelAfterDeleteRebuildsList) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b");
  Show();
  WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) {
    QTest::mouseClick(Control<QPushButton>(&editor, ui::profile_editor::kDeleteButton),
                      Qt::LeftButton);
    editor.reject();
  });
  Action(ids::kFtpSettingsAction)->trigger();
  ASSERT_EQ(list_->count(), 1);
  EXPECT_EQ(list_->currentText(), "b");
  EXPECT_EQ(folder_field_->text(), "/srv/b");
  EXPECT_EQ(window_->settings().currentProfile, 0);
}

TEST_F(MainWindowEditorTest, OkAfterSwitchFlipReloadsFolderFromTheProfile) {
  Stored("a", "/srv/a");
  Show();
  Action(ids::kDeleteDotsAction)->trigger();
  TypeFolder("/home/not/stored");
  WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) { editor.accept(); });
  Action(ids::kFtpSettingsAction)->trigger();
  EXPECT_EQ(folder_field_->text(), "/srv/a");
}

TEST_F(MainWindowEditorTest, OkOrCancelWithoutChangesKeepWhatTheWindowShows) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b");
  Show();
  TypeFolder("/home/typed");
  boxes_[2]->click();
  // The user only looks at "b" in the editor, then leaves it.
  for (const bool ok : {true, false}) {
    WhenModal<ui::ProfileEditor>([ok](ui::ProfileEditor& editor) {
      PickItem(Control<QComboBox>(&editor, ui::profile_editor::kProfileList), 1);
      ok ? editor.accept() : editor.reject();
    });
    Action(ids::kFtpSettingsAction)->trigger();
    EXPECT_EQ(list_->currentText(), "a");
    EXPECT_EQ(folder_field_->text(), "/home/typed");
    EXPECT_EQ(Boxes(), (TransferOptions{1, 1, 0, 1, 1}));
  }
  // The shown destination is still the current one: closing stores into "a",
  // not into the "b" the editor had shown.
  window_->close();
  EXPECT_EQ(ProfileNamed("a").localDir, "/home/typed");
  EXPECT_EQ(ProfileNamed("b").localDir, "/srv/b");
}

// ---------------------------------------------------------------------------
// Browse, LOG, Help and About

using MainWindowCommandTest = MainWindowTest;

TEST_F(MainWindowCommandTest, BrowseSetsFolderWithoutStoringOrTouchingBoxes) {
  Stored("a", "/srv/a");
  Show();
  boxes_[3]->click();
  ui::Dialogs::QueueFolder(QStringLiteral("/home/picked"));
  QTest::mouseClick(browse_, Qt::LeftButton);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({QStringLiteral("ｺﾋﾟｰするﾎﾙﾀﾞ")}));
  EXPECT_EQ(folder_field_->text(), "/home/picked");
  EXPECT_EQ(Boxes(), (TransferOptions{1, 1, 1, 0, 1}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/srv/a");
}

TEST_F(MainWindowCommandTest, CancelledPickerLeavesFolder) {
  Stored("a", "/srv/a");
  Show();
  QTest::mouseClick(browse_, Qt::LeftButton);
  EXPECT_EQ(folder_field_->text(), "/srv/a");
}

TEST_F(MainWindowCommandTest, LogOpensTheLogFileWithoutAMessageEvenWhenMissing) {
  DesktopRecorder* desktop = RecordDesktop();
  Show();
  QTest::mouseClick(log_, Qt::LeftButton);
  ASSERT_EQ(desktop->opened.size(), 1);
  EXPECT_EQ(desktop->opened[0].toLocalFile(), paths_.logPath);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());

  // Without a viewer (the offscreen platform has none) nothing is reported either.
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  QTest::mouseClick(log_, Qt::LeftButton);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(MainWindowCommandTest, HelpMenuAndF1OpenTheHelpPage) {
  testing::WriteFile(paths_.helpPath.toStdString(), "<html></html>");
  DesktopRecorder* desktop = RecordDesktop();
  Show();
  Action(ids::kHelpAction)->trigger();
  // A key goes to the active window only.
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  QTest::keyClick(list_, Qt::Key_F1);
  ASSERT_EQ(desktop->opened.size(), 2);
  EXPECT_EQ(desktop->opened[0].toLocalFile(), paths_.helpPath);
  EXPECT_EQ(desktop->opened[1].toLocalFile(), paths_.helpPath);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(MainWindowCommandTest, HelpThatCannotBeOpenedIsReported) {
  const QString failed = QStringLiteral("ﾍﾙﾌﾟの起動に失敗しました。");
  DesktopRecorder* desktop = RecordDesktop();
  Show();
  // The page is missing.
  Action(ids::kHelpAction)->trigger();
  EXPECT_TRUE(desktop->opened.isEmpty());
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({failed}));
  // The page exists but no viewer takes it.
  testing::WriteFile(paths_.helpPath.toStdString(), "<html></html>");
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  Action(ids::kHelpAction)->trigger();
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({failed, failed}));
}

TEST_F(MainWindowCommandTest, AboutShowsVersionUntilOk) {
  Show();
  QString line;
  WhenModal<ui::AboutBox>([&line](ui::AboutBox& about) {
    line = Control<QLabel>(&about, ui::about_box::kVersionLine)->text();
    QTest::keyClick(&about, Qt::Key_Return);
  });
  Action(ids::kAboutAction)->trigger();
  EXPECT_EQ(line, "VELMORIX Version 1.06");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(window_->isVisible());
}

// ---------------------------------------------------------------------------
// Transfer and Directory against the real server

class MainWindowRunTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    server_.Start();
    site_ = site_root_.path() / "site";
    testing::WriteFile(site_ / "index.html", "<h1>top</h1>");
    testing::WriteFile(site_ / "css" / "style.css", "body {}");
    testing::WriteFile(site_ / "Images" / "logo.png", "png");
  }

  FtpProfile& ServerProfile(const std::string& name) {
    FtpProfile& profile = Stored(name, site_.string());
    profile.url = server_.host();
    profile.port = server_.port();
    profile.userId = testing::TestFtpServer::kUser;
    profile.password = testing::TestFtpServer::kPassword;
    profile.remoteDir = "/";
    return profile;
  }

  // Closes the progress console as soon as its run has ended, remembering
  // the last line it showed. Schedule it before starting the run.
  void CloseConsoleWhenDone() {
    auto* timer = new QTimer(window_.get());
    timer->setInterval(10);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer, clock] {
      auto* console = qobject_cast<ui::ProgressConsole*>(QApplication::activeModalWidget());
      if (console != nullptr && console->runState() != 1) {
        timer->stop();
        consoleSeen_ = true;
        lastLine_ = Control<QPlainTextEdit>(console, "statusText")->toPlainText();
        QTest::mouseClick(Control<QPushButton>(console, "cancelButton"), Qt::LeftButton);
        return;
      }
      if (clock.elapsed() > 20000) {
        timer->stop();
        ADD_FAILURE() << "the run did not end";
        if (console != nullptr) {
          Control<QPushButton>(console, "cancelButton")->click();
        }
      }
    });
    timer->start();
  }

  std::string Log() const { return testing::ReadFile(paths_.logPath.toStdString()); }

  testing::TestFtpServer server_;
  TempDir site_root_;
  fs::path site_;
  bool consoleSeen_ = false;
  QString lastLine_;
};

TEST_F(MainWindowRunTest, EnterPublishesWhatTheWindowShowsAndWindowStaysOpen) {
  ServerProfile("local").localDir = "/not/this/one";
  Show();
  TypeFolder(QString::fromStdString(site_.string()));
  boxes_[2]->click();  // Images is published this time
  CloseConsoleWhenDone();
  QTest::keyClick(list_, Qt::Key_Return);

  EXPECT_TRUE(consoleSeen_);
  EXPECT_EQ(lastLine_, "Velmorix Successfully completed!");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(testing::ReadFile(server_.root() / "index.html"), "<h1>top</h1>");
  EXPECT_EQ(testing::ReadFile(server_.root() / "css" / "style.css"), "body {}");
  EXPECT_EQ(testing::ReadFile(server_.root() / "Images" / "logo.png"), "png");
  const std::string log = Log();
  EXPECT_NE(log.find("Copy file to FTP : "), std::string::npos) << log;
  EXPECT_NE(log.find("style.css"), std::string::npos) << log;
  // The run took the folder and the options from the window, and they stay stored.
  const FtpProfile& profile = ProfileNamed("local");
  EXPECT_EQ(profile.localDir, site_.string());
  EXPECT_EQ(profile.options.skipImagesFolder, 0);
}

TEST_F(MainWindowRunTest, TransferButtonKeepsOptionsOfTheWindow) {
  ServerProfile("local");
  Show();
  CloseConsoleWhenDone();
  QTest::mouseClick(transfer_, Qt::LeftButton);
  EXPECT_TRUE(consoleSeen_);
  EXPECT_TRUE(fs::exists(server_.root() / "index.html"));
  EXPECT_FALSE(fs::exists(server_.root() / "Images"));
}

TEST_F(MainWindowRunTest, MissingSourceFolderIsRefusedWithoutAConsole) {
  ServerProfile("local").localDir = (site_root_.path() / "missing").string();
  Show();
  QTest::mouseClick(transfer_, Qt::LeftButton);
  const QString refusal = QString::fromUtf8(strings::kParameterError.data()) +
                          QString::fromUtf8(strings::kTagLocalDiskPath.data());
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({refusal}));
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(fs::is_empty(server_.root()));
}

TEST_F(MainWindowRunTest, WithoutDestinationTransferAndDirectoryDoNothing) {
  Show();
  TypeFolder(QString::fromStdString(site_.string()));
  QTest::mouseClick(transfer_, Qt::LeftButton);
  Action(ids::kDirectoryAction)->trigger();
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
  EXPECT_TRUE(fs::is_empty(server_.root()));
  EXPECT_FALSE(fs::exists(paths_.logPath.toStdString()));
}

TEST_F(MainWindowRunTest, DirectoryListsTheRemoteFolderIntoTheLog) {
  testing::WriteFile(server_.root() / "remote-page.html", "x");
  fs::create_directory(server_.root() / "remote-folder");
  ServerProfile("local");
  Show();
  CloseConsoleWhenDone();
  Action(ids::kDirectoryAction)->trigger();
  EXPECT_EQ(lastLine_, "FTP ls command completed!");
  const std::string log = Log();
  EXPECT_NE(log.find("remote-page.html"), std::string::npos) << log;
  EXPECT_NE(log.find("[remote-folder]"), std::string::npos) << log;
  EXPECT_TRUE(window_->isVisible());
  // A listing changes nothing on the server.
  EXPECT_FALSE(fs::exists(server_.root() / "index.html"));
}

}  // namespace
}  // namespace velmorix

#include "main_window_test.moc"
