// The about box: the program icon, its name and version, and an OK button.
//
// Window thread only. Shown modally over the main window (exec()).
#pragma once

#include <QDialog>

namespace velmorix::ui {

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace velmorix::ui
