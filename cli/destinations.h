// What velmorix-cli does to the destinations in AppSettings: the profile
// editor's rules (unique, case-sensitive, non-empty names, at most 20
// profiles) and the main window's folder and option fields, without windows.
//
// The windows list the destinations sorted by name, and lastFtp is a
// position in that list. The command line sorts the same way, by the bytes
// of the names (std::string's operator<), and keeps lastFtp on the
// destination it named before a change: after an add or a rename it follows
// that destination to its new position; when that destination is deleted,
// the one above it is chosen, as the profile editor does.
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

#include "settings/app_settings.h"

namespace velmorix::cli {

using CommandError = std::optional<std::string>;

// A password longer than this cannot be stored so that it reads back.
inline constexpr size_t kMaxPasswordBytes = 256;

// The server data of a destination as the command line gives it; a field
// left empty (nothing) keeps what the profile has.
struct ServerFields {
  std::optional<std::string> name;
  std::optional<std::string> url;
  std::optional<std::string> userId;
  std::optional<std::string> password;
  std::optional<std::string> remoteDir;
  std::optional<int32_t> port;
  std::optional<int32_t> timeDifference;
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

// Indexes into profiles, in the order of the windows' destination list.
std::vector<int> SortedProfiles(const AppSettings& settings);

// The position of profile `index` in that list.
int ListPosition(const AppSettings& settings, int index);

// One line of `velmorix-cli destinations`, without its line end.
std::string DestinationLine(const FtpProfile& profile);

// A password the store can keep: at most 256 bytes, no zero byte.
CommandError CheckPassword(std::string_view password);

// `fields.name` is the new destination's name; it starts with an empty
// local folder and all five options on.
CommandError AddDestination(AppSettings& settings, const ServerFields& fields);
CommandError UpdateDestination(AppSettings& settings, std::string_view name,
                               const ServerFields& fields);
CommandError DeleteDestination(AppSettings& settings, std::string_view name);
CommandError SetRunFields(AppSettings& settings, std::string_view name, const RunFields& fields);

// The message for a name that no destination has.
std::string UnknownDestination(std::string_view name);

}  // namespace velmorix::cli
