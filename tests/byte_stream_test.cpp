// Waiting on streams that are not plain TCP. A TLS stream holds bytes it has
// already decrypted, which poll() cannot see, and may need the other
// direction of its socket to go on; no such stream exists yet, so a small
// one that only claims these states stands in for it, over a socket pair.
#include "ftp/byte_stream.h"

#include <sys/socket.h>

#include <chrono>
#include <memory>

#include <gtest/gtest.h>

namespace velmorix::ftp {
namespace {

using std::chrono::milliseconds;

class ClaimingStream final : public ByteStream {
 public:
  ClaimingStream(Socket socket, bool pendingBytes, short needs)
      : socket_(std::move(socket)), pendingBytes_(pendingBytes), needs_(needs) {}

  IoResult SendAvailable(const char*, size_t, size_t& sent) override {
    sent = 0;
    return IoResult::kError;
  }
  IoResult ReceiveAvailable(char*, size_t, size_t& received) override {
    received = 0;
    return IoResult::kError;
  }
  bool HasPendingBytes() const override { return pendingBytes_; }
  short PollEvents(short wanted) const override { return needs_ != 0 ? needs_ : wanted; }
  IoResult EndSending(Deadline) override { return IoResult::kError; }
  void Close() override { socket_.Close(); }
  void Abandon() override { socket_.Close(); }
  const Socket& socket() const override { return socket_; }
  bool IsPlainTcp() const override { return false; }

 private:
  Socket socket_;
  bool pendingBytes_;
  short needs_;
};

// Both ends of a connected pair on which nothing has been sent: neither is
// readable, both are writable.
struct QuietPair {
  QuietPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    ours = Socket(fds[0]);
    theirs = Socket(fds[1]);
  }
  Socket ours;
  Socket theirs;
};

TEST(StreamPollTest, PendingBytesMakeAStreamReadableWithoutWaiting) {
  QuietPair pair;
  const OwnedStream stream(
      std::make_unique<ClaimingStream>(std::move(pair.ours), /*pendingBytes=*/true, 0));
  StreamPoll poll;
  const int quiet = poll.Add(pair.theirs.fd(), POLLIN);
  const int pending = poll.Add(stream, POLLIN);

  const auto start = Clock::now();
  EXPECT_EQ(poll.Wait(start + milliseconds(5000)), 1);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(poll.Ready(pending));
  EXPECT_FALSE(poll.Ready(quiet));
  EXPECT_EQ(stream->Wait(POLLIN, Clock::now() + milliseconds(5000)), IoResult::kOk);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
}

TEST(StreamPollTest, StreamThatNeedsToSendBeforeItCanReceiveIsPolledForSending) {
  QuietPair pair;
  const OwnedStream stream(
      std::make_unique<ClaimingStream>(std::move(pair.ours), /*pendingBytes=*/false, POLLOUT));
  StreamPoll poll;
  const int entry = poll.Add(stream, POLLIN);

  const auto start = Clock::now();
  EXPECT_EQ(poll.Wait(start + milliseconds(5000)), 1);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(poll.Ready(entry));
}

}  // namespace
}  // namespace velmorix::ftp
