// The upload's data connection in ways the test server cannot be made to
// behave: a far end that half-closes first and then drops what it has not
// read (the kernel then reports EPIPE and raises SIGPIPE on the next write,
// which must not end the program), and a far end that reads slowly behind a
// large send buffer.
#include "ftp/ftp_data_channel.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "ftp/tcp_stream.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::ftp {
namespace {

using std::chrono::milliseconds;

// An upload's data connection on loopback: `transfer.data` is our end,
// `peer` the server's, and `control` one end of a socket pair whose other
// end, `serverControl`, the test may answer on. `file` is open on a sparse
// local file of `fileSize` bytes.
struct LoopbackUpload {
  LoopbackUpload(size_t fileSize, milliseconds replyTimeout, int sendBuffer = 0,
                 int peerReceiveBuffer = 0) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (peerReceiveBuffer > 0) {
      setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &peerReceiveBuffer, sizeof peerReceiveBuffer);
    }
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    Socket data(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    transfer.label = "STOR big.bin";
    transfer.direction = TransferDirection::kSend;
    if (sendBuffer > 0)
      setsockopt(data.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    connect(data.fd(), reinterpret_cast<sockaddr*>(&address), length);
    transfer.data = MakeTcpStream(std::move(data));
    peer = accept(listener, nullptr, nullptr);
    close(listener);
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    control.emplace(MakeTcpStream(Socket(pair[0])), replyTimeout);
    serverControl = pair[1];
    const std::filesystem::path path = local.path() / "big.bin";
    std::ofstream(path).close();
    std::filesystem::resize_file(path, fileSize);
    file = open(path.c_str(), O_RDONLY);
  }
  ~LoopbackUpload() {
    close(file);
    close(serverControl);
  }

  DataTransfer transfer;
  int peer = -1;
  std::optional<ControlChannel> control;
  int serverControl = -1;
  testing::TempDir local;
  int file = -1;
};

TEST(FtpUploadHangUpTest, PeerThatHalfClosesAndDropsTheRestGivesAnErrorNotASignal) {
  LoopbackUpload upload(size_t{512} << 20, milliseconds(2000));
  std::thread hangUp([peer = upload.peer] {
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
  const FtpStatus status =
      SendFileData(*upload.control, upload.transfer, upload.file, milliseconds(5000));
  hangUp.join();

  EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
  EXPECT_EQ(status.text, "データ転送でエラーが発生しました (STOR big.bin): Broken pipe");
  EXPECT_FALSE(upload.transfer.data.valid());
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
  // A large send buffer on our side and a small receive buffer on the
  // server's keep the data in our queue, where a slow link keeps it too.
  // The kernel may cap the send buffer; the file and the pace follow what it
  // gave. At least half of the buffer holds data, and that half takes a
  // second to read: three data time-outs, and more than the reply time-out.
  int sendBuffer = 4 << 20;
  {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = sizeof sendBuffer;
    setsockopt(probe, SOL_SOCKET, SO_SNDBUF, &sendBuffer, length);
    getsockopt(probe, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length);
    close(probe);
  }
  LoopbackUpload upload(static_cast<size_t>(sendBuffer), milliseconds(600), 4 << 20, 64 << 10);
  const double bytesPerSecond = sendBuffer / 2.0;
  size_t receivedTotal = 0;
  std::thread slowServer([&] {
    const auto start = std::chrono::steady_clock::now();
    char buffer[16 << 10];
    for (ssize_t got; (got = read(upload.peer, buffer, sizeof buffer)) > 0;) {
      receivedTotal += static_cast<size_t>(got);
      std::this_thread::sleep_until(
          start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(receivedTotal / bytesPerSecond)));
    }
    close(upload.peer);
    const char reply[] = "226 Transfer complete.\r\n";
    send(upload.serverControl, reply, sizeof reply - 1, MSG_NOSIGNAL);
  });
  FtpStatus status = SendFileData(*upload.control, upload.transfer, upload.file, milliseconds(300));
  if (status.ok())
    status = FinishTransfer(*upload.control, upload.transfer);
  if (!status.ok())
    shutdown(upload.peer, SHUT_RDWR);  // lets the server's thread end
  slowServer.join();

  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_EQ(upload.transfer.finalReply.code, 226);
  EXPECT_EQ(receivedTotal, static_cast<size_t>(sendBuffer));
}

}  // namespace
}  // namespace velmorix::ftp
