// The pruning: deletes the server entries of a folder that the walk did not
// match with a local entry. Worker thread only; the job must be connected.
#pragma once

#include <string>

#include "engine/entry_table.h"
#include "engine/transfer_job.h"

namespace velmorix {

// Deletes the unmatched remote entries of `table`, whose folder is
// `remoteDir`, asking first when the settings' deleteMessage is on. Returns
// kFailed after an error box or when the user answered Cancel to a question,
// kCanceled when a removal noticed a cancel request.
RunResult PruneRemoteDirectory(TransferJob& job, const EntryTable& table,
                               const std::string& remoteDir);

// Empties the remote folder `folder` recursively, without asking and without
// sparing anything. Leaves the server's current folder wherever its last step
// left it.
RunResult RemoveRemoteTree(TransferJob& job, const std::string& folder);

}  // namespace velmorix
