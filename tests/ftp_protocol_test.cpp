// Our FTP client against a scripted peer, for what the test server
// (pyftpdlib) cannot be made to send: a greeting that asks us to wait, a
// login without a password, a 421 in the middle of a session, a listing's
// final reply before its data, a store called done before the data, odd
// final replies, listings that trickle or never end, and transfers that are
// canceled while they wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftp_session.h"
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
  // Takes the PORT command that opens every transfer; gives it for
  // ConnectBack.
  std::string AgreePort() {
    const std::string port = Expect("PORT ");
    Send("200 ok\r\n");
    return port;
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

FtpStatus ConnectTo(const ScriptedServer& server, FtpConnection& connection,
                    FtpTimeouts timeouts = {milliseconds(2000), milliseconds(2000),
                                            milliseconds(2000)}) {
  FtpSession session("VELMORIX", timeouts);
  return session.Connect("127.0.0.1", server.port(), "user", "secret", connection);
}

// Sends `chunk` over the data connection `data` again and again, `pause`
// apart, until the client closes it or `atMost` has passed; then closes it.
void StreamUntilClosed(int data, const std::string& chunk, milliseconds pause,
                       milliseconds atMost = milliseconds(6000)) {
  const auto end = std::chrono::steady_clock::now() + atMost;
  while (std::chrono::steady_clock::now() < end &&
         send(data, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    std::this_thread::sleep_for(pause);
  }
  close(data);
}

// Lists "" to its end (or its failure) and gives the status that ended it.
FtpStatus ListToTheEnd(FtpConnection& connection,
                       ListingCommand command = ListingCommand::kPreferred) {
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = connection.FindFirst("", listing, entry, command);
  while (status.ok())
    status = listing.Next(entry);
  return status;
}

constexpr const char* kMlsdFeature = " MLST type*;modify*;\r\n";

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

// Commands whose answers decide nothing about the next go out together,
// in their usual order: a server that answers only once it holds all of
// them still gets the whole dialogue (one waiting for each would wait for
// the client, and the client for it).
TEST_F(FtpDialogueTest, CommandsSentTogetherReachAServerThatAnswersOnlyOnceItHasThemAll) {
  ScriptedServer server([](ScriptedServer& peer) {
    const auto together = [&peer](std::initializer_list<const char*> commands,
                                  const std::string& replies) {
      for (const char* command : commands)
        peer.Expect(command);
      peer.Send(replies);
    };
    peer.Send("220 scripted\r\n");
    together({"USER user", "PASS secret"}, "331 password\r\n230 in\r\n");
    peer.Answer("FEAT", "211-Features:\r\n UTF8\r\n211 End");
    together({"OPTS UTF8 ON", "TYPE I", "PWD"}, "200 ok\r\n200 binary\r\n257 \"/home/user\"\r\n");
    // A LIST of another folder: its CWD goes with the data connection's PORT.
    peer.Expect("CWD /home/user/www");
    const std::string port = peer.Expect("PORT ");
    peer.Send("250 ok\r\n200 ok\r\n");
    peer.Answer("LIST -a", "150 here");
    close(peer.ConnectBack(port));
    peer.Send("226 done\r\n");
    peer.Answer("QUIT", "221 bye");
  });
  // As an extra connection logs in, after the run's own was asked for a
  // password.
  FtpSession session("VELMORIX", {milliseconds(2000), milliseconds(2000), milliseconds(2000)},
                     FtpConnectOptions{.passwordWithUser = true});
  FtpConnection connection;
  const FtpStatus status =
      session.Connect("127.0.0.1", server.port(), "user", "secret", connection);
  ASSERT_TRUE(status.ok()) << status.text;
  FtpListing listing;
  RemoteEntry entry;
  EXPECT_EQ(connection.FindFirst("www", listing, entry, ListingCommand::kList).kind,
            FtpErrorKind::kNoMoreFiles);
  connection.Close();
  server.Join();
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
        "type=dir;modify=20200102030405; images\r\ntype=file;modify=20200102030405; index.html\r\n";
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
  EXPECT_EQ(entry.name, "index.html");
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

// A listing or a store ends well only with 226 or 250; any other positive
// final reply does not say that the data went through.
class FtpTransferReplyTest : public ::testing::Test {};

TEST_F(FtpTransferReplyTest, OnlyCompletionRepliesEndATransferWell) {
  testing::TempDir local;
  testing::WriteFile(local.path() / "page.html", "content");
  const std::string page = (local.path() / "page.html").string();
  struct Case {
    const char* command;  // what the client sends after PORT
    bool connects;        // the peer makes the data connection
    const char* reply;    // the peer's final reply
    FtpErrorKind kind;    // what the transfer gives
  };
  for (const Case& c : std::initializer_list<Case>{
           {"MLSD", false, "200 Command okay.", FtpErrorKind::kServerReply},
           {"MLSD", true, "200 Command okay.", FtpErrorKind::kServerReply},
           {"LIST -a", false, "202 Nothing done.", FtpErrorKind::kServerReply},
           {"LIST -a", true, "225 Data connection open.", FtpErrorKind::kServerReply},
           {"STOR page.html", true, "200 Command okay.", FtpErrorKind::kServerReply},
           {"STOR page.html", false, "200 Command okay.", FtpErrorKind::kServerReply},
           // Some servers end the listing of an empty folder without
           // connecting at all.
           {"MLSD", false, "226 Nothing to list.", FtpErrorKind::kNoMoreFiles},
           {"LIST -a", false, "250 Done.", FtpErrorKind::kNoMoreFiles},
           {"MLSD", true, "250 Done.", FtpErrorKind::kNoMoreFiles},
           {"STOR page.html", true, "250 Stored.", FtpErrorKind::kNone},
       }) {
    SCOPED_TRACE(std::string(c.command) + (c.connects ? " connecting, " : " alone, ") + c.reply);
    const std::string command = c.command;
    ScriptedServer server([&c, command](ScriptedServer& peer) {
      peer.LogIn(kMlsdFeature);
      const std::string port = peer.AgreePort();
      peer.Expect(command);
      if (c.connects) {
        const int data = peer.ConnectBack(port);
        peer.Send("150 here\r\n");
        if (command.starts_with("STOR")) {
          char buffer[4096];
          while (read(data, buffer, sizeof buffer) > 0) {
          }
        }
        close(data);
      }
      peer.Send(std::string(c.reply) + "\r\n");
      peer.Answer("MKD /home/user/after", "257 \"/home/user/after\" created");
      peer.Answer("QUIT", "221 bye");
    });
    FtpConnection connection;
    ASSERT_TRUE(ConnectTo(server, connection).ok());
    FtpStatus status;
    if (command.starts_with("STOR")) {
      status = connection.PutFile(page, "page.html");
    } else {
      status = ListToTheEnd(connection,
                            command == "MLSD" ? ListingCommand::kPreferred : ListingCommand::kList);
    }
    EXPECT_EQ(status.kind, c.kind) << status.text;
    if (c.kind == FtpErrorKind::kServerReply) {
      EXPECT_EQ(status.text, c.reply);
    }
    EXPECT_TRUE(connection.CreateFolder("after").ok()) << "the connection stayed in step";
  }
}

// Listings that never end: bytes that keep coming are no progress unless
// they make entries, and no listing may grow without bound.
class FtpListingBoundsTest : public ::testing::Test {
 protected:
  // Lists with MLSD from a peer that feeds the data connection with
  // `stream` and answers 426 once the client has closed it.
  FtpStatus ListFrom(std::function<void(int data)> stream, FtpTimeouts timeouts) {
    ScriptedServer server([stream](ScriptedServer& peer) {
      peer.LogIn(kMlsdFeature);
      const std::string port = peer.AgreePort();
      peer.Expect("MLSD");
      const int data = peer.ConnectBack(port);
      peer.Send("150 here it comes\r\n");
      stream(data);
      peer.Send("426 Connection closed; transfer aborted.\r\n");
      peer.Answer("MKD /home/user/after", "257 \"/home/user/after\" created");
      peer.Answer("QUIT", "221 bye");
    });
    FtpConnection connection;
    EXPECT_TRUE(ConnectTo(server, connection, timeouts).ok());
    const auto start = std::chrono::steady_clock::now();
    const FtpStatus status = ListToTheEnd(connection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "no hang";
    EXPECT_TRUE(connection.CreateFolder("after").ok()) << "the connection stayed in step";
    return status;
  }
};

TEST_F(FtpListingBoundsTest, DataThatNeverMakesAnEntryTimesOutThoughBytesKeepComing) {
  const FtpTimeouts timeouts{milliseconds(2000), milliseconds(2000), milliseconds(500)};
  struct Case {
    const char* what;
    std::string chunk;
    milliseconds pause;
  };
  for (const Case& c :
       {Case{"a byte at a time", "t", milliseconds(200)},
        Case{"lines that are no entries", "no-facts-and-no-name\r\n", milliseconds(2)}}) {
    SCOPED_TRACE(c.what);
    const FtpStatus status =
        ListFrom([&c](int data) { StreamUntilClosed(data, c.chunk, c.pause); }, timeouts);
    EXPECT_EQ(status.kind, FtpErrorKind::kTimeout);
    EXPECT_EQ(status.text, "一覧のデータから項目を読み取れないままタイムアウトしました (MLSD)");
  }
}

TEST_F(FtpListingBoundsTest, ListingOverSixtyFourMebibytesIsBrokenOff) {
  // Entries would keep the time-out away too; one endless line is cheaper.
  const FtpTimeouts timeouts{milliseconds(2000), milliseconds(2000), milliseconds(2000)};
  const FtpStatus status = ListFrom(
      [](int data) { StreamUntilClosed(data, std::string(size_t{1} << 20, 'x'), milliseconds(0)); },
      timeouts);
  EXPECT_EQ(status.kind, FtpErrorKind::kProtocol);
  EXPECT_EQ(status.text, "一覧のデータが 64 MiB を超えたため読み込みを中断しました (MLSD)");
}

// The cancel check stops a transfer that waits on its data connection within
// a second, with ABOR, and leaves the connection in step where the server
// answers as it should.
class FtpCancelTest : public ::testing::Test {
 protected:
  // Long time-outs: only the cancel can end the waits in time.
  static constexpr FtpTimeouts kLong{milliseconds(10000), milliseconds(10000), milliseconds(10000)};

  // Runs `transfer` with a cancel check that says stop 300 ms after the
  // start, and checks that it ended as canceled, in time.
  FtpStatus RunCanceled(FtpConnection& connection,
                        const std::function<FtpStatus(FtpConnection&)>& transfer) {
    const auto start = std::chrono::steady_clock::now();
    connection.SetCancelCheck(
        [start] { return std::chrono::steady_clock::now() - start >= milliseconds(300); });
    const FtpStatus status = transfer(connection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "no hang";
    EXPECT_EQ(status.kind, FtpErrorKind::kCanceled) << status.text;
    return status;
  }
};

TEST_F(FtpCancelTest, WaitingListingIsAbortedAndTheAnswersToAborKeepTheConnectionInStep) {
  struct Case {
    const char* what;
    bool connects;            // false: the server never connects back
    const char* aborReplies;  // what the server answers once ABOR has come
    bool inStep;              // both owed replies came
  };
  for (const Case& c : std::initializer_list<Case>{
           {"aborted", true, "426 Transfer aborted.\r\n226 ABOR command successful.", true},
           {"already done", true, "226 Transfer complete.\r\n225 No transfer to abort.", true},
           {"no connection", false, "425 Can't open data connection.\r\n225 ABOR ok.", true},
           {"one reply only", true, "225 ABOR command successful.", false},
       }) {
    SCOPED_TRACE(c.what);
    ScriptedServer server([&c](ScriptedServer& peer) {
      peer.LogIn(kMlsdFeature);
      const std::string port = peer.AgreePort();
      peer.Expect("MLSD");
      if (c.connects) {
        peer.Send("150 here it comes\r\n");
        StreamUntilClosed(peer.ConnectBack(port), "type=file; trickle\r\n", milliseconds(50));
      }
      peer.Expect("ABOR");
      peer.Send(std::string(c.aborReplies) + "\r\n");
      if (c.inStep) {
        peer.Answer("MKD /home/user/after", "257 \"/home/user/after\" created");
        peer.Answer("QUIT", "221 bye");
      } else {
        peer.ReadLine();  // a lost connection sends nothing more, not even QUIT
      }
    });
    FtpConnection connection;
    ASSERT_TRUE(ConnectTo(server, connection, kLong).ok());
    const FtpStatus status =
        RunCanceled(connection, [](FtpConnection& canceled) { return ListToTheEnd(canceled); });
    EXPECT_EQ(status.text, "中止しました (MLSD)");
    EXPECT_EQ(connection.IsOpen(), c.inStep);
    if (c.inStep) {
      EXPECT_TRUE(connection.CreateFolder("after").ok());
    }
    connection.Close();
    server.Join();
    EXPECT_EQ(server.received.back(), c.inStep ? "QUIT" : "ABOR");
  }
}

TEST_F(FtpCancelTest, UploadIsAbortedWhileItWaitsAndNeverBefore) {
  testing::TempDir local;
  testing::WriteFile(local.path() / "big.bin", std::string(size_t{64} << 20, 'b'));
  testing::WriteFile(local.path() / "small.bin", "small");
  // A small upload never waits long enough to be asked, though the check
  // says stop from the start; the large one fills the queue of a server
  // that does not read.
  for (const bool small : {true, false}) {
    const std::string name = small ? "small.bin" : "big.bin";
    SCOPED_TRACE(name);
    ScriptedServer server([small, name](ScriptedServer& peer) {
      peer.LogIn();
      const int data = peer.ConnectBack(peer.AgreePort());
      peer.Expect("STOR " + name);
      peer.Send("150 go ahead\r\n");
      char buffer[64];
      if (small) {
        while (read(data, buffer, sizeof buffer) > 0) {
        }
      } else {
        peer.Expect("ABOR");
      }
      close(data);
      peer.Send(small ? "226 Transfer complete.\r\n"
                      : "426 Transfer aborted.\r\n226 ABOR command successful.\r\n");
      peer.Answer("QUIT", "221 bye");
    });
    FtpConnection connection;
    ASSERT_TRUE(ConnectTo(server, connection, kLong).ok());
    const std::string path = (local.path() / name).string();
    const auto upload = [&path, &name](FtpConnection& canceled) {
      return canceled.PutFile(path, name);
    };
    if (small) {
      connection.SetCancelCheck([] { return true; });
      const FtpStatus status = upload(connection);
      EXPECT_TRUE(status.ok()) << status.text;
    } else {
      EXPECT_EQ(RunCanceled(connection, upload).text, "中止しました (STOR big.bin)");
    }
    EXPECT_TRUE(connection.IsOpen());
  }
}

// Only a regular file is uploaded. Opening a FIFO for reading would wait for
// a writer for ever, and a device may never end.
class FtpLocalFileKindTest : public ::testing::Test {};

TEST_F(FtpLocalFileKindTest, FifoAndDeviceAreRefusedBeforeAnythingIsSent) {
  testing::TempDir local;
  const std::string fifo = (local.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, local.path() / "link-to-fifo");
  // Should the open block, a writer that comes after 3 s frees it, and the
  // test fails instead of hanging.
  std::promise<void> done;
  std::thread unblocker([&fifo, finished = done.get_future()] {
    if (finished.wait_for(std::chrono::seconds(3)) == std::future_status::timeout)
      close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  });
  const std::vector<std::string> paths = {fifo, (local.path() / "link-to-fifo").string(),
                                          "/dev/null"};
  ScriptedServer server([&paths](ScriptedServer& peer) {
    // The server's next line after each upload is MKD, not PORT or STOR.
    peer.LogIn();
    for (size_t i = 0; i < paths.size(); ++i)
      peer.Answer("MKD /home/user/after", "257 \"/home/user/after\" created");
    peer.Answer("QUIT", "221 bye");
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  for (const std::string& path : paths) {
    const auto start = std::chrono::steady_clock::now();
    const FtpStatus status = connection.PutFile(path, "upload.bin");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << path;
    EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
    EXPECT_EQ(status.text, "ファイルを開けません: " + path + " (通常のファイルではありません)");
    EXPECT_TRUE(connection.CreateFolder("after").ok());
  }
  done.set_value();
  unblocker.join();
}

}  // namespace
}  // namespace velmorix
