// The entries of one folder pair of the mirror walk, and the name rules that
// the walk and the pruning share.
//
// A table is created for each folder pair (and for each level a removal
// empties), lives as long as that pair is worked on, and is touched by the
// worker thread only. Its arrays have a fixed capacity, so filling it never
// allocates per entry beyond the names themselves.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmorix {

struct RemoteEntry;

inline constexpr int kMaxEntries = 1000;

struct EntryTable {
  int32_t localCount = 0;
  std::array<std::string, kMaxEntries> localName;
  std::array<int64_t, kMaxEntries> localTime{};  // seconds since 1970, UTC
  std::array<bool, kMaxEntries> localIsDir{};

  int32_t remoteCount = 0;
  std::array<std::string, kMaxEntries> remoteName;  // as the server spells it
  std::array<int64_t, kMaxEntries> remoteTime{};
  std::array<bool, kMaxEntries> remoteIsDir{};
  // A local entry of the same name was handled; the pruning keeps the entry.
  std::array<bool, kMaxEntries> remoteMatched{};
};

// Tables are too large for a thread's stack once the walk recurses.
inline std::unique_ptr<EntryTable> NewEntryTable() {
  return std::make_unique<EntryTable>();
}

// Adds a server entry to the remote side of `table`, leaving out "." and
// "..". False, adding nothing, when the entry needs a slot and the table is
// already full.
bool AddRemoteEntry(EntryTable& table, const RemoteEntry& entry);

// Names are UTF-8. Letters A-Z and a-z match regardless of case; every other
// byte, and so every multi-byte character, must be equal.
bool NamesMatch(std::string_view a, std::string_view b);

// The part of the name from its last "." onward equals ".exe", ASCII case
// ignored. A name without a "." has no extension.
bool HasExeExtension(std::string_view name);

// The folder name "Images" in any letter case.
bool IsImagesFolderName(std::string_view name);

}  // namespace velmorix
