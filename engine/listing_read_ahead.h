// Reading a remote listing to its end with the next entry read ahead, as the
// pruning and the directory listing do. Worker thread only.
#pragma once

#include <utility>

#include "engine/remote_site.h"
#include "engine/transfer_job.h"

namespace velmorix {

// Hands `entry` (the one FindFirst gave) and then every further entry of
// `listing` to `each`, in the server's order; `each` returns false to stop
// the reading as a failure.
//
// For every entry the next one is read first. Only when there is one is the
// cancel request tested, and before `each` sees the current entry; so the
// last entry is always handed over, and a listing whose last entry has been
// read always completes. When the server breaks the listing off, the entry
// read before the break is still handed over.
//
// Returns kCompleted after the last entry, kCanceled on a cancel request
// (also one that cut the listing short inside the FTP client, which is then
// consumed), and kFailed when `each` returned false or the server broke the
// listing off (`broke`, when given, is then set to what broke it). The
// listing is closed in every case and no box is shown: the caller
// shows its own after the close, so that the server is not left sending
// while the user reads it.
template <typename EachEntry>
RunResult ReadListingAhead(RunOutput& output, RemoteListing& listing, RemoteEntry entry,
                           EachEntry&& each, FtpStatus* broke = nullptr) {
  RemoteEntry next;
  for (;;) {
    const FtpStatus status = listing.Next(next);
    if (status.kind == FtpErrorKind::kCanceled) {
      output.CancelRequested();
      return RunResult::kCanceled;
    }
    const bool hasNext = status.ok();
    if (hasNext && output.CancelRequested()) {
      listing.Close();
      return RunResult::kCanceled;
    }
    if (!each(std::as_const(entry))) {
      listing.Close();
      return RunResult::kFailed;
    }
    if (!hasNext) {
      listing.Close();
      if (status.kind == FtpErrorKind::kNoMoreFiles)
        return RunResult::kCompleted;
      if (broke != nullptr)
        *broke = status;
      return RunResult::kFailed;
    }
    std::swap(entry, next);
  }
}

}  // namespace velmorix
