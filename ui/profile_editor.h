// The profile editor: the modal window in which the user adds, updates and
// deletes the stored FTP destinations.
//
// It works directly on the main window's AppSettings, not on a copy: every
// Add, Update and Delete takes effect at once through the destination rules
// (settings/destinations.h) and adds 1 to changeCount, and Cancel keeps them
// (the main window then rebuilds its list). The fields are the editor's
// working copy; only Add and Update carry them into a profile.
//
// Window thread only. Shown with exec() over the main window.
#pragma once

#include <cstdint>
#include <string>

#include <QDialog>

#include "settings/app_settings.h"
#include "settings/destinations.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

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
  // The 自動 item with what it learned; the check box 時差補正 counts only
  // beside the other item.
  void ShowClock();
  // Copies every field into fields_; false (after a message, with the port
  // field focused and selected) when the port is not valid.
  bool ReadFields();
  void LoadFieldsFromCurrentProfile();
  // Refills the list and selects lastFtp.
  void ShowList();

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
  QComboBox* dataModeList_;         // 自動, パッシブ, アクティブ: kDataModeAuto...
  QComboBox* securityList_;         // なし, TLS (可能なら), TLS 必須: kSecurityNone...
  QComboBox* nameEncodingList_;     // 自動, UTF-8, Shift_JIS, EUC-JP: kNameEncodingAuto...
  QCheckBox* temporaryUploadsBox_;  // 一時ファイル名で転送
  QSpinBox* connectionsSpin_;       // kMinConnections to kMaxConnections
  QComboBox* clockModeList_;        // 時差補正, 自動: kClockModeTimeDifference...

  // The editor's working copy: what the fields held when last read or shown.
  // Its trusted fingerprint has no field; it is the shown profile's.
  ServerData fields_;
};

}  // namespace velmorix::ui
