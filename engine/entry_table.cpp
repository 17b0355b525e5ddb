#include "engine/entry_table.h"

#include "engine/ftp_session/ftp_session.h"
#include "settings/ascii_case.h"

namespace velmorix {

bool AddRemoteEntry(EntryTable& table, const RemoteEntry& entry) {
  if (entry.name == "." || entry.name == "..")
    return true;
  if (table.remoteCount == kMaxEntries)
    return false;
  const int i = table.remoteCount++;
  table.remoteName[i] = entry.name;
  table.remoteTime[i] = entry.lastWriteTime;
  table.remoteIsDir[i] = entry.isDir;
  return true;
}

bool NamesMatch(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

bool HasExeExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && NamesMatch(name.substr(dot), ".exe");
}

bool IsImagesFolderName(std::string_view name) {
  return NamesMatch(name, "Images");
}

}  // namespace velmorix
