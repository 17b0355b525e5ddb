#include "engine/run_progress.h"

#include <algorithm>

#include "engine/transfer_job.h"

namespace velmorix {
namespace {

int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string FormatDuration(std::chrono::seconds duration) {
  const int64_t seconds = std::max<int64_t>(0, duration.count());
  if (seconds >= 3600) {
    return FormatText("%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60),
                      static_cast<long long>(seconds % 60));
  }
  return FormatText("%lld:%02lld", static_cast<long long>(seconds / 60),
                    static_cast<long long>(seconds % 60));
}

std::string FormatMegabytes(int64_t bytes) {
  return FormatText("%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

void RunProgress::Start() {
  startNanoseconds_.store(NowNanoseconds(), std::memory_order_relaxed);
}

void RunProgress::SetTotals(int64_t files, int64_t bytes) {
  totalFiles_.store(files, std::memory_order_relaxed);
  totalBytes_.store(bytes, std::memory_order_relaxed);
  totalsKnown_.store(true, std::memory_order_release);
}

void RunProgress::FileSending(Share& share, int64_t size, int64_t sent) {
  // Only what lies within the size the walk found is counted, so that a
  // file that grew since cannot push the bytes past the totals.
  const int64_t within = std::clamp<int64_t>(sent, 0, std::max<int64_t>(size, 0));
  if (within > share.counted) {
    doneBytes_.fetch_add(within - share.counted, std::memory_order_relaxed);
    share.counted = within;
  }
}

void RunProgress::FileArrived(ArrivedFile file) {
  std::lock_guard<std::mutex> lock(arrivedMutex_);
  lastArrived_ = std::move(file);
}

std::optional<ArrivedFile> RunProgress::LastArrived() const {
  std::lock_guard<std::mutex> lock(arrivedMutex_);
  return lastArrived_;
}

void RunProgress::FileDone(int64_t size, bool uploaded, const Share& share) {
  // The totals are what the run decided to upload: a file found up to date
  // is not among them.
  if (!uploaded)
    return;
  const int64_t counted = std::max<int64_t>(size, 0);
  if (counted > share.counted)
    doneBytes_.fetch_add(counted - share.counted, std::memory_order_relaxed);
  doneFiles_.fetch_add(1, std::memory_order_relaxed);
  filesUploaded_.fetch_add(1, std::memory_order_relaxed);
  bytesUploaded_.fetch_add(counted, std::memory_order_relaxed);
}

void RunProgress::FolderCreated() {
  foldersCreated_.fetch_add(1, std::memory_order_relaxed);
}

void RunProgress::EntryDeleted() {
  entriesDeleted_.fetch_add(1, std::memory_order_relaxed);
}

ProgressSnapshot RunProgress::Read() const {
  ProgressSnapshot snapshot;
  snapshot.totalsKnown = totalsKnown_.load(std::memory_order_acquire);
  snapshot.totalFiles = totalFiles_.load(std::memory_order_relaxed);
  snapshot.totalBytes = totalBytes_.load(std::memory_order_relaxed);
  snapshot.doneFiles = doneFiles_.load(std::memory_order_relaxed);
  snapshot.doneBytes = doneBytes_.load(std::memory_order_relaxed);
  snapshot.filesUploaded = filesUploaded_.load(std::memory_order_relaxed);
  snapshot.bytesUploaded = bytesUploaded_.load(std::memory_order_relaxed);
  snapshot.foldersCreated = foldersCreated_.load(std::memory_order_relaxed);
  snapshot.entriesDeleted = entriesDeleted_.load(std::memory_order_relaxed);
  const int64_t start = startNanoseconds_.load(std::memory_order_relaxed);
  if (start != 0) {
    snapshot.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::nanoseconds(NowNanoseconds() - start));
  }
  return snapshot;
}

std::string FormatProgressText(const ProgressSnapshot& progress) {
  if (!progress.totalsKnown)
    return {};
  const int64_t files = std::min(progress.doneFiles, progress.totalFiles);
  const int64_t bytes = std::min(progress.doneBytes, progress.totalBytes);
  std::string text =
      FormatText("%lld / %lld ファイル  %s / %s MB", static_cast<long long>(files),
                 static_cast<long long>(progress.totalFiles), FormatMegabytes(bytes).c_str(),
                 FormatMegabytes(progress.totalBytes).c_str());
  const double seconds = static_cast<double>(progress.elapsed.count()) / 1000.0;
  // A rate and an estimate need a second of history to mean anything.
  if (seconds >= 1.0 && bytes > 0) {
    const double rate = static_cast<double>(bytes) / seconds;
    text += FormatText("  %.1f MB/s", rate / (1024.0 * 1024.0));
    const int64_t left = progress.totalBytes - bytes;
    text += "  残り " + FormatDuration(std::chrono::seconds(
                            static_cast<int64_t>(static_cast<double>(left) / rate + 0.5)));
  }
  return text;
}

int ProgressFraction(const ProgressSnapshot& progress, int scale) {
  int64_t done = progress.doneBytes;
  int64_t total = progress.totalBytes;
  if (total <= 0) {
    done = progress.doneFiles;
    total = progress.totalFiles;
  }
  if (!progress.totalsKnown || total <= 0)
    return 0;
  done = std::clamp<int64_t>(done, 0, total);
  return static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * scale);
}

std::string FormatRunSummary(const ProgressSnapshot& progress) {
  return FormatText(
      "Summary : %lld files uploaded (%s), %lld directories created, %lld entries deleted, "
      "%s elapsed",
      static_cast<long long>(progress.filesUploaded), FormatBytes(progress.bytesUploaded).c_str(),
      static_cast<long long>(progress.foldersCreated),
      static_cast<long long>(progress.entriesDeleted),
      FormatDuration(std::chrono::duration_cast<std::chrono::seconds>(progress.elapsed)).c_str());
}

std::string FormatDryRunSummary(const ProgressSnapshot& progress) {
  return FormatText(
      "Dry run : %lld directories to create, %lld files to upload (%s), %lld entries to delete",
      static_cast<long long>(progress.foldersCreated),
      static_cast<long long>(progress.filesUploaded), FormatBytes(progress.bytesUploaded).c_str(),
      static_cast<long long>(progress.entriesDeleted));
}

std::string FormatBytes(int64_t bytes) {
  const double value = static_cast<double>(bytes);
  if (bytes < 1024)
    return FormatText("%lld B", static_cast<long long>(bytes));
  if (bytes < 1024 * 1024)
    return FormatText("%.1f KB", value / 1024.0);
  if (bytes < int64_t{1024} * 1024 * 1024)
    return FormatText("%.1f MB", value / (1024.0 * 1024.0));
  return FormatText("%.2f GB", value / (1024.0 * 1024.0 * 1024.0));
}

}  // namespace velmorix
