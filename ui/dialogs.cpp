#include "ui/dialogs.h"

#include <QFileDialog>
#include <QQueue>

namespace velmorix::ui {
namespace {

struct ScriptState {
  bool active = false;
  QQueue<QMessageBox::StandardButton> answers;
  QQueue<QString> folders;
  QStringList shown;
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

QString Dialogs::PickFolder(QWidget* parent, const QString& title) {
  if (script().active) {
    script().shown.append(title);
    return script().folders.isEmpty() ? QString() : script().folders.dequeue();
  }
  return QFileDialog::getExistingDirectory(parent, title, QString(),
                                           QFileDialog::ShowDirsOnly);
}

void Dialogs::Script() {
  script() = {};
  script().active = true;
}

void Dialogs::QueueAnswer(QMessageBox::StandardButton answer) {
  script().answers.enqueue(answer);
}

void Dialogs::QueueFolder(const QString& folder) { script().folders.enqueue(folder); }

QStringList Dialogs::Shown() { return script().shown; }

}  // namespace velmorix::ui
