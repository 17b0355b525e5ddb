// Uploads that the walk hands to other connections to the server, so that
// several files travel at once while the walk goes on deciding. The walk
// stays the one that decides and reports: it writes a file's line when it
// hands the file over, and it alone shows lines and boxes. Walk thread only.
//
// What holds whatever the timing, so that a run leaves the tree and the log
// that one connection leaves: nothing the walk reads or changes in a folder
// overtakes an upload handed over into it (see Settle); an upload cut short
// because its connection was lost is sent again; a connection lost is opened
// again once when it is next needed, and its work goes to the others (the
// walk's own included) when that fails; every wait ends, within a second of
// a cancel request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine/run_progress.h"
#include "ftp/ftp_status.h"

namespace velmorix {

// A file handed over: uploaded as `name` into `remoteDir`.
struct ParallelUpload {
  std::string localPath;
  std::string remoteDir;
  std::string name;
  int64_t size = 0;          // as the walk found it, for the progress
  bool replacing = false;    // the server has a file of that name
  RunProgress::Share share;  // what its sending has counted in so far
  int64_t sentAt = 0;        // the local clock when its data had all gone; 0 before
};

// An upload the server refused, with its reply.
struct RefusedUpload {
  ParallelUpload upload;
  std::string reply;
};

// An upload cut short this often by a lost connection is given back to the
// walk, whose own connection then sends it or ends the run.
inline constexpr int kMaxUploadCuts = 2;

// `path` is `folder` or lies below it; every path lies within "".
bool FolderHolds(const std::string& folder, const std::string& path);

// Moves the uploads of `tasks` (each with an `upload` member) whose folder
// lies within `folder` to `uploads`, in order.
template <typename Tasks>
void TakeUploadsWithin(Tasks& tasks, const std::string& folder,
                       std::vector<ParallelUpload>& uploads) {
  for (auto it = tasks.begin(); it != tasks.end();) {
    if (FolderHolds(folder, it->upload.remoteDir)) {
      uploads.push_back(std::move(it->upload));
      it = tasks.erase(it);
    } else {
      ++it;
    }
  }
}

// The console line once every extra connection has tried to log in: how
// many of `total` connections to `server` a run works with.
std::string ParallelConnectionsLine(const std::string& server, int count, int total);

class ParallelUploads {
 public:
  virtual ~ParallelUploads() = default;

  // Starts the upload on another connection when one is free and returns
  // true; false when none is (the walk then uploads on its own connection).
  // The progress counters are told when it has been sent.
  virtual bool TryStart(ParallelUpload upload) = 0;
  // True once the server has refused an upload that was handed over.
  virtual bool Failed() const = 0;
  // A line for the console when the number of connections at work has
  // changed: once every extra connection has been tried (how many of them
  // the server let in), and again when lost ones could not be opened
  // again. Empty otherwise.
  virtual std::string TakeNotice() = 0;

  // Returns when no upload handed over into `folder` or below it is waiting
  // or under way. The uploads there that no connection can take any more
  // are given back, for the caller to send itself; so are those that were
  // cut short twice by a lost connection.
  virtual std::vector<ParallelUpload> Settle(const std::string& folder) = 0;

  enum class Ending { kLetFinish, kCancel };
  struct Ended {
    std::vector<ParallelUpload> cut;        // broken off, or never started, by a cancel
    std::vector<RefusedUpload> refused;     // since the last Wait
    std::vector<ParallelUpload> givenBack;  // as Settle gives them
  };
  // Returns when no upload is waiting or under way any more; with kCancel
  // those under way are broken off and those waiting are never started.
  virtual Ended Wait(Ending ending) = 0;
};

// The uploads a pool of extra connections has been handed, and what became
// of them, kept under the pool's lock. A Task holds an `upload` and the
// times a lost connection cut it short (`cuts`).
template <typename Task>
struct UploadQueue {
  std::deque<Task> pending;            // handed over, not yet taken
  std::vector<std::string> underWay;   // the folders of the uploads being sent
  std::deque<Task> givenBack;          // for the walk to send
  std::vector<ParallelUpload> cut;     // broken off or never started
  std::vector<RefusedUpload> refused;  // since the last Wait
  bool failed = false;

  // Whether an upload into `folder` or below it is waiting or under way.
  bool PendingWithin(const std::string& folder) const {
    return std::any_of(pending.begin(), pending.end(), [&](const Task& task) {
      return FolderHolds(folder, task.upload.remoteDir);
    });
  }
  bool UnderWayWithin(const std::string& folder) const {
    return std::any_of(underWay.begin(), underWay.end(),
                       [&](const std::string& dir) { return FolderHolds(folder, dir); });
  }

  // Files how `task`, which was under way, ended with `status`: counted in;
  // cut by a cancel (or while the pool breaks off); lost with its
  // connection, then sent again from the start (the server's part of it is
  // replaced) by whichever connection comes first, or given back to the
  // walk once cut kMaxUploadCuts times; or refused by the server.
  void Conclude(Task task, const FtpStatus& status, bool lost, bool breakingOff,
                RunProgress& progress) {
    ParallelUpload& upload = task.upload;
    underWay.erase(std::find(underWay.begin(), underWay.end(), upload.remoteDir));
    if (status.ok()) {
      progress.FileDone(upload.size, true, upload.share);
      progress.FileArrived({upload.remoteDir, upload.name, upload.sentAt});
    } else if (status.kind == FtpErrorKind::kCanceled || breakingOff) {
      cut.push_back(std::move(upload));
    } else if (lost) {
      if (++task.cuts >= kMaxUploadCuts) {
        givenBack.push_back(std::move(task));
      } else {
        pending.push_front(std::move(task));
      }
    } else {
      refused.push_back({std::move(upload), status.text});
      failed = true;
    }
  }

  // Settle's answer once nothing within `folder` is under way: what was
  // given back there, and with no connection working, what waits there.
  std::vector<ParallelUpload> TakeSettled(const std::string& folder, bool noneWorking) {
    std::vector<ParallelUpload> back;
    TakeUploadsWithin(givenBack, folder, back);
    if (noneWorking)
      TakeUploadsWithin(pending, folder, back);
    return back;
  }

  // A cancel: what waits is never started.
  void CutWaiting() {
    std::vector<ParallelUpload> notStarted;
    TakeUploadsWithin(pending, {}, notStarted);
    TakeUploadsWithin(givenBack, {}, notStarted);
    std::move(notStarted.begin(), notStarted.end(), std::back_inserter(cut));
  }

  // Wait's answer once nothing is under way.
  ParallelUploads::Ended TakeEnded() {
    ParallelUploads::Ended ended;
    ended.cut = std::exchange(cut, {});
    ended.refused = std::exchange(refused, {});
    TakeUploadsWithin(givenBack, {}, ended.givenBack);
    TakeUploadsWithin(pending, {}, ended.givenBack);
    return ended;
  }
};

}  // namespace velmorix
