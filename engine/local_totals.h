// The fast local scan before a walk: how many files the walk will deal
// with and how many bytes they hold, for the progress counters. Worker
// thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/walk_rules.h"

namespace velmorix {

// A local folder as the file system knows it, whatever path led to it.
struct LocalFolderId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const LocalFolderId&) const = default;
};

struct LocalTotals {
  int64_t files = 0;
  int64_t bytes = 0;  // of the regular files among them
};

// Counts what the walk deals with below `folder`: every entry that is not
// a folder, but the files IgnoresFile leaves out, in every folder that
// SkipsLocalFolder does not leave out, down to kMaxFolderDepth levels
// below `depth`. Links are followed as the walk follows them. A folder that
// is `folder` itself or one of `ancestors` (the folders above it in the
// walk) is not counted, as the walk does not enter it. What cannot be read
// counts as empty: the walk reports it.
LocalTotals CountLocalFiles(const WalkRules& rules, const std::string& folder,
                            std::vector<LocalFolderId> ancestors = {}, int depth = 0);

}  // namespace velmorix
