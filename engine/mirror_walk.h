// The mirror walk: brings a remote folder up to date with a local folder and
// recurses into the sub-folders. Worker thread only.
#pragma once

#include <string>

#include "engine/entry_table.h"
#include "engine/transfer_job.h"
#include "engine/walk_rules.h"

namespace velmorix {

// Mirrors the local folder `localDir` into the remote folder `remoteDir` of
// the context's site, which must exist. Every failure has been shown in an
// error box when kFailed is returned.
RunResult MirrorDirectory(const WalkContext& context, const std::string& localDir,
                          const std::string& remoteDir);

// Fill one side of `table`. Return kCompleted, or kFailed after an error box;
// the remote scan returns kCanceled when it notices a cancel request.
RunResult ScanLocalDirectory(const WalkContext& context, EntryTable& table,
                             const std::string& localDir);
RunResult ScanRemoteDirectory(const WalkContext& context, EntryTable& table,
                              const std::string& remoteDir);

}  // namespace velmorix
