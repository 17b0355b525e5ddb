#include "ui/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QQueue>
#include <QStandardPaths>
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

}  // namespace

QMessageBox::StandardButton Dialogs::Box(QWidget* parent, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton unanswered,
                                         QMessageBox::Icon icon, bool selectable,
                                         QMessageBox::StandardButton defaultButton) {
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
  // safely by Enter: いいえ is the default.
  return Box(parent, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
             QMessageBox::Warning, false, QMessageBox::No);
}

void Dialogs::ShowText(QWidget* parent, const QString& text, bool warning) {
  Box(parent, text, QMessageBox::Ok, QMessageBox::Ok,
      warning ? QMessageBox::Warning : QMessageBox::Information, true);
}

QString Dialogs::PickFolder(QWidget* parent, const QString& title, const QString& startFolder) {
  if (script().active) {
    script().shown.append(title);
    script().startFolders.append(startFolder);
    return script().folders.isEmpty() ? QString() : script().folders.dequeue();
  }
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
