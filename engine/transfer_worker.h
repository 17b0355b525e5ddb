// The worker side of a run: the thread procedures, the transfer run and the
// connection step that the transfer and the listing share. Worker thread
// only; StartTransfer and StartListing (engine/transfer_run.h) start them.
#pragma once

#include "engine/transfer_job.h"

namespace velmorix {

// Thread procedures: create the log, run, post the completion notice to the
// console, close the log.
void TransferWorker(TransferJob& job);
void ListingWorker(TransferJob& job);

// Connects, enters the profile's remoteDir, mirrors localDir into it and
// disconnects, reporting every step.
RunResult RunTransfer(TransferJob& job);

// Opens the job's session and connection with the profile's server, port,
// user and password. On failure shows the client's text (or the unknown
// cause text) in an error box and leaves both closed.
bool ConnectServer(TransferJob& job);

// Closes the connection, then the session. Safe on a job that is not connected.
void DisconnectServer(TransferJob& job);

}  // namespace velmorix
