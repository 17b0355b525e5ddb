// The main window: the program's one top-level window. The user picks the
// source folder and a destination, sets the five options remembered with the
// destination, and starts a transfer, a dry run of one or a listing; the
// menu opens the profile editor, flips the two delete switches, opens the
// help page and shows the about box.
//
// The window holds the program's single AppSettings by value. The start-up
// code loads it (settings()) before the window is first shown, and saves it
// after the window has closed. The folder field and the five boxes reach the
// current profile only on a selection change, Transfer, Directory, the dry
// run and closing.
//
// Window thread only. During a run the progress console is modal over the
// window; the run's worker reads the settings meanwhile, which is safe
// because nothing in the window can change them then.
#pragma once

#include <QDialog>
#include <QString>

#include "engine/cancel_event.h"
#include "settings/app_settings.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenuBar;

namespace velmorix::ui {

class MainWindow : public QDialog {
  Q_OBJECT

 public:
  // Where the window finds the log file and the help page.
  struct Paths {
    QString logPath;   // "VELMORIX.LOG" in the program's folder, or the state folder
    QString helpPath;  // the program's own path with the extension ".html", or the installed page
    QString historyPath = {};  // the kept history of the changes; "" for none
  };
  static Paths ProgramPaths();

  explicit MainWindow(Paths paths = ProgramPaths());
  ~MainWindow() override;

  AppSettings& settings() { return settings_; }
  const Paths& paths() const { return paths_; }

 public slots:
  // Close (also Escape, the close box and File > Exit): stores the folder and
  // the options into the current profile, then closes. Refused while a run
  // holds the console, whose worker still reads the profile.
  void reject() override;

 protected:
  // The first show initialises the window from the loaded settings.
  void showEvent(QShowEvent* event) override;

 private:
  enum class RunKind { kTransfer, kDryRun, kListing };

  void BuildControls();
  void BuildMenu();
  void Initialise();

  void LoadDestinationList();      // algorithm L
  void StoreIntoCurrentProfile();  // algorithm S
  void ShowCurrentProfile();       // its folder and options into the controls
  bool HasCurrentProfile() const;

  void DestinationChanged();
  void Browse();
  void OpenLog();
  void OpenHistory();
  void StartRun(RunKind kind);
  void OpenProfileEditor();
  void FlipDeleteMessage();
  void FlipDeleteDots();
  void ShowHelp();
  void ShowAbout();

  AppSettings settings_;
  CancelEvent cancelEvent_;
  Paths paths_;
  bool initialised_ = false;
  bool runInProgress_ = false;

  QMenuBar* menuBar_ = nullptr;
  QComboBox* destinationList_ = nullptr;
  QLineEdit* sourceFolder_ = nullptr;
  QCheckBox* onlyNewer_ = nullptr;
  QCheckBox* skipFrontPageFolders_ = nullptr;
  QCheckBox* skipImagesFolder_ = nullptr;
  QCheckBox* ignoreExeFiles_ = nullptr;
  QCheckBox* deleteOnServer_ = nullptr;
  QAction* deleteMessageAction_ = nullptr;
  QAction* deleteDotsAction_ = nullptr;
};

}  // namespace velmorix::ui
