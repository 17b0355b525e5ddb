// The worker side of a run: starting a worker, the transfer's thread
// procedure, the transfer run and the connection step that the transfer and
// the listing share. Worker thread only, but for RunOnWorker.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/transfer_job.h"
#include "engine/transfer_run.h"

namespace velmorix {

using WorkerProcedure = std::function<void(TransferJob&)>;

// Whether the console is given the run's progress counters to show.
enum class WatchedProgress { kShown, kNone };

// Starting thread: builds the job of `request`, runs `worker` on its own
// thread while the console is modal, waits for the worker and destroys the
// job. Returns the completion the worker posted.
CompletionCode RunOnWorker(const RunRequest& request, const WorkerProcedure& worker,
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

// Eight hexadecimal digits, new for every run: what marks its temporary
// files as its own.
std::string NewRunTag();

// The low 16 bits of the stored port, as the connection has always taken it.
uint16_t PortOf(const FtpProfile& profile);
// The connections a run may open, the stored number held to its range.
int ConnectionsOf(const FtpProfile& profile);
// The options of the run's own connection: the destination's settings, a
// certificate that fails verification asked about through the console
// (one the user accepts goes to job.learned), and what the connection
// decides shown as a line. They refer to the job.
FtpConnectOptions RunConnectOptions(TransferJob& job);
// The options of further connections to the server once the run's own has
// logged in: they ask nothing; a certificate the user accepted in this run
// is taken, any other refused, and a server that spoke TLS is held to it.
FtpConnectOptions ExtraConnectOptions(const TransferJob& job);

// For a destination of another protocol: opens the run's own connection
// through job.connector, asking through the console, and says how it logged
// in. On failure shows why and gives nothing; `canceled` tells a cancel
// request during the connect, which is no failure.
std::unique_ptr<OpenSite> ConnectSite(TransferJob& job, const UploadNaming& naming, bool& canceled);

// Once the run has read its listings whole: what 自動 decided about the
// server's names goes to job.learned (see ConnectionLearned).
void NoteAutoNameEncoding(TransferJob& job);

// Before the disconnect: what 自動 found about data connections goes to
// job.learned (passive mode failing and active mode working, or active
// mode, learned before, failing).
void NoteAutoDataMode(TransferJob& job);

// Closes the connection, then the session. Safe on a job that is not connected.
void DisconnectServer(TransferJob& job);

}  // namespace velmorix
