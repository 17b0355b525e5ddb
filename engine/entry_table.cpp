#include "engine/entry_table.h"

#include "base/ascii_case.h"
#include "ftp/ftp_session.h"
#include "ftp/name_codec.h"

namespace velmorix {

bool AddRemoteEntry(EntryTable& table, const RemoteEntry& entry) {
  if (!IsUsableRemoteName(entry.name))
    return true;
  if (table.remoteCount == kMaxEntries)
    return false;
  const int i = table.remoteCount++;
  table.remoteName[i] = entry.name;
  table.remoteTime[i] = entry.lastWriteTime;
  table.remoteIsLink[i] = entry.isLink;
  table.remoteIsDir[i] = entry.isDir && !entry.isLink;
  return true;
}

bool IsUsableRemoteName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0\r\n", 4)) == std::string_view::npos;
}

bool NamesMatch(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

int FindRemoteMatch(const EntryTable& table, std::string_view name) {
  int folded = -1;
  for (int i = 0; i < table.remoteCount; ++i) {
    if (table.remoteName[i] == name)
      return i;
    if (folded < 0 && NamesMatch(table.remoteName[i], name))
      folded = i;
  }
  return folded;
}

void MarkRemoteMatches(EntryTable& table, std::string_view name) {
  for (int i = 0; i < table.remoteCount; ++i) {
    if (NamesMatch(table.remoteName[i], name))
      table.remoteMatched[i] = true;
  }
}

void MarkPossibleNamesakes(EntryTable& table, std::string_view nearest) {
  for (int i = 0; i < table.remoteCount; ++i) {
    if (ftp::NamesMayMatch(nearest, table.remoteName[i]))
      table.remoteMatched[i] = true;
  }
}

bool HasExeExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && NamesMatch(name.substr(dot), ".exe");
}

bool IsImagesFolderName(std::string_view name) {
  return NamesMatch(name, "Images");
}

}  // namespace velmorix
