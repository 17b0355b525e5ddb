#include "ui/dialogs.h"

#include <QFileDialog>
#include <QQueue>

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
                                         QMessageBox::StandardButton unanswered) {
  if (script().active) {
    script().shown.append(text);
    return script().answers.isEmpty() ? unanswered : script().answers.dequeue();
  }
  QMessageBox box(QMessageBox::Warning, QStringLiteral("VELMORIX"), text, buttons, parent);
  // A box is a window of its own and does not take its parent's font.
  box.setFont(DialogFont());
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
