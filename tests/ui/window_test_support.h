// Helpers of the window tests: finding controls by their ids, picking list
// items as a user does, answering modal windows, and a scratch settings home.
//
// Test thread (the window thread) only.
#pragma once

#include <functional>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace velmorix::testing {

// The child of `root` with that objectName and type; records a failure and
// returns nullptr when there is none.
template <typename Widget>
Widget* Control(QObject* root, const char* name) {
  auto* widget = root->findChild<Widget*>(QString::fromLatin1(name));
  if (widget == nullptr) {
    ADD_FAILURE() << "no control named " << name;
  }
  return widget;
}

// Types `text` into `widget` key by key; characters outside ASCII arrive as
// key events carrying their text, as a keyboard layout or input method
// delivers them.
inline void TypeText(QWidget* widget, const QString& text) {
  for (const QChar character : text) {
    if (character.unicode() < 128) {
      QTest::keyClick(widget, character.toLatin1());
    } else {
      QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(character),
                          Qt::NoModifier);
    }
  }
}

// Picks the item at `position` with the arrow keys, as a user does; the list
// reports each step as the user's choice (activated).
inline void PickItem(QComboBox* list, int position) {
  list->setFocus();
  if (list->currentIndex() < 0) {
    QTest::keyClick(list, Qt::Key_Home);
  }
  while (list->currentIndex() < position) {
    QTest::keyClick(list, Qt::Key_Down);
  }
  while (list->currentIndex() > position) {
    QTest::keyClick(list, Qt::Key_Up);
  }
}

// Runs `action` with the modal window of type Dialog as soon as it is the
// active modal widget: schedule this, then do what opens the window. Fails
// the test (and gives up, closing any other modal window) when no such
// window appears within five seconds.
template <typename Dialog>
void WhenModal(std::function<void(Dialog&)> action) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  QElapsedTimer clock;
  clock.start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, action = std::move(action)] {
    if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      action(*dialog);
      return;
    }
    if (clock.elapsed() > 5000) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "the expected modal window did not appear";
      // Whatever else holds the test up is closed, so the test can end.
      if (QWidget* other = QApplication::activeModalWidget()) {
        other->close();
      }
    }
  });
  timer->start();
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value)
      : name_(name), hadValue_(qEnvironmentVariableIsSet(name)), oldValue_(qgetenv(name)) {
    qputenv(name, QByteArray::fromStdString(value));
  }
  ~ScopedEnvironment() {
    if (hadValue_) {
      qputenv(name_, oldValue_);
    } else {
      qunsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  bool hadValue_;
  QByteArray oldValue_;
};

}  // namespace velmorix::testing
