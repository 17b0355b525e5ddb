#include "engine/entry_table.h"

#include "base/ascii_case.h"
#include "ftp/ftp_session.h"
#include "ftp/name_codec.h"

namespace velmorix {

void AddLocalEntry(EntryTable& table, std::string name, int64_t time, int64_t size, bool isDir,
                   bool isSpecial) {
  table.localName.push_back(std::move(name));
  table.localTime.push_back(time);
  table.localSize.push_back(size);
  table.localIsDir.push_back(isDir);
  table.localIsSpecial.push_back(isSpecial);
  ++table.localCount;
}

void AddRemoteEntry(EntryTable& table, const RemoteEntry& entry) {
  if (!IsUsableRemoteName(entry.name))
    return;
  if (!entry.isDir && IsTemporaryUploadName(entry.name)) {
    table.leftovers.push_back(entry.name);
    return;
  }
  table.remoteName.push_back(entry.name);
  table.remoteTime.push_back(entry.lastWriteTime);
  // A link's size is its own, not the file's.
  table.remoteSize.push_back(entry.isLink ? -1 : entry.size);
  table.remoteIsLink.push_back(entry.isLink);
  table.remoteIsDir.push_back(entry.isDir && !entry.isLink);
  table.remoteMatched.push_back(false);
  table.remoteTimeKind.push_back(entry.timeKind);
  ++table.remoteCount;
}

namespace {

constexpr std::string_view kTemporaryMark = ".velmorix-";
constexpr std::string_view kTemporaryEnd = ".tmp";
// Longer names are refused by many servers and file systems.
constexpr size_t kLongestName = 255;

}  // namespace

std::string TemporaryUploadName(std::string_view name, std::string_view runTag, int connection) {
  std::string temporary = ".";
  temporary += name;
  temporary += kTemporaryMark;
  temporary += runTag;
  temporary += '-';
  temporary += std::to_string(connection);
  temporary += kTemporaryEnd;
  return temporary.size() <= kLongestName ? temporary : std::string();
}

bool IsTemporaryUploadName(std::string_view name) {
  if (!name.starts_with('.') || !name.ends_with(kTemporaryEnd))
    return false;
  name.remove_suffix(kTemporaryEnd.size());
  // ".<name>.velmorix-<8 hex>-<digits>"
  const size_t dash = name.rfind('-');
  if (dash == std::string_view::npos || dash + 1 == name.size() ||
      name.substr(dash + 1).find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  constexpr size_t kTagLength = 8;
  if (dash < kTagLength + kTemporaryMark.size() + 1)
    return false;
  const std::string_view tag = name.substr(dash - kTagLength, kTagLength);
  return tag.find_first_not_of("0123456789abcdef") == std::string_view::npos &&
         name.substr(dash - kTagLength - kTemporaryMark.size(), kTemporaryMark.size()) ==
             kTemporaryMark;
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
