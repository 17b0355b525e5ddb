#include "engine/upload_pool.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "engine/remote_site.h"
#include "engine/transfer_job.h"
#include "resources/string_table.h"

namespace velmorix {

namespace {

// Listings held at once: asked for, being read, or read and waiting for the
// walk. Enough to keep every connection busy a few folders ahead.
constexpr size_t kMaxListings = 32;

// While a connection holds reads and has nothing to do, it looks for the
// server's replies to them this often before it waits for them.
constexpr std::chrono::milliseconds kHeldPoll{1};
constexpr int kHeldPolls = 200;

}  // namespace

UploadPool::UploadPool(PoolLogin login, int extra, FtpConnection& own, RunProgress& progress,
                       const CancelEvent& cancelEvent)
    : login_(std::move(login)),
      extra_(extra),
      own_(own),
      progress_(progress),
      cancelEvent_(cancelEvent),
      cancelRequestsAtStart_(cancelEvent.Requests()),
      working_(extra) {
  // The connections log in at once, while the run's own reads the first
  // folder, so that they are ready for the listings that come next.
  threads_.reserve(static_cast<size_t>(extra_));
  for (int i = 1; i <= extra_; ++i)
    threads_.emplace_back([this, i] { Work(i); });
}

UploadPool::~UploadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    breakOff_ = true;
    stopping_ = true;
  }
  changed_.notify_all();
  threads_.clear();  // joins
  EndLending();
}

bool UploadPool::BreakingOff() const {
  return breakOff_ || cancelEvent_.IsSet() || cancelEvent_.Requests() != cancelRequestsAtStart_;
}

bool UploadPool::LogIn(FtpConnection& connection) {
  if (BreakingOff())
    return false;
  FtpConnectOptions options = login_.options;
  // A server that lets a connection wait for its greeting is refusing it.
  options.loginTimeout = kLoginTimeout;
  options.loginCancelCheck = [this] { return stopping_ || BreakingOff(); };
  const FtpSession session(std::string(strings::kProgramName), login_.timeouts, std::move(options));
  if (!session.Connect(login_.host, login_.port, login_.userId, login_.password, connection).ok())
    return false;
  connection.SetCancelCheck([this] { return BreakingOff(); });
  return true;
}

void UploadPool::Follow(FtpConnection& connection) const {
  if (activeMode_)
    connection.TurnToActiveMode();
}

void UploadPool::LearnFromOwn() {
  if (own_.TurnedToActiveMode())
    activeMode_ = true;
  if (own_.RenamesRefused())
    renamesRefused_ = true;
}

void UploadPool::Work(int number) {
  FtpConnection connection;
  // The run's own connection stays to the end and says the last goodbye.
  struct Leaving {
    FtpConnection& connection;
    ~Leaving() { connection.Leave(); }
  } leaving{connection};
  const bool loggedIn = LogIn(connection);
  std::unique_lock<std::mutex> lock(mutex_);
  ++tried_;
  // A server that lets in fewer connections is no error: the others go on.
  if (loggedIn) {
    ++connected_;
    std::vector<Task> checking;  // sent, their last reply not read yet
    HeldReads held;              // read, the server's last word not read yet
    int polls = 0;               // looks for their replies since work ran out
    for (;;) {
      if (LookForWord(connection, held, polls, lock))
        continue;
      if (connection.UploadsUnchecked() && queue_.pending.empty() && unstarted_.empty()) {
        // Nothing more to send with: their replies are read now.
        lock.unlock();
        connection.CheckUploads();
        std::vector<CheckedUpload> checked = connection.TakeCheckedUploads();
        lock.lock();
        Conclude(connection, std::move(checked), checking);
        changed_.notify_all();
        continue;
      }
      ++idle_;
      changed_.wait(lock, [&] {
        return stopping_ || !queue_.pending.empty() || !unstarted_.empty() ||
               (!held.empty() && readerWaits_);
      });
      --idle_;
      if (stopping_)
        break;
      if (!connection.IsOpen()) {
        Release(connection, held, connection.TakeCheckedListings());
        // The server closed it (most close sessions idle for a few minutes):
        // logged in again once, now that there is work for it.
        lock.unlock();
        const bool again = LogIn(connection);
        lock.lock();
        if (!again) {
          --connected_;  // its work is left to the others
          break;
        }
        continue;
      }
      if (!unstarted_.empty()) {
        Listing taken = std::move(unstarted_.front());
        unstarted_.pop_front();
        ReadListing(connection, std::move(taken), held, lock);
      } else if (!queue_.pending.empty()) {
        Task task = std::move(queue_.pending.front());
        queue_.pending.pop_front();
        Upload(connection, number, std::move(task), checking, lock);
      }
    }
  }
  --working_;
  changed_.notify_all();
}

bool UploadPool::LookForWord(FtpConnection& connection, HeldReads& held, int& polls,
                             std::unique_lock<std::mutex>& lock) {
  if (held.empty() || !unstarted_.empty() || !readerWaits_) {
    polls = 0;
    return false;
  }
  // No listing to send with for now: the replies that have come are taken
  // while the reader may still ask for more, and once they are overdue
  // they are awaited.
  const bool overdue = ++polls > kHeldPolls;
  lock.unlock();
  connection.CheckUploads(!overdue);
  std::vector<FtpStatus> checked = connection.TakeCheckedListings();
  lock.lock();
  Release(connection, held, std::move(checked));
  if (!held.empty() && !overdue) {
    changed_.wait_for(lock, kHeldPoll, [this] {
      return stopping_ || lendEnds_ || !queue_.pending.empty() || !unstarted_.empty();
    });
  }
  return true;
}

bool UploadPool::Lend() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lent_.joinable() || !own_.NameEncodingSettled() || !own_.IsOpen() || BreakingOff())
    return false;
  lendEnds_ = false;
  lentReads_ = true;
  lent_ = std::jthread([this] { ReadLent(); });
  return true;
}

void UploadPool::EndLending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lendEnds_ = true;
  }
  changed_.notify_all();
  if (lent_.joinable())
    lent_.join();
}

void UploadPool::ReadLent() {
  FtpConnection& connection = own_;
  std::unique_lock<std::mutex> lock(mutex_);
  HeldReads held;
  int polls = 0;
  struct Ending {
    UploadPool& pool;
    ~Ending() {
      pool.lentReads_ = false;
      pool.changed_.notify_all();
    }
  } ending{*this};
  while (connection.IsOpen()) {
    if (LookForWord(connection, held, polls, lock))
      continue;
    changed_.wait(lock, [&] {
      return stopping_ || lendEnds_ || !unstarted_.empty() || (!held.empty() && readerWaits_);
    });
    if (stopping_ || lendEnds_)
      break;
    if (!unstarted_.empty()) {
      Listing taken = std::move(unstarted_.front());
      unstarted_.pop_front();
      ReadListing(connection, std::move(taken), held, lock);
    }
  }
  if (held.empty())
    return;
  // Given back: the connection is the walk's again, with its replies read
  // (or, lost, what it held goes to the others; broken off, nowhere).
  std::vector<FtpStatus> checked;
  if (!BreakingOff()) {
    lock.unlock();
    connection.CheckUploads();
    checked = connection.TakeCheckedListings();
    lock.lock();
  }
  Release(connection, held, std::move(checked), true);
}

void UploadPool::Upload(FtpConnection& connection, int number, Task task,
                        std::vector<Task>& checking, std::unique_lock<std::mutex>& lock) {
  if (BreakingOff()) {
    queue_.cut.push_back(std::move(task.upload));  // never started
    changed_.notify_all();
    return;
  }
  queue_.underWay.push_back(task.upload.remoteDir);
  lock.unlock();

  ParallelUpload& upload = task.upload;
  connection.FixNameEncoding(task.nameEncoding);
  Follow(connection);
  RunProgress::Share& share = upload.share;
  const int64_t size = upload.size;
  UploadNaming naming = login_.naming;
  naming.connection = number;
  naming.temporary = naming.temporary && !renamesRefused_;
  StoreOptions options = naming.For(upload.name);
  // Its last reply is read with the next command: the check costs no
  // round trip. The upload stays under way until it has come.
  options.deferLastReply = true;
  options.replacing = upload.replacing;
  const FtpStatus status = connection.StoreFile(
      upload.localPath, JoinPath(upload.remoteDir, upload.name),
      [this, &share, size](int64_t sent) { progress_.FileSending(share, size, sent); }, options);
  upload.sentAt = static_cast<int64_t>(std::time(nullptr));
  if (connection.RenamesRefused())
    renamesRefused_ = true;
  if (connection.TurnedToActiveMode())
    activeMode_ = true;
  const bool unchecked = status.ok() && connection.UploadsUnchecked();
  std::vector<CheckedUpload> checked = connection.TakeCheckedUploads();

  lock.lock();
  if (unchecked) {
    checking.push_back(std::move(task));
  } else {
    Conclude(connection, std::move(task), status);
  }
  Conclude(connection, std::move(checked), checking);
  changed_.notify_all();
}

void UploadPool::Conclude(FtpConnection& connection, std::vector<CheckedUpload> checked,
                          std::vector<Task>& checking) {
  for (CheckedUpload& each : checked) {
    const auto task = std::find_if(checking.begin(), checking.end(), [&](const Task& t) {
      return JoinPath(t.upload.remoteDir, t.upload.name) == each.path;
    });
    if (task == checking.end())
      continue;
    Conclude(connection, std::move(*task), each.status);
    checking.erase(task);
  }
}

void UploadPool::Conclude(FtpConnection& connection, Task task, const FtpStatus& status) {
  queue_.Conclude(std::move(task), status, !connection.IsOpen(), BreakingOff(), progress_);
}

bool UploadPool::TryStart(ParallelUpload upload) {
  std::lock_guard<std::mutex> lock(mutex_);
  LearnFromOwn();
  // Waiting listings go first, and take idle connections too.
  if (BreakingOff() || idle_ <= static_cast<int>(queue_.pending.size() + unstarted_.size()))
    return false;
  queue_.pending.push_back({std::move(upload), own_.NameEncodingInUse()});
  changed_.notify_all();
  return true;
}

bool UploadPool::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.failed;
}

std::string UploadPool::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int count = connected_ + 1;
  if (tried_ < extra_ || count == reported_)
    return {};
  reported_ = count;
  return ParallelConnectionsLine(login_.serverName, count, extra_ + 1);
}

std::vector<ParallelUpload> UploadPool::Settle(const std::string& folder) {
  std::unique_lock<std::mutex> lock(mutex_);
  LearnFromOwn();
  // Every connection's work ends within its time-outs, and within a second
  // of a cancel; what waits is taken by one that is left, if any is.
  changed_.wait(lock, [&] {
    return !queue_.UnderWayWithin(folder) && (working_ == 0 || !queue_.PendingWithin(folder));
  });
  return queue_.TakeSettled(folder, working_ == 0);
}

ParallelUploads::Ended UploadPool::Wait(Ending ending) {
  std::unique_lock<std::mutex> lock(mutex_);
  LearnFromOwn();
  if (ending == Ending::kCancel) {
    breakOff_ = true;
    queue_.CutWaiting();
  }
  changed_.notify_all();
  changed_.wait(lock, [this] {
    return queue_.underWay.empty() && (working_ == 0 || queue_.pending.empty());
  });
  return queue_.TakeEnded();
}

void UploadPool::ReadListing(FtpConnection& connection, Listing listing, HeldReads& held,
                             std::unique_lock<std::mutex>& lock) {
  ++reading_;
  lock.unlock();
  connection.FixNameEncoding(listing.nameEncoding);
  Follow(connection);
  FtpSite site(connection);
  // The server's last word on a listing read whole comes with the next
  // one's set-up: a folder costs a round trip less.
  FolderRead read;
  const bool ahead = site.ReadFolderAhead(listing.listing, read);
  if (connection.TurnedToActiveMode())
    activeMode_ = true;
  std::vector<FtpStatus> checked = site.TakeCheckedListings(false);
  lock.lock();
  if (ahead) {
    // Handed on at once, so that the folders below are asked for now; it
    // is still being read until the server's word on it has come.
    read_.emplace_back(listing.listing, read);
    held.emplace_back(std::move(listing), std::move(read));
    changed_.notify_all();
  } else {
    File(connection, std::move(listing), std::move(read));
  }
  Release(connection, held, std::move(checked));
}

void UploadPool::Release(FtpConnection& connection, HeldReads& held, std::vector<FtpStatus> checked,
                         bool all) {
  const bool lost = all || !connection.IsOpen();
  size_t told = 0;
  while (!held.empty() && (told < checked.size() || lost)) {
    auto [listing, read] = std::move(held.front());
    held.pop_front();
    FtpStatus status = told < checked.size() ? std::move(checked[told++])
                                             : FtpStatus::Error(FtpErrorKind::kNotConnected, {});
    if (status.ok()) {
      --reading_;
      changed_.notify_all();
      continue;
    }
    read.ended = std::move(status);
    File(connection, std::move(listing), std::move(read));  // read again, or failed
  }
}

void UploadPool::File(FtpConnection& connection, Listing listing, FolderRead read) {
  --reading_;
  if (!read.Whole() && !connection.IsOpen() && !BreakingOff()) {
    // Lost, not refused: read again by whichever connection comes first,
    // the run's own included.
    unstarted_.push_front(std::move(listing));
  } else {
    read_.emplace_back(std::move(listing.listing), std::move(read));
  }
  changed_.notify_all();
}

bool UploadPool::Read(const FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  LearnFromOwn();
  // Names read on another connection could not show this one's encoding.
  if (!own_.NameEncodingSettled())
    return false;
  unstarted_.push_back({listing, own_.NameEncodingInUse()});
  changed_.notify_all();
  return true;
}

bool UploadPool::TakeUnstarted(FolderListing& listing) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unstarted_.empty())
    return false;
  listing = std::move(unstarted_.front().listing);
  unstarted_.pop_front();
  return true;
}

bool UploadPool::NextRead(FolderListing& listing, FolderRead& read) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Cancel reaches the connections that read, which then end at once.
  // Nothing more will be asked for until a read comes: connections that
  // hold reads may now read the server's word on them.
  readerWaits_ = true;
  changed_.notify_all();
  // Listings asked for and not taken yet are waited for while a connection
  // is left to take them.
  changed_.wait(lock, [this] {
    return !read_.empty() ||
           (reading_ == 0 && (unstarted_.empty() || (working_ == 0 && !lentReads_)));
  });
  readerWaits_ = false;
  if (read_.empty())
    return false;
  listing = std::move(read_.front().first);
  read = std::move(read_.front().second);
  read_.pop_front();
  return true;
}

}  // namespace velmorix
