// Extra FTP connections: each has a thread of its own, which logs in, then
// reads the listings the tree reader asks for, and uploads what the walk
// hands it by full path (listings first: the run waits for them, not for
// uploads).
//
// A connection the server has closed (an idle time-out, a 421, a reset) is
// logged in again once when it is next needed; when that fails, its thread
// ends and the others, the walk's own included, take its work. An upload
// cut short by a lost connection goes back to the queue; cut twice, it is
// given back to the walk. A listing whose connection was lost is read
// again. Once the walk's connection has turned to active mode, every
// connection uses it.
//
// Threads. The run's worker thread creates the pool, calls its members and
// destroys it; the pool's threads only connect, upload, read listings and
// count progress. The pool must be destroyed before the connection, the
// progress counters and the cancel event it was given.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/parallel_uploads.h"
#include "engine/remote_site.h"
#include "engine/run_progress.h"
#include "engine/tree_reader.h"
#include "ftp/ftp_session.h"

namespace velmorix {

// How the extra connections log in: as the run's own connection did.
struct PoolLogin {
  std::string host;
  uint16_t port = 0;
  std::string userId;
  std::string password;
  FtpTimeouts timeouts;
  FtpConnectOptions options;  // without notices or questions: extra connections ask nothing
  std::string serverName;     // for the console line
  UploadNaming naming;        // each extra connection numbers itself from 1
};

class UploadPool final : public ParallelUploads, public ListingReaders {
 public:
  // How long an extra login waits for the connect, the greeting and each
  // reply before it counts as refused.
  static constexpr std::chrono::milliseconds kLoginTimeout{10000};

  // `extra` connections, started in the background at once. Each upload
  // converts names as the run's own connection `own` does when it is
  // handed over (a server's names may show their encoding only later in
  // the walk).
  UploadPool(PoolLogin login, int extra, FtpConnection& own, RunProgress& progress,
             const CancelEvent& cancelEvent);
  // Breaks off what is under way, abandons logins and ends the threads.
  ~UploadPool() override;
  UploadPool(const UploadPool&) = delete;
  UploadPool& operator=(const UploadPool&) = delete;

  bool TryStart(ParallelUpload upload) override;
  bool Failed() const override;
  std::string TakeNotice() override;
  std::vector<ParallelUpload> Settle(const std::string& folder) override;
  Ended Wait(Ending ending) override;

  bool Read(const FolderListing& listing) override;
  bool TakeUnstarted(FolderListing& listing) override;
  bool NextRead(FolderListing& listing, FolderRead& read) override;
  bool Lend() override;
  void EndLending() override;

 private:
  struct Listing {
    FolderListing listing;
    NameEncoding nameEncoding = NameEncoding::kUtf8;
  };
  // Reads whose final reply is still to come, in the order they were read.
  using HeldReads = std::deque<std::pair<Listing, FolderRead>>;
  struct Task {
    ParallelUpload upload;
    NameEncoding nameEncoding;
    int cuts = 0;  // times a lost connection cut it short
  };

  // The thread of extra connection `number` (from 1).
  void Work(int number);
  // Logs `connection` in; false when the server does not let it in in time,
  // or the pool stops meanwhile. Lock not held.
  bool LogIn(FtpConnection& connection);
  // Sends `task` on `connection` and files the outcome, or keeps it in
  // `checking` while its last reply is still to come; the lock is held on
  // entry and on return, not meanwhile.
  void Upload(FtpConnection& connection, int number, Task task, std::vector<Task>& checking,
              std::unique_lock<std::mutex>& lock);
  // Files the outcome of `task`, or of each upload of `checking` that
  // `checked` tells of. Lock held.
  void Conclude(FtpConnection& connection, Task task, const FtpStatus& status);
  void Conclude(FtpConnection& connection, std::vector<CheckedUpload> checked,
                std::vector<Task>& checking);
  // Reads `listing` on `connection` and files the result, or holds it in
  // `held` while the server's last word on it is still to come (it counts
  // as being read until then); the lock is held on entry and on return,
  // not meanwhile.
  void ReadListing(FtpConnection& connection, Listing listing, HeldReads& held,
                   std::unique_lock<std::mutex>& lock);
  // Takes the word on the reads of `held` that `checked` tells of (with
  // `all`, or when the connection is lost, on the others too, as failed): a
  // read whose reply failed is filed again, ended by that failure, so that
  // it fails where a read that waited for its reply fails. File files the
  // read of `listing`. Lock held.
  void Release(FtpConnection& connection, HeldReads& held, std::vector<FtpStatus> checked,
               bool all = false);
  void File(FtpConnection& connection, Listing listing, FolderRead read);
  // While `connection` holds reads and no listing waits to be read, reads
  // the replies to them that have come, or after a while waits for them;
  // false when there is other work or none to do. Lock held.
  bool LookForWord(FtpConnection& connection, HeldReads& held, int& polls,
                   std::unique_lock<std::mutex>& lock);
  // The thread that reads on the run's own connection while it is lent.
  void ReadLent();
  // Takes what the walk's connection has learned about data connections.
  // Walk thread.
  void LearnFromOwn();
  // The connection works as the others have learned to.
  void Follow(FtpConnection& connection) const;
  // True once the run was canceled or the pool breaks off: what is under
  // way is broken off, and nothing new is started. Any thread.
  bool BreakingOff() const;

  const PoolLogin login_;
  const int extra_;
  FtpConnection& own_;  // lent to a thread of the pool while it reads
  RunProgress& progress_;
  const CancelEvent& cancelEvent_;
  const uint64_t cancelRequestsAtStart_;
  std::atomic<bool> breakOff_{false};        // uploads under way are canceled
  std::atomic<bool> stopping_{false};        // the threads end
  std::atomic<bool> activeMode_{false};      // a connection had to turn to active mode
  std::atomic<bool> renamesRefused_{false};  // the server renames nothing

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  UploadQueue<Task> queue_;
  int idle_ = 0;                   // logged-in connections waiting for work
  int tried_ = 0;                  // first logins that have ended
  int connected_ = 0;              // connections at work, or to be logged in again
  int working_ = 0;                // threads that have not ended
  int reported_ = -1;              // the count the last notice gave
  std::deque<Listing> unstarted_;  // listings asked for
  int reading_ = 0;                // listings being read
  std::deque<std::pair<FolderListing, FolderRead>> read_;  // not yet taken
  bool readerWaits_ = false;                               // in NextRead, for a read
  std::vector<std::jthread> threads_;                      // walk thread only
  std::jthread lent_;                                      // reads on the own connection
  bool lendEnds_ = false;
  bool lentReads_ = false;  // the lent connection takes listings
};

}  // namespace velmorix
