#include "engine/upload_pool.h"

#include <algorithm>

#include "engine/remote_site.h"
#include "engine/transfer_job.h"
#include "resources/string_table.h"

namespace velmorix {

namespace {

// Listings held at once: asked for, being read, or read and waiting for the
// walk. Enough to keep every connection busy a few folders ahead.
constexpr size_t kMaxListings = 32;

// `path` is `folder` or lies below it.
bool IsWithin(const std::string& path, const std::string& folder) {
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/' ||
          (!folder.empty() && folder.back() == '/'));
}

}  // namespace

UploadPool::UploadPool(PoolLogin login, int extra, const FtpConnection& own, RunProgress& progress,
                       const CancelEvent& cancelEvent)
    : login_(std::move(login)),
      extra_(extra),
      own_(own),
      progress_(progress),
      cancelEvent_(cancelEvent) {
  // The connections log in at once, while the run's own reads the first
  // folder, so that they are ready for the listings that come next.
  threads_.reserve(static_cast<size_t>(extra_));
  for (int i = 0; i < extra_; ++i)
    threads_.emplace_back([this] { Work(); });
}

UploadPool::~UploadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    breakOff_ = true;
    stopping_ = true;
  }
  changed_.notify_all();
  threads_.clear();  // joins
}

void UploadPool::Work() {
  FtpSession session(std::string(strings::kProgramName), login_.timeouts, login_.options);
  FtpConnection connection;
  const bool connected =
      session.Connect(login_.host, login_.port, login_.userId, login_.password, connection).ok();
  // The run's own connection stays to the end and says the last goodbye.
  struct Leaving {
    FtpConnection& connection;
    ~Leaving() { connection.Leave(); }
  } leaving{connection};
  std::unique_lock<std::mutex> lock(mutex_);
  ++tried_;
  if (!connected) {
    // A server that lets in fewer connections is no error: the others go on.
    changed_.notify_all();
    return;
  }
  ++connected_;
  connection.SetCancelCheck([this] {
    std::lock_guard<std::mutex> check(mutex_);
    return breakOff_ || cancelEvent_.IsSet();
  });
  changed_.notify_all();
  for (;;) {
    ++idle_;
    changed_.wait(lock, [this] {
      return stopping_ || !pending_.empty() || FirstWaiting() != listings_.end();
    });
    --idle_;
    if (stopping_)
      return;
    if (const auto listing = FirstWaiting(); listing != listings_.end()) {
      ReadListing(connection, listing, lock);
      if (!connection.IsOpen()) {
        --connected_;
        return;  // lost: the others go on
      }
      continue;
    }
    Task task = std::move(pending_.front());
    pending_.pop_front();
    ++busy_;
    lock.unlock();

    ParallelUpload& upload = task.upload;
    connection.FixNameEncoding(task.nameEncoding);
    RunProgress::Share share;
    const int64_t size = upload.size;
    const FtpStatus status = connection.StoreFile(
        upload.localPath, JoinPath(upload.remoteDir, upload.name),
        [this, &share, size](int64_t sent) { progress_.FileSending(share, size, sent); });
    if (status.ok())
      progress_.FileDone(size, true, share);

    lock.lock();
    --busy_;
    if (status.kind == FtpErrorKind::kCanceled) {
      canceled_.push_back(std::move(upload));
    } else if (!status.ok()) {
      if (!failed_)
        failure_ = status;
      failed_ = true;
    }
    changed_.notify_all();
    if (!connection.IsOpen()) {
      --connected_;
      return;  // lost: the others go on
    }
  }
}

bool UploadPool::TryStart(ParallelUpload upload) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Waiting listings go first, and take idle connections too.
  if (idle_ <= static_cast<int>(pending_.size()) + WaitingListings())
    return false;
  pending_.push_back({std::move(upload), own_.NameEncodingInUse()});
  changed_.notify_all();
  return true;
}

bool UploadPool::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

FtpStatus UploadPool::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::string UploadPool::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (noticeTaken_ || tried_ < extra_)
    return {};
  noticeTaken_ = true;
  return FormatText("Parallel connections to %s : %d of %d", login_.serverName.c_str(),
                    connected_ + 1, extra_ + 1);
}

std::vector<ParallelUpload> UploadPool::Wait(Ending ending) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ending == Ending::kCancel)
    breakOff_ = true;
  // What was handed over has an idle connection that takes it.
  changed_.wait(lock, [this] { return busy_ == 0 && pending_.empty(); });
  breakOff_ = false;
  return std::exchange(canceled_, {});
}

UploadPool::Listings::iterator UploadPool::FirstWaiting() {
  return std::find_if(listings_.begin(), listings_.end(), [](const Listing& listing) {
    return listing.state == Listing::State::kWaiting;
  });
}

int UploadPool::WaitingListings() const {
  return static_cast<int>(std::count_if(listings_.begin(), listings_.end(), [](const auto& l) {
    return l.state == Listing::State::kWaiting;
  }));
}

void UploadPool::AddListings(const std::vector<FolderListing>& listings, bool expand,
                             NameEncoding encoding) {
  auto at = FirstWaiting();
  for (const FolderListing& wanted : listings) {
    if (listings_.size() >= kMaxListings)
      break;
    if (Find(wanted) == listings_.end()) {
      Listing listing;
      listing.listing = wanted;
      listing.nameEncoding = encoding;
      listing.expand = expand;
      listings_.insert(at, std::move(listing));
    }
  }
  changed_.notify_all();
}

void UploadPool::ReadListing(FtpConnection& connection, Listings::iterator listing,
                             std::unique_lock<std::mutex>& lock) {
  listing->state = Listing::State::kReading;
  const FolderListing wanted = listing->listing;
  const NameEncoding encoding = listing->nameEncoding;
  lock.unlock();

  connection.FixNameEncoding(encoding);
  FtpSite site(connection);
  std::vector<RemoteEntry> entries;
  const bool read = ReadWholeListing(site, wanted, entries);
  const bool listsWithMlsd = site.ListsWithMlsd();
  lock.lock();
  File(listing, std::move(entries), read, listsWithMlsd);
}

void UploadPool::File(Listings::iterator listing, std::vector<RemoteEntry> entries, bool read,
                      bool listsWithMlsd) {
  if (listing->forgotten) {
    listings_.erase(listing);
    changed_.notify_all();
    return;
  }
  // Where the walk goes next, when these are its folders too: every folder
  // of a listing that may show followed links as folders is confirmed by
  // a LIST of its parent first.
  std::vector<FolderListing> next;
  const FolderListing& wanted = listing->listing;
  if (read && listing->expand && wanted.command == ListingCommand::kPreferred) {
    for (const RemoteEntry& found : entries) {
      if (!found.isDir || found.isLink)
        continue;
      if (next.empty() && listsWithMlsd)
        next.push_back({wanted.folder, ListingCommand::kList});
      next.push_back({JoinPath(wanted.folder, found.name), ListingCommand::kPreferred});
    }
  }
  listing->state = read ? Listing::State::kRead : Listing::State::kFailed;
  listing->entries = std::move(entries);
  if (!next.empty())
    AddListings(next, false, listing->nameEncoding);
  changed_.notify_all();
}

UploadPool::Listings::iterator UploadPool::Find(const FolderListing& listing) {
  return std::find_if(listings_.begin(), listings_.end(), [&](const Listing& held) {
    return held.listing == listing && !held.forgotten;
  });
}

bool UploadPool::BeingRead(const FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto held = Find(listing);
  return held != listings_.end() && held->state == Listing::State::kReading;
}

bool UploadPool::TakeWaiting(FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto waiting = FirstWaiting();
  if (waiting == listings_.end())
    return false;
  waiting->state = Listing::State::kReading;
  listing = waiting->listing;
  return true;
}

void UploadPool::Deliver(const FolderListing& listing, std::vector<RemoteEntry> entries, bool read,
                         bool listsWithMlsd) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto held = std::find_if(listings_.begin(), listings_.end(), [&](const Listing& l) {
    return l.listing == listing && l.state == Listing::State::kReading;
  });
  if (held != listings_.end())
    File(held, std::move(entries), read, listsWithMlsd);
}

void UploadPool::ReadAhead(const std::vector<FolderListing>& listings, bool expand,
                           NameEncoding encoding) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddListings(listings, expand, encoding);
}

bool UploadPool::Take(const FolderListing& listing, std::vector<RemoteEntry>& entries) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto held = Find(listing);
  if (held == listings_.end())
    return false;
  if (held->state == Listing::State::kWaiting) {
    listings_.erase(held);
    return false;
  }
  // Cancel reaches the connection that reads it, which then ends at once.
  changed_.wait(lock, [&] { return held->state != Listing::State::kReading; });
  const bool read = held->state == Listing::State::kRead;
  if (read)
    entries = std::move(held->entries);
  listings_.erase(held);
  return read;
}

void UploadPool::Forget(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = listings_.begin(); it != listings_.end();) {
    if (!IsWithin(it->listing.folder, folder)) {
      ++it;
    } else if (it->state == Listing::State::kReading) {
      it->forgotten = true;
      ++it;
    } else {
      it = listings_.erase(it);
    }
  }
}

}  // namespace velmorix
