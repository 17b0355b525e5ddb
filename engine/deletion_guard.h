// The guard against a publish that would wreck the site: an empty or wrong
// local folder (a typo, an unmounted disk, a sync that has not finished)
// looks to the walk like a site whose every page was deleted. Before the
// first change, a run that would delete that much stops and asks, whatever
// the deletion questions say. The rules only look at counts; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmorix {

// What a run decided to delete, against what it read.
struct DeletionPlan {
  int64_t deletions = 0;           // entries the pruning names, files and folders, across the tree
  int64_t remoteEntries = 0;       // entries of the server's folders read, across the tree
  bool localHoldsNothing = false;  // the local folder holds nothing the run would publish
};

// Deletions above this many (and above half the server's entries) are a
// mass deletion.
inline constexpr int64_t kMassDeletionFloor = 10;

// True when the run must stop and ask before its first change: it would
// delete every entry read on the server, or more than half of them and
// more than kMassDeletionFloor, or anything at all while the local folder
// holds nothing to publish.
bool IsMassDeletion(const DeletionPlan& plan);

// The question the window shows and the terminal asks: the counts, the
// folders and the first of the deletions (`changes`, as a dry run lists
// them).
std::string MassDeletionQuestion(const DeletionPlan& plan, const std::string& localDir,
                                 const std::string& remoteDir,
                                 const std::vector<std::string>& changes);

}  // namespace velmorix
