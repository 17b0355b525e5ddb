#include "ui/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPointer>
#include <QProcess>
#include <QQueue>
#include <QStandardPaths>
#include <QTextBoundaryFinder>
#include <QUrl>

#include "ui/dialog_metrics.h"

namespace velmorix::ui {
namespace {

struct ScriptState {
  bool active = false;
  QQueue<QMessageBox::StandardButton> answers;
  QQueue<QString> folders;
  QStringList shown;
  QStringList startFolders;
};

ScriptState& script() {
  static ScriptState instance;
  return instance;
}

// How wide a question's lines are at most, in dialog units: the box then
// stays about as wide as Qt makes its boxes.
constexpr int kQuestionWidth = 250;

// What a host name, an issuer's name, a path or a fingerprint is made of:
// a word of them is one piece, however Qt would break it.
bool IsWordCharacter(QChar character) {
  return character.unicode() > 0x20 && character.unicode() < 0x7F;
}

QString TrimmedRight(const QString& text) {
  qsizetype end = text.size();
  while (end > 0 && text[end - 1].isSpace())
    --end;
  return text.left(end);
}

// `text` cut at the boundaries of `type`, for which `keep` says yes; each
// piece keeps the spaces that follow it.
template <typename Keep>
QStringList CutAt(const QString& text, QTextBoundaryFinder::BoundaryType type, Keep keep) {
  QStringList pieces;
  QTextBoundaryFinder finder(type, text);
  qsizetype start = 0;
  for (qsizetype at = finder.toNextBoundary(); at > 0 && at < text.size();
       at = finder.toNextBoundary()) {
    if (keep(at)) {
      pieces.append(text.mid(start, at - start));
      start = at;
    }
  }
  pieces.append(text.mid(start));
  return pieces;
}

// Fills lines no wider than a given width, piece after piece.
class LineFiller {
 public:
  LineFiller(const QFontMetricsF& metrics, qreal width) : metrics_(metrics), width_(width) {}

  // A word too wide for a line of its own starts one and is broken after
  // its colons and slashes (a fingerprint, a path), and where even that is
  // not enough, between any two characters.
  void AddWord(const QString& word) {
    if (Fits(QString(), word)) {
      Add(word);
      return;
    }
    EndLine();
    const QStringList parts = CutAt(word, QTextBoundaryFinder::Grapheme, [&word](qsizetype at) {
      return word[at - 1] == QLatin1Char(':') || word[at - 1] == QLatin1Char('/');
    });
    for (const QString& part : parts) {
      if (Fits(QString(), part)) {
        Add(part);
        continue;
      }
      for (const QString& character :
           CutAt(part, QTextBoundaryFinder::Grapheme, [](qsizetype) { return true; }))
        Add(character);
    }
  }

  QStringList Finish() {
    EndLine();
    return lines_;
  }

 private:
  bool Fits(const QString& line, const QString& piece) const {
    return metrics_.horizontalAdvance(TrimmedRight(line + piece)) <= width_;
  }
  void Add(const QString& piece) {
    if (!line_.isEmpty() && !Fits(line_, piece))
      EndLine();
    line_ += piece;
  }
  void EndLine() {
    if (!line_.isEmpty())
      lines_.append(TrimmedRight(line_));
    line_.clear();
  }

  const QFontMetricsF& metrics_;
  const qreal width_;
  QStringList lines_;
  QString line_;
};

// The lines of `text` no wider than `width` where they can be. Japanese
// breaks between its characters as Qt breaks it, and at spaces; a word of
// Latin letters, digits and signs is never broken where Qt would (after a
// hyphen, a slash, a colon before a digit) unless it is wider than a line.
QStringList WrapWholeWords(const QString& text, const QFontMetricsF& metrics, qreal width) {
  QStringList lines;
  for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
    LineFiller filler(metrics, width);
    const QStringList words =
        CutAt(paragraph, QTextBoundaryFinder::Line, [&paragraph](qsizetype at) {
          return !IsWordCharacter(paragraph[at - 1]) || !IsWordCharacter(paragraph[at]);
        });
    for (const QString& word : words)
      filler.AddWord(word);
    const QStringList filled = filler.Finish();
    lines += filled.isEmpty() ? QStringList(QString()) : filled;
  }
  return lines;
}

// Rich text whose lines are `lines` and nothing else: Qt wraps neither
// them nor, when the box is narrow, anything inside them.
QString UnbreakableLines(const QStringList& lines) {
  return QStringLiteral("<div style=\"white-space:pre\">") +
         lines.join(QLatin1Char('\n')).toHtmlEscaped() + QStringLiteral("</div>");
}

}  // namespace

QMessageBox::StandardButton Dialogs::Box(QWidget* parent, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton unanswered,
                                         QMessageBox::Icon icon, bool selectable,
                                         QMessageBox::StandardButton defaultButton,
                                         Wrapping wrapping) {
  if (script().active) {
    script().shown.append(text);
    return script().answers.isEmpty() ? unanswered : script().answers.dequeue();
  }
  QMessageBox box(icon, QStringLiteral("VELMORIX"), text, buttons, parent);
  // A box is a window of its own and does not take its parent's font.
  box.setFont(DialogFont());
  if (defaultButton != QMessageBox::NoButton)
    box.setDefaultButton(defaultButton);
  if (selectable) {
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  }
  if (wrapping == Wrapping::kWholeWords) {
    box.setTextFormat(Qt::RichText);
    box.setText(UnbreakableLines(WrapWholeWords(text, QFontMetricsF(box.font()),
                                                DialogUnits(box.font()).X(kQuestionWidth))));
  }
  const int result = box.exec();
  return static_cast<QMessageBox::StandardButton>(result);
}

QMessageBox::StandardButton Dialogs::Warn(QWidget* parent, const QString& text) {
  return Box(parent, text, QMessageBox::Ok, QMessageBox::Ok);
}

QMessageBox::StandardButton Dialogs::AskYesNoCancel(QWidget* parent, const QString& text) {
  // The close box and Escape give Cancel, the safe answer.
  return Box(parent, text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
             QMessageBox::Cancel);
}

QMessageBox::StandardButton Dialogs::AskYesNo(QWidget* parent, const QString& text) {
  // Its questions (a certificate to trust, a mass deletion) are answered
  // safely by Enter: いいえ is the default. Their host names, issuers, paths
  // and fingerprints are read word by word, so none is broken inside.
  return Box(parent, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
             QMessageBox::Warning, false, QMessageBox::No, Wrapping::kWholeWords);
}

void Dialogs::ShowText(QWidget* parent, const QString& text, bool warning) {
  Box(parent, text, QMessageBox::Ok, QMessageBox::Ok,
      warning ? QMessageBox::Warning : QMessageBox::Information, true);
}

namespace {

// A picker under a test's script: noted, and answered from the script.
QString ScriptedPick(const QString& title, const QString& startFolder) {
  script().shown.append(title);
  script().startFolders.append(startFolder);
  return script().folders.isEmpty() ? QString() : script().folders.dequeue();
}

}  // namespace

QString Dialogs::PickFolder(QWidget* parent, const QString& title, const QString& startFolder) {
  if (script().active)
    return ScriptedPick(title, startFolder);
  // Qt's own picker rather than the desktop's: only it speaks Japanese
  // whatever the user's language, and it takes the windows' font.
  QFileDialog picker(parent, title, startFolder);
  picker.setFont(DialogFont());
  picker.setFileMode(QFileDialog::Directory);
  picker.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (picker.exec() != QDialog::Accepted) {
    return QString();
  }
  return picker.selectedFiles().value(0);
}

QString Dialogs::PickFile(QWidget* parent, const QString& title, const QString& startFolder) {
  if (script().active)
    return ScriptedPick(title, startFolder);
  QFileDialog picker(parent, title, startFolder);
  picker.setFont(DialogFont());
  picker.setFileMode(QFileDialog::ExistingFile);
  picker.setOptions(QFileDialog::DontUseNativeDialog);
  // Key files live in a hidden folder and have no extension to filter by.
  picker.setFilter(picker.filter() | QDir::Hidden);
  if (picker.exec() != QDialog::Accepted) {
    return QString();
  }
  return picker.selectedFiles().value(0);
}

void Dialogs::OpenInViewer(QWidget* parent, const QString& path, const QString& failureText) {
  const QFileInfo file(path);
  if (!file.isFile()) {
    Warn(parent, failureText);
    return;
  }
  const QString launcher = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (launcher.isEmpty()) {
    // Qt knows a few other launchers and browsers; false when none is there.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath()))) {
      Warn(parent, failureText);
    }
    return;
  }

  // Qt would start xdg-open detached and count that as success, so a desktop
  // without a viewer for the file would stay silent. The launcher is watched
  // instead: it ends with a non-zero status when it found no viewer (and,
  // without a desktop, runs the viewer it found until that ends). No window
  // owns it, so that a viewer still open when the program ends stays open,
  // as with a detached start; it deletes itself when the launcher has ended.
  auto* process = new QProcess;
  process->setProgram(launcher);
  // Absolute, so that the path can never be taken for an option.
  process->setArguments({file.absoluteFilePath()});
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  process->setInputChannelMode(QProcess::ForwardedInputChannel);
  const QPointer<QWidget> owner(parent);
  const bool hadParent = parent != nullptr;
  const auto reportFailure = [owner, hadParent, failureText] {
    if (owner != nullptr || !hadParent) {
      Warn(owner, failureText);
    }
  };
  QObject::connect(process, &QProcess::finished, process,
                   [process, reportFailure](int exitCode, QProcess::ExitStatus status) {
                     process->deleteLater();
                     if (status != QProcess::NormalExit || exitCode != 0) {
                       reportFailure();
                     }
                   });
  QObject::connect(process, &QProcess::errorOccurred, process,
                   [process, reportFailure](QProcess::ProcessError error) {
                     // A crash is reported by finished too.
                     if (error == QProcess::FailedToStart) {
                       process->deleteLater();
                       reportFailure();
                     }
                   });
  process->start();
}

void Dialogs::Script() {
  script() = {};
  script().active = true;
}

void Dialogs::QueueAnswer(QMessageBox::StandardButton answer) {
  script().answers.enqueue(answer);
}

void Dialogs::QueueFolder(const QString& folder) {
  script().folders.enqueue(folder);
}

QStringList Dialogs::Shown() {
  return script().shown;
}

QStringList Dialogs::PickerStartFolders() {
  return script().startFolders;
}

}  // namespace velmorix::ui
