// How far a transfer run has come: the counters that the worker publishes
// and the console reads while the run lasts.
//
// Threads. The run's worker thread calls the writing members, and so do the
// threads of its extra upload connections for their uploads; any thread may
// call Read() at any time (the window's timer, the terminal's progress
// line). Each counter is an atomic of its own that only grows, so a reader
// never blocks a writer and never sees a counter go backwards; the counters
// of one snapshot may be a step apart from each other.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace velmorix {

struct ProgressSnapshot {
  bool totalsKnown = false;  // the run has decided what it uploads
  int64_t totalFiles = 0;    // files the run will upload
  int64_t totalBytes = 0;    // their sizes
  int64_t doneFiles = 0;     // uploaded
  int64_t doneBytes = 0;     // of those, also the part of an upload under way
  int64_t filesUploaded = 0;
  int64_t bytesUploaded = 0;
  int64_t foldersCreated = 0;
  int64_t entriesDeleted = 0;
  std::chrono::milliseconds elapsed{0};  // since Start()
};

// A file that arrived whole on the server as `remoteDir`/`name`, and the
// local clock (seconds since 1970 UTC) when its data had all gone.
struct ArrivedFile {
  std::string remoteDir;
  std::string name;
  int64_t sentAt = 0;
};

class RunProgress {
 public:
  // Worker thread: the run begins now.
  void Start();
  // Worker thread: the totals the run decided on.
  void SetTotals(int64_t files, int64_t bytes);

  // What one upload has counted in so far. Owned by the thread that sends
  // the file; uploads on several connections each have their own.
  struct Share {
    int64_t counted = 0;
  };

  // The thread that sends a file of `size` bytes (as the walk found it):
  // `sent` bytes of it have gone so far. Cheap: a few relaxed atomic
  // operations, fit to be called for every chunk.
  void FileSending(Share& share, int64_t size, int64_t sent);
  // A file of `size` bytes has been dealt with: uploaded (`uploaded`, with
  // the share its sending counted in), or found up to date, which counts
  // nothing: the totals are the files and bytes the run decided to upload.
  void FileDone(int64_t size, bool uploaded, const Share& share);
  void FileDone(int64_t size, bool uploaded) { FileDone(size, uploaded, Share()); }
  void FolderCreated();
  void EntryDeleted();
  // The thread that sent a file, once the server has taken it whole. The
  // last one is kept: the run learns the server's clock from it. Takes a
  // lock, once per file.
  void FileArrived(ArrivedFile file);
  // The last file FileArrived was told of; nothing before the first.
  std::optional<ArrivedFile> LastArrived() const;

  ProgressSnapshot Read() const;

 private:
  std::atomic<int64_t> startNanoseconds_{0};
  std::atomic<bool> totalsKnown_{false};
  std::atomic<int64_t> totalFiles_{0};
  std::atomic<int64_t> totalBytes_{0};
  std::atomic<int64_t> doneFiles_{0};
  // Bytes of the files dealt with plus what has gone of the uploads under
  // way; an upload's share is counted in as it is sent, so that the sum
  // only grows.
  std::atomic<int64_t> doneBytes_{0};
  std::atomic<int64_t> filesUploaded_{0};
  std::atomic<int64_t> bytesUploaded_{0};
  std::atomic<int64_t> foldersCreated_{0};
  std::atomic<int64_t> entriesDeleted_{0};
  mutable std::mutex arrivedMutex_;
  std::optional<ArrivedFile> lastArrived_;
};

// "n / N ファイル  x.x / y.y MB  r.r MB/s  残り m:ss", the line under a
// console's progress bar; the rate and the time left only once they can be
// told. Counts beyond the totals (a file that grew since the scan) are shown
// as the totals.
std::string FormatProgressText(const ProgressSnapshot& progress);

// The share done for a bar from 0 to `scale`: by bytes, or by files when
// there are no bytes to count; never above `scale`.
int ProgressFraction(const ProgressSnapshot& progress, int scale);

// The one line at the end of a transfer:
// "Summary : %d files uploaded (%s), %d directories created, %d entries deleted, %s elapsed".
std::string FormatRunSummary(const ProgressSnapshot& progress);

// The one line at the end of a dry run:
// "Dry run : %d directories to create, %d files to upload (%s), %d entries to delete".
std::string FormatDryRunSummary(const ProgressSnapshot& progress);

// Bytes for people: "512 B", "1.5 KB", "12.3 MB", "2.10 GB" (1 KB = 1024 B).
std::string FormatBytes(int64_t bytes);

}  // namespace velmorix
