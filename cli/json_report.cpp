#include "cli/json_report.h"

#include <nlohmann/json.hpp>

#include "cli/command_line.h"

namespace velmorix::cli {
namespace {

const char* ResultWord(int exitCode) {
  switch (exitCode) {
    case kExitCompleted:
      return "completed";
    case kExitCanceled:
      return "canceled";
    case kExitNotConnected:
      return "not_connected";
    case kExitStopped:
      return "stopped";
    default:
      return "failed";
  }
}

const char* VerdictWord(TestVerdict verdict) {
  switch (verdict) {
    case TestVerdict::kOk:
      return "ok";
    case TestVerdict::kNote:
      return "note";
    case TestVerdict::kFailed:
      break;
  }
  return "failed";
}

}  // namespace

std::string JsonReportText(const JsonReport& json) {
  const ProgressSnapshot& totals = json.report.totals;
  nlohmann::ordered_json object = {
      {"command", json.command},
      {"destination", json.destination},
      {"dry_run", json.dryRun},
      {"result", ResultWord(json.exitCode)},
      {"exit_code", json.exitCode},
      {"files_uploaded", totals.filesUploaded},
      {"bytes_uploaded", totals.bytesUploaded},
      {"folders_created", totals.foldersCreated},
      {"entries_deleted", totals.entriesDeleted},
      {"elapsed_seconds", json.elapsedSeconds},
  };
  nlohmann::ordered_json failures = nlohmann::ordered_json::array();
  for (const RunFailure& failure : json.report.failures) {
    failures.push_back({{"message", failure.message},
                        {"path", failure.path},
                        {"reply", failure.reply},
                        {"cause", failure.cause}});
  }
  if (json.test != nullptr) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const TestStep& step : json.test->steps) {
      steps.push_back(
          {{"name", step.name}, {"verdict", VerdictWord(step.verdict)}, {"text", step.text}});
      if (step.verdict == TestVerdict::kFailed) {
        failures.push_back(
            {{"message", TestStepLine(step)}, {"path", ""}, {"reply", ""}, {"cause", step.text}});
      }
    }
    object["failures"] = std::move(failures);
    object["log"] = nullptr;
    object["steps"] = std::move(steps);
  } else {
    object["failures"] = std::move(failures);
    object["log"] = json.logPath.empty() ? nlohmann::ordered_json(nullptr)
                                         : nlohmann::ordered_json(json.logPath);
  }
  // Names and replies that are no valid UTF-8 are written with U+FFFD
  // rather than failing the report.
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace velmorix::cli
