// The remote listing tool: lists the entries of a destination's remoteDir
// into the console and the log, one line per entry. Worker thread only.
#pragma once

#include <string>

#include "engine/transfer_job.h"
#include "ftp/ftp_session.h"

namespace velmorix {

// Connects, enters remoteDir, lists it and disconnects, reporting each step.
RunResult RunListing(TransferJob& job);

// Lists the remote folder `path` (the job must be connected): one line per
// entry, dot entries included when the server lists them, with code 133.
RunResult ListRemoteDirectory(TransferJob& job, const std::string& path);

// The line of one entry: " %30s   %s" with the name ("[name]" for a folder)
// and the last-write time in local time as M/d/yy H:mm:ss. The width counts
// display columns (DisplayWidth); control characters of the name are escaped.
std::string FormatListingLine(const RemoteEntry& entry);

}  // namespace velmorix
