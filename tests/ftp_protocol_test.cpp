// Our FTP client against a scripted peer, for what the test server
// (pyftpdlib) cannot be made to send: a greeting that asks us to wait, a
// login without a password, a 421 in the middle of a session, a listing's
// final reply before its data, and a store called done before the data.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ftp_session/ftp_session.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

using std::chrono::milliseconds;

// Plays the server's side of one control connection on 127.0.0.1.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(ScriptedServer&)> script) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script] {
      pollfd waiting{listener_, POLLIN, 0};
      if (poll(&waiting, 1, 5000) <= 0)
        return;
      fd_ = accept(listener_, nullptr, nullptr);
      script(*this);
      close(fd_);
    });
  }
  ~ScriptedServer() {
    Join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void Join() {
    if (thread_.joinable())
      thread_.join();
  }

  // The next command line without CR LF; empty after 5 s of silence or at
  // the end of the connection.
  std::string ReadLine() {
    std::string line;
    while (!line.ends_with("\r\n")) {
      pollfd entry{fd_, POLLIN, 0};
      char c;
      if (poll(&entry, 1, 5000) <= 0 || read(fd_, &c, 1) != 1)
        return {};
      line.push_back(c);
    }
    line.resize(line.size() - 2);
    received.push_back(line);
    return line;
  }
  std::string Expect(const std::string& prefix) {
    const std::string line = ReadLine();
    EXPECT_TRUE(line.starts_with(prefix)) << "expected " << prefix << ", got \"" << line << '"';
    return line;
  }
  void Send(const std::string& text) { send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
  // Answers `command` with `reply`.
  void Answer(const std::string& command, const std::string& reply) {
    Expect(command);
    Send(reply + "\r\n");
  }
  // Connects to the address of a "PORT h1,h2,h3,h4,p1,p2" line.
  int ConnectBack(const std::string& portLine) {
    unsigned h[4], p[2];
    sscanf(portLine.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(p[0] * 256 + p[1]));
    address.sin_addr.s_addr = htonl((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3]);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }
  void LogIn(const std::string& features = "") {
    Send("220 scripted\r\n");
    Answer("USER user", "331 password");
    Answer("PASS secret", "230 in");
    Answer("FEAT", "211-Features:\r\n" + features + "211 End");
    Answer("TYPE I", "200 binary");
    Answer("PWD", "257 \"/home/user\" is the current directory");
  }

  std::vector<std::string> received;  // read by the test after Join()

 private:
  int listener_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

FtpStatus ConnectTo(const ScriptedServer& server, FtpConnection& connection) {
  FtpSession session("VELMORIX", {milliseconds(2000), milliseconds(2000), milliseconds(2000)});
  return session.Connect("127.0.0.1", server.port(), "user", "secret", connection);
}

class FtpDialogueTest : public ::testing::Test {};

TEST_F(FtpDialogueTest, WaitGreetingLoginWithoutPasswordNoFeaturesAndNoLoginFolder) {
  ScriptedServer server([](ScriptedServer& peer) {
    peer.Send("120 ready in a moment\r\n220-Welcome\r\n220 ready\r\n");
    peer.Answer("USER user", "230 no password needed");
    peer.Answer("FEAT", "502 not implemented");
    peer.Answer("TYPE I", "200 ok");
    peer.Answer("PWD", "550 not telling");
    // Without a known login folder, relative paths go out as they are.
    peer.Answer("CWD www", "250 ok");
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server, connection);
  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_TRUE(connection.ChangeFolder("www").ok());
  connection.Close();
  server.Join();
  for (const std::string& line : server.received)
    EXPECT_FALSE(line.starts_with("PASS"));
}

TEST_F(FtpDialogueTest, ClosingReplyInTheMiddleLosesTheConnection) {
  ScriptedServer server([](ScriptedServer& peer) {
    peer.LogIn();
    peer.Answer("MKD /home/user/new", "421 Idle timeout, closing.");
    peer.ReadLine();  // any further command would show up here
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  const FtpStatus status = connection.CreateFolder("new");
  EXPECT_EQ(status.kind, FtpErrorKind::kNotConnected);
  EXPECT_EQ(status.text,
            "サーバーとの接続が切れました (MKD /home/user/new): 421 Idle timeout, closing.");
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.DeleteFile("x").kind, FtpErrorKind::kNotConnected);
  connection.Close();
  server.Join();
  EXPECT_EQ(server.received.back(), "MKD /home/user/new");
}

TEST_F(FtpDialogueTest, ListingWhoseFinalReplyComesBeforeItsData) {
  ScriptedServer server([](ScriptedServer& peer) {
    peer.LogIn(" MLST type*;modify*;\r\n");
    const std::string port = peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("MLSD /home/user/www");
    const int data = peer.ConnectBack(port);
    peer.Send("150 here it comes\r\n226-Listing sent\r\n226 Bye for now\r\n");
    std::this_thread::sleep_for(milliseconds(100));
    const std::string lines =
        "type=dir;modify=20200102030405; images\r\ntype=file;modify=20200102030405; index.html";
    send(data, lines.data(), lines.size(), MSG_NOSIGNAL);
    close(data);
    peer.Answer("CWD /home/user/www", "250 entered");
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection.FindFirst("www", listing, entry).ok());
  EXPECT_TRUE(entry.name == "images" && entry.isDir);
  ASSERT_TRUE(listing.Next(entry).ok());
  EXPECT_EQ(entry.name, "index.html") << "a last line without its line end still counts";
  EXPECT_EQ(listing.Next(entry).kind, FtpErrorKind::kNoMoreFiles);
  // The next command gets its own reply.
  EXPECT_TRUE(connection.ChangeFolder("www").ok());
  EXPECT_EQ(connection.LastResponseText(), "250 entered");
}

TEST_F(FtpDialogueTest, StoreCalledDoneBeforeTheDataIsNeverASuccess) {
  testing::TempDir local;
  // Larger than the socket buffers, so the upload can only end after the
  // server has begun to read, which it does only after its early reply: the
  // reply is then certainly there when the client looks, however busy the
  // machine is.
  testing::WriteFile(local.path() / "page.html", std::string(size_t{16} << 20, 'x'));
  ScriptedServer server([](ScriptedServer& peer) {
    peer.LogIn();
    const std::string port = peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("STOR page.html");
    const int data = peer.ConnectBack(port);
    peer.Send("150 go ahead\r\n226 Transfer complete.\r\n");
    char buffer[65536];
    while (read(data, buffer, sizeof buffer) > 0) {
    }
    close(data);
    peer.Answer("RMD old", "350 Something odd.");
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kProtocol) << status.text;
  // A code that a command does not expect is a failure too.
  status = connection.RemoveFolder("old");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(status.text, "350 Something odd.");
}

TEST_F(FtpDialogueTest, UnsafeNameIsShownWithEveryControlCharacterEscaped) {
  ScriptedServer server([](ScriptedServer& peer) {
    peer.LogIn();
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  const FtpStatus status = connection.DeleteFile("a\r\n\x1b[2J\tb");
  EXPECT_EQ(status.kind, FtpErrorKind::kUnsafeArgument);
  EXPECT_EQ(status.text,
            "ファイル名に改行または NUL 文字が含まれているため送信できません: "
            "a\\r\\n\\x1B[2J\\tb");
}

// Only a regular file is uploaded. Opening a FIFO for reading would wait for
// a writer for ever, and a device may never end.
class FtpLocalFileKindTest : public ::testing::Test {};

TEST_F(FtpLocalFileKindTest, FifoSocketAndDeviceAreRefusedBeforeAnythingIsSent) {
  testing::TempDir local;
  const std::string fifo = (local.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, local.path() / "link-to-fifo");
  const std::string socketPath = (local.path() / "socket").string();
  const int unixSocket = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(unixSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Should the open block, a writer that comes after 3 s frees it, and the
  // test fails instead of hanging.
  std::promise<void> done;
  std::thread unblocker([&fifo, finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(3)) == std::future_status::timeout)
      close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  });
  struct Case {
    std::string path;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {fifo, "通常のファイルではありません"},
      {(local.path() / "link-to-fifo").string(), "通常のファイルではありません"},
      {"/dev/null", "通常のファイルではありません"},
      // The system refuses to open a socket at all.
      {socketPath, "No such device or address"},
  };
  ScriptedServer server([&cases](ScriptedServer& peer) {
    peer.LogIn();
    for (size_t i = 0; i < cases.size(); ++i)
      peer.Answer("MKD /home/user/after", "257 \"/home/user/after\" created");
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto start = std::chrono::steady_clock::now();
    const FtpStatus status = connection.PutFile(c.path, "upload.bin");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "no wait";
    EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
    EXPECT_EQ(status.text, "ファイルを開けません: " + c.path + " (" + c.detail + ")");
    // The server's next line is this command, not PORT or STOR.
    EXPECT_TRUE(connection.CreateFolder("after").ok());
  }
  done.set_value();
  unblocker.join();
  close(unixSocket);
}

}  // namespace
}  // namespace velmorix
