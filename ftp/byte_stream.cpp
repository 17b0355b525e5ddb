#include "ftp/byte_stream.h"

#include <algorithm>
#include <cstdint>

namespace velmorix::ftp {

namespace {

// Milliseconds from now until `deadline`, rounded up, at least 0.
int MillisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count() + 1, 1 << 30));
}

}  // namespace

IoResult ByteStream::SendAll(const char* data, size_t size, Deadline deadline) {
  while (size > 0) {
    size_t sent = 0;
    const IoResult result = SendAvailable(data, size, sent);
    if (result != IoResult::kOk)
      return result;
    data += sent;
    size -= sent;
    if (sent == 0) {
      const IoResult waited = Wait(POLLOUT, deadline);
      if (waited != IoResult::kOk)
        return waited;
    }
  }
  return IoResult::kOk;
}

IoResult ByteStream::Wait(short events, Deadline deadline) const {
  if ((events & POLLIN) != 0 && HasPendingBytes())
    return IoResult::kOk;
  return WaitFor(socket().fd(), PollEvents(events), deadline);
}

std::string ByteStream::FailureText(int error) const {
  return SystemErrorText(error);
}

void OwnedStream::Close() {
  if (stream_ == nullptr)
    return;
  stream_->Close();
  stream_.reset();
}

void OwnedStream::Abandon() {
  if (stream_ == nullptr)
    return;
  stream_->Abandon();
  stream_.reset();
}

int StreamPoll::Add(const OwnedStream& stream, short events) {
  if (!stream.valid())
    return Add(-1, events);
  const int index = Add(stream->socket().fd(), stream->PollEvents(events));
  pending_[index] = (events & POLLIN) != 0 && stream->HasPendingBytes();
  return index;
}

int StreamPoll::Add(int fd, short events) {
  fds_[count_] = {fd, events, 0};
  pending_[count_] = false;
  return count_++;
}

int StreamPoll::Wait(Deadline wake) {
  const bool anyPending =
      std::any_of(pending_, pending_ + count_, [](bool pending) { return pending; });
  // Bytes that are already here must not wait for more to arrive.
  int ready = ::poll(fds_, static_cast<nfds_t>(count_), anyPending ? 0 : MillisecondsUntil(wake));
  if (!anyPending)
    return ready;
  ready = std::max(ready, 0);
  for (int index = 0; index < count_; ++index) {
    if (!pending_[index])
      continue;
    if (fds_[index].revents == 0)
      ++ready;
    fds_[index].revents |= POLLIN;
  }
  return ready;
}

}  // namespace velmorix::ftp
