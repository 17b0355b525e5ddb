// The remote listing tool: lists the entries of a destination's remoteDir
// into the console and the log, one line per entry. StartListing runs on
// the starting thread, the rest on the listing's worker thread.
#pragma once

#include <string>

#include "engine/remote_site.h"
#include "engine/transfer_job.h"
#include "engine/transfer_run.h"
#include "ftp/ftp_session.h"

namespace velmorix {

// Lists profile.remoteDir into the console and the log, as StartTransfer
// publishes (request.mode is not looked at).
CompletionCode StartListing(const RunRequest& request);

// Connects, enters remoteDir, lists it and disconnects, reporting each step.
RunResult RunListing(TransferJob& job);

// Lists the remote folder `path` of `site`: one line per entry, dot entries
// included when the server lists them, with code 133.
RunResult ListRemoteDirectory(RemoteSite& site, RunOutput& output, const std::string& path);

// The line of one entry: " %30s   %s" with the name ("[name]" for a folder)
// and the last-write time in local time as M/d/yy H:mm:ss. The width counts
// display columns (DisplayWidth); control characters of the name are escaped.
std::string FormatListingLine(const RemoteEntry& entry);

}  // namespace velmorix
