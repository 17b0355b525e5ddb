// The progress console: the small modal window that shows the latest line of
// a transfer or a listing, with a Cancel button that becomes Close when the
// run has ended. Below them a transfer shows a progress bar and a line of
// counts, which the run's summary replaces at its end; a dry run adds the
// list of the changes it found.
//
// The window program creates one per run on the window thread and hands it
// to StartTransfer or StartListing, which call WatchProgress (a transfer
// only) and RunModal on that thread. The worker thread calls ShowLine,
// ShowChange, ShowSummary, ShowError, Ask, TrustCertificate and JobDone: all
// but JobDone run on the window thread while the worker waits; JobDone only
// posts the notice. The console must outlive the run (StartTransfer returns
// after the worker has ended, so a console on the caller's stack does).
//
// Progress never holds up the worker: it only writes the atomic counters of
// the RunProgress given to WatchProgress, and the window thread reads them
// with a timer, every 100 ms and once more at the notice, until RunModal
// returns.
#pragma once

#include <QDialog>
#include <QSize>
#include <QTextBlockFormat>

#include "engine/cancel_event.h"
#include "engine/run_console.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;
class QTimer;

namespace velmorix::ui {

enum class ConsoleKind {
  kTransfer,  // status line, Cancel, progress bar and counts
  kDryRun,    // the same, and below them the list of changes; may be enlarged
  kListing,   // status line and Cancel only: a listing has no counts
  // As a listing's, and it closes itself when the test has ended: the
  // test's lines are shown together afterwards.
  kConnectionTest,
};

class ProgressConsole : public QDialog, public RunConsole {
  Q_OBJECT

 public:
  explicit ProgressConsole(CancelEvent& cancelEvent, ConsoleKind kind = ConsoleKind::kTransfer,
                           QWidget* parent = nullptr);
  ~ProgressConsole() override;

  void ShowLine(const std::string& line) override;
  // Added to a dry run's list of changes; a console of another kind has no
  // list and drops it.
  void ShowChange(const std::string& line) override;
  // Shown in place of the counts, which no later poll brings back; a
  // listing's console has no place for it and drops it.
  void ShowSummary(const std::string& line) override;
  void ShowError(const std::string& text) override;
  // The cause takes the place of the last line, with word that the run
  // failed, before the box is shown; it stays there when the run ends.
  void ShowFailure(const RunFailure& failure) override;
  Answer Ask(const std::string& text) override;
  bool TrustCertificate(const CertificateInfo& certificate, const std::string& question) override;
  bool TrustHostKey(const std::string& fingerprint, const std::string& question) override;
  // A password box; nothing when it is closed or left empty.
  std::optional<std::string> AskPassphrase(const std::string& keyFile) override;
  bool ConfirmMassDeletion(const std::string& question, int64_t deletions) override;
  // Window thread. `progress` must stay alive until RunModal has returned.
  void WatchProgress(const RunProgress& progress) override;
  void JobDone(CompletionCode code) override;
  void RunModal() override;

  // 1 while the run is active, then the completion code received. Window
  // thread only.
  int runState() const { return runState_; }

 protected:
  bool event(QEvent* event) override;
  // A dry run's list of changes takes what the window grows by.
  void resizeEvent(QResizeEvent* event) override;
  // The Cancel button, Esc and the close box all come here.
  void reject() override;

 private:
  // Runs `task` on the window thread and returns when it has run.
  template <typename Task>
  void RunOnWindowThread(Task&& task);
  // A Yes/No question in a box, asked from the worker thread; true for Yes.
  bool AskYes(const std::string& question);
  // Window thread: shows what the counters say now.
  void PollProgress();
  void StopWatching();

  CancelEvent& cancelEvent_;
  const ConsoleKind kind_;
  int runState_ = static_cast<int>(CompletionCode::kRunning);
  QPushButton* button_;
  QPlainTextEdit* statusText_;
  QProgressBar* progressBar_ = nullptr;    // not for a listing
  QLabel* progressText_ = nullptr;         // not for a listing
  QTextEdit* changeList_ = nullptr;        // a dry run only
  QSize changeListMargins_;                // from its far edges to the window's
  QTextBlockFormat changeFormat_;          // each change a block, wrapped lines indented
  QTimer* progressTimer_ = nullptr;        // not for a listing
  const RunProgress* progress_ = nullptr;  // from WatchProgress until RunModal returns
  bool summaryShown_ = false;              // the counts no longer replace the text
  QString failureLine_;                    // what ShowFailure put in the last line
};

}  // namespace velmorix::ui
