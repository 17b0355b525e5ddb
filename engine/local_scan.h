// Reading one local folder for the walk: its entries with their kinds,
// times and sizes, in name order. Any thread; it touches nothing shared.
#pragma once

#include <sys/types.h>

#include <string>

#include "engine/entry_table.h"

namespace velmorix {

// A local folder as the file system knows it, whatever path led to it.
struct LocalFolderId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const LocalFolderId&) const = default;
};

// The id of the folder (or what a link leads to) at `path`; false when it
// cannot be looked at.
bool LocalFolderIdOf(const std::string& path, LocalFolderId& id);

// A local folder read: the local side of `entries` holds them, taken in
// name order (letter case ignored first, then bytes, as the destination
// lists sort), whatever order the file system keeps them in, so that a run
// goes the same way on every disk.
struct LocalScan {
  enum class Outcome {
    kRead,
    kCannotOpen,  // nothing was read
    kBrokeOff,    // the reading failed part way
  };
  Outcome outcome = Outcome::kRead;
  int error = 0;  // the system's errno when it was not read
  EntryTable entries;
};

// Reads `folder`. The time and kind are those of what a symbolic link
// points to; a broken link keeps its own time and counts as a file, whose
// upload then fails.
LocalScan ScanLocalFolder(const std::string& folder);

}  // namespace velmorix
