// The worker side of a run: starting a worker, the transfer's thread
// procedure, the transfer run and the connection step that the transfer and
// the listing share. Worker thread only, but for RunOnWorker.
#pragma once

#include "engine/transfer_job.h"
#include "engine/transfer_run.h"

namespace velmorix {

using WorkerProcedure = void (*)(TransferJob&);

// Whether the console is given the run's progress counters to show.
enum class WatchedProgress { kShown, kNone };

// Starting thread: builds the job of `request`, runs `worker` on its own
// thread while the console is modal, waits for the worker and destroys the
// job. Returns the completion the worker posted.
CompletionCode RunOnWorker(const RunRequest& request, WorkerProcedure worker,
                           WatchedProgress watched);

// The transfer's thread procedure: create the log (not in a dry run), run,
// post the completion notice to the console, close the log.
void TransferWorker(TransferJob& job);

// Posts the completion notice of `result` to the job's console.
void PostCompletion(TransferJob& job, RunResult result);

// Connects, enters the profile's remoteDir, mirrors localDir into it and
// disconnects, reporting every step.
RunResult RunTransfer(TransferJob& job);

// Opens the job's session and connection with the profile's server, port,
// user and password. On failure shows the client's text (or the unknown
// cause text) in an error box and leaves both closed.
bool ConnectServer(TransferJob& job);

// Once the run has read its listings whole: what 自動 decided about the
// server's names goes to job.learned (see ConnectionLearned).
void NoteAutoNameEncoding(TransferJob& job);

// Closes the connection, then the session. Safe on a job that is not connected.
void DisconnectServer(TransferJob& job);

}  // namespace velmorix
