// The profile editor: the modal window in which the user adds, updates and
// deletes the stored FTP destinations.
//
// It works directly on the main window's AppSettings, not on a copy: every
// Add, Update and Delete takes effect at once and adds 1 to changeCount, and
// Cancel keeps them (the main window then rebuilds its list). The fields are
// the editor's working copy; only Add and Update carry them into a profile.
//
// Window thread only. Shown with exec() over the main window.
#pragma once

#include <cstdint>
#include <string>

#include <QDialog>

#include "settings/app_settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace velmorix::ui {

class ProfileEditor : public QDialog {
  Q_OBJECT

 public:
  // `settings` must outlive the editor. The list is filled and the stored
  // selection (lastFtp) shown at once, before the window is shown.
  explicit ProfileEditor(AppSettings& settings, QWidget* parent = nullptr);

 public slots:
  // OK (also Enter): reads the fields and closes only when the port is valid.
  // It applies nothing to any profile.
  void accept() override;

 private:
  void ShowFields();
  // Copies every field into the members; false (after a message, with the
  // port field focused and selected) when the port is not valid.
  bool ReadFields();
  enum class FieldsCheck { kAccepted, kRefused, kDuplicateName };
  // What Add and Update read before they change anything: the fields
  // (ReadFields), then the name. kRefused when the port is not valid (after
  // ReadFields' message) or the name is empty (without a message);
  // kDuplicateName, after the duplicate-name message, when a profile other
  // than the one at `except` (-1: none) already has the name.
  FieldsCheck ReadProfileFields(int except);
  // Copies the members' server data (name, URL, user, password, folder,
  // port, time difference) into `profile`; its local folder and options stay.
  void StoreServerData(FtpProfile& profile) const;
  void LoadFieldsFromCurrentProfile();
  void ClearMembers();

  void SelectionChanged();
  void AddProfile();
  void UpdateProfile();
  void DeleteProfile();

  AppSettings& settings_;

  QComboBox* list_;
  QLineEdit* nameField_;
  QLineEdit* urlField_;
  QLineEdit* remoteDirField_;
  QLineEdit* userIdField_;
  QLineEdit* passwordField_;
  QLineEdit* portField_;
  QCheckBox* timeDifferenceBox_;

  // The members: what the fields held when last read or shown.
  std::string userId_;
  std::string password_;
  std::string remoteDir_;
  int32_t port_ = kDefaultPort;
  std::string url_;
  std::string name_;
  int32_t timeDifference_ = 0;
};

}  // namespace velmorix::ui
