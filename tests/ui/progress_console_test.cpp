// The progress console on the offscreen platform: a real run against the
// real FTP server through it, its Cancel/Close button, lines set
// synchronously from another thread, boxes and questions from the worker,
// a long line, the progress bar and its counts, and a dry run's changes.
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "engine/run_progress.h"
#include "engine/transfer_run.h"
#include "listing/remote_listing.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"
#include "ui/progress_console.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;
using ui::ConsoleKind;
using ui::Dialogs;
using ui::ProgressConsole;

constexpr int kRunning = static_cast<int>(CompletionCode::kRunning);

QPushButton* Button(ProgressConsole& console) {
  return Control<QPushButton>(&console, "cancelButton");
}
QPlainTextEdit* StatusText(ProgressConsole& console) {
  return Control<QPlainTextEdit>(&console, "statusText");
}
QProgressBar* Bar(ProgressConsole& console) {
  return Control<QProgressBar>(&console, "progressBar");
}
QLabel* ProgressText(ProgressConsole& console) {
  return Control<QLabel>(&console, "progressText");
}
// What a label says, read as text: the console keeps amounts and their
// units together with no-break spaces.
QString Read(const QLabel* label) {
  return label->text().replace(QChar(0x00A0), QLatin1Char(' '));
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

// The window grows downward for what each kind of run shows; the status
// text and the button keep their places in every kind, also when a dry
// run's window is made larger for its list.
TEST_F(ProgressConsoleTest, EachKindKeepsTheTemplateControlsAndAddsItsOwnBelowThem) {
  const struct {
    ConsoleKind kind;
    bool counts;
    bool changes;
  } kinds[] = {{ConsoleKind::kListing, false, false},
               {ConsoleKind::kTransfer, true, false},
               {ConsoleKind::kDryRun, true, true}};
  int previousHeight = 0;
  for (const auto& each : kinds) {
    SCOPED_TRACE(static_cast<int>(each.kind));
    ProgressConsole console(cancelEvent, each.kind);
    const ui::DialogUnits units(console.font());

    EXPECT_EQ(console.windowTitle(), "VELMORIX");
    EXPECT_EQ(console.minimumSize(), console.size());
    EXPECT_EQ(console.maximumSize() == console.size(), !each.changes) << "only a dry run grows";
    EXPECT_EQ(console.width(), units.X(187));
    EXPECT_GT(console.height(), previousHeight);
    previousHeight = console.height();
    if (each.kind == ConsoleKind::kListing) {
      EXPECT_EQ(console.size(), units.Size(187, 45));
    }
    QPushButton* button = Button(console);
    QPlainTextEdit* text = StatusText(console);
    ASSERT_TRUE(button && text);
    EXPECT_EQ(button->text(), "ｷｬﾝｾﾙ");
    EXPECT_EQ(button->geometry(), units.Rect(73, 29, 40, 14));
    EXPECT_EQ(text->geometry(), units.Rect(2, 1, 183, 25));
    EXPECT_TRUE(text->isReadOnly());

    // Each added control lies below the one before it and inside the window.
    auto* bar = console.findChild<QProgressBar*>("progressBar");
    auto* counts = console.findChild<QLabel*>("progressText");
    auto* changes = console.findChild<QTextEdit*>("changeList");
    EXPECT_EQ(bar != nullptr, each.counts);
    EXPECT_EQ(counts != nullptr, each.counts);
    EXPECT_EQ(changes != nullptr, each.changes);
    int bottom = button->geometry().bottom();
    for (QWidget* added : {static_cast<QWidget*>(bar), static_cast<QWidget*>(counts),
                           static_cast<QWidget*>(changes)}) {
      if (added == nullptr)
        continue;
      EXPECT_GT(added->geometry().top(), bottom) << added->objectName().toStdString();
      EXPECT_TRUE(console.rect().contains(added->geometry())) << added->objectName().toStdString();
      bottom = added->geometry().bottom();
    }
    if (changes != nullptr) {
      EXPECT_TRUE(changes->isReadOnly());
    }

    console.show();
    QApplication::setActiveWindow(&console);
    EXPECT_TRUE(button->hasFocus());
    if (changes != nullptr) {
      const QRect before = changes->geometry();
      console.resize(console.size() + QSize(120, 80));
      EXPECT_EQ(changes->geometry(), before.adjusted(0, 0, 120, 80));
      EXPECT_EQ(button->geometry(), units.Rect(73, 29, 40, 14));
    }
  }
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

// The worker only counts; the window's timer shows the counts, and the
// notice shows them once more, so the bar ends where the run ended.
TEST_F(ProgressConsoleTest, BarAndCountsFollowTheRunsCounters) {
  constexpr int64_t kMiB = 1024 * 1024;
  ProgressConsole console(cancelEvent);
  RunProgress progress;      // never started, so no rate and no time left
  RunProgress::Share share;  // of the upload under way
  console.WatchProgress(progress);
  QProgressBar* bar = Bar(console);
  QLabel* counts = ProgressText(console);
  ASSERT_TRUE(bar && counts);

  const struct {
    const char* step;
    std::function<void()> count;
    int maximum;  // 0: busy, before the local scan has counted
    int value;
    QString text;
  } steps[] = {
      {"before the scan", [] {}, 0, 0, ""},
      {"the scan's totals", [&] { progress.SetTotals(5, 10 * kMiB); }, 1000, 0,
       "0 / 5 ファイル  0.0 / 10.0 MB"},
      {"one uploaded, one up to date, which the totals leave out",
       [&] {
         progress.FileDone(2 * kMiB, true);
         progress.FileDone(2 * kMiB, false);
       },
       1000, 200, "1 / 5 ファイル  2.0 / 10.0 MB"},
      {"a quarter of an upload", [&] { progress.FileSending(share, 4 * kMiB, kMiB); }, 1000, 300,
       "1 / 5 ファイル  3.0 / 10.0 MB"},
  };
  for (const auto& each : steps) {
    SCOPED_TRACE(each.step);
    each.count();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          return bar->maximum() == each.maximum && bar->value() == each.value &&
                 Read(counts) == each.text;
        },
        5000))
        << bar->value() << " of " << bar->maximum() << ", " << Read(counts).toStdString();
  }

  progress.FileDone(4 * kMiB, true, share);
  progress.FileDone(2 * kMiB, true);
  progress.FileDone(1 * kMiB, true);
  progress.FileDone(1 * kMiB, true);
  console.JobDone(CompletionCode::kCompleted);
  ASSERT_TRUE(QTest::qWaitFor([&] { return console.runState() != kRunning; }, 5000));
  EXPECT_EQ(bar->value(), 1000);
  EXPECT_EQ(Read(counts), "5 / 5 ファイル  10.0 / 10.0 MB");
}

// Changes pile up in their list while the status text keeps only the
// latest line, and the summary takes the counts' place for good.
TEST_F(ProgressConsoleTest, DryRunKeepsEveryChangeAndTheSummaryBesideTheLastLine) {
  ProgressConsole console(cancelEvent, ConsoleKind::kDryRun);
  RunProgress progress;
  progress.SetTotals(2, 20);
  console.WatchProgress(progress);
  const QStringList changes = {"Create Directory on FTP : /site/新しい  (new)",
                               "Copy file to FTP : /site/新しい/a.html  (new)",
                               "Delete file on FTP : /site/old.html  (not on Local HDD)"};
  const QString summary =
      "Dry run : 1 directories to create, 1 files to upload (10 B), 1 entries to delete";
  std::atomic<bool> finished{false};

  std::thread worker([&] {
    for (const QString& change : changes) {
      console.ShowLine("Searching files and directories at /site");
      console.ShowChange(change.toStdString());
    }
    console.ShowLine("Velmorix Successfully completed!");
    progress.FileDone(10, true);
    progress.FileDone(10, true);
    console.ShowSummary(summary.toStdString());
    console.JobDone(CompletionCode::kCompleted);
    finished = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return finished && console.runState() != kRunning; }, 5000));
  worker.join();

  EXPECT_EQ(Control<QTextEdit>(&console, "changeList")->toPlainText(), changes.join('\n'));
  EXPECT_EQ(StatusText(console)->toPlainText(), "Velmorix Successfully completed!");
  EXPECT_EQ(Read(ProgressText(console)), summary) << "the last poll must not replace it";
  EXPECT_EQ(Bar(console)->value(), 1000);
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
      if (auto* bar = modal.findChild<QProgressBar*>("progressBar"))
        finalBar = bar->value();
      if (auto* counts = modal.findChild<QLabel*>("progressText"))
        finalCounts = Read(counts);
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
  int finalBar = -1;
  QString finalCounts;
};

TEST_F(ProgressConsoleRunTest, RealRunEndsWithItsLastLineAndCloseButton) {
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(finalText, "Velmorix Successfully completed!");
  EXPECT_EQ(finalButton, "閉じる");
  EXPECT_EQ(finalBar, 1000);
  EXPECT_TRUE(
      finalCounts.startsWith("Summary : 2 files uploaded (2 B), 1 directories created, "
                             "0 entries deleted, "))
      << finalCounts.toStdString();
  EXPECT_EQ(ReadFile(server_.root() / "sub/b.txt"), "b");
  EXPECT_FALSE(console.isVisible());
}

TEST_F(ProgressConsoleRunTest, QuestionsOfThePruningAreAskedThroughTheConsole) {
  profile.options.deleteOnServer = 1;
  WriteFile(server_.root() / "old.txt", "o");
  // A kept page: one deletion of two entries is no mass deletion.
  WriteFile(server_.root() / "page.html", "p");
  WriteFile(local.path() / "page.html", "p");
  Dialogs::QueueAnswer(QMessageBox::No);
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(Dialogs::Shown(), QStringList{"FTP : old.txt\nを削除してもよろしいですか。"});
  EXPECT_TRUE(fs::exists(server_.root() / "old.txt"));
}

// An empty local folder over a site: a box asks first, and いいえ (the
// answer Enter gives) keeps the site as it is.
TEST_F(ProgressConsoleRunTest, AMassDeletionIsAskedInABoxAndNoChangesNothing) {
  profile.options.deleteOnServer = 1;
  settings.deleteMessage = 0;
  fs::remove_all(local.path() / "a.txt");
  fs::remove_all(local.path() / "sub");
  WriteFile(server_.root() / "index.html", "i");
  Dialogs::QueueAnswer(QMessageBox::No);
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kStopped);

  ASSERT_EQ(Dialogs::Shown().size(), 1);
  EXPECT_TRUE(
      Dialogs::Shown()[0].startsWith("ローカルのフォルダーに転送するものがありません。\n"
                                     "FTP の 1 件のうち 1 件を削除しようとしています。"))
      << Dialogs::Shown()[0].toStdString();
  EXPECT_EQ(finalText, "Stopped before deleting 1 of 1 entries on FTP");
  EXPECT_EQ(finalButton, "閉じる");
  EXPECT_TRUE(fs::exists(server_.root() / "index.html"));
}

TEST_F(ProgressConsoleRunTest, FailedRunShowsItsCauseInTheBoxAndTheLastLine) {
  profile.remoteDir = "/missing";
  ProgressConsole console(cancelEvent);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartTransfer(Request(console)), CompletionCode::kFailed);

  EXPECT_EQ(Dialogs::Shown(), QStringList{"パラメタ指定の誤りです。[ＦＴＰサーバーパス]\n"
                                          "/missing : 550 No such file or directory."});
  EXPECT_EQ(finalText, "エラーで終了しました: /missing : 550 No such file or directory.");
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

  EXPECT_EQ(Dialogs::Shown(),
            QStringList{"パラメタ指定の誤りです。[ローカルディスクパス]\n" +
                        QString::fromStdString(profile.localDir) + " : No such file or directory"});
  EXPECT_FALSE(console.isVisible());
}

TEST_F(ProgressConsoleRunTest, ListingEndsWithItsLastLine) {
  ProgressConsole console(cancelEvent, ConsoleKind::kListing);
  GuardAgainstHanging(console);
  CloseWhenDone();

  EXPECT_EQ(StartListing(Request(console)), CompletionCode::kCompleted);

  EXPECT_EQ(finalText, "FTP ls command completed!");
}

}  // namespace
}  // namespace velmorix::testing
