// The main window, driven through its controls and menu: the start, picking
// destinations, the four ways of closing, the switches, the return from the
// profile editor, Browse, LOG and Help, and Transfer, Directory and the dry
// run against the real test FTP server.
#include "ui/main_window.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QUrl>

#include <gtest/gtest.h>

#include "settings/destinations.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
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
using testing::Retype;
using testing::WhenModal;

constexpr TransferOptions kAllOn{1, 1, 1, 1, 1};
constexpr TransferOptions kMixed{0, 1, 0, 0, 1};

// Takes what the window asks the desktop to open, in place of a viewer.
class DesktopRecorder : public QObject {
  Q_OBJECT

 public:
  QStringList opened;

 public slots:
  void open(const QUrl& url) { opened.append(url.toLocalFile()); }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::Dialogs::Script();
    paths_ = {QString::fromStdString((folder_.path() / "VELMORIX.LOG").string()),
              QString::fromStdString((folder_.path() / "velmorix.html").string())};
    window_ = std::make_unique<ui::MainWindow>(paths_);
  }
  void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

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
    folderField_ = Control<QLineEdit>(window_.get(), ids::kSourceFolder);
    const char* names[] = {ids::kOnlyNewer, ids::kSkipFrontPageFolders, ids::kSkipImagesFolder,
                           ids::kIgnoreExeFiles, ids::kDeleteOnServer};
    for (size_t index = 0; index < boxes_.size(); ++index) {
      boxes_[index] = Control<QCheckBox>(window_.get(), names[index]);
    }
    ASSERT_FALSE(HasFailure());
  }

  QAction* Action(const char* name) { return Control<QAction>(window_.get(), name); }
  void Press(const char* button) {
    QTest::mouseClick(Control<QPushButton>(window_.get(), button), Qt::LeftButton);
  }
  TransferOptions Boxes() const {
    return {boxes_[0]->isChecked(), boxes_[1]->isChecked(), boxes_[2]->isChecked(),
            boxes_[3]->isChecked(), boxes_[4]->isChecked()};
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

  testing::TempDir folder_;
  ui::MainWindow::Paths paths_;
  std::unique_ptr<ui::MainWindow> window_;
  QComboBox* list_ = nullptr;
  QLineEdit* folderField_ = nullptr;
  std::array<QCheckBox*, 5> boxes_{};
};

using MainWindowStartTest = MainWindowTest;

TEST_F(MainWindowStartTest, FirstStartShowsEmptyListEmptyFolderAndEverythingOn) {
  Show();
  EXPECT_EQ(list_->count(), 0);
  EXPECT_TRUE(folderField_->text().isEmpty());
  EXPECT_EQ(Boxes(), kAllOn);
  EXPECT_TRUE(Action(ids::kDeleteMessageAction)->isChecked());
  EXPECT_TRUE(Action(ids::kDeleteDotsAction)->isChecked());
  EXPECT_EQ(window_->focusWidget(), list_);
}

TEST_F(MainWindowStartTest, NoOrInvalidStoredSelectionShowsFirstSortedItem) {
  for (const int lastFtp : {-1, 5}) {
    window_ = std::make_unique<ui::MainWindow>(paths_);
    Stored("west", "/srv/west");
    Stored("east", "/srv/east", kMixed);
    window_->settings().lastFtp = lastFtp;
    window_->settings().deleteMessage = 0;
    Show();
    EXPECT_EQ(list_->currentText(), "east");
    EXPECT_EQ(window_->settings().lastFtp, 0);
    EXPECT_EQ(window_->settings().currentProfile, 1);
    EXPECT_EQ(folderField_->text(), "/srv/east");
    EXPECT_EQ(Boxes(), kMixed);
    EXPECT_FALSE(Action(ids::kDeleteMessageAction)->isChecked());
  }
}

TEST_F(MainWindowStartTest, LogAndHelpLieBesideTheProgram) {
  const ui::MainWindow::Paths paths = ui::MainWindow::ProgramPaths();
  const QFileInfo program(QCoreApplication::applicationFilePath());
  EXPECT_EQ(paths.logPath, program.path() + "/VELMORIX.LOG");
  EXPECT_EQ(paths.helpPath, program.path() + "/" + program.completeBaseName() + ".html");
}

TEST_F(MainWindowTest, TypedFolderAndBoxesStayWithTheirProfile) {
  Stored("a", "/srv/a");
  Stored("b", "", kMixed);
  Show();
  Retype(folderField_, "/home/typed/サイト");
  boxes_[0]->click();
  PickItem(list_, 1);
  EXPECT_TRUE(folderField_->text().isEmpty());
  EXPECT_EQ(Boxes(), kMixed);
  EXPECT_EQ(window_->settings().lastFtp, 1);
  PickItem(list_, 0);
  EXPECT_EQ(folderField_->text(), "/home/typed/サイト");
  EXPECT_EQ(Boxes(), (TransferOptions{0, 1, 1, 1, 1}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/home/typed/サイト");
}

TEST_F(MainWindowTest, NamesDifferingInCaseSelectTheExactSpelling) {
  Stored("abc", "/srv/lower");
  Stored("ABC", "/srv/upper");
  Show();
  EXPECT_EQ(folderField_->text(), "/srv/upper");
  PickItem(list_, 1);
  EXPECT_EQ(window_->settings().currentProfile, 0);
  EXPECT_EQ(folderField_->text(), "/srv/lower");
}

class MainWindowCloseTest : public MainWindowTest,
                            public ::testing::WithParamInterface<std::string> {};

TEST_P(MainWindowCloseTest, StoresFolderAndOptionsOfTheShownProfile) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b");
  Show();
  PickItem(list_, 1);
  Retype(folderField_, "/home/edited");
  boxes_[1]->click();
  const std::string& way = GetParam();
  if (way == "button") {
    Press(ids::kCloseButton);
  } else if (way == "escape") {
    QTest::keyClick(list_, Qt::Key_Escape);
  } else if (way == "closebox") {
    window_->close();
  } else {
    Action(ids::kExitAction)->trigger();
  }
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(ProfileNamed("b").localDir, "/home/edited");
  EXPECT_EQ(ProfileNamed("b").options, (TransferOptions{1, 0, 1, 1, 1}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/srv/a");
}

INSTANTIATE_TEST_SUITE_P(Ways, MainWindowCloseTest,
                         ::testing::Values("button", "escape", "closebox", "exit"));

TEST_F(MainWindowTest, SwitchFlippedOnceChangesTwiceRestoresBothCount) {
  Show();
  QAction* message = Action(ids::kDeleteMessageAction);
  QAction* dots = Action(ids::kDeleteDotsAction);
  message->trigger();
  EXPECT_EQ(window_->settings().deleteMessage, 0);
  EXPECT_FALSE(message->isChecked());
  dots->trigger();
  dots->trigger();
  EXPECT_EQ(window_->settings().deleteDots, 1);
  EXPECT_TRUE(dots->isChecked());
  EXPECT_EQ(window_->settings().changeCount, 3);
}

using MainWindowEditorTest = MainWindowTest;

TEST_F(MainWindowEditorTest, CancelAfterAddRebuildsListSoListAndSettingsAgree) {
  Stored("b", "/srv/b");
  Show();
  WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) {
    Retype(Control<QLineEdit>(&editor, ui::profile_editor::kName), "a");
    QTest::mouseClick(Control<QPushButton>(&editor, ui::profile_editor::kAddButton),
                      Qt::LeftButton);
    editor.reject();
  });
  Action(ids::kFtpSettingsAction)->trigger();
  ASSERT_EQ(list_->count(), 2);
  EXPECT_EQ(list_->currentText(), "a");
  EXPECT_EQ(window_->settings().profiles[window_->settings().currentProfile].name, "a");
  EXPECT_TRUE(folderField_->text().isEmpty());
}

TEST_F(MainWindowEditorTest, OkAfterSwitchFlipReloadsTheStoredFolder) {
  Stored("a", "/srv/a");
  Show();
  Action(ids::kDeleteDotsAction)->trigger();
  Retype(folderField_, "/home/not/stored");
  WhenModal<ui::ProfileEditor>([](ui::ProfileEditor& editor) { editor.accept(); });
  Action(ids::kFtpSettingsAction)->trigger();
  EXPECT_EQ(folderField_->text(), "/srv/a");
}

TEST_F(MainWindowEditorTest, LeavingWithoutChangesKeepsShownDestinationCurrent) {
  Stored("a", "/srv/a");
  Stored("b", "/srv/b");
  Show();
  Retype(folderField_, "/home/typed");
  // The user only looks at "b" in the editor, then leaves by OK or Cancel.
  for (const bool ok : {true, false}) {
    WhenModal<ui::ProfileEditor>([ok](ui::ProfileEditor& editor) {
      PickItem(Control<QComboBox>(&editor, ui::profile_editor::kProfileList), 1);
      ok ? editor.accept() : editor.reject();
    });
    Action(ids::kFtpSettingsAction)->trigger();
    EXPECT_EQ(list_->currentText(), "a");
    EXPECT_EQ(folderField_->text(), "/home/typed");
  }
  window_->close();
  EXPECT_EQ(ProfileNamed("a").localDir, "/home/typed");
  EXPECT_EQ(ProfileNamed("b").localDir, "/srv/b");
}

using MainWindowCommandTest = MainWindowTest;

TEST_F(MainWindowCommandTest, BrowseSetsOnlyTheFolderAndCancelKeepsIt) {
  Stored("a", "/srv/a");
  Show();
  boxes_[3]->click();
  Press(ids::kBrowseButton);
  EXPECT_EQ(folderField_->text(), "/srv/a");
  ui::Dialogs::QueueFolder(QStringLiteral("/home/picked"));
  Press(ids::kBrowseButton);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList(2, QStringLiteral("ｺﾋﾟｰするﾎﾙﾀﾞ")));
  EXPECT_EQ(folderField_->text(), "/home/picked");
  EXPECT_EQ(Boxes(), (TransferOptions{1, 1, 1, 0, 1}));
  EXPECT_EQ(ProfileNamed("a").localDir, "/srv/a");
}

TEST_F(MainWindowCommandTest, BrowseStartsAtTheFolderInTheFieldOrElseAtHome) {
  Show();
  const QString existing = QString::fromStdString(folder_.str());
  testing::WriteFile(folder_.path() / "page.html", "x");
  for (const QString& typed :
       {existing, existing + "/page.html", QStringLiteral("/no/such"), QString()}) {
    Retype(folderField_, typed);
    Press(ids::kBrowseButton);
  }
  const QString home = QDir::homePath();
  EXPECT_EQ(ui::Dialogs::PickerStartFolders(), QStringList({existing, home, home, home}));
}

TEST_F(MainWindowCommandTest, LogIsOpenedAndAFailureIsNotReported) {
  DesktopRecorder* desktop = RecordDesktop();
  Show();
  Press(ids::kLogButton);
  EXPECT_EQ(desktop->opened, QStringList({paths_.logPath}));
  // The button tells where the log is.
  EXPECT_EQ(Control<QPushButton>(window_.get(), ids::kLogButton)->toolTip(), paths_.logPath);
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));  // no viewer at all
  Press(ids::kLogButton);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

// Stands in for xdg-open, first in $PATH: it reads the status written
// beside it, appends the path it is given to a record there, and ends with
// that status. Once a path is in the record, changing the status no longer
// changes how that launch ends.
class MainWindowHelpTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    const fs::path script = launcherFolder_.path() / "xdg-open";
    testing::WriteFile(script,
                       "#!/bin/sh\n"
                       "read -r status < \"${0%/*}/status\"\n"
                       "printf '%s\\n' \"$1\" >> \"${0%/*}/opened\"\n"
                       "exit \"$status\"\n");
    fs::permissions(script, fs::perms::owner_all);
    LauncherEndsWith(0);
  }

  void LauncherEndsWith(int status) {
    testing::WriteFile(launcherFolder_.path() / "status", std::to_string(status));
  }
  QStringList Opened() const {
    const std::string record = testing::ReadFile(launcherFolder_.path() / "opened");
    return QString::fromStdString(record).split('\n', Qt::SkipEmptyParts);
  }
  void WritePage() { testing::WriteFile(paths_.helpPath.toStdString(), "<html></html>"); }

  const QString failed_ = QStringLiteral("ﾍﾙﾌﾟの起動に失敗しました。");
  testing::TempDir launcherFolder_;
  testing::ScopedEnvironment path_{"PATH",
                                   launcherFolder_.str() + ":" + qgetenv("PATH").toStdString()};
};

TEST_F(MainWindowHelpTest, MissingPageOrNoLauncherSaysItFailed) {
  Show();
  Action(ids::kHelpAction)->trigger();
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({failed_}));
  EXPECT_TRUE(Opened().isEmpty());

  WritePage();
  testing::TempDir empty;
  testing::ScopedEnvironment nothingOnPath("PATH", empty.str());
  Action(ids::kHelpAction)->trigger();
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList(2, failed_));
}

TEST_F(MainWindowHelpTest, BoxOnlyWhenTheLauncherFindsNoViewer) {
  WritePage();
  Show();
  Action(ids::kHelpAction)->trigger();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  QTest::keyClick(list_, Qt::Key_F1);
  ASSERT_TRUE(QTest::qWaitFor([this] { return Opened().size() == 2; }));

  // xdg-open ends with 3 when no viewer is installed; Qt would have counted
  // its start as success already.
  LauncherEndsWith(3);
  Action(ids::kHelpAction)->trigger();
  ASSERT_TRUE(QTest::qWaitFor([] { return !ui::Dialogs::Shown().isEmpty(); }));
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({failed_}));
  EXPECT_EQ(Opened(), QStringList(3, paths_.helpPath));
}

class MainWindowRunTest : public MainWindowTest {
 protected:
  explicit MainWindowRunTest(testing::TestFtpServerOptions options = {}) : server_(options) {}

  void SetUp() override {
    MainWindowTest::SetUp();
    server_.Start();
    testing::WriteFile(site_.path() / "index.html", "<h1>top</h1>");
    testing::WriteFile(site_.path() / "Images" / "logo.png", "png");
  }

  FtpProfile& ServerProfile() {
    FtpProfile& profile = Stored("local", site_.str());
    profile.url = server_.host();
    profile.port = server_.port();
    profile.userId = testing::TestFtpServer::kUser;
    profile.password = testing::TestFtpServer::kPassword;
    profile.remoteDir = "/";
    return profile;
  }

  // Closes the console once its run has ended, keeping its last line.
  void CloseConsoleWhenDone() {
    testing::Poll(
        [this] {
          auto* console = qobject_cast<ui::ProgressConsole*>(QApplication::activeModalWidget());
          if (console == nullptr || console->runState() == 1) {
            return false;
          }
          lastLine_ = Control<QPlainTextEdit>(console, "statusText")->toPlainText();
          if (auto* changes = console->findChild<QTextEdit*>("changeList"))
            changes_ = changes->toPlainText();
          QTest::mouseClick(Control<QPushButton>(console, "cancelButton"), Qt::LeftButton);
          return true;
        },
        20000);
  }

  std::string Log() const { return testing::ReadFile(paths_.logPath.toStdString()); }

  testing::TestFtpServer server_;
  testing::TempDir site_;
  QString lastLine_;
  QString changes_;
};

TEST_F(MainWindowRunTest, EnterPublishesWhatTheWindowShowsAndWindowStaysOpen) {
  ServerProfile().localDir = "/not/this/one";
  Show();
  Retype(folderField_, QString::fromStdString(site_.str()));
  boxes_[2]->click();  // publish Images this time
  CloseConsoleWhenDone();
  QTest::keyClick(list_, Qt::Key_Return);
  EXPECT_EQ(lastLine_, "Velmorix Successfully completed!");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(testing::ReadFile(server_.root() / "index.html"), "<h1>top</h1>");
  EXPECT_EQ(testing::ReadFile(server_.root() / "Images" / "logo.png"), "png");
  EXPECT_NE(Log().find("Copy file to FTP : "), std::string::npos) << Log();
  EXPECT_EQ(ProfileNamed("local").localDir, site_.str());
  EXPECT_EQ(ProfileNamed("local").options.skipImagesFolder, 0);
}

TEST_F(MainWindowRunTest, WithoutDestinationTransferDirectoryAndDryRunDoNothing) {
  Show();
  Retype(folderField_, QString::fromStdString(site_.str()));
  Press(ids::kTransferButton);
  Action(ids::kDirectoryAction)->trigger();
  Action(ids::kDryRunAction)->trigger();
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
  EXPECT_TRUE(fs::is_empty(server_.root()));
  EXPECT_FALSE(fs::exists(paths_.logPath.toStdString()));
}

TEST_F(MainWindowRunTest, DirectoryListsTheRemoteFolderIntoTheLog) {
  testing::WriteFile(server_.root() / "remote-page.html", "x");
  ServerProfile();
  Show();
  CloseConsoleWhenDone();
  Action(ids::kDirectoryAction)->trigger();
  EXPECT_EQ(lastLine_, "FTP ls command completed!");
  EXPECT_NE(Log().find("remote-page.html"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(server_.root() / "index.html"));
}

TEST_F(MainWindowRunTest, DryRunListsWhatTransferWouldDoAndChangesNothing) {
  testing::WriteFile(server_.root() / "old.html", "old");
  testing::WriteFile(paths_.logPath.toStdString(), "the last real run\n");
  ServerProfile().localDir = "/not/this/one";
  Show();
  Retype(folderField_, QString::fromStdString(site_.str()));
  boxes_[2]->click();  // Images too this time; deleting asks for nothing in a dry run
  CloseConsoleWhenDone();
  Action(ids::kDryRunAction)->trigger();

  EXPECT_EQ(lastLine_, "Velmorix Successfully completed!");
  const QStringList changes = changes_.split('\n');
  ASSERT_EQ(changes.size(), 4) << changes_.toStdString();
  for (const char* expected :
       {"Create Directory on FTP : ", "Copy file to FTP : ", "Delete file on FTP : "}) {
    EXPECT_TRUE(changes_.contains(expected)) << expected;
  }
  EXPECT_TRUE(changes.filter("old.html").value(0).endsWith("  (not on Local HDD)"));
  EXPECT_TRUE(changes.filter("logo.png").value(0).endsWith("  (new)"));
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
  EXPECT_EQ(testing::ReadFile(server_.root() / "old.html"), "old");
  EXPECT_FALSE(fs::exists(server_.root() / "index.html"));
  EXPECT_FALSE(fs::exists(server_.root() / "Images"));
  EXPECT_EQ(Log(), "the last real run\n");
  // The window's folder and boxes reach the profile as for Transfer.
  EXPECT_EQ(ProfileNamed("local").localDir, site_.str());
  EXPECT_EQ(ProfileNamed("local").options.skipImagesFolder, 0);
}

TEST_F(MainWindowRunTest, DryRunRefusesAMissingSourceFolderAsTransferDoes) {
  ServerProfile();
  Show();
  Retype(folderField_, QString::fromStdString((site_.path() / "missing").string()));
  Action(ids::kDryRunAction)->trigger();
  EXPECT_EQ(ui::Dialogs::Shown(),
            QStringList{"パラメタ指定の誤りです。[ローカルディスクパス]\n" +
                        QString::fromStdString((site_.path() / "missing").string()) +
                        " : No such file or directory"});
}

// A server with a self-signed certificate that requires TLS.
class MainWindowTlsRunTest : public MainWindowRunTest {
 protected:
  MainWindowTlsRunTest()
      : MainWindowRunTest({.tlsCertificate = testing::TestCertificates::Get().selfSignedPem,
                           .tlsRequired = true}) {}

  testing::TrustStore store_{true};
};

TEST_F(MainWindowTlsRunTest, CertificateAcceptedInTheBoxIsKeptWithTheDestination) {
  const std::string fingerprint = testing::TestCertificates::Get().selfSignedFingerprint;
  ServerProfile().security = kSecurityTlsIfAvailable;
  Show();
  Retype(folderField_, QString::fromStdString(site_.str()));
  ui::Dialogs::QueueAnswer(QMessageBox::Yes);
  CloseConsoleWhenDone();
  Press(ids::kTransferButton);

  EXPECT_EQ(lastLine_, "Velmorix Successfully completed!");
  ASSERT_EQ(ui::Dialogs::Shown().size(), 1);
  EXPECT_TRUE(ui::Dialogs::Shown()[0].contains(QString::fromStdString(fingerprint)));
  EXPECT_EQ(testing::ReadFile(server_.root() / "index.html"), "<h1>top</h1>");
  EXPECT_EQ(ProfileNamed("local").security, kSecurityTlsRequired);
  EXPECT_EQ(ProfileNamed("local").trustedFingerprint, fingerprint);
}

TEST_F(MainWindowTlsRunTest, CertificateRefusedInTheBoxEndsTheRunSayingWhy) {
  ServerProfile().security = kSecurityTlsIfAvailable;
  Show();
  Retype(folderField_, QString::fromStdString(site_.str()));
  ui::Dialogs::QueueAnswer(QMessageBox::No);
  CloseConsoleWhenDone();
  Press(ids::kTransferButton);

  EXPECT_TRUE(lastLine_.startsWith("エラーで終了しました: 接続先 127.0.0.1:"))
      << lastLine_.toStdString();
  EXPECT_TRUE(lastLine_.endsWith(" : 証明書を信頼しませんでした")) << lastLine_.toStdString();
  ASSERT_EQ(ui::Dialogs::Shown().size(), 2);
  EXPECT_TRUE(ui::Dialogs::Shown()[1].startsWith("サーバーの証明書を確認できないため"));
  EXPECT_TRUE(ui::Dialogs::Shown()[1].endsWith("確かめてから信頼してください。"));
  EXPECT_FALSE(fs::exists(server_.root() / "index.html"));
}

}  // namespace
}  // namespace velmorix

#include "main_window_test.moc"
