#include "ui/progress_console.h"

#include <QCoreApplication>
#include <QEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextOption>
#include <QThread>
#include <QTimer>

#include "engine/run_progress.h"
#include "resources/string_table.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"

namespace velmorix::ui {
namespace {

// The last line of a failed run: that it failed, and why when known.
QString FailedLine(const std::string& cause) {
  QString line = QStringLiteral("エラーで終了しました");
  if (!cause.empty())
    line += QStringLiteral(": ") + QString::fromStdString(cause);
  return line;
}

// The window's height in dialog units: the two controls of the original
// console, then the progress bar and its line of counts below them, then a
// dry run's list of changes, which a dry run's window may be made larger
// for; the list keeps its margins to the window's edges.
constexpr int kWidth = 187;
constexpr int kListingHeight = 45;
constexpr int kTransferHeight = 76;
constexpr int kDryRunHeight = 200;
constexpr QRect kChangeListRect(2, 76, 183, 122);
// How far a wrapped change line is indented below its first line.
constexpr int kChangeIndent = 8;

// The bar counts in tenths of a percent, so that a large run still moves it.
constexpr int kBarScale = 1000;
constexpr int kPollIntervalMs = 100;

constexpr QEvent::Type kJobDoneEvent = static_cast<QEvent::Type>(WM_JOB_DONE);

// The completion notice, posted from the worker thread.
class JobDoneEvent : public QEvent {
 public:
  explicit JobDoneEvent(CompletionCode code) : QEvent(kJobDoneEvent), code(code) {}
  const CompletionCode code;
};

// A read-only text area whose long lines break anywhere: paths have no
// spaces to break at.
template <typename TextArea>
TextArea* AddTextArea(QWidget* parent, const char* name) {
  auto* text = new TextArea(parent);
  text->setObjectName(QLatin1String(name));
  text->setReadOnly(true);
  text->setLineWrapMode(TextArea::WidgetWidth);
  text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  return text;
}

// The counts and the summary wrap in their two lines at spaces; an amount
// and its unit ("675 B", "1.5 MB") stay on one line.
QString KeepAmountsWhole(const std::string& line) {
  static const QRegularExpression amount(QStringLiteral("(\\d) ([KMG]?B\\b)"));
  return QString::fromStdString(line).replace(amount, QStringLiteral("\\1\u00A0\\2"));
}

int HeightOf(ConsoleKind kind) {
  switch (kind) {
    case ConsoleKind::kListing:
    case ConsoleKind::kConnectionTest:
      return kListingHeight;
    case ConsoleKind::kDryRun:
      return kDryRunHeight;
    case ConsoleKind::kTransfer:
      break;
  }
  return kTransferHeight;
}

}  // namespace

ProgressConsole::ProgressConsole(CancelEvent& cancelEvent, ConsoleKind kind, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      cancelEvent_(cancelEvent),
      kind_(kind) {
  setWindowTitle(QString::fromUtf8(strings::kProgramName.data(),
                                   static_cast<qsizetype>(strings::kProgramName.size())));
  setFont(DialogFont());
  const DialogUnits units(font());
  const QSize size = units.Size(kWidth, HeightOf(kind));
  if (kind == ConsoleKind::kDryRun) {
    setMinimumSize(size);
    resize(size);
  } else {
    setFixedSize(size);
  }

  // The button is the first control, so it has the focus when the window opens.
  button_ = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
  button_->setObjectName(QStringLiteral("cancelButton"));
  button_->setAutoDefault(false);
  Place(button_, units, 73, 29, 40, 14);
  connect(button_, &QPushButton::clicked, this, &ProgressConsole::reject);

  statusText_ = AddTextArea<QPlainTextEdit>(this, "statusText");
  Place(statusText_, units, 2, 1, 183, 25);
  setTabOrder(button_, statusText_);

  if (kind == ConsoleKind::kTransfer || kind == ConsoleKind::kDryRun) {
    // The label below the bar says how far the run has come, so the bar
    // carries no text of its own.
    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setRange(0, kBarScale);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    Place(progressBar_, units, 2, 47, 183, 8);

    // Two lines: the summary at the end is longer than the counts.
    progressText_ = new QLabel(this);
    progressText_->setObjectName(QStringLiteral("progressText"));
    progressText_->setTextFormat(Qt::PlainText);
    progressText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    progressText_->setWordWrap(true);
    Place(progressText_, units, 3, 57, 181, 18);

    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(kPollIntervalMs);
    connect(progressTimer_, &QTimer::timeout, this, &ProgressConsole::PollProgress);
  }
  if (kind == ConsoleKind::kDryRun) {
    // A text edit rather than a plain one: a change that wraps is indented
    // below its first line, so each change stands out.
    changeList_ = AddTextArea<QTextEdit>(this, "changeList");
    const QRect rect = units.Rect(kChangeListRect.x(), kChangeListRect.y(), kChangeListRect.width(),
                                  kChangeListRect.height());
    changeList_->setGeometry(rect);
    changeListMargins_ = QSize(size.width() - rect.right(), size.height() - rect.bottom());
    changeFormat_.setLeftMargin(units.X(kChangeIndent));
    changeFormat_.setTextIndent(-units.X(kChangeIndent));
    QTextCursor(changeList_->document()).setBlockFormat(changeFormat_);
    setTabOrder(statusText_, changeList_);
  }

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

void ProgressConsole::ShowChange(const std::string& line) {
  const QString text = QString::fromStdString(line);
  RunOnWindowThread([this, &text] {
    // Only a dry run's console lists changes.
    if (changeList_ == nullptr)
      return;
    // The list follows its end unless the user has scrolled up to read.
    QScrollBar* scrollBar = changeList_->verticalScrollBar();
    const bool followEnd = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(changeList_->document());
    cursor.movePosition(QTextCursor::End);
    if (!changeList_->document()->isEmpty())
      cursor.insertBlock(changeFormat_);
    cursor.insertText(text);
    if (followEnd)
      scrollBar->setValue(scrollBar->maximum());
  });
}

void ProgressConsole::ShowSummary(const std::string& line) {
  const QString text = KeepAmountsWhole(line);
  RunOnWindowThread([this, &text] {
    if (progressText_ == nullptr)
      return;
    progressText_->setText(text);
    summaryShown_ = true;
  });
}

void ProgressConsole::ShowError(const std::string& text) {
  const QString message = QString::fromStdString(text);
  RunOnWindowThread([this, &message] { Dialogs::Warn(this, message); });
}

void ProgressConsole::ShowFailure(const RunFailure& failure) {
  const QString line = FailedLine(failure.cause);
  const QString message = QString::fromStdString(FailureText(failure));
  RunOnWindowThread([this, &line, &message] {
    failureLine_ = line;
    statusText_->setPlainText(line);
    Dialogs::Warn(this, message);
  });
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

bool ProgressConsole::AskYes(const std::string& question) {
  // いいえ is the default button: Enter keeps things as they are.
  const QString text = QString::fromStdString(question);
  bool yes = false;
  RunOnWindowThread(
      [this, &text, &yes] { yes = Dialogs::AskYesNo(this, text) == QMessageBox::Yes; });
  return yes;
}

bool ProgressConsole::TrustCertificate(const CertificateInfo&, const std::string& question) {
  return AskYes(question);
}

bool ProgressConsole::TrustHostKey(const std::string&, const std::string& question) {
  return AskYes(question);
}

std::optional<std::string> ProgressConsole::AskPassphrase(const std::string& keyFile) {
  const QString file = QString::fromStdString(keyFile);
  std::optional<std::string> passphrase;
  RunOnWindowThread([this, &file, &passphrase] {
    bool given = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("VELMORIX"),
                                               QStringLiteral("鍵ファイルのパスフレーズ:\n") + file,
                                               QLineEdit::Password, {}, &given);
    if (given && !text.isEmpty())
      passphrase = text.toStdString();
  });
  return passphrase;
}

bool ProgressConsole::ConfirmMassDeletion(const std::string& question, int64_t) {
  return AskYes(question);
}

void ProgressConsole::JobDone(CompletionCode code) {
  QCoreApplication::postEvent(this, new JobDoneEvent(code));
}

void ProgressConsole::WatchProgress(const RunProgress& progress) {
  if (progressTimer_ == nullptr)
    return;
  progress_ = &progress;
  PollProgress();
  progressTimer_->start();
}

void ProgressConsole::PollProgress() {
  if (progress_ == nullptr)
    return;
  const ProgressSnapshot snapshot = progress_->Read();
  if (!snapshot.totalsKnown && runState_ == static_cast<int>(CompletionCode::kRunning)) {
    // Until the local scan has counted the files there is nothing to
    // measure against: the bar only says that the run is busy.
    progressBar_->setRange(0, 0);
  } else {
    progressBar_->setRange(0, kBarScale);
    progressBar_->setValue(ProgressFraction(snapshot, kBarScale));
  }
  if (!summaryShown_)
    progressText_->setText(KeepAmountsWhole(FormatProgressText(snapshot)));
}

void ProgressConsole::StopWatching() {
  if (progressTimer_ != nullptr)
    progressTimer_->stop();
  progress_ = nullptr;
}

void ProgressConsole::RunModal() {
  exec();
  // The counters may die with the run from now on.
  StopWatching();
}

void ProgressConsole::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (changeList_ != nullptr) {
    const QPoint topLeft = changeList_->geometry().topLeft();
    changeList_->setGeometry(QRect(topLeft, QPoint(width() - changeListMargins_.width(),
                                                   height() - changeListMargins_.height())));
  }
}

bool ProgressConsole::event(QEvent* event) {
  if (event->type() == kJobDoneEvent) {
    runState_ = static_cast<int>(static_cast<JobDoneEvent*>(event)->code);
    button_->setText(QStringLiteral("閉じる"));
    // Whatever was shown after the failure, the last line says why the
    // run ended.
    if (runState_ == static_cast<int>(CompletionCode::kFailed))
      statusText_->setPlainText(failureLine_.isEmpty() ? FailedLine({}) : failureLine_);
    // The counters are final now; the bar shows where the run ended.
    PollProgress();
    if (progressTimer_ != nullptr)
      progressTimer_->stop();
    if (kind_ == ConsoleKind::kConnectionTest)
      accept();
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
