// What velmorix-cli does to the destinations in AppSettings: the arguments
// of add, update, delete and set mapped onto the rules of
// settings/destinations.h, and the refusals said in the front end's words.
//
// The chosen destination (lastFtp) follows what it named before a change:
// after an add or a rename it keeps naming the same destination; when that
// destination is deleted, the one above it in the list is chosen.
//
// All functions run on the main thread and only change the record; saving is
// the caller's. Each returns an error message for a refused change (the
// record is then unchanged), or nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "settings/app_settings.h"
#include "settings/destinations.h"

namespace velmorix::cli {

using CommandError = std::optional<std::string>;

// The server data of a destination as the command line gives it; a field
// left empty (nothing) keeps what the profile has.
struct ServerFields {
  std::optional<std::string> name{};
  std::optional<std::string> url{};
  std::optional<std::string> userId{};
  std::optional<std::string> password{};
  std::optional<std::string> remoteDir{};
  std::optional<int32_t> port{};
  std::optional<int32_t> timeDifference{};
  std::optional<int32_t> dataMode{};
  std::optional<int32_t> security{};
  std::optional<int32_t> nameEncoding{};
  // In the normal form; "" forgets the accepted certificate.
  std::optional<std::string> trustedFingerprint{};
  std::optional<int32_t> connections{};
  std::optional<int32_t> temporaryUploads{};
  // --no-exclude: the patterns are cleared before `addedExcludes`.
  bool clearExcludes = false;
  std::vector<std::string> addedExcludes{};  // checked by the parser
  std::optional<int32_t> clockMode{};
  std::optional<int32_t> protocol{};
  // Absolute, or "" for the usual key files in ~/.ssh.
  std::optional<std::string> keyFile{};
  // In IsHostKeyFingerprint's form; "" forgets the trusted host key.
  std::optional<std::string> trustedHostKey{};
};

// The main window's fields of a destination.
struct RunFields {
  std::optional<std::string> localDir;
  std::optional<int32_t> onlyNewer;
  std::optional<int32_t> skipFrontPageFolders;
  std::optional<int32_t> skipImagesFolder;
  std::optional<int32_t> ignoreExeFiles;
  std::optional<int32_t> deleteOnServer;
};

// The words of --data-mode: "auto", "passive", "active".
std::optional<int32_t> DataModeFromWord(std::string_view word);
std::string_view DataModeWord(int32_t dataMode);
// The words of --security: "none", "tls-if-available", "tls".
std::optional<int32_t> SecurityFromWord(std::string_view word);
std::string_view SecurityWord(int32_t security);
// The words of --encoding: "auto", "utf-8", "shift_jis", "euc-jp".
std::optional<int32_t> NameEncodingFromWord(std::string_view word);
std::string_view NameEncodingWord(int32_t nameEncoding);

// The words of --clock: "time-difference", "auto".
std::optional<int32_t> ClockModeFromWord(std::string_view word);
std::string_view ClockModeWord(int32_t clockMode);

// The words of --protocol: "ftp", "sftp".
std::optional<int32_t> ProtocolFromWord(std::string_view word);
std::string_view ProtocolWord(int32_t protocol);

// Fills the protocol, key file and trusted host key of `fields` from the
// options of add, update and set: --protocol, else the scheme of --url (a
// bare host name names none); --key-file made absolute, as the run may
// start from another folder; --trust-host-key. The parser has checked
// their form and that --protocol and --url agree.
void ReadProtocolFields(const CommandLine& line, ServerFields& fields);

// One line of `velmorix-cli destinations`, without its line end.
std::string DestinationLine(const FtpProfile& profile);

// `fields.name` is the new destination's name; it starts with an empty
// local folder and all five options on, and with the port of its protocol
// unless one is given. An update that changes the protocol without a port
// moves the other protocol's default port to this one's. The FTP-only
// settings (data mode, security, encoding, certificate) are refused for a
// destination that will use SFTP, the key file and host key for one that
// will use FTP.

CommandError AddDestination(AppSettings& settings, const ServerFields& fields);
CommandError UpdateDestination(AppSettings& settings, std::string_view name,
                               const ServerFields& fields);
CommandError DeleteDestination(AppSettings& settings, std::string_view name);
CommandError SetRunFields(AppSettings& settings, std::string_view name, const RunFields& fields);

// The front end's words for a refusal of the rules; `name` is the
// destination's name the command gave.
std::string RefusalText(DestinationError error, std::string_view name);

}  // namespace velmorix::cli
