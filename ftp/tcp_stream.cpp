#include "ftp/tcp_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <memory>

namespace velmorix::ftp {

namespace {

class TcpStream final : public ByteStream {
 public:
  explicit TcpStream(Socket socket) : socket_(std::move(socket)) {}

  IoResult SendAvailable(const char* data, size_t size, size_t& sent) override {
    sent = 0;
    for (;;) {
      const ssize_t result = ::send(socket_.fd(), data, size, MSG_NOSIGNAL);
      if (result >= 0) {
        sent = static_cast<size_t>(result);
        return IoResult::kOk;
      }
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return IoResult::kOk;
      return IoResult::kError;
    }
  }

  IoResult ReceiveAvailable(char* buffer, size_t capacity, size_t& received) override {
    received = 0;
    for (;;) {
      const ssize_t got = ::recv(socket_.fd(), buffer, capacity, 0);
      if (got > 0) {
        received = static_cast<size_t>(got);
        return IoResult::kOk;
      }
      if (got == 0)
        return IoResult::kClosed;
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return IoResult::kOk;
      return IoResult::kError;
    }
  }

  // Whatever TCP has received is still in the socket, where poll() sees it.
  bool HasPendingBytes() const override { return false; }
  short PollEvents(short wanted) const override { return wanted; }

  IoResult EndSending(Deadline) override {
    return ::shutdown(socket_.fd(), SHUT_WR) == 0 ? IoResult::kOk : IoResult::kError;
  }

  void Close() override { socket_.Close(); }

  void Abandon() override {
    if (socket_.valid()) {
      // A plain close would let the kernel go on sending what is queued.
      const linger reset{1, 0};
      setsockopt(socket_.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    socket_.Close();
  }

  const Socket& socket() const override { return socket_; }
  bool IsPlainTcp() const override { return true; }

 private:
  Socket socket_;
};

}  // namespace

OwnedStream MakeTcpStream(Socket socket) {
  return OwnedStream(std::make_unique<TcpStream>(std::move(socket)));
}

}  // namespace velmorix::ftp
