#include "engine/walk_uploads.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "base/display_text.h"
#include "engine/remote_site.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

void NameCut(RunOutput& output, const ParallelUpload& upload) {
  output.Report(kOutputConsoleAndLog, "Copy file to FTP canceled : %s/%s", upload.remoteDir.c_str(),
                upload.name.c_str());
}

// The upload has arrived whole: counted in, and kept as the last to arrive.
void CountIn(RunOutput& output, const ParallelUpload& upload) {
  output.progress.FileDone(upload.size, true, upload.share);
  output.progress.FileArrived({upload.remoteDir, upload.name, upload.sentAt});
}

void NameRefused(RunOutput& output, const ParallelUpload& upload) {
  output.Report(kOutputConsoleAndLog, "Copy file to FTP failed : %s/%s", upload.remoteDir.c_str(),
                upload.name.c_str());
}

// Sends uploads given back by the other connections, each in its own
// folder; those not sent once one has not gone are named as cut.
RunResult SendGivenBack(const WalkContext& context, std::vector<ParallelUpload> uploads) {
  RunOutput& output = context.output;
  RunResult result = RunResult::kCompleted;
  for (ParallelUpload& upload : uploads) {
    if (result != RunResult::kCompleted) {
      NameCut(output, upload);
      continue;
    }
    if (output.CancelRequested()) {
      result = RunResult::kCanceled;
      NameCut(output, upload);
    } else if (const FtpStatus status = context.site.ChangeFolder(upload.remoteDir); !status.ok()) {
      result = RunResult::kFailed;
      output.Fail(CommandErrorText(strings::kTagChangeDirectory), upload.remoteDir, status);
      NameCut(output, upload);
    } else {
      result = SendOnWalkConnection(context, upload);
    }
  }
  return result;
}

}  // namespace

void FailUploads(RunOutput& output, const std::vector<RefusedUpload>& refused) {
  std::vector<RunFailure> failures;
  for (const RefusedUpload& each : refused) {
    RunFailure failure{.message = CommandErrorText(strings::kTagTransferFile),
                       .path = JoinPath(each.upload.remoteDir, each.upload.name)};
    failure.cause = failure.path + " : " + each.reply;
    // A reply of the server begins with its three-digit code; anything
    // else is the connection's or the local file's own account.
    if (each.reply.size() >= 3 && std::all_of(each.reply.begin(), each.reply.begin() + 3, IsDigit))
      failure.reply = each.reply;
    failure.hint = FailureHint(failure.reply, FtpErrorKind::kServerReply,
                               output.inActiveMode && output.inActiveMode());
    failures.push_back(std::move(failure));
  }
  output.Fail(std::move(failures));
}

RunResult SendOnWalkConnection(const WalkContext& context, ParallelUpload& upload) {
  RunOutput& output = context.output;
  RunProgress& progress = output.progress;
  RunProgress::Share& share = upload.share;
  const int64_t size = upload.size;
  const FtpStatus status = context.site.PutFile(
      upload.localPath, upload.name,
      [&progress, &share, size](int64_t sent) { progress.FileSending(share, size, sent); },
      upload.replacing ? UploadTarget::kExistingFile : UploadTarget::kNewFile);
  if (status.kind == FtpErrorKind::kCanceled) {
    output.CancelRequested();  // the request has been acted on
    // The server keeps what arrived: the log must say that it is not all.
    NameCut(output, upload);
    return RunResult::kCanceled;
  }
  if (!status.ok()) {
    NameRefused(output, upload);
    FailUploads(output, {{upload, status.text}});
    return RunResult::kFailed;
  }
  upload.sentAt = static_cast<int64_t>(std::time(nullptr));
  if (context.unchecked == nullptr) {
    CountIn(output, upload);
    return RunResult::kCompleted;
  }
  context.unchecked->push_back(std::move(upload));
  return ConcludeOwnUploads(context, false);
}

RunResult ConcludeOwnUploads(const WalkContext& context, bool wait) {
  if (context.unchecked == nullptr)
    return RunResult::kCompleted;
  RunOutput& output = context.output;
  std::vector<RefusedUpload> refused;
  bool cut = false;
  for (CheckedUpload& checked : context.site.TakeCheckedUploads(wait)) {
    if (context.unchecked->empty())
      break;
    ParallelUpload upload = std::move(context.unchecked->front());
    context.unchecked->pop_front();
    if (checked.status.ok()) {
      CountIn(output, upload);
    } else if (checked.status.kind == FtpErrorKind::kCanceled) {
      cut = true;  // the server keeps what arrived
      NameCut(output, upload);
    } else {
      refused.push_back({std::move(upload), checked.status.text});
    }
  }
  if (refused.empty() && cut) {
    output.CancelRequested();  // the request has been acted on
    return RunResult::kCanceled;
  }
  if (refused.empty())
    return RunResult::kCompleted;
  for (const RefusedUpload& each : refused)
    NameRefused(output, each.upload);
  FailUploads(output, refused);
  return RunResult::kFailed;
}

RunResult SettleUploads(const WalkContext& context, const std::string& folder, OwnUploads own) {
  if (RunResult r = ConcludeOwnUploads(context, own == OwnUploads::kWait);
      r != RunResult::kCompleted) {
    return r;
  }
  if (context.uploads == nullptr)
    return RunResult::kCompleted;
  std::vector<ParallelUpload> givenBack = context.uploads->Settle(folder);
  if (givenBack.empty())
    return RunResult::kCompleted;
  return SendGivenBack(context, std::move(givenBack));
}

RunResult EndParallelUploads(const WalkContext& context, RunResult result) {
  // A cancel does not wait for the walk's own uploads still under way.
  if (result == RunResult::kCanceled && context.unchecked != nullptr)
    context.site.BreakOffUploads();
  if (RunResult r = ConcludeOwnUploads(context, true);
      r != RunResult::kCompleted && result == RunResult::kCompleted) {
    result = r;
  }
  if (context.uploads == nullptr)
    return result;
  RunOutput& output = context.output;
  ParallelUploads& uploads = *context.uploads;
  ParallelUploads::Ended ended =
      uploads.Wait(result == RunResult::kCanceled ? ParallelUploads::Ending::kCancel
                                                  : ParallelUploads::Ending::kLetFinish);
  if (!ended.givenBack.empty()) {
    if (result == RunResult::kCompleted) {
      result = SendGivenBack(context, std::move(ended.givenBack));
    } else {
      for (const ParallelUpload& upload : ended.givenBack)
        NameCut(output, upload);
    }
  }
  for (const ParallelUpload& upload : ended.cut)
    NameCut(output, upload);
  for (const RefusedUpload& refused : ended.refused)
    NameRefused(output, refused.upload);
  if (!ended.refused.empty())
    FailUploads(output, ended.refused);
  if (result != RunResult::kCompleted)
    return result;
  if (!ended.refused.empty())
    return RunResult::kFailed;
  if (!ended.cut.empty()) {
    output.CancelRequested();  // the request has been acted on
    return RunResult::kCanceled;
  }
  return result;
}

}  // namespace velmorix
