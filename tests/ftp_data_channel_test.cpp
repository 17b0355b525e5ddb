// The upload's data connection when the far end hangs up in a way the test
// server cannot be made to: it half-closes first and then drops what it has
// not read. The kernel then reports EPIPE and raises SIGPIPE on the next
// write, which must not end the program.
#include "engine/ftp_session/ftp_data_channel.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace
}  // namespace velmorix::ftp
