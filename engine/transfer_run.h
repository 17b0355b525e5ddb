// Starting a transfer or a listing. The front end (main window, command
// line) has already checked that a destination is selected and stored its
// folder and options into the profile; these functions do the rest on the
// calling thread: build the job, start the worker, run the console modally,
// wait for the worker and destroy the job.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/connection_learned.h"
#include "engine/run_console.h"
#include "engine/run_progress.h"
#include "engine/site_connector.h"
#include "engine/transfer_job.h"
#include "ftp/ftp_session.h"
#include "settings/app_settings.h"

namespace velmorix {

// How a run ended, beyond its completion code, for a front end that tells
// more of it (velmorix-cli's exit status and --json).
struct RunReport {
  std::vector<RunFailure> failures;  // what ended it, as shown
  // Ended by Cancel given to a question (see RunOutput::endedByAnswer).
  bool endedByAnswer = false;
  ProgressSnapshot totals;  // the run's counters at its end
};

struct RunRequest {
  const AppSettings& settings;  // the two delete switches
  const FtpProfile& profile;    // server, login, folders, options of this run
  RunConsole& console;
  CancelEvent& cancelEvent;  // a request left from an earlier run is dropped at the start
  std::string logPath;       // where the run writes its log; see LogPath in program_files.h
  FtpTimeouts timeouts = {};
  // When given, receives what the run learned about the server (see
  // ConnectionLearned), for the front end to keep in the destination.
  ConnectionLearned* learned = nullptr;
  RunMode mode = RunMode::kPublish;  // StartTransfer only
  // The most entries a publish may delete: more stop it before its first
  // change, without a question (0: none at all). Without it, the guard
  // against mass deletion asks.
  std::optional<int64_t> maxDelete = std::nullopt;
  // Where a publish keeps its change lines besides the log (see HistoryPath
  // in run_history.h); "" keeps none.
  std::string historyPath = {};
  // When given, receives how the run ended (failures, counters).
  RunReport* report = nullptr;
  // For a destination of another protocol than FTP: what opens its
  // connections. Without it the run speaks FTP.
  SiteConnector* connector = nullptr;
};

// Publishes profile.localDir to profile.remoteDir. When the source folder is
// not an existing folder, shows the refusal through console.ShowError on the
// calling thread and returns nothing; otherwise returns how the run ended.
// The console's RunModal is called once, after the worker has started.
std::optional<CompletionCode> StartTransfer(const RunRequest& request);

}  // namespace velmorix
