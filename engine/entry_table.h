// The entries of one folder pair of the mirror walk, and the name rules that
// the walk and the pruning share.
//
// A table is created for each folder pair (and for each level a removal
// empties), lives as long as that pair is worked on, and is touched by the
// worker thread only. It holds as many entries as the folders do: a photo
// gallery of thousands of files is a folder like any other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix {

enum class ListedTime : uint8_t;
struct RemoteEntry;

// How many folder levels below the destination's folder the walk and the
// removal of a server folder go. A server can invent folders without end,
// and a deeper local tree is no web site; either ends the run with a box
// long before the recursion could exhaust the worker's stack.
inline constexpr int kMaxFolderDepth = 256;

// One column per field, row i of each the same entry.
struct EntryTable {
  int32_t localCount = 0;
  std::vector<std::string> localName;
  std::vector<int64_t> localTime;  // seconds since 1970, UTC
  std::vector<int64_t> localSize;  // bytes of a regular file, else 0
  std::vector<bool> localIsDir;
  // Neither a regular file nor a folder (a FIFO, socket or device, also
  // behind a link): never opened, never uploaded.
  std::vector<bool> localIsSpecial;

  int32_t remoteCount = 0;
  std::vector<std::string> remoteName;  // as the server spells it
  std::vector<int64_t> remoteTime;      // as listed, of the clock remoteTimeKind says
  std::vector<int64_t> remoteSize;      // a file's, as listed; -1 when unknown
  std::vector<bool> remoteIsDir;
  // A symbolic link, whatever its target: handled as a file, never entered.
  std::vector<bool> remoteIsLink;
  // A local entry of the same name was handled; the pruning keeps the entry.
  std::vector<bool> remoteMatched;
  std::vector<ListedTime> remoteTimeKind;
  // Temporary files of our uploads that an earlier run left (killed in the
  // middle): no entries of the user's, removed whatever the settings say.
  std::vector<std::string> leftovers;
  // The folders of the remote side are known to be folders and not links
  // that the server's listing followed (see ConfirmRemoteFolders).
  bool remoteFoldersConfirmed = true;
};

inline std::unique_ptr<EntryTable> NewEntryTable() {
  return std::make_unique<EntryTable>();
}

// Adds a local entry to `table`.
void AddLocalEntry(EntryTable& table, std::string name, int64_t time, int64_t size, bool isDir,
                   bool isSpecial);

// Adds a server entry to the remote side of `table`, leaving out "." and
// ".." and every name that must never go into a command (IsUsableRemoteName):
// such entries are neither matched nor pruned.
void AddRemoteEntry(EntryTable& table, const RemoteEntry& entry);

// The name a file is uploaded under before it is renamed to `name`:
// hidden, and marked as ours by the run's `runTag` (eight hexadecimal
// digits, new for every run) and its connection's number, so that no two
// uploads share it. Empty when the name would grow too long for a server.
std::string TemporaryUploadName(std::string_view name, std::string_view runTag, int connection);
// True for a name TemporaryUploadName makes, whatever the run.
bool IsTemporaryUploadName(std::string_view name);

// False for a name that a server must not be able to make us use: empty,
// "." or "..", or holding "/", NUL, CR or LF. "DELE ../x" or "CWD /" built
// from such a name would reach outside the folder being worked on.
bool IsUsableRemoteName(std::string_view name);

// Names are UTF-8. Letters A-Z and a-z match regardless of case; every other
// byte, and so every multi-byte character, must be equal.
bool NamesMatch(std::string_view a, std::string_view b);

// The remote entry that the local name `name` matches: the first one spelled
// exactly alike, else the first one that NamesMatch; -1 for none.
int FindRemoteMatch(const EntryTable& table, std::string_view name);

// Marks every remote entry whose name matches `name` (NamesMatch) as
// matched. A server that tells letter case apart may hold "Index.html" and
// "INDEX.HTML" for one local file; neither may be pruned as unmatched.
void MarkRemoteMatches(EntryTable& table, std::string_view name);

// Marks every remote entry that a local name which the server's encoding
// cannot write may stand for (ftp::NamesMayMatch with `nearest`, the name's
// ftp::NearestServerName): another program may have written it as nearly
// as it could, and the pruning must not delete it.
void MarkPossibleNamesakes(EntryTable& table, std::string_view nearest);

// The part of the name from its last "." onward equals ".exe", ASCII case
// ignored. A name without a "." has no extension.
bool HasExeExtension(std::string_view name);

// The folder name "Images" in any letter case.
bool IsImagesFolderName(std::string_view name);

}  // namespace velmorix
