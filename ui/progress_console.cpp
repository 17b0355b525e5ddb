#include "ui/progress_console.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextOption>
#include <QThread>

#include "resources/string_table.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"

namespace velmorix::ui {
namespace {

constexpr QEvent::Type kJobDoneEvent = static_cast<QEvent::Type>(WM_JOB_DONE);

// The completion notice, posted from the worker thread.
class JobDoneEvent : public QEvent {
 public:
  explicit JobDoneEvent(CompletionCode code) : QEvent(kJobDoneEvent), code(code) {}
  const CompletionCode code;
};

}  // namespace

ProgressConsole::ProgressConsole(CancelEvent& cancelEvent, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      cancelEvent_(cancelEvent) {
  setWindowTitle(QString::fromUtf8(strings::kProgramName.data(),
                                   static_cast<qsizetype>(strings::kProgramName.size())));
  setFont(DialogFont());
  const DialogUnits units(font());
  setFixedSize(units.Size(187, 45));

  // The button is the first control, so it has the focus when the window opens.
  button_ = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
  button_->setObjectName(QStringLiteral("cancelButton"));
  button_->setAutoDefault(false);
  Place(button_, units, 73, 29, 40, 14);
  connect(button_, &QPushButton::clicked, this, &ProgressConsole::reject);

  statusText_ = new QPlainTextEdit(this);
  statusText_->setObjectName(QStringLiteral("statusText"));
  statusText_->setReadOnly(true);
  statusText_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Paths have no spaces to break at, so a long one breaks anywhere.
  statusText_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  statusText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  statusText_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Place(statusText_, units, 2, 1, 183, 25);

  setTabOrder(button_, statusText_);
  button_->setFocus();
}

ProgressConsole::~ProgressConsole() = default;

template <typename Task>
void ProgressConsole::RunOnWindowThread(Task&& task) {
  if (QThread::currentThread() == thread()) {
    task();
  } else {
    // The modal loop of RunModal serves the call; a call made before it
    // starts waits for it.
    QMetaObject::invokeMethod(this, std::forward<Task>(task), Qt::BlockingQueuedConnection);
  }
}

void ProgressConsole::ShowLine(const std::string& line) {
  const QString text = QString::fromStdString(line);
  RunOnWindowThread([this, &text] { statusText_->setPlainText(text); });
}

void ProgressConsole::ShowError(const std::string& text) {
  const QString message = QString::fromStdString(text);
  RunOnWindowThread([this, &message] { Dialogs::Warn(this, message); });
}

Answer ProgressConsole::Ask(const std::string& text) {
  const QString question = QString::fromStdString(text);
  Answer answer = Answer::kCancel;
  RunOnWindowThread([this, &question, &answer] {
    switch (Dialogs::AskYesNoCancel(this, question)) {
      case QMessageBox::Yes:
        answer = Answer::kYes;
        break;
      case QMessageBox::No:
        answer = Answer::kNo;
        break;
      default:
        answer = Answer::kCancel;
        break;
    }
  });
  return answer;
}

bool ProgressConsole::TrustCertificate(const CertificateInfo&, const std::string& question) {
  const QString text = QString::fromStdString(question);
  bool trusted = false;
  RunOnWindowThread(
      [this, &text, &trusted] { trusted = Dialogs::AskYesNo(this, text) == QMessageBox::Yes; });
  return trusted;
}

void ProgressConsole::JobDone(CompletionCode code) {
  QCoreApplication::postEvent(this, new JobDoneEvent(code));
}

void ProgressConsole::RunModal() {
  exec();
}

bool ProgressConsole::event(QEvent* event) {
  if (event->type() == kJobDoneEvent) {
    runState_ = static_cast<int>(static_cast<JobDoneEvent*>(event)->code);
    button_->setText(QStringLiteral("閉じる"));
    return true;
  }
  return QDialog::event(event);
}

void ProgressConsole::reject() {
  if (runState_ == static_cast<int>(CompletionCode::kRunning)) {
    // The run goes on until the worker notices the request; the window
    // stays open, since the run still needs it.
    cancelEvent_.Set();
    return;
  }
  QDialog::reject();
}

}  // namespace velmorix::ui
