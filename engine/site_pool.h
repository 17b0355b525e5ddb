// Extra connections of a destination of another protocol than FTP, opened
// through its connector: each has a thread of its own, which logs in and
// then reads the listings the tree reader asks for and uploads what the
// walk hands it, into the folder it names (listings first: the run waits
// for them). A
// connection lost during an upload is opened again once; the upload goes
// back to the queue, and cut twice it is given back to the walk. Threads
// as for UploadPool: the run's worker thread creates the pool and calls it,
// the pool's threads only connect, upload and count progress.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/parallel_uploads.h"
#include "engine/run_progress.h"
#include "engine/site_connector.h"
#include "engine/tree_reader.h"

namespace velmorix {

class SitePool final : public ParallelUploads, public ListingReaders {
 public:
  // `extra` connections, started at once; each numbers its temporary names
  // after itself (from 1).
  SitePool(SiteConnector& connector, const FtpProfile& profile, const UploadNaming& naming,
           FtpTimeouts timeouts, int extra, RunProgress& progress, const CancelEvent& cancelEvent);
  // Breaks off what is under way and ends the threads.
  ~SitePool() override;
  SitePool(const SitePool&) = delete;
  SitePool& operator=(const SitePool&) = delete;

  bool TryStart(ParallelUpload upload) override;
  bool Failed() const override;
  std::string TakeNotice() override;
  std::vector<ParallelUpload> Settle(const std::string& folder) override;
  Ended Wait(Ending ending) override;

  bool Read(const FolderListing& listing) override;
  bool TakeUnstarted(FolderListing& listing) override;
  bool NextRead(FolderListing& listing, FolderRead& read) override;

 private:
  struct Task {
    ParallelUpload upload;
    int cuts = 0;
  };
  void Work(int number);
  // Opens the connection `number`; null when it could not be.
  std::unique_ptr<OpenSite> Open(int number);
  bool BreakingOff() const { return breakOff_ || cancelEvent_.IsSet(); }

  SiteConnector& connector_;
  const FtpProfile& profile_;
  const UploadNaming naming_;
  const FtpTimeouts timeouts_;
  const int extra_;
  RunProgress& progress_;
  const CancelEvent& cancelEvent_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  UploadQueue<Task> queue_;
  std::deque<FolderListing> listings_;                     // to read, not started
  std::deque<std::pair<FolderListing, FolderRead>> read_;  // read, not taken
  int reading_ = 0;                                        // listings being read
  std::atomic<bool> breakOff_{false};  // also read by the connections' cancel checks
  int tried_ = 0;                      // connections that have tried their login
  int working_ = 0;                    // connections logged in and not lost for good
  int idle_ = 0;                       // of those, the ones without an upload
  int reported_ = -1;                  // the count the last notice told
  std::vector<std::jthread> threads_;
};

}  // namespace velmorix
