// The rules of the stored destinations, in one place for the profile
// editor, the main window and velmorix-cli: adding, updating (renaming
// included) and deleting a destination, what a valid name, port and
// password are, how the destination lists are ordered, what lastFtp means,
// and which values of a destination the settings store keeps.
//
// The functions work on an AppSettings record and nothing else: no window,
// no store. Each change adds 1 to changeCount. Callers on the window thread
// (or the command line's main thread) only.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/app_settings.h"

namespace velmorix {

// The data connection modes of a destination (FtpProfile::dataMode).
inline constexpr int32_t kDataModeAuto = 0;  // passive, active when passive fails
inline constexpr int32_t kDataModePassive = 1;
inline constexpr int32_t kDataModeActive = 2;

// Whether a destination's connection is encrypted (FtpProfile::security).
inline constexpr int32_t kSecurityNone = 0;
inline constexpr int32_t kSecurityTlsIfAvailable = 1;  // plain FTP when the server offers no TLS
inline constexpr int32_t kSecurityTlsRequired = 2;

// How a destination's server writes names (FtpProfile::nameEncoding).
inline constexpr int32_t kNameEncodingAuto = 0;
inline constexpr int32_t kNameEncodingUtf8 = 1;
inline constexpr int32_t kNameEncodingShiftJis = 2;  // code page 932
inline constexpr int32_t kNameEncodingEucJp = 3;

// How many connections a destination's run may open to its server
// (FtpProfile::connections). A new destination gets
// kNewDestinationConnections; one stored before the setting existed loads
// with kMinConnections, the single connection runs always had.
inline constexpr int32_t kMinConnections = 1;
inline constexpr int32_t kMaxConnections = 8;
inline constexpr int32_t kNewDestinationConnections = 4;

// The exclusion patterns a new destination starts with, one per line:
// version control, editor backups and what operating systems drop into
// folders. A destination stored before patterns existed has none.
inline constexpr std::string_view kNewDestinationExcludePatterns =
    ".git/\n.svn/\n.hg/\n.DS_Store\nThumbs.db\ndesktop.ini\n*~\n*.swp";
// How a destination's runs read the server's listed times
// (FtpProfile::clockMode): as listed, nine hours less with timeDifference;
// or 自動, MLSD times as UTC and LIST times less the offset learned.
inline constexpr int32_t kClockModeTimeDifference = 0;
inline constexpr int32_t kClockModeAuto = 1;
// What 自動 learned of the server's clock (FtpProfile::clockOffset): the
// minutes its LIST times run ahead of UTC, at most a day either way.
inline constexpr int32_t kMaxClockOffsetMinutes = 24 * 60;
inline constexpr int32_t kClockOffsetNotLearned = INT32_MIN;
// True for an offset within kMaxClockOffsetMinutes either way; any other
// number (kClockOffsetNotLearned among them) counts as nothing learned.
bool IsLearnedClockOffset(int32_t minutes);

// How a destination's server is reached (FtpProfile::protocol), and the
// port each protocol listens on unless told otherwise.
inline constexpr int32_t kProtocolFtp = 0;
inline constexpr int32_t kProtocolSftp = 1;
inline constexpr int32_t kDefaultSftpPort = 22;
// The port a destination of `protocol` has when none is given.
int32_t DefaultPortOf(int32_t protocol);
// The port after the protocol changes to `protocol`: the other protocol's
// default port becomes this one's, any other port stays.
int32_t PortForProtocol(int32_t port, int32_t protocol);

inline constexpr int32_t kLowestPort = 1;
inline constexpr int32_t kHighestPort = 65535;
// The store reads a password back only up to this many bytes.
inline constexpr size_t kMaxPasswordBytes = 256;

// Why a change was refused; the record is then unchanged. Each front end
// says it in its own words.
enum class DestinationError {
  kNone,
  kEmptyName,
  kDuplicateName,        // another destination has the name, byte for byte
  kListFull,             // kMaxProfiles destinations exist
  kUnknownDestination,   // no destination has the name (or the index is no profile)
  kPasswordTooLong,      // over kMaxPasswordBytes
  kPasswordHasZeroByte,  // the store could not read it back
  kValueOutOfRange,      // a setting that is none of its choices
  kInvalidPattern,       // an exclusion pattern that cannot be read (FindRefusedPattern)
};

// --- The destination lists --------------------------------------------------

// The order of the destination lists: names compared with ASCII letter case
// ignored, then by their bytes, so "abc" < "ABD" < "Zeta" and "ABC" < "abc".
// lastFtp is a position in this order, the same in every front end.
bool ListsBefore(std::string_view a, std::string_view b);

// Indexes into profiles, in list order (equal names keep their array order).
std::vector<int> SortedProfiles(const AppSettings& settings);
// The list position of profile `index`; -1 when it is no profile.
int ListPosition(const AppSettings& settings, int index);
// The profile at list position `position`; -1 when there is none.
int ProfileAtPosition(const AppSettings& settings, int position);
// The first profile named `name` byte for byte, or -1. Unlike FindProfile it
// leaves currentProfile alone.
int FindDestination(const AppSettings& settings, std::string_view name);

// The chosen destination: the profile at list position lastFtp, or -1 when
// lastFtp is no position of the list.
int ChosenDestination(const AppSettings& settings);
// Chooses profile `index` (-1: none): lastFtp becomes its list position and
// it becomes the current profile.
void ChooseDestination(AppSettings& settings, int index);

// --- Checks -----------------------------------------------------------------

enum class PortCheck { kValid, kNotWholeNumber, kOutOfRange };

// A port as the user types it: blanks (ASCII white space) around it, an
// optional sign, then digits; a whole number from kLowestPort to
// kHighestPort. An empty text is no whole number; a whole number too long
// for any integer is one, only out of range.
PortCheck ParsePort(std::string_view text, int32_t& port);

DestinationError CheckPassword(std::string_view password);

// A certificate fingerprint as a user may copy it: "SHA256:" (in any letter
// case) and 64 hex digits in any letter case, with or without ":" between
// the pairs. Gives the form the settings keep and the FTP client shows,
// "SHA256:AB:CD:...", with upper-case pairs joined by ":"; nothing for any
// other text.
std::optional<std::string> NormalizeFingerprint(std::string_view text);

// An SSH host key fingerprint as ssh writes it: "SHA256:" and the 32 bytes
// of the digest in base64 without padding (43 characters, the last of which
// carries 4 bits only).
bool IsHostKeyFingerprint(std::string_view text);

// --- Changes ----------------------------------------------------------------

// What the profile editor edits of a destination; the local folder and the
// five options belong to the main window. A value out of its range (a data
// mode other than the three, a number of connections outside
// kMinConnections..kMaxConnections, a fingerprint that is neither empty nor
// in NormalizeFingerprint's form) is refused as kValueOutOfRange.
struct ServerData {
  std::string name{};
  std::string url{};
  std::string userId{};
  std::string password{};
  std::string remoteDir{};
  int32_t port = kDefaultPort;
  int32_t timeDifference = 0;
  int32_t dataMode = kDataModeAuto;
  // A new destination tries TLS; one stored before the setting existed
  // loads as kSecurityNone (FtpProfile's default).
  int32_t security = kSecurityTlsIfAvailable;
  int32_t nameEncoding = kNameEncodingAuto;
  // Not shown by the editor, but carried so that an update keeps it.
  std::string trustedFingerprint{};
  // Like security: kNewDestinationConnections here, kMinConnections for a
  // destination stored without it (FtpProfile's default).
  int32_t connections = kNewDestinationConnections;
  // 1 for a new destination; 0 (FtpProfile's default) for one stored
  // without it, which keeps uploading under the real names.
  int32_t temporaryUploads = 1;
  // What 自動 decided (FtpProfile::autoNameEncoding): not edited, only
  // shown beside 自動, and carried so that an update keeps it.
  int32_t autoNameEncoding = kNameEncodingAuto;
  // What 自動 learned about data connections (FtpProfile::autoDataMode):
  // kDataModeAuto (nothing) or kDataModeActive. Not edited, only shown
  // beside 自動, and carried so that an update keeps it.
  int32_t autoDataMode = kDataModeAuto;
  // The default patterns for a new destination; none (FtpProfile's
  // default) for one stored without them.
  std::string excludePatterns{kNewDestinationExcludePatterns};
  // 自動 for a new destination; kClockModeTimeDifference (FtpProfile's
  // default) for one stored without it, which keeps reading times as the
  // time-difference flag says.
  int32_t clockMode = kClockModeAuto;
  // What 自動 learned (FtpProfile::clockOffset): not edited, only shown
  // beside 自動, and carried so that an update keeps it.
  int32_t clockOffset = kClockOffsetNotLearned;
  // FTP or SFTP (FtpProfile::protocol). With SFTP the FTP-only values
  // (data mode, security, name encoding, certificate) are kept but unused.
  int32_t protocol = kProtocolFtp;
  // SFTP: the private key file; empty for the usual ones in ~/.ssh.
  std::string keyFile{};
  // SFTP: a host key trusted from the command line, in
  // IsHostKeyFingerprint's form; empty for none. Not shown by the editor,
  // but carried so that an update keeps it.
  std::string trustedHostKey{};

  bool operator==(const ServerData&) const = default;
};
ServerData ServerDataOf(const FtpProfile& profile);
// A destination with `data`, an empty local folder and all five options
// on, as AddDestination would store it, but unchecked and not stored: the
// values in the profile editor, for a connection test.
FtpProfile ProfileWith(const ServerData& data);

// Each change below keeps the chosen destination chosen (lastFtp follows it
// to its new list position), except where said otherwise.

// Adds a destination with `data`, an empty local folder and all five
// options on, in the next free slot; `index` (when given) receives its
// index. Refused when the list is full, the name empty or taken, or the
// password unfit. A protocol other than the two, or a trusted host key
// neither empty nor in IsHostKeyFingerprint's form, is kValueOutOfRange.
DestinationError AddDestination(AppSettings& settings, const ServerData& data,
                                int* index = nullptr);
// Replaces the server data of profile `index` (a rename when the name
// differs); its local folder and options stay. An accepted certificate
// belongs to the server it was accepted for: when the URL or the port
// changes and `data` brings the stored fingerprint unchanged, the stored
// one is forgotten; so is a trusted host key, and a change of protocol
// counts as another server too. What 自動 decided is kept only while the destination
// stays at 自動 on the same URL and port: another server may write its
// names otherwise, and picking an encoding (even 自動 again, after another)
// is how the user lets 自動 decide afresh. What 自動 learned about data
// connections is kept only while the destination stays at 自動 and, like
// the certificate, on the same URL and port unless `data` brings another.
// The clock offset 自動 learned is kept likewise: only while the
// destination stays at 自動 on the same URL and port.
DestinationError UpdateDestination(AppSettings& settings, int index, const ServerData& data);
// After a run that connected with TLS to profile `index`: the destination
// becomes kSecurityTlsRequired, so that a server that stops offering TLS (or
// someone between who strips it) cannot turn it back to plain FTP unnoticed,
// and a non-empty `acceptedFingerprint` (a certificate the user accepted)
// becomes its trusted one, in the normal form. changeCount grows only when
// something changed. A fingerprint NormalizeFingerprint refuses is refused
// as kValueOutOfRange.
DestinationError RecordTlsConnection(AppSettings& settings, int index,
                                     std::string_view acceptedFingerprint);
// After a run of profile `index` whose 自動 decided how the server writes
// names (`decided`: kNameEncodingUtf8, kNameEncodingShiftJis or
// kNameEncodingEucJp; kNameEncodingAuto for nothing decided): the
// destination keeps it, so that its later runs start with it and stop
// where a listing contradicts it. Nothing changes when the destination is
// no longer at 自動 or keeps that decision already; changeCount grows only
// when something changed. Any other `decided` is refused as
// kValueOutOfRange.
DestinationError RecordNameEncoding(AppSettings& settings, int index, int32_t decided);
// After a run or a connection test of profile `index` at data mode 自動:
// `learned` kDataModeActive when passive data connections failed and
// active ones worked (later runs start in active mode), kDataModeAuto when
// active mode, learned before, failed (later runs try passive mode first
// again). Nothing changes when the destination is no longer at 自動 or
// holds that value already; changeCount grows only when something changed.
// Any other `learned` is refused as kValueOutOfRange.
DestinationError RecordAutoDataMode(AppSettings& settings, int index, int32_t learned);
// After a publish of profile `index` whose 自動 learned the server's clock
// (`minutes`, see kMaxClockOffsetMinutes): the destination keeps it, so
// that its later runs compare LIST times with it. Nothing changes when the
// destination is no longer at 自動 or keeps that offset already;
// changeCount grows only when something changed. kClockOffsetNotLearned
// changes nothing; any other number out of range is refused as
// kValueOutOfRange.
DestinationError RecordClockOffset(AppSettings& settings, int index, int32_t minutes);
// Deletes profile `index`; the later profiles move up one slot, keeping
// their order, and the freed slot is cleared. When it was the chosen one,
// the item above it in the list is chosen, or none when it was the first.
DestinationError DeleteDestination(AppSettings& settings, int index);

// --- What the store keeps of a destination ------------------------------------

// One stored value of a destination: its name is `prefix` followed by the
// destination's number n (1..20) and, for the five options, the option's
// number k after n ("LASTOPT35"). A value missing from the store takes
// `defaultNumber` (numbers) or the empty text. New per-destination values
// are added to this table only, after the first thirteen, so that files
// written before they existed load unchanged; the store reads, writes,
// merges and deletes every value of the table together.
struct StoredProfileValue {
  enum class Kind { kText, kNumber, kPassword };
  std::string_view prefix;
  int optionNumber = 0;  // k, or 0 for a value without one
  Kind kind = Kind::kText;
  std::string& (*text)(FtpProfile&) = nullptr;  // kText and kPassword
  int32_t& (*number)(FtpProfile&) = nullptr;    // kNumber
  int32_t defaultNumber = 0;
  // What a run learned about the server at the destination's URL and port
  // (an accepted certificate, the encoding 自動 decided): it means nothing
  // for another server, so a merge never puts it onto an address the other
  // side changed.
  bool boundToServer = false;

  // "FTPNAME3", "LASTOPT121".
  std::string NameFor(int n) const;
  bool SameIn(const FtpProfile& a, const FtpProfile& b) const;
  void Copy(const FtpProfile& from, FtpProfile& to) const;
};

// The values in the order in which they are read and written; the first is
// the name, whose absence ends the list.
const std::vector<StoredProfileValue>& StoredProfileValues();

}  // namespace velmorix
