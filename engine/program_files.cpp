#include "engine/program_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/user_folders.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

// The installed help page's name, whatever the program is called.
constexpr std::string_view kInstalledPageName = "velmorix.html";

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

bool IsAbsolute(const std::string& path) {
  return !path.empty() && path.front() == '/';
}

bool IsFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The folder of the running program ("/" for one in the root), or "" when
// the system does not tell.
std::string ProgramFolder() {
  std::string executable(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", executable.data(), executable.size());
  if (length <= 0 || static_cast<size_t>(length) >= executable.size()) {
    return {};
  }
  executable.resize(static_cast<size_t>(length));
  const size_t slash = executable.rfind('/');
  if (slash == std::string::npos) {
    return {};
  }
  return slash == 0 ? std::string("/") : executable.substr(0, slash);
}

// The page an installation puts in its data folder, found from the program's
// folder so that an installation under any prefix finds its own; without
// the "bin/.." when it is there, "" when not.
std::string InstalledPageFrom(const std::string& folder) {
  const std::string page =
      Join(Join(Join(folder, VELMORIX_DATA_FROM_BIN), "velmorix"), kInstalledPageName);
  char* resolved = realpath(page.c_str(), nullptr);
  if (resolved == nullptr) {
    return {};
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// Makes the folders of `path` that are missing, readable by the user only.
void MakeFoldersFor(const std::string& path) {
  // Every folder on the way, from the top; those that exist are left as
  // they are, and a failure shows when the file itself cannot be made.
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return;
    }
  }
}

}  // namespace

std::string ChooseLogPath(const ProgramPlace& place, const std::string& stateFolder) {
  if (place.folder.empty()) {
    // Without the program's folder the log goes to the current folder.
    return std::string(strings::kLogFileName);
  }
  if (!place.installed && place.logWritable) {
    return Join(place.folder, strings::kLogFileName);
  }
  if (!IsAbsolute(stateFolder)) {
    // Nowhere else to go: the run tries beside the program.
    return Join(place.folder, strings::kLogFileName);
  }
  return Join(Join(stateFolder, strings::kCompanyKey), strings::kLogFileName);
}

std::string LogPath() {
  ProgramPlace place;
  place.folder = ProgramFolder();
  if (!place.folder.empty()) {
    place.installed =
        !IsFile(Join(place.folder, kInstalledPageName)) && IsFile(InstalledPageFrom(place.folder));
    const std::string besideLog = Join(place.folder, strings::kLogFileName);
    place.logWritable =
        access(place.folder.c_str(), W_OK | X_OK) == 0 &&
        (access(besideLog.c_str(), F_OK) != 0 || access(besideLog.c_str(), W_OK) == 0);
  }
  const std::string path = ChooseLogPath(place, XdgBaseFolder("XDG_STATE_HOME", ".local/state"));
  // The state folder may not exist yet; the program's own does.
  MakeFoldersFor(path);
  return path;
}

std::string HistoryPath() {
  const std::string stateFolder = XdgBaseFolder("XDG_STATE_HOME", ".local/state");
  if (!IsAbsolute(stateFolder))
    return {};
  const std::string path = Join(Join(stateFolder, strings::kCompanyKey), "VELMORIX-history.log");
  MakeFoldersFor(path);
  return path;
}

std::string HelpPagePath(std::string_view besideName) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) {
    return std::string(besideName);
  }
  const std::string beside = Join(folder, besideName);
  for (const std::string& page :
       {beside, InstalledPageFrom(folder), Join(VELMORIX_INSTALLED_DATA_DIR, kInstalledPageName)}) {
    if (IsFile(page)) {
      return page;
    }
  }
  return beside;
}

}  // namespace velmorix
