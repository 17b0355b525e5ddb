// The walk's uploads: a file sent on the walk's own connection, and the
// ends of those handed to other connections (ParallelUploads). Every
// upload whose line the log has and that did not reach the server whole is
// named in the log again, next to the end: "Copy file to FTP canceled"
// when it was cut short or never sent, "Copy file to FTP failed" when the
// server refused it (with a box giving the reply). Walk thread only.
#pragma once

#include <string>
#include <vector>

#include "engine/parallel_uploads.h"
#include "engine/transfer_job.h"
#include "engine/walk_rules.h"

namespace velmorix {

// Sends `upload` into the site's current folder, which must be its
// `remoteDir`, on the walk's own connection, and counts it in when it has
// gone. Whatever did not go is named as said above.
RunResult SendOnWalkConnection(const WalkContext& context, ParallelUpload& upload);

// Ends the walk's own uploads whose last reply has come (all of them, after
// reading what is outstanding, with `wait`): counts them in, or names the
// failed ones as said above, with their box (kFailed).
RunResult ConcludeOwnUploads(const WalkContext& context, bool wait);

// Waits until nothing handed over into `folder` or below it is waiting or
// under way, and sends itself what no other connection can take any more.
// The walk's own uploads are ended as far as their replies have come, or
// (kWait) all of them: a later command on its own connection is taken by
// the server after them anyway. The site's current folder is left
// elsewhere when it sent something.
enum class OwnUploads { kAsFarAsCome, kWait };
RunResult SettleUploads(const WalkContext& context, const std::string& folder, OwnUploads own);

// Ends the uploads handed over and the walk's own: lets them finish
// (breaks them off, and never starts those waiting, when `result` is
// kCanceled), sends those given back when `result` is kCompleted, and names
// the rest as said above. When `result` is kCompleted, a refused one ends the run as failed
// and a cut one as canceled; any other result is kept. Nothing is under
// way afterwards, so a second call only passes `result` on.
RunResult EndParallelUploads(const WalkContext& context, RunResult result);

// Ends the run with the refused uploads: one box, the failed upload's text
// with "path : reply" under it for each.
void FailUploads(RunOutput& output, const std::vector<RefusedUpload>& refused);

}  // namespace velmorix
