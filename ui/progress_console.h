// The progress console: the small modal window that shows the latest line of
// a transfer or a listing, with a Cancel button that becomes Close when the
// run has ended.
//
// The window program creates one per run on the window thread and hands it
// to StartTransfer or StartListing, which call RunModal. The worker thread
// calls ShowLine, ShowError, Ask, TrustCertificate and JobDone: the first
// four run on the
// window thread while the worker waits; JobDone only posts the notice. The
// console must outlive the run (StartTransfer returns after the worker has
// ended, so a console on the caller's stack does).
#pragma once

#include <QDialog>

#include "engine/cancel_event.h"
#include "engine/run_console.h"

class QPlainTextEdit;
class QPushButton;

namespace velmorix::ui {

class ProgressConsole : public QDialog, public RunConsole {
  Q_OBJECT

 public:
  explicit ProgressConsole(CancelEvent& cancelEvent, QWidget* parent = nullptr);
  ~ProgressConsole() override;

  void ShowLine(const std::string& line) override;
  void ShowError(const std::string& text) override;
  Answer Ask(const std::string& text) override;
  bool TrustCertificate(const CertificateInfo& certificate, const std::string& question) override;
  void JobDone(CompletionCode code) override;
  void RunModal() override;

  // 1 while the run is active, then the completion code received. Window
  // thread only.
  int runState() const { return runState_; }

 protected:
  bool event(QEvent* event) override;
  // The Cancel button, Esc and the close box all come here.
  void reject() override;

 private:
  // Runs `task` on the window thread and returns when it has run.
  template <typename Task>
  void RunOnWindowThread(Task&& task);

  CancelEvent& cancelEvent_;
  int runState_ = static_cast<int>(CompletionCode::kRunning);
  QPushButton* button_;
  QPlainTextEdit* statusText_;
};

}  // namespace velmorix::ui
