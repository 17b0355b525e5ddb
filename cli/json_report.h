// --json: a run's outcome as one JSON object, for scripts.
#pragma once

#include <string>

#include "engine/connection_check.h"
#include "engine/transfer_run.h"

namespace velmorix::cli {

struct JsonReport {
  std::string command;      // transfer, list or test
  std::string destination;  // its name
  bool dryRun = false;
  int exitCode = 0;
  const RunReport& report;  // failures and counters (none for test)
  double elapsedSeconds = 0;
  std::string logPath;                         // "" when the run wrote no log
  const ConnectionTestReport* test = nullptr;  // test only
};

// The object on one line: "command", "destination", "dry_run", "result",
// "exit_code", the four counters, "elapsed_seconds", "failures", "log" and,
// for test, "steps".
std::string JsonReportText(const JsonReport& json);

}  // namespace velmorix::cli
