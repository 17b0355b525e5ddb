// The upload's data connection in ways the test server cannot be made to
// behave: a far end that half-closes first and then drops what it has not
// read (the kernel then reports EPIPE and raises SIGPIPE on the next write,
// which must not end the program), and a far end that reads slowly behind a
// large send buffer.
#include "engine/ftp_session/ftp_data_channel.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

namespace velmorix::ftp {
namespace {

TEST(FtpUploadHangUpTest, PeerThatHalfClosesAndDropsTheRestGivesAnErrorNotASignal) {
  // A loopback connection: ours is the data socket, the other end the peer.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  DataTransfer transfer;
  transfer.data = Socket(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  transfer.label = "STOR big.bin";
  transfer.direction = TransferDirection::kSend;
  connect(transfer.data.fd(), reinterpret_cast<sockaddr*>(&address), length);
  const int peer = accept(listener, nullptr, nullptr);
  close(listener);
  int pair[2];  // a control connection that stays silent
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  ControlChannel control{Socket(pair[0]), std::chrono::milliseconds(2000)};
  testing::TempDir local;
  const std::filesystem::path path = local.path() / "big.bin";
  std::ofstream(path).close();
  std::filesystem::resize_file(path, uintmax_t{512} << 20);
  const int file = open(path.c_str(), O_RDONLY);

  std::thread hangUp([peer] {
    shutdown(peer, SHUT_WR);
    char buffer[65536];
    for (size_t total = 0; total < (size_t{1} << 20);) {
      const ssize_t got = read(peer, buffer, sizeof buffer);
      if (got <= 0)
        break;
      total += static_cast<size_t>(got);
    }
    close(peer);  // with unread data: the connection is reset
  });
  const FtpStatus status = SendFileData(control, transfer, file, std::chrono::milliseconds(5000));
  hangUp.join();
  close(file);
  close(pair[1]);

  EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
  EXPECT_EQ(status.text, "データ転送でエラーが発生しました (STOR big.bin): Broken pipe");
  EXPECT_FALSE(transfer.data.valid());
  // The signal was taken back, and the thread's signal mask is as before.
  sigset_t signals;
  sigpending(&signals);
  EXPECT_EQ(sigismember(&signals, SIGPIPE), 0);
  pthread_sigmask(SIG_SETMASK, nullptr, &signals);
  EXPECT_EQ(sigismember(&signals, SIGPIPE), 0);
}

// A link slower than the time-outs would allow for the data in our send
// queue: the server reads steadily, so something moves all the time, yet
// neither room for the next byte nor the end of the queue comes within one
// data time-out.
TEST(FtpSlowLinkTest, UploadThatKeepsMovingNeverTimesOut) {
  using std::chrono::milliseconds;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  // A small receive buffer on the server's side keeps the data in our
  // queue, where a slow link keeps it too.
  const int smallBuffer = 64 << 10;
  setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  DataTransfer transfer;
  transfer.data = Socket(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  transfer.label = "STOR slow.bin";
  transfer.direction = TransferDirection::kSend;
  const int largeBuffer = 4 << 20;
  setsockopt(transfer.data.fd(), SOL_SOCKET, SO_SNDBUF, &largeBuffer, sizeof largeBuffer);
  int sendBuffer = 0;
  socklen_t optionLength = sizeof sendBuffer;
  getsockopt(transfer.data.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, &optionLength);
  connect(transfer.data.fd(), reinterpret_cast<sockaddr*>(&address), length);
  const int peer = accept(listener, nullptr, nullptr);
  close(listener);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  ControlChannel control{Socket(pair[0]), milliseconds(600)};
  // The kernel may cap the buffer; the file and the pace follow what it
  // gave. At least half of the buffer holds data, and that half takes a
  // second to read: three data time-outs, and more than the reply time-out.
  const size_t fileSize = static_cast<size_t>(sendBuffer);
  const double bytesPerSecond = sendBuffer / 2.0;
  testing::TempDir local;
  const std::filesystem::path path = local.path() / "slow.bin";
  std::ofstream(path).close();
  std::filesystem::resize_file(path, fileSize);
  const int file = open(path.c_str(), O_RDONLY);

  size_t receivedTotal = 0;
  std::thread slowServer([&] {
    const auto start = std::chrono::steady_clock::now();
    char buffer[16 << 10];
    for (;;) {
      const ssize_t got = read(peer, buffer, sizeof buffer);
      if (got <= 0)
        break;
      receivedTotal += static_cast<size_t>(got);
      std::this_thread::sleep_until(
          start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(receivedTotal / bytesPerSecond)));
    }
    close(peer);
    const char reply[] = "226 Transfer complete.\r\n";
    send(pair[1], reply, sizeof reply - 1, MSG_NOSIGNAL);
  });
  FtpStatus status = SendFileData(control, transfer, file, milliseconds(300));
  if (status.ok())
    status = FinishTransfer(control, transfer);
  if (!status.ok())
    shutdown(peer, SHUT_RDWR);  // lets the server's thread end
  slowServer.join();
  close(file);
  close(pair[1]);

  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_EQ(transfer.finalReply.code, 226);
  EXPECT_EQ(receivedTotal, fileSize);
}

}  // namespace
}  // namespace velmorix::ftp
