// The pruning: deletes the server entries of a folder that the walk did not
// match with a local entry. Worker thread only.
#pragma once

#include <string>

#include "engine/entry_table.h"
#include "engine/transfer_job.h"
#include "engine/walk_rules.h"

namespace velmorix {

// Deletes the unmatched remote entries of `table`, whose folder is
// `remoteDir`, asking first when the rules say so. Returns
// kFailed after an error box or when the user answered Cancel to a question,
// kCanceled when a removal noticed a cancel request or a question was
// interrupted. `depth` is the folder's level below the destination's folder
// (0 for that folder itself). A link is deleted as one entry, like a file,
// and never entered (the table's folders are confirmed first).
// Deletes the temporary files an earlier run of ours left in the current
// folder `folder` (the table's leftovers), whatever the deletion settings
// say, asking nothing and logging nothing: they were never the user's. A
// failure is only said on the console.
void RemoveLeftovers(const WalkContext& context, const EntryTable& table,
                     const std::string& folder);

RunResult PruneRemoteDirectory(const WalkContext& context, EntryTable& table,
                               const std::string& remoteDir, int depth);

// Empties the remote folder `folder`, at level `depth` below the
// destination's folder, recursively, without asking and without sparing
// anything but the entries whose names cannot be read (see
// ftp::IsReadableServerName), which are passed over with a console line,
// and those the user's exclusions leave alone (Excludes), which are passed
// over silently; either makes `kept` true, as do the folders that hold them. Links inside it are
// deleted, never followed. A folder deeper than kMaxFolderDepth fails with
// a box. Leaves the server's current folder wherever its last step left it.
RunResult RemoveRemoteTree(const WalkContext& context, const std::string& folder, int depth,
                           bool& kept);

}  // namespace velmorix
