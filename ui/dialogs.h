// Message boxes, the folder picker and the desktop's viewer, for every
// window: they go through here, so that tests can answer the boxes and the
// picker in advance instead of facing a modal window.
//
// The boxes and the picker are Qt's own, in the windows' font; their
// standard texts are Japanese once InstallQtJapaneseTexts (window_program.h)
// has run.
//
// Window thread only.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

namespace velmorix::ui {

class Dialogs {
 public:
  // A warning box captioned "VELMORIX" with an OK button, or with Yes, No and
  // Cancel. Returns the button pressed (Ok, Yes, No or Cancel).
  static QMessageBox::StandardButton Warn(QWidget* parent, const QString& text);
  static QMessageBox::StandardButton AskYesNoCancel(QWidget* parent, const QString& text);
  // Yes and No; the close box and Escape give No. The text's lines are
  // broken between words, never inside a word of Latin letters, digits and
  // signs that fits on a line (a host name, a path); a longer one (a
  // fingerprint) is broken after its colons or slashes.
  static QMessageBox::StandardButton AskYesNo(QWidget* parent, const QString& text);
  // A box captioned "VELMORIX" with an OK button whose text (plain, one
  // line per line) the user can select and copy; the information icon, or
  // the warning icon when `warning`.
  static void ShowText(QWidget* parent, const QString& text, bool warning);
  // The folder picker, opened at `startFolder`; the chosen folder, or an
  // empty text when cancelled.
  static QString PickFolder(QWidget* parent, const QString& title, const QString& startFolder);
  // The file picker, hidden files shown, opened at `startFolder`; the
  // chosen file, or an empty text when cancelled. Scripted like the folder
  // picker: it takes the next queued folder as its file.
  static QString PickFile(QWidget* parent, const QString& title, const QString& startFolder);

  // Hands the local file `path` to the desktop's viewer and returns at once.
  // When no viewer can show it, `failureText` is shown with Warn over
  // `parent`: at once when the file does not exist or no launcher can be
  // started, later when the launcher (xdg-open) ends reporting that it
  // found no viewer. A report that comes after `parent` is gone is dropped.
  static void OpenInViewer(QWidget* parent, const QString& path, const QString& failureText);

  // For tests. Once scripted, no box or picker is shown: each call records
  // its text and takes the next queued answer (OK or Cancel, and a cancelled
  // picker, when the queue is empty). The viewer is not scripted.
  static void Script();
  static void QueueAnswer(QMessageBox::StandardButton answer);
  static void QueueFolder(const QString& folder);
  // Texts of the boxes and picker titles met since Script(), in order.
  static QStringList Shown();
  // The start folders of the pickers met since Script(), in order.
  static QStringList PickerStartFolders();

 private:
  // How the box's text is broken into lines: where Qt breaks it, or as
  // AskYesNo says.
  enum class Wrapping { kQt, kWholeWords };

  static QMessageBox::StandardButton Box(
      QWidget* parent, const QString& text, QMessageBox::StandardButtons buttons,
      QMessageBox::StandardButton unanswered, QMessageBox::Icon icon = QMessageBox::Warning,
      bool selectable = false, QMessageBox::StandardButton defaultButton = QMessageBox::NoButton,
      Wrapping wrapping = Wrapping::kQt);
};

}  // namespace velmorix::ui
