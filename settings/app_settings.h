// The in-memory settings: the destinations and the program's last choices.
//
// One AppSettings exists per process; the main window holds it by value and
// everything else refers to it. It is touched on the window thread only,
// except that a run's worker thread reads the current profile and the two
// delete switches while the progress console is modal, when nothing can
// change them.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmorix {

inline constexpr int kMaxProfiles = 20;
inline constexpr int kDefaultPort = 21;

// The five options of a transfer, 1 on and 0 off, remembered per profile.
struct TransferOptions {
  int32_t onlyNewer = 1;             // upload a file that exists only if the local one is newer
  int32_t skipFrontPageFolders = 1;  // leave out local folders whose name begins with "_"
  int32_t skipImagesFolder = 1;      // leave out local folders named "Images", any case
  int32_t ignoreExeFiles = 1;        // neither upload nor delete ".exe" files
  int32_t deleteOnServer = 1;        // delete server entries that have no local counterpart

  bool operator==(const TransferOptions&) const = default;
};

// One FTP destination.
struct FtpProfile {
  std::string name;       // display name; unique and not empty among the valid profiles
  std::string url;        // host name or address of the server
  std::string userId;     // login ID
  std::string password;   // plain text in memory
  std::string remoteDir;  // remote base folder
  int32_t port = kDefaultPort;
  int32_t timeDifference = 0;  // 1: server times are taken as nine hours ahead
  std::string localDir;        // local source folder last used with this destination
  TransferOptions options;
  // How data connections are opened: 0 自動 (passive, falling back to
  // active), 1 パッシブ, 2 アクティブ (settings/destinations.h names them).
  int32_t dataMode = 0;
  // Whether the connection is encrypted: 0 なし (plain FTP), 1 TLS (可能なら)
  // (TLS when the server offers it), 2 TLS 必須 (no login without TLS).
  int32_t security = 0;
  // How the server writes names: 0 自動, 1 UTF-8, 2 Shift_JIS, 3 EUC-JP.
  int32_t nameEncoding = 0;
  // The server certificate the user accepted although it failed the check:
  // "SHA256:" and 32 upper-case hex pairs joined by ":"; empty for none.
  std::string trustedFingerprint{};
  // How many connections a run may open to the server, 1 to 8; a
  // destination stored before this could be chosen has 1, as runs had then.
  int32_t connections = 1;
  // 1: files are uploaded under a temporary name and renamed once complete
  // (一時ファイル名で転送); 0, as for a destination stored before this
  // could be chosen: under their real names.
  int32_t temporaryUploads = 0;
  // With nameEncoding 自動: the encoding a run found the server's names in
  // (1 UTF-8, 2 Shift_JIS, 3 EUC-JP, as nameEncoding numbers them), which
  // later runs start with and hold the server to; 0 while none has decided.
  // It belongs to the server at url and port, like trustedFingerprint.
  int32_t autoNameEncoding = 0;
  // With dataMode 自動: 2 (アクティブ, as dataMode numbers it) once a run or
  // the connection test found passive data connections failing and active
  // ones working, so that later runs start in active mode; 0 while nothing
  // was learned, or once active mode failed too. It belongs to the server
  // at url and port, like trustedFingerprint.
  int32_t autoDataMode = 0;
  // 除外するファイル: the patterns of the entries a publish leaves alone on
  // both sides, one per line (settings/exclusion_patterns.h); empty, as for
  // a destination stored before they could be given.
  std::string excludePatterns{};
  // How the server's listed times are read: 0, as for a destination stored
  // before this could be chosen, as listed, less nine hours with
  // timeDifference (時差補正); 1 自動: MLSD times as UTC, LIST times less
  // the offset learned in clockOffset (settings/destinations.h names them).
  int32_t clockMode = 0;
  // With clockMode 自動: how many minutes the server's LIST times run ahead
  // of UTC, as a run learned from a file it had just uploaded; INT32_MIN
  // (kClockOffsetNotLearned) while none has. It belongs to the server at
  // url and port, like trustedFingerprint.
  int32_t clockOffset = INT32_MIN;
  // How the server is reached: 0 FTP, as for every destination stored
  // before this could be chosen, 1 SFTP (settings/destinations.h names them).
  int32_t protocol = 0;
  // SFTP: the private key file to log in with; empty for the usual ones in
  // ~/.ssh (id_ed25519, id_ecdsa, id_rsa).
  std::string keyFile{};
  // SFTP: the server's host key the user chose to trust from the command
  // line, "SHA256:" and the digest in unpadded base64 as ssh writes it;
  // empty for none. It belongs to the server at url and port, like
  // trustedFingerprint.
  std::string trustedHostKey{};
  // Not stored: the name this destination had when the settings were loaded,
  // empty for one added since. It travels with the destination through
  // renames and the shifts of a deletion, so that a save can tell a rename
  // from a deletion and an addition when it merges with what another
  // program saved meanwhile.
  std::string loadedName{};

  bool operator==(const FtpProfile&) const = default;
};

struct AppSettings {
  int32_t changeCount = 0;      // changes made this run; read after the profile editor closes
  int32_t lastFtp = -1;         // position in the sorted destination list, -1 none
  int32_t currentProfile = -1;  // index into profiles, -1 none
  int32_t deleteMessage = 1;    // ask before each deletion on the server
  int32_t deleteDots = 1;       // keep server files whose names begin with "." when pruning
  int32_t profileCount = 0;     // valid entries at the front of profiles
  std::array<FtpProfile, kMaxProfiles> profiles;

  // Puts the record into its initial state. The two delete switches are left
  // alone: loading the settings always sets them.
  void ResetSettings();

  // Returns the index of the first of the profileCount profiles whose name is
  // byte for byte equal to `name`, and makes it the current profile; returns
  // -1 and leaves currentProfile alone when none is.
  int FindProfile(std::string_view name);
};

}  // namespace velmorix
