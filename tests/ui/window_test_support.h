// Helpers of the window tests: finding controls by their ids, typing and
// picking as a user does, answering modal windows, a scratch environment.
// Test thread (the window thread) only.
#pragma once

#include <functional>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace velmorix::testing {

// The child of `root` with that objectName; a failure and nullptr when none.
template <typename Widget>
Widget* Control(QObject* root, const char* name) {
  auto* widget = root->findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) {
    ADD_FAILURE() << "no control named " << name;
  }
  return widget;
}

// Replaces the text of `field` key by key; characters outside ASCII arrive
// as key events carrying their text, as an input method delivers them.
inline void Retype(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Delete);
  for (const QChar character : text) {
    if (character.unicode() < 128) {
      QTest::keyClick(field, character.toLatin1());
    } else {
      QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(character), Qt::NoModifier);
    }
  }
}

// Picks the item at `position` with the arrow keys, each step reported as
// the user's choice.
inline void PickItem(QComboBox* list, int position) {
  list->setFocus();
  if (list->currentIndex() < 0) {
    QTest::keyClick(list, Qt::Key_Home);
  }
  while (list->currentIndex() != position) {
    QTest::keyClick(list, list->currentIndex() < position ? Qt::Key_Down : Qt::Key_Up);
  }
}

// Calls `step` every 5 ms until it returns true. After `limitMs` it records
// a failure and closes whatever modal window holds the test up.
inline void Poll(std::function<bool()> step, int limitMs = 5000) {
  auto* timer = new QTimer(qApp);
  QElapsedTimer clock;
  clock.start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, limitMs, step] {
    // Stopped while the step runs: a step may open a modal window, whose
    // loop would otherwise call it again.
    timer->stop();
    if (step()) {
      timer->deleteLater();
    } else if (clock.elapsed() > limitMs) {
      timer->deleteLater();
      ADD_FAILURE() << "the expected window or state did not come";
      if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
      }
    } else {
      timer->start(5);
    }
  });
  timer->start(5);
}

// Runs `action` on the modal window of type Dialog once it is open: call
// this, then do what opens the window.
template <typename Dialog>
void WhenModal(std::function<void(Dialog&)> action) {
  Poll([action] {
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    if (dialog != nullptr) {
      action(*dialog);
    }
    return dialog != nullptr;
  });
}

class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value)
      : name_(name), old_(qgetenv(name)), had_(qEnvironmentVariableIsSet(name)) {
    qputenv(name, QByteArray::fromStdString(value));
  }
  ~ScopedEnvironment() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  QByteArray old_;
  bool had_;
};

}  // namespace velmorix::testing
