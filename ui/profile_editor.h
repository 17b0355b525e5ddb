// The profile editor: the modal window in which the user adds, updates and
// deletes the stored FTP destinations, and tests the connection that the
// values in its fields make.
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
#include <optional>
#include <string>

#include <QDialog>

#include "engine/connection_learned.h"
#include "settings/app_settings.h"
#include "settings/destinations.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QLineEdit;
class QPlainTextEdit;
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
  // field focused and selected) when the port is not valid, or (after a
  // message with the reason, the field focused) when an exclusion pattern
  // cannot be read.
  bool ReadFields();
  void LoadFieldsFromCurrentProfile();
  // Refills the list and selects lastFtp.
  void ShowList();

  void SelectionChanged();
  void AddProfile();
  void UpdateProfile();
  void DeleteProfile();
  // 接続テスト: tests the values in the fields, stored or not, under a
  // console that closes itself, then shows the test's lines in a box. What
  // the test learned goes into the fields, and into the shown destination
  // when it is the same server (URL and port).
  void TestConnection();
  // After an Add or an Update of profile `index`: keeps what a test of its
  // server learned, and shows in the fields what the destination keeps of
  // its server (an update may have forgotten some of it).
  void KeepTested(int index);
  // Takes into the fields, and shows, what `profile` keeps of its server
  // from runs and tests: its security, accepted certificate and what 自動
  // decided and learned.
  void ShowKept(const FtpProfile& profile);
  // Shows in the lists what 自動 decided and learned.
  void ShowAutoItems();
  // A protocol picked in the list: the port moves between the protocols'
  // default ports (21 and 22; any other port stays).
  void ProtocolChanged(int protocol);
  // Enables the controls of the protocol in the list: SFTP has no data
  // connection mode, security, name encoding nor clock correction (the note
  // beside the clock says so), FTP no key file.
  void ShowProtocol();
  // 参照...: picks the key file, starting in the folder of the one given,
  // else in ~/.ssh.
  void BrowseKeyFile();

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
  QPlainTextEdit* excludePatternsField_;  // 除外するファイル, one pattern per line
  QComboBox* clockModeList_;              // 時差補正, 自動: kClockModeTimeDifference...
  QComboBox* protocolList_;               // FTP, SFTP: kProtocolFtp...
  QLineEdit* keyFileField_;               // 鍵ファイル (SFTP)
  QPushButton* keyFileButton_;            // 参照...
  QLabel* clockNote_;                     // shown with SFTP beside 時刻の補正

  // The editor's working copy: what the fields held when last read or shown.
  // Its trusted fingerprint has no field; it is the shown profile's.
  ServerData fields_;

  // The server the last connection test reached, and what it learned.
  struct TestedServer {
    std::string url;
    int32_t port = 0;
    int32_t protocol = kProtocolFtp;
    ConnectionLearned learned;
  };
  std::optional<TestedServer> tested_;
};

}  // namespace velmorix::ui
