#include "engine/site_pool.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <utility>

namespace velmorix {
SitePool::SitePool(SiteConnector& connector, const FtpProfile& profile, const UploadNaming& naming,
                   FtpTimeouts timeouts, int extra, RunProgress& progress,
                   const CancelEvent& cancelEvent)
    : connector_(connector),
      profile_(profile),
      naming_(naming),
      timeouts_(timeouts),
      extra_(extra),
      progress_(progress),
      cancelEvent_(cancelEvent) {
  for (int number = 1; number <= extra; ++number)
    threads_.emplace_back([this, number] { Work(number); });
}

SitePool::~SitePool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    breakOff_ = true;
  }
  changed_.notify_all();
  threads_.clear();  // joins
}

std::unique_ptr<OpenSite> SitePool::Open(int number) {
  UploadNaming naming = naming_;
  naming.connection = number;
  FtpStatus status;
  return connector_.Open({.profile = profile_,
                          .naming = naming,
                          .console = nullptr,
                          .cancelCheck = [this] { return BreakingOff(); },
                          .timeouts = timeouts_},
                         status);
}

void SitePool::Work(int number) {
  std::unique_ptr<OpenSite> open = Open(number);
  std::unique_lock<std::mutex> lock(mutex_);
  ++tried_;
  const bool loggedIn = open != nullptr;
  if (loggedIn) {
    ++working_;
    ++idle_;
  }
  changed_.notify_all();
  while (open) {
    changed_.wait(
        lock, [this] { return BreakingOff() || !listings_.empty() || !queue_.pending.empty(); });
    if (BreakingOff())
      break;
    if (!listings_.empty()) {
      FolderListing listing = std::move(listings_.front());
      listings_.pop_front();
      --idle_;
      ++reading_;
      lock.unlock();
      FolderRead read = ReadFolder(open->Site(), listing);
      const bool lost = !open->IsOpen();
      if (lost && !BreakingOff())
        open = Open(number);
      lock.lock();
      --reading_;
      if (lost) {
        listings_.push_front(std::move(listing));  // read again, by whoever comes first
      } else {
        read_.emplace_back(std::move(listing), std::move(read));
      }
      if (open)
        ++idle_;
      changed_.notify_all();
      continue;
    }
    Task task = std::move(queue_.pending.front());
    queue_.pending.pop_front();
    --idle_;
    ParallelUpload& upload = task.upload;
    queue_.underWay.push_back(upload.remoteDir);
    lock.unlock();

    RemoteSite& site = open->Site();
    FtpStatus status = site.ChangeFolder(upload.remoteDir);
    if (status.ok()) {
      RunProgress& progress = progress_;
      RunProgress::Share& share = upload.share;
      const int64_t size = upload.size;
      status = site.PutFile(
          upload.localPath, upload.name,
          [&progress, &share, size](int64_t sent) { progress.FileSending(share, size, sent); },
          upload.replacing ? UploadTarget::kExistingFile : UploadTarget::kNewFile);
    }
    const bool lost = !status.ok() && !open->IsOpen();
    if (lost && !BreakingOff())
      open = Open(number);  // once; a connection that cannot be had again ends here

    upload.sentAt = static_cast<int64_t>(std::time(nullptr));
    lock.lock();
    queue_.Conclude(std::move(task), status, lost, BreakingOff(), progress_);
    if (open)
      ++idle_;
    changed_.notify_all();
  }
  if (open)
    --idle_;
  if (loggedIn)
    --working_;
  changed_.notify_all();
}

bool SitePool::Read(const FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (BreakingOff())
    return false;
  listings_.push_back(listing);
  changed_.notify_all();
  return true;
}

bool SitePool::TakeUnstarted(FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listings_.empty())
    return false;
  listing = std::move(listings_.front());
  listings_.pop_front();
  return true;
}

bool SitePool::NextRead(FolderListing& listing, FolderRead& read) {
  std::unique_lock<std::mutex> lock(mutex_);
  // What waits unstarted is the caller's to take; only reads under way are
  // waited for.
  changed_.wait(lock, [this] { return !read_.empty() || reading_ == 0 || BreakingOff(); });
  if (read_.empty())
    return false;
  listing = std::move(read_.front().first);
  read = std::move(read_.front().second);
  read_.pop_front();
  return true;
}

bool SitePool::TryStart(ParallelUpload upload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (BreakingOff() || idle_ <= static_cast<int>(queue_.pending.size()))
    return false;
  queue_.pending.push_back({std::move(upload)});
  changed_.notify_all();
  return true;
}

bool SitePool::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.failed;
}

std::string SitePool::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int count = working_ + 1;
  if (tried_ < extra_ || count == reported_)
    return {};
  reported_ = count;
  return ParallelConnectionsLine(profile_.url, count, extra_ + 1);
}

std::vector<ParallelUpload> SitePool::Settle(const std::string& folder) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return !queue_.UnderWayWithin(folder) && (working_ == 0 || !queue_.PendingWithin(folder));
  });
  return queue_.TakeSettled(folder, working_ == 0);
}

ParallelUploads::Ended SitePool::Wait(Ending ending) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ending == Ending::kCancel) {
    breakOff_ = true;
    queue_.CutWaiting();
  }
  changed_.notify_all();
  changed_.wait(lock, [this] {
    return queue_.underWay.empty() && (working_ == 0 || queue_.pending.empty() || BreakingOff());
  });
  return queue_.TakeEnded();
}

}  // namespace velmorix
