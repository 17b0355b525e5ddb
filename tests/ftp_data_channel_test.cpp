// The upload's data connection when the far end hangs up in a way the test
// server cannot be made to: it half-closes first and then drops what it has
// not read. The kernel then reports EPIPE and raises SIGPIPE on the next
// write, which must not end the program.
#include "engine/ftp_session/ftp_data_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

namespace velmorix::ftp {
namespace {

namespace fs = std::filesystem;

class FtpUploadHangUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A loopback TCP connection: ours is the data socket, theirs the peer.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int ours = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(ours, reinterpret_cast<sockaddr*>(&address), sizeof address);
    peer_ = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(peer_, 0);
    transfer_.data = Socket(ours);
    transfer_.label = "STOR big.bin";
    transfer_.direction = TransferDirection::kSend;

    // A control connection that stays silent.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    control_.emplace(Socket(pair[0]), std::chrono::milliseconds(2000));
    silentServer_ = pair[1];

    const fs::path file = local_.path() / "big.bin";
    std::ofstream(file).close();
    fs::resize_file(file, uintmax_t{512} << 20);
    file_ = open(file.c_str(), O_RDONLY);
    ASSERT_GE(file_, 0);
  }

  void TearDown() override {
    close(file_);
    close(silentServer_);
  }

  testing::TempDir local_;
  int peer_ = -1;
  int silentServer_ = -1;
  int file_ = -1;
  DataTransfer transfer_;
  std::optional<ControlChannel> control_;
};

TEST_F(FtpUploadHangUpTest, PeerThatHalfClosesAndDropsTheRestGivesAnErrorNotASignal) {
  std::thread peer([fd = peer_] {
    shutdown(fd, SHUT_WR);
    char buffer[65536];
    size_t total = 0;
    while (total < (size_t{1} << 20)) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0)
        break;
      total += static_cast<size_t>(got);
    }
    // Closing with unread data resets the connection.
    close(fd);
  });
  const FtpStatus status =
      SendFileData(*control_, transfer_, file_, std::chrono::milliseconds(5000));
  peer.join();

  EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
  EXPECT_EQ(status.text, "データ転送でエラーが発生しました (STOR big.bin): Broken pipe");
  EXPECT_FALSE(transfer_.data.valid());
  // The signal was taken back, and the thread's signal mask is as before.
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

}  // namespace
}  // namespace velmorix::ftp
