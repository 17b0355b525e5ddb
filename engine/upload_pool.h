// Extra FTP connections for parallel uploads: each has a thread of its own,
// which logs in and then uploads what the walk hands it by full path, and
// reads ahead the listings the walk will want (listings first: the walk
// waits for them, not for uploads).
//
// Threads. The run's worker thread creates the pool, calls its members and
// destroys it; the pool's threads only connect, upload and count progress.
// The pool must be destroyed before the session options, the progress
// counters and the cancel event it was given.
#pragma once

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/parallel_uploads.h"
#include "engine/prefetched_listings.h"
#include "engine/run_progress.h"
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
};

class UploadPool final : public ParallelUploads, public PrefetchedListings {
 public:
  // `extra` connections, started in the background at once. Each upload
  // converts names as the run's own connection `own` does when it is
  // handed over (a server's names may show their encoding only later in
  // the walk).
  UploadPool(PoolLogin login, int extra, const FtpConnection& own, RunProgress& progress,
             const CancelEvent& cancelEvent);
  // Breaks off what is under way and ends the threads.
  ~UploadPool() override;
  UploadPool(const UploadPool&) = delete;
  UploadPool& operator=(const UploadPool&) = delete;

  bool TryStart(ParallelUpload upload) override;
  bool Failed() const override;
  FtpStatus Failure() const override;
  std::string TakeNotice() override;
  std::vector<ParallelUpload> Wait(Ending ending) override;

  void ReadAhead(const std::vector<FolderListing>& listings, bool expand,
                 NameEncoding encoding) override;
  bool Take(const FolderListing& listing, std::vector<RemoteEntry>& entries) override;
  void Forget(const std::string& folder) override;
  bool BeingRead(const FolderListing& listing) override;
  bool TakeWaiting(FolderListing& listing) override;
  void Deliver(const FolderListing& listing, std::vector<RemoteEntry> entries, bool read,
               bool listsWithMlsd) override;

 private:
  struct Listing {
    enum class State { kWaiting, kReading, kRead, kFailed };
    FolderListing listing;
    NameEncoding nameEncoding = NameEncoding::kUtf8;
    bool expand = false;
    State state = State::kWaiting;
    bool forgotten = false;  // dropped while it was read
    std::vector<RemoteEntry> entries;
  };
  using Listings = std::list<Listing>;

  void Work();
  // Reads `listing` on `connection` and files the result; the lock is held
  // on entry and on return, not meanwhile.
  void ReadListing(FtpConnection& connection, Listings::iterator listing,
                   std::unique_lock<std::mutex>& lock);
  // Adds `listings` before every waiting one, leaving out those asked for
  // already; at most kMaxListings are held. Lock held.
  void AddListings(const std::vector<FolderListing>& listings, bool expand, NameEncoding encoding);
  // Files what was read for `listing` (and asks for the folders it shows
  // when it expands). Lock held.
  void File(Listings::iterator listing, std::vector<RemoteEntry> entries, bool read,
            bool listsWithMlsd);
  Listings::iterator Find(const FolderListing& listing);
  Listings::iterator FirstWaiting();
  int WaitingListings() const;

  const PoolLogin login_;
  const int extra_;
  const FtpConnection& own_;
  RunProgress& progress_;
  const CancelEvent& cancelEvent_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  struct Task {
    ParallelUpload upload;
    NameEncoding nameEncoding;
  };
  std::deque<Task> pending_;  // handed over, not yet taken
  int idle_ = 0;              // connections waiting for an upload
  int busy_ = 0;              // connections uploading
  int tried_ = 0;             // connection attempts that have ended
  int connected_ = 0;
  bool noticeTaken_ = false;
  bool failed_ = false;
  FtpStatus failure_;      // of the first upload that failed
  bool breakOff_ = false;  // uploads under way are canceled
  bool stopping_ = false;  // the threads end
  std::vector<ParallelUpload> canceled_;
  Listings listings_;                  // asked for, being read, or read and not taken
  std::vector<std::jthread> threads_;  // walk thread only
};

}  // namespace velmorix
