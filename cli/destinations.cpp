#include "cli/destinations.h"

#include <algorithm>

#include "resources/string_table.h"

namespace velmorix::cli {
namespace {

// Keeps every destination on one line and every field between two tabs.
std::string Escape(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped.push_back(c);
    }
  }
  return escaped;
}

const char* OnOff(int32_t flag) {
  return flag != 0 ? "on" : "off";
}

// Index of the profile named exactly `name`, or -1. Unlike FindProfile it
// leaves currentProfile alone, which nothing here needs.
int IndexOf(const AppSettings& settings, std::string_view name) {
  for (int i = 0; i < settings.profileCount; ++i) {
    if (settings.profiles[i].name == name)
      return i;
  }
  return -1;
}

// The name at list position lastFtp, when lastFtp is a position of the list.
std::optional<std::string> ChosenName(const AppSettings& settings) {
  const std::vector<int> sorted = SortedProfiles(settings);
  if (settings.lastFtp < 0 || settings.lastFtp >= static_cast<int>(sorted.size())) {
    return std::nullopt;
  }
  return settings.profiles[sorted[settings.lastFtp]].name;
}

void Choose(AppSettings& settings, const std::optional<std::string>& name) {
  const int index = name ? IndexOf(settings, *name) : -1;
  settings.lastFtp = index < 0 ? -1 : ListPosition(settings, index);
}

}  // namespace

std::vector<int> SortedProfiles(const AppSettings& settings) {
  std::vector<int> order;
  for (int i = 0; i < settings.profileCount; ++i)
    order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return settings.profiles[a].name < settings.profiles[b].name;
  });
  return order;
}

int ListPosition(const AppSettings& settings, int index) {
  const std::vector<int> sorted = SortedProfiles(settings);
  const auto found = std::find(sorted.begin(), sorted.end(), index);
  return found == sorted.end() ? -1 : static_cast<int>(found - sorted.begin());
}

std::string DestinationLine(const FtpProfile& profile) {
  std::string line;
  for (const std::string* text : {&profile.name, &profile.url})
    line += Escape(*text) + "\t";
  line += std::to_string(profile.port) + "\t";
  for (const std::string* text : {&profile.userId, &profile.remoteDir, &profile.localDir}) {
    line += Escape(*text) + "\t";
  }
  const TransferOptions& options = profile.options;
  for (int32_t flag : {options.onlyNewer, options.skipFrontPageFolders, options.skipImagesFolder,
                       options.ignoreExeFiles, options.deleteOnServer}) {
    line += std::string(OnOff(flag)) + "\t";
  }
  line += OnOff(profile.timeDifference);
  return line;
}

CommandError CheckPassword(std::string_view password) {
  if (password.size() > kMaxPasswordBytes) {
    return "the password is longer than 256 bytes; the settings cannot keep it";
  }
  if (password.find('\0') != std::string_view::npos) {
    return "the password holds a zero byte; the settings cannot keep it";
  }
  return std::nullopt;
}

std::string UnknownDestination(std::string_view name) {
  return "no destination is named '" + std::string(name) +
         "' (velmorix-cli destinations lists them)";
}

CommandError AddDestination(AppSettings& settings, const ServerFields& fields) {
  if (settings.profileCount >= kMaxProfiles) {
    return "20 destinations exist already; delete one before adding another";
  }
  if (!fields.name || fields.name->empty())
    return "the name of a destination must not be empty";
  if (IndexOf(settings, *fields.name) >= 0)
    return std::string(strings::kDuplicateName);
  if (fields.password) {
    if (CommandError error = CheckPassword(*fields.password))
      return error;
  }

  const std::optional<std::string> chosen = ChosenName(settings);
  FtpProfile profile;  // empty local folder, all five options on
  profile.name = *fields.name;
  profile.url = fields.url.value_or("");
  profile.userId = fields.userId.value_or("");
  profile.password = fields.password.value_or("");
  profile.remoteDir = fields.remoteDir.value_or("");
  profile.port = fields.port.value_or(kDefaultPort);
  profile.timeDifference = fields.timeDifference.value_or(0);
  settings.profiles[settings.profileCount++] = std::move(profile);
  ++settings.changeCount;
  Choose(settings, chosen);
  return std::nullopt;
}

CommandError UpdateDestination(AppSettings& settings, std::string_view name,
                               const ServerFields& fields) {
  const int index = IndexOf(settings, name);
  if (index < 0)
    return UnknownDestination(name);
  if (fields.name) {
    if (fields.name->empty())
      return "the name of a destination must not be empty";
    const int holder = IndexOf(settings, *fields.name);
    if (holder >= 0 && holder != index)
      return std::string(strings::kDuplicateName);
  }
  if (fields.password) {
    if (CommandError error = CheckPassword(*fields.password))
      return error;
  }

  std::optional<std::string> chosen = ChosenName(settings);
  FtpProfile& profile = settings.profiles[index];
  if (chosen && *chosen == profile.name && fields.name)
    chosen = *fields.name;
  if (fields.name)
    profile.name = *fields.name;
  if (fields.url)
    profile.url = *fields.url;
  if (fields.userId)
    profile.userId = *fields.userId;
  if (fields.password)
    profile.password = *fields.password;
  if (fields.remoteDir)
    profile.remoteDir = *fields.remoteDir;
  if (fields.port)
    profile.port = *fields.port;
  if (fields.timeDifference)
    profile.timeDifference = *fields.timeDifference;
  ++settings.changeCount;
  Choose(settings, chosen);
  return std::nullopt;
}

CommandError DeleteDestination(AppSettings& settings, std::string_view name) {
  const int index = IndexOf(settings, name);
  if (index < 0)
    return UnknownDestination(name);

  const std::optional<std::string> chosen = ChosenName(settings);
  const bool deletingChosen = chosen && *chosen == name;
  // The later profiles move up one slot, so the others keep their order.
  for (int i = index; i + 1 < settings.profileCount; ++i) {
    settings.profiles[i] = std::move(settings.profiles[i + 1]);
  }
  settings.profiles[--settings.profileCount] = FtpProfile{};
  ++settings.changeCount;
  if (deletingChosen) {
    // The item above the deleted one, or none when it was the first.
    settings.lastFtp = settings.lastFtp >= 1 ? settings.lastFtp - 1 : -1;
  } else {
    Choose(settings, chosen);
  }
  return std::nullopt;
}

CommandError SetRunFields(AppSettings& settings, std::string_view name, const RunFields& fields) {
  const int index = IndexOf(settings, name);
  if (index < 0)
    return UnknownDestination(name);
  FtpProfile& profile = settings.profiles[index];
  if (fields.localDir)
    profile.localDir = *fields.localDir;
  TransferOptions& options = profile.options;
  if (fields.onlyNewer)
    options.onlyNewer = *fields.onlyNewer;
  if (fields.skipFrontPageFolders)
    options.skipFrontPageFolders = *fields.skipFrontPageFolders;
  if (fields.skipImagesFolder)
    options.skipImagesFolder = *fields.skipImagesFolder;
  if (fields.ignoreExeFiles)
    options.ignoreExeFiles = *fields.ignoreExeFiles;
  if (fields.deleteOnServer)
    options.deleteOnServer = *fields.deleteOnServer;
  return std::nullopt;
}

}  // namespace velmorix::cli
