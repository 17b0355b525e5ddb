#include "engine/upload_pool.h"

#include "engine/transfer_job.h"
#include "resources/string_table.h"

namespace velmorix {

UploadPool::UploadPool(PoolLogin login, int extra, const FtpConnection& own, RunProgress& progress,
                       const CancelEvent& cancelEvent)
    : login_(std::move(login)),
      extra_(extra),
      own_(own),
      progress_(progress),
      cancelEvent_(cancelEvent) {}

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
    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    --idle_;
    if (pending_.empty())
      return;  // stopping
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
  if (threads_.empty()) {
    // The connections log in once there is something to upload: a run
    // that finds everything up to date opens no more than its own.
    threads_.reserve(static_cast<size_t>(extra_));
    for (int i = 0; i < extra_; ++i)
      threads_.emplace_back([this] { Work(); });
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_ <= static_cast<int>(pending_.size()))
    return false;
  pending_.push_back({std::move(upload), own_.NameEncodingInUse()});
  changed_.notify_all();
  return true;
}

bool UploadPool::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

std::string UploadPool::TakeNotice() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (noticeTaken_ || threads_.empty() || tried_ < extra_)
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

}  // namespace velmorix
