// The progress console on the offscreen platform: a real run against the
// real FTP server through it, its Cancel/Close button, lines set
// synchronously from another thread, boxes and questions from the worker,
// and a long line.
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "engine/transfer_run.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"
#include "ui/progress_console.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;
using ui::Dialogs;
using ui::ProgressConsole;

constexpr int kRunning = static_cast<int>(CompletionCode::kRunning);

QPushButton* Button(ProgressConsole& console) {
  return Control<QPushButton>(&console, "cancelButton");
}
QPlainTextEdit* StatusText(ProgressConsole& console) {
  return Control<QPlainTextEdit>(&console, "statusText");
}

// Closes the console by force should a test leave it open, so that a broken
// console fails the test instead of hanging it.
void GuardAgainstHanging(ProgressConsole& console) {
  QTimer::singleShot(20000, &console, [&console] {
    if (console.isVisible()) {
      ADD_FAILURE() << "the console was still open";
      console.done(0);
    }
  });
}

class ProgressConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { Dialogs::Script(); }
  CancelEvent cancelEvent;
};

TEST_F(ProgressConsoleTest, WindowFollowsItsTemplate) {
  ProgressConsole console(cancelEvent);
  const ui::DialogUnits units(console.font());

  EXPECT_EQ(console.windowTitle(), "VELMORIX");
  EXPECT_EQ(console.minimumSize(), units.Size(187, 45));
  EXPECT_EQ(console.maximumSize(), units.Size(187, 45));
  QPushButton* button = Button(console);
  QPlainTextEdit* text = StatusText(console);
  ASSERT_TRUE(button && text);
  EXPECT_EQ(button->text(), "ｷｬﾝｾﾙ");
  EXPECT_EQ(button->geometry(), units.Rect(73, 29, 40, 14));
  EXPECT_EQ(text->geometry(), units.Rect(2, 1, 183, 25));
  EXPECT_TRUE(text->isReadOnly());
  console.show();
  QApplication::setActiveWindow(&console);
  EXPECT_TRUE(button->hasFocus());
}

TEST_F(ProgressConsoleTest, CancelEscAndTheCloseBoxNeverCloseAnActiveRun) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  WhenModal<ProgressConsole>([this](ProgressConsole& modal) {
    QPushButton* button = Button(modal);
    button->click();
    EXPECT_TRUE(modal.isVisible());
    EXPECT_TRUE(cancelEvent.TryConsume()) << "the button must set the cancel event";
    QTest::keyClick(&modal, Qt::Key_Escape);
    EXPECT_TRUE(modal.isVisible());
    EXPECT_TRUE(cancelEvent.TryConsume()) << "Esc must set the cancel event";
    modal.close();
    EXPECT_TRUE(modal.isVisible());
    EXPECT_TRUE(cancelEvent.TryConsume()) << "the close box must set the cancel event";
    EXPECT_EQ(button->text(), "ｷｬﾝｾﾙ");

    std::thread([&modal] { modal.JobDone(CompletionCode::kCanceled); }).join();
    EXPECT_TRUE(QTest::qWaitFor([&modal] { return modal.runState() != kRunning; }, 5000));
    EXPECT_EQ(modal.runState(), static_cast<int>(CompletionCode::kCanceled));
    EXPECT_EQ(button->text(), "閉じる");
    button->click();
    EXPECT_FALSE(modal.isVisible()) << "after the notice the same button closes";
  });

  console.RunModal();

  EXPECT_FALSE(console.isVisible());
  EXPECT_FALSE(cancelEvent.TryConsume()) << "Close must not leave a cancel request behind";
}

TEST_F(ProgressConsoleTest, EscClosesOnceTheRunHasEnded) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  console.JobDone(CompletionCode::kFailed);
  WhenModal<ProgressConsole>([](ProgressConsole& modal) {
    EXPECT_TRUE(QTest::qWaitFor([&modal] { return modal.runState() != kRunning; }, 5000));
    QTest::keyClick(&modal, Qt::Key_Escape);
  });

  console.RunModal();

  EXPECT_EQ(console.runState(), static_cast<int>(CompletionCode::kFailed));
}

TEST_F(ProgressConsoleTest, ShowLineFromAnotherThreadReturnsOnlyOnceTheLineIsShown) {
  ProgressConsole console(cancelEvent);
  console.show();
  QPlainTextEdit* text = StatusText(console);
  std::atomic<bool> returned{false};
  bool returnedWhileShowing = true;
  QObject::connect(text, &QPlainTextEdit::textChanged, text, [&] {
    // Give a call that does not wait every chance to have returned.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    returnedWhileShowing = returned.load();
  });

  std::thread worker([&] {
    console.ShowLine("Copy file to FTP : /site/ページ.html");
    returned = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 5000));
  worker.join();

  EXPECT_FALSE(returnedWhileShowing);
  EXPECT_EQ(text->toPlainText(), "Copy file to FTP : /site/ページ.html");
}

TEST_F(ProgressConsoleTest, BoxesAndQuestionsFromTheWorkerAreAnsweredOnTheWindowThread) {
  ProgressConsole console(cancelEvent);
  Dialogs::QueueAnswer(QMessageBox::Ok);
  Dialogs::QueueAnswer(QMessageBox::No);
  Dialogs::QueueAnswer(QMessageBox::Yes);
  Dialogs::QueueAnswer(QMessageBox::Cancel);
  std::vector<Answer> answers;
  std::atomic<bool> finished{false};

  std::thread worker([&] {
    console.ShowError("ERROR AT FTP FINDFIRSTFILE!");
    answers.push_back(console.Ask("FTP : a\nを削除してもよろしいですか。"));
    answers.push_back(console.Ask("FTP : b\nを削除してもよろしいですか。"));
    answers.push_back(console.Ask("FTP : c\nを削除してもよろしいですか。"));
    finished = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, 5000));
  worker.join();

  EXPECT_EQ(Dialogs::Shown(),
            (QStringList{"ERROR AT FTP FINDFIRSTFILE!", "FTP : a\nを削除してもよろしいですか。",
                         "FTP : b\nを削除してもよろしいですか。",
                         "FTP : c\nを削除してもよろしいですか。"}));
  EXPECT_EQ(answers, (std::vector<Answer>{Answer::kNo, Answer::kYes, Answer::kCancel}));
}

TEST_F(ProgressConsoleTest, ALongLineWrapsAndANewLineReplacesIt) {
  ProgressConsole console(cancelEvent);
  console.show();
  QPlainTextEdit* text = StatusText(console);
  const std::string longPath = "Copy file to FTP : /site/" + std::string(300, 'x') + ".html";

  console.ShowLine(longPath);
  QApplication::processEvents();

  const QTextBlock block = text->document()->firstBlock();
  ASSERT_NE(block.layout(), nullptr);
  EXPECT_GT(block.layout()->lineCount(), 1);
  EXPECT_EQ(text->horizontalScrollBar()->maximum(), 0);

  console.ShowLine("Velmorix Successfully completed!");
  EXPECT_EQ(text->toPlainText(), "Velmorix Successfully completed!");
  EXPECT_EQ(text->document()->blockCount(), 1);
}

// --- Runs through the console ---------------------------------------------------

class ProgressConsoleRunTest : public FtpServerTest {
 protected:
  void SetUp() override {
    FtpServerTest::SetUp();
    Dialogs::Script();
    profile.url = server_.host();
    profile.port = server_.port();
    profile.userId = TestFtpServer::kUser;
    profile.password = TestFtpServer::kPassword;
    profile.remoteDir = "/";
    profile.localDir = local.str();
    profile.options = {0, 0, 0, 0, 0};
    settings.deleteMessage = 1;
    WriteFile(local.path() / "a.txt", "a");
    WriteFile(local.path() / "sub/b.txt", "b");
  }
  RunRequest Request(RunConsole& console) {
    return {.settings = settings,
            .profile = profile,
            .console = console,
            .cancelEvent = cancelEvent,
            .logPath = (logDir.path() / "VELMORIX.LOG").string(),
            .timeouts = {std::chrono::milliseconds(3000), std::chrono::milliseconds(3000),
                         std::chrono::milliseconds(3000)}};
  }
  // Waits for the notice, notes what the console shows, then closes it.
  void CloseWhenDone() {
    WhenModal<ProgressConsole>([this](ProgressConsole& modal) {
      EXPECT_TRUE(QTest::qWaitFor([&modal] { return modal.runState() != kRunning; }, 15000));
      finalText = StatusText(modal)->toPlainText();
      finalButton = Button(modal)->text();
      Button(modal)->click();
    });
  }

  TempDir local;
  TempDir logDir;
  AppSettings settings;
  FtpProfile profile;
  CancelEvent cancelEvent;
  QString finalText;
  QString finalButton;
};

TEST_F(ProgressConsoleRunTest, RealRunEndsWithItsLastLineAndCloseButton) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(finalText, "Velmorix Successfully completed!");
  EXPECT_EQ(finalButton, "閉じる");
  EXPECT_EQ(ReadFile(server_.root() / "sub/b.txt"), "b");
  EXPECT_FALSE(console.isVisible());
}

TEST_F(ProgressConsoleRunTest, QuestionsOfThePruningAreAskedThroughTheConsole) {
  profile.options.deleteOnServer = 1;
  WriteFile(server_.root() / "old.txt", "o");
  Dialogs::QueueAnswer(QMessageBox::No);
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(Dialogs::Shown(), QStringList{"FTP : old.txt\nを削除してもよろしいですか。"});
  EXPECT_TRUE(fs::exists(server_.root() / "old.txt"));
}

TEST_F(ProgressConsoleRunTest, FailedRunKeepsTheLineShownBeforeItsBox) {
  profile.remoteDir = "/missing";
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kFailed);

  EXPECT_EQ(Dialogs::Shown(), QStringList{"パラメタ指定の誤りです。[ＦＴＰサーバーパス]"});
  EXPECT_EQ(finalText, "Velmorix Failed..See Error Message !!");
  EXPECT_EQ(finalButton, "閉じる");
}

TEST_F(ProgressConsoleRunTest, CancelButtonDuringARunEndsItAsCanceled) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  // Pressed while the worker waits for the line to be shown, so the request
  // is certainly there before the run's first test.
  const QString connected = "Connect to " + QString::fromStdString(profile.url) + " complete!";
  QObject::connect(StatusText(console), &QPlainTextEdit::textChanged, &console,
                   [&console, connected] {
                     if (StatusText(console)->toPlainText() == connected)
                       Button(console)->click();
                   });
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kCanceled);

  EXPECT_EQ(finalText, "Velmorix Canceled!");
  EXPECT_FALSE(fs::exists(server_.root() / "a.txt"));
}

TEST_F(ProgressConsoleRunTest, RefusedSourceFolderShowsItsBoxWithoutOpeningTheConsole) {
  profile.localDir = (local.path() / "missing").string();
  ProgressConsole console(cancelEvent);

  EXPECT_EQ(StartTransfer(Request(console)), std::nullopt);

  EXPECT_EQ(Dialogs::Shown(), QStringList{"パラメタ指定の誤りです。[ローカルディスクパス]"});
  EXPECT_FALSE(console.isVisible());
}

TEST_F(ProgressConsoleRunTest, ListingEndsWithItsLastLine) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartListing(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(finalText, "FTP ls command completed!");
}

}  // namespace
}  // namespace velmorix::testing
