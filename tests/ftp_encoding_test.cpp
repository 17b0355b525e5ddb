// Name encodings of our FTP client: the conversion itself, what goes over the
// wire (against the scripted server, which records every command line), and
// publish-like steps with Japanese names against the real test server
// speaking Shift_JIS or EUC-JP names.
#include "ftp/name_codec.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftp_session.h"
#include "tests/support/scripted_ftp_server.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using ftp::DecodeServerName;
using ftp::EncodeName;
using ftp::NameEvidence;
using ftp::NameFailure;
using std::chrono::milliseconds;
using testing::ScriptedFtpServer;
using testing::TempDir;
using testing::TestFtpServer;
using testing::TestFtpServerOptions;

constexpr FtpTimeouts kNormal{milliseconds(5000), milliseconds(10000), milliseconds(10000)};

// U+FFFD, the mark of an escaped server byte.
const std::string kMark = "\xEF\xBF\xBD";

// ---------------------------------------------------------------------------
// The conversion

struct Conversion {
  NameEncoding encoding;
  std::string name;        // ours, UTF-8
  std::string serverName;  // on the wire
};

TEST(NameCodecTest, JapaneseNamesConvertBothWaysExactly) {
  const Conversion kCases[] = {
      {NameEncoding::kShiftJis, "日本語.txt", "\x93\xFA\x96\x7B\x8C\xEA.txt"},
      // Trail bytes that are "\" in ASCII.
      {NameEncoding::kShiftJis, "表示/ソース", "\x95\x5C\x8E\xA6/\x83\x5C\x81\x5B\x83\x58"},
      {NameEncoding::kShiftJis, "ﾃｽﾄ", "\xC3\xBD\xC4"},
      // Code page 932's own characters.
      {NameEncoding::kShiftJis, "①髙﨑～", "\x87\x40\xFB\xFC\xFA\xB1\x81\x60"},
      {NameEncoding::kShiftJis, "a\\b~c", "a\\b~c"},
      {NameEncoding::kEucJp, "日本語.txt", "\xC6\xFC\xCB\xDC\xB8\xEC.txt"},
      {NameEncoding::kEucJp, "ﾃｽﾄ〜", "\x8E\xC3\x8E\xBD\x8E\xC4\xA1\xC1"},
      {NameEncoding::kUtf8, "café😀.txt", "café😀.txt"},
  };
  for (const Conversion& conversion : kCases) {
    std::string serverName = "left over";
    EXPECT_EQ(EncodeName(conversion.encoding, conversion.name, serverName), NameFailure::kNone)
        << conversion.name;
    EXPECT_EQ(serverName, conversion.serverName) << conversion.name;
    EXPECT_EQ(DecodeServerName(conversion.encoding, conversion.serverName), conversion.name);
  }
}

TEST(NameCodecTest, CharactersTheEncodingCannotHoldExactlyAreRefused) {
  const struct {
    NameEncoding encoding;
    std::string name;
    std::string offending;
  } kCases[] = {
      {NameEncoding::kShiftJis, "café😀.txt", "é"},
      {NameEncoding::kShiftJis, "写真😀.jpg", "😀"},
      {NameEncoding::kShiftJis, "한국어.txt", "한"},
      // These would go out as the bytes of another character and come back
      // as that one: "\", "～", "－".
      {NameEncoding::kShiftJis, "¥100.txt", "¥"},
      {NameEncoding::kShiftJis, "a〜b", "〜"},
      {NameEncoding::kShiftJis, "a−b", "−"},
      {NameEncoding::kEucJp, "①.txt", "①"},
      {NameEncoding::kEucJp, "¥", "¥"},
  };
  for (const auto& refused : kCases) {
    std::string serverName = "untouched";
    std::string offending;
    EXPECT_EQ(EncodeName(refused.encoding, refused.name, serverName, &offending),
              NameFailure::kNotRepresentable)
        << refused.name;
    EXPECT_EQ(offending, refused.offending);
    EXPECT_EQ(serverName, "untouched");
  }
}

TEST(NameCodecTest, LocalNamesThatAreNoUtf8AreRefusedUnlessNamesAreUtf8) {
  const std::string kInvalid[] = {
      "caf\xE9.txt",       // Latin-1
      "\xC0\xAF",          // an overlong "/"
      "\xED\xA0\x80",      // a surrogate
      "abc\xE6\x97",       // cut off
      "\x93\xFA\x96\x7B",  // already Shift_JIS
  };
  for (const std::string& name : kInvalid) {
    std::string serverName;
    EXPECT_FALSE(IsValidUtf8(name));
    EXPECT_EQ(EncodeName(NameEncoding::kShiftJis, name, serverName), NameFailure::kNotUtf8);
    EXPECT_EQ(EncodeName(NameEncoding::kEucJp, name, serverName), NameFailure::kNotUtf8);
    // UTF-8 names have always gone out as the bytes they are.
    EXPECT_EQ(EncodeName(NameEncoding::kUtf8, name, serverName), NameFailure::kNone);
    EXPECT_EQ(serverName, name);
  }
}

TEST(NameCodecTest, ServerBytesThatAreNoExactTextAreEscapedAndNeverSentBack) {
  const Conversion kCases[] = {
      {NameEncoding::kShiftJis, "a" + kMark + "FF.txt", "a\xFF.txt"},
      {NameEncoding::kShiftJis, "日本" + kMark + "80語", "\x93\xFA\x96\x7B\x80\x8C\xEA"},
      {NameEncoding::kShiftJis, "x" + kMark + "82", "x\x82"},  // a lead byte cut off
      {NameEncoding::kShiftJis, kMark + "85@", "\x85\x40"},    // no character there
      // Duplicates of code page 932 that would go back as other bytes
      // (0x81E0 and 0xFA5C).
      {NameEncoding::kShiftJis, kMark + "87" + kMark + "90.txt", "\x87\x90.txt"},
      {NameEncoding::kShiftJis, kMark + "ED@", "\xED\x40"},
      {NameEncoding::kEucJp, kMark + "A1.txt", "\xA1.txt"},
      {NameEncoding::kEucJp, "日" + kMark + "FF", "\xC6\xFC\xFF"},
  };
  for (const Conversion& conversion : kCases) {
    const std::string name = DecodeServerName(conversion.encoding, conversion.serverName);
    EXPECT_EQ(name, conversion.name);
    EXPECT_TRUE(IsValidUtf8(name)) << "a listing can show it";
    std::string serverName;
    EXPECT_EQ(EncodeName(conversion.encoding, name, serverName), NameFailure::kUnreadableBytes)
        << name;
  }
  EXPECT_NE(DecodeServerName(NameEncoding::kShiftJis, "\x85\x40"),
            DecodeServerName(NameEncoding::kShiftJis, "\x86\x40"));
  // With UTF-8 the server's bytes stay as they are, as before.
  EXPECT_EQ(DecodeServerName(NameEncoding::kUtf8, "a\xFF.txt"), "a\xFF.txt");
}

TEST(NameCodecTest, NamesThatCannotBeReadAndTheNamesakesOfUnwritableOnes) {
  // Escaped bytes, and with UTF-8 bytes that are no UTF-8, cannot be sent back.
  EXPECT_FALSE(ftp::IsReadableServerName("caf" + kMark + "E9.html"));
  EXPECT_FALSE(ftp::IsReadableServerName("caf\xE9.html"));
  EXPECT_TRUE(ftp::IsReadableServerName("caf\xC3\xA9.html"));
  const struct {
    NameEncoding encoding;
    std::string local;
    std::string server;
    bool mayMatch;
  } kCases[] = {
      {NameEncoding::kShiftJis, "\u301Cwave.html", "\uFF5EWAVE.html", true},
      {NameEncoding::kShiftJis, "\u301Cwave.html", "-wave.html", false},
      {NameEncoding::kShiftJis, "\u304B\u3099.html", "\u304C.html", true},
      {NameEncoding::kShiftJis, "\u304B\u3099.html", "\u304B.html", false},
      // Nothing near it: it may stand for any one character.
      {NameEncoding::kShiftJis, "photo\U0001F600.jpg", "photo?.jpg", true},
      {NameEncoding::kShiftJis, "photo\U0001F600.jpg", "photo.jpg", false},
      {NameEncoding::kEucJp, "\u2460.txt", "?.txt", true},
      {NameEncoding::kUtf8, "caf\xE9.html", "caf\xC3\xA9.html", true},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ftp::NamesMayMatch(ftp::NearestServerName(c.encoding, c.local), c.server), c.mayMatch)
        << c.local << " / " << c.server;
  }
}

TEST(NameCodecTest, ServerNamesWeighedForAuto) {
  const struct {
    std::string serverName;
    NameEvidence evidence;
  } kCases[] = {
      {"index.html", NameEvidence::kAscii},
      {"日本語.txt", NameEvidence::kUtf8},
      // The UTF-8 bytes of "日本" are valid Shift_JIS as well ("譌･譛ｬ").
      {"日本", NameEvidence::kUtf8},
      {"\x93\xFA\x96\x7B.txt", NameEvidence::kShiftJis},
      {"\x83\x5C\x81\x5B\x83\x58", NameEvidence::kShiftJis},
      {"\xFF\xFE.bin", NameEvidence::kUndecided},
      {"caf\xE9.txt", NameEvidence::kUndecided},
  };
  for (const auto& weighed : kCases)
    EXPECT_EQ(ftp::WeighServerName(weighed.serverName), weighed.evidence) << weighed.serverName;
}

TEST(NameCodecTest, ConversionsRunOnSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (size_t i = 0; i < wrong.size(); ++i) {
    threads.emplace_back([&wrong, i] {
      for (int round = 0; round < 300; ++round) {
        std::string serverName;
        if (EncodeName(NameEncoding::kShiftJis, "日本語.txt", serverName) != NameFailure::kNone ||
            serverName != "\x93\xFA\x96\x7B\x8C\xEA.txt" ||
            DecodeServerName(NameEncoding::kEucJp, "\xC6\xFC\xFF") != "日" + kMark + "FF") {
          ++wrong[i];
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// ---------------------------------------------------------------------------
// On the wire, against the scripted server

std::string Mlsd(std::string_view type, std::string_view serverName) {
  return "type=" + std::string(type) + ";modify=20250102030405; " + std::string(serverName) +
         "\r\n";
}

class NameWireTest : public ::testing::Test {
 protected:
  // Serves `listing` for every folder.
  void Serve(std::string listing, ScriptedFtpServer::Options options = {}) {
    server_ = std::make_unique<ScriptedFtpServer>(
        [listing](std::string_view, const std::string&) {
          return ScriptedFtpServer::Listing{.data = listing};
        },
        options);
  }
  void Connect(NameEncoding encoding, NameEncoding decided = NameEncoding::kAuto) {
    FtpConnectOptions options;
    options.nameEncoding = encoding;
    options.decidedNameEncoding = decided;
    options.notice = [this](const std::string& line) { notices_.push_back(line); };
    const FtpStatus status =
        FtpSession("VELMORIX", kNormal, options)
            .Connect(ScriptedFtpServer::kHost, server_->port(), "user", "pass", connection_);
    ASSERT_TRUE(status.ok()) << status.text;
  }
  // The names of a whole listing of `folder`, in the order they came.
  std::vector<std::string> ListNames(std::string_view folder) {
    std::vector<std::string> names;
    FtpListing listing;
    RemoteEntry entry;
    FtpStatus status = connection_.FindFirst(folder, listing, entry);
    for (; status.ok(); status = listing.Next(entry))
      names.push_back(entry.name);
    EXPECT_EQ(status.kind, FtpErrorKind::kNoMoreFiles) << status.text;
    return names;
  }
  std::string LastCommand() const { return server_->Commands().back(); }

  std::unique_ptr<ScriptedFtpServer> server_;
  FtpConnection connection_;
  std::vector<std::string> notices_;
};

TEST_F(NameWireTest, NamesGoOutInShiftJisAndUtf8ModeIsNotAskedFor) {
  Serve("");
  Connect(NameEncoding::kShiftJis);
  EXPECT_TRUE(server_->CommandsStartingWith("OPTS UTF8").empty())
      << "a converting server would stop converting";
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kShiftJis);

  ASSERT_TRUE(connection_.CreateFolder("日本語/表示").ok());
  EXPECT_EQ(LastCommand(), "MKD /\x93\xFA\x96\x7B\x8C\xEA/\x95\x5C\x8E\xA6");
  ASSERT_TRUE(connection_.ChangeFolder("日本語").ok());
  EXPECT_EQ(LastCommand(), "CWD /\x93\xFA\x96\x7B\x8C\xEA");
  ASSERT_TRUE(connection_.DeleteFile("ソース.txt").ok());
  EXPECT_EQ(LastCommand(), "DELE \x83\x5C\x81\x5B\x83\x58.txt");
  ASSERT_TRUE(connection_.RemoveFolder("表示").ok());
  EXPECT_EQ(LastCommand(), "RMD \x95\x5C\x8E\xA6");
  EXPECT_TRUE(ListNames("日本語").empty());
  EXPECT_EQ(server_->CommandsStartingWith("MLSD").back(), "MLSD /\x93\xFA\x96\x7B\x8C\xEA");
  EXPECT_TRUE(notices_.empty());
}

TEST_F(NameWireTest, UnwritableNamesFailWithTheirReasonAndSendNothing) {
  Serve(Mlsd("file", "a.txt"));
  Connect(NameEncoding::kShiftJis);
  TempDir local;
  testing::WriteFile(local.path() / "upload", "data");
  const std::string localPath = (local.path() / "upload").string();

  const struct {
    const char* operation;
    std::function<FtpStatus()> call;
    std::string text;
  } kCases[] = {
      {"PutFile", [&] { return connection_.PutFile(localPath, "café😀.txt"); },
       "ファイル名に Shift_JIS で表せない文字「é」が含まれているため送信できません: café😀.txt"},
      {"CreateFolder", [&] { return connection_.CreateFolder("www/한국어"); },
       "フォルダー名に Shift_JIS で表せない文字「한」が含まれているため送信できません: www/한국어"},
      {"ChangeFolder", [&] { return connection_.ChangeFolder("¥"); },
       "フォルダー名に Shift_JIS で表せない文字「¥」が含まれているため送信できません: ¥"},
      {"DeleteFile", [&] { return connection_.DeleteFile("caf\xE9.txt"); },
       "ファイル名が UTF-8 として正しくないため送信できません: caf\\xE9.txt"},
      {"RemoveFolder", [&] { return connection_.RemoveFolder("a" + kMark + "FF"); },
       "フォルダー名に、サーバーの一覧で Shift_JIS として読めなかったバイトが含まれているため"
       "送信できません: a" +
           kMark + "FF"},
      {"FindFirst",
       [&] {
         FtpListing listing;
         RemoteEntry entry;
         return connection_.FindFirst("😀", listing, entry);
       },
       "フォルダー名に Shift_JIS で表せない文字「😀」が含まれているため送信できません: 😀"},
  };
  for (const auto& refused : kCases) {
    const size_t sent = server_->Commands().size();
    const FtpStatus status = refused.call();
    EXPECT_EQ(status.kind, FtpErrorKind::kNameNotRepresentable) << refused.operation;
    EXPECT_EQ(status.text, refused.text) << refused.operation;
    EXPECT_EQ(server_->Commands().size(), sent) << refused.operation << " sent something";
  }
  EXPECT_FALSE(connection_.CanWriteName("café.txt"));
  EXPECT_TRUE(connection_.CanWriteName("カフェ.txt"));
  EXPECT_TRUE(connection_.IsOpen());
  EXPECT_TRUE(connection_.ChangeFolder("日本").ok()) << "the connection is still in step";
}

TEST_F(NameWireTest, LoginFolderKeepsTheServersBytesWhenPathsAreJoinedToIt) {
  // "/ホーム" in Shift_JIS; its last byte is "\" in ASCII.
  const std::string home = "/\x83\x7A\x81\x5B\x83\x80\x83\x5C";
  Serve("", {.utf8 = false, .loginFolder = home});
  Connect(NameEncoding::kShiftJis);
  ASSERT_TRUE(connection_.ChangeFolder("公開").ok());
  EXPECT_EQ(LastCommand(), "CWD " + home + "/\x8C\xF6\x8A\x4A");
}

TEST_F(NameWireTest, AutoTakesShiftJisFromTheLoginFolder) {
  Serve("", {.utf8 = false, .loginFolder = "/\x83\x7A\x81\x5B\x83\x80"});
  Connect(NameEncoding::kAuto);
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kShiftJis);
  EXPECT_EQ(notices_, std::vector<std::string>{
                          "Names on 127.0.0.1 are Shift_JIS, not UTF-8 : converting them from "
                          "now on"});
}

TEST_F(NameWireTest, AutoTurnsToShiftJisWithinAListingAndConvertsAllOfIt) {
  // The undecided name comes before the one that decides: it is held back
  // and comes out converted too.
  Serve(Mlsd("file", "index.html") + Mlsd("file", "\xFF\xFE.bin") +
            Mlsd("dir", "\x93\xFA\x96\x7B") + Mlsd("file", "\x83\x5C\x81\x5B\x83\x58.txt"),
        {.utf8 = false});
  Connect(NameEncoding::kAuto);
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kUtf8);
  EXPECT_TRUE(server_->CommandsStartingWith("OPTS UTF8").empty());

  EXPECT_EQ(ListNames(""), (std::vector<std::string>{"index.html", kMark + "FF" + kMark + "FE.bin",
                                                     "日本", "ソース.txt"}));
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kShiftJis);
  EXPECT_EQ(notices_, std::vector<std::string>{
                          "Names on 127.0.0.1 are Shift_JIS, not UTF-8 : converting them from "
                          "now on"});
  ASSERT_TRUE(connection_.ChangeFolder("日本").ok());
  EXPECT_EQ(LastCommand(), "CWD /\x93\xFA\x96\x7B");
  ListNames("");
  EXPECT_EQ(notices_.size(), 1u) << "decided once for the connection";
}

// Once decided, a name in the other encoding ends the listing: taking it
// would convert the site.
TEST_F(NameWireTest, AutoStaysUtf8OnceAUtf8NameIsListed) {
  Serve(Mlsd("file", "日本.txt") + Mlsd("file", "\x93\xFA\x96\x7B.txt"), {.utf8 = false});
  Connect(NameEncoding::kAuto);
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection_.FindFirst("", listing, entry).ok());
  EXPECT_EQ(entry.name, "日本.txt");
  const FtpStatus status = listing.Next(entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kNameEncodingMismatch) << status.text;
  EXPECT_NE(status.text.find("Shift_JIS"), std::string::npos) << status.text;
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kUtf8);
  EXPECT_TRUE(notices_.empty());
  ASSERT_TRUE(connection_.CreateFolder("日本").ok());
  EXPECT_EQ(LastCommand(), "MKD /日本");
}

TEST_F(NameWireTest, AutoKeepsNamesThatDecideNothingAsTheirBytes) {
  Serve(Mlsd("file", "\xFF.bin") + Mlsd("file", "a.txt"), {.utf8 = false});
  Connect(NameEncoding::kAuto);
  EXPECT_EQ(ListNames(""), (std::vector<std::string>{"\xFF.bin", "a.txt"}));
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kUtf8);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(NameWireTest, AutoWithUtf8InFeatIsUtf8ForGood) {
  Serve(Mlsd("file", "\xFF.bin") + Mlsd("file", "\x93\xFA\x96\x7B.txt"));
  Connect(NameEncoding::kAuto);
  EXPECT_EQ(server_->CommandsStartingWith("OPTS UTF8"), std::vector<std::string>{"OPTS UTF8 ON"});
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection_.FindFirst("", listing, entry).ok());
  EXPECT_EQ(entry.name, "\xFF.bin");
  EXPECT_EQ(listing.Next(entry).kind, FtpErrorKind::kNameEncodingMismatch);
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kUtf8);
  EXPECT_TRUE(notices_.empty());
}

// What an earlier run decided is where 自動 starts, whatever FEAT says; a
// name that contradicts it ends the listing. Only 自動 takes it.
TEST_F(NameWireTest, AutoStartsWithWhatAnEarlierRunDecided) {
  Serve(Mlsd("file", "\x93\xFA\x96\x7B.txt") + Mlsd("file", "日本.txt"));  // UTF8 in FEAT
  Connect(NameEncoding::kAuto, NameEncoding::kShiftJis);
  EXPECT_TRUE(server_->CommandsStartingWith("OPTS UTF8").empty());
  EXPECT_TRUE(connection_.NameEncodingSettled());
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kShiftJis);
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection_.FindFirst("", listing, entry).ok());
  EXPECT_EQ(entry.name, "日本.txt");
  const FtpStatus status = listing.Next(entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kNameEncodingMismatch) << status.text;
  EXPECT_NE(status.text.find("Shift_JIS と判定しましたが、UTF-8 の名前があります"),
            std::string::npos)
      << status.text;
  EXPECT_TRUE(notices_.empty());

  connection_.Close();
  Connect(NameEncoding::kUtf8, NameEncoding::kShiftJis);
  EXPECT_EQ(connection_.NameEncodingInUse(), NameEncoding::kUtf8);
  EXPECT_EQ(ListNames("").size(), 2u) << "a chosen encoding checks nothing";
}

// ---------------------------------------------------------------------------
// Publish-like steps against the real server

struct PublishCase {
  const char* label;
  NameEncoding encoding;
  TestFtpServerOptions::Names serverNames;
  bool mlsd;
  NameEncoding inUse;  // once the first listing has been read
};

class NamePublishTest : public ::testing::TestWithParam<PublishCase> {
 protected:
  NamePublishTest()
      : server_(TestFtpServerOptions{.mlsd = GetParam().mlsd, .names = GetParam().serverNames}) {}
  void SetUp() override {
    // A server with Japanese names on it already, as the walk would find it.
    testing::WriteFile(server_.root() / "既存のページ.html", "old");
    server_.Start();
    FtpConnectOptions options;
    options.nameEncoding = GetParam().encoding;
    options.notice = [this](const std::string& line) { notices_.push_back(line); };
    const FtpStatus status = FtpSession("VELMORIX", kNormal, options)
                                 .Connect(server_.host(), server_.port(), TestFtpServer::kUser,
                                          TestFtpServer::kPassword, connection_);
    ASSERT_TRUE(status.ok()) << status.text;
  }
  std::vector<std::string> ListNames(std::string_view folder) {
    std::vector<std::string> names;
    FtpListing listing;
    RemoteEntry entry;
    FtpStatus status = connection_.FindFirst(folder, listing, entry);
    for (; status.ok(); status = listing.Next(entry))
      names.push_back(entry.name);
    EXPECT_EQ(status.kind, FtpErrorKind::kNoMoreFiles) << status.text << "\n" << server_.ReadLog();
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string LocalFile(const std::string& name, const std::string& content) {
    testing::WriteFile(local_.path() / name, content);
    return (local_.path() / name).string();
  }

  TestFtpServer server_;
  TempDir local_;
  FtpConnection connection_;
  std::vector<std::string> notices_;
};

INSTANTIATE_TEST_SUITE_P(
    Servers, NamePublishTest,
    ::testing::Values(
        PublishCase{"ShiftJisMlsd", NameEncoding::kShiftJis, TestFtpServerOptions::Names::kShiftJis,
                    true, NameEncoding::kShiftJis},
        PublishCase{"ShiftJisList", NameEncoding::kShiftJis, TestFtpServerOptions::Names::kShiftJis,
                    false, NameEncoding::kShiftJis},
        PublishCase{"EucJpMlsd", NameEncoding::kEucJp, TestFtpServerOptions::Names::kEucJp, true,
                    NameEncoding::kEucJp},
        PublishCase{"AutoOnShiftJisMlsd", NameEncoding::kAuto,
                    TestFtpServerOptions::Names::kShiftJis, true, NameEncoding::kShiftJis},
        PublishCase{"AutoOnShiftJisList", NameEncoding::kAuto,
                    TestFtpServerOptions::Names::kShiftJis, false, NameEncoding::kShiftJis},
        PublishCase{"Utf8", NameEncoding::kUtf8, TestFtpServerOptions::Names::kUtf8, true,
                    NameEncoding::kUtf8},
        PublishCase{"AutoOnUtf8", NameEncoding::kAuto, TestFtpServerOptions::Names::kUtf8, true,
                    NameEncoding::kUtf8}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_P(NamePublishTest, JapaneseNamesRoundTripThroughCreateUploadListAndRemove) {
  EXPECT_EQ(ListNames(""), std::vector<std::string>{"既存のページ.html"});
  EXPECT_EQ(connection_.NameEncodingInUse(), GetParam().inUse);
  const bool found =
      GetParam().encoding == NameEncoding::kAuto && GetParam().inUse != NameEncoding::kUtf8;
  EXPECT_EQ(notices_.size(), found ? 1u : 0u);

  // "表示" and "ソース" end in bytes that are "\" in ASCII in Shift_JIS.
  const std::vector<std::string> names = {"ｶﾀｶﾅ.txt", "ソース.txt", "報告書 第2版.txt",
                                          "表示.html"};
  ASSERT_TRUE(connection_.CreateFolder("公開フォルダ").ok()) << connection_.LastResponseText();
  ASSERT_TRUE(connection_.ChangeFolder("公開フォルダ").ok());
  for (const std::string& name : names) {
    const FtpStatus status = connection_.PutFile(LocalFile(name, "content of " + name), name);
    ASSERT_TRUE(status.ok()) << name << ": " << status.text << "\n" << server_.ReadLog();
  }
  for (const std::string& name : names) {
    EXPECT_EQ(testing::ReadFile(server_.root() / "公開フォルダ" / name), "content of " + name);
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(ListNames("公開フォルダ"), sorted);

  ASSERT_TRUE(connection_.ChangeFolder("公開フォルダ").ok());
  for (const std::string& name : names) {
    ASSERT_TRUE(connection_.DeleteFile(name).ok()) << name;
    EXPECT_FALSE(fs::exists(server_.root() / "公開フォルダ" / name)) << name;
  }
  ASSERT_TRUE(connection_.ChangeFolder("").ok());
  ASSERT_TRUE(connection_.RemoveFolder("公開フォルダ").ok());
  EXPECT_FALSE(fs::exists(server_.root() / "公開フォルダ"));
  EXPECT_EQ(notices_.size(), found ? 1u : 0u);
}

TEST_P(NamePublishTest, NamesTheEncodingCannotHoldNeverReachTheServer) {
  ListNames("");
  const FtpStatus upload = connection_.PutFile(LocalFile("upload", "data"), "café😀.txt");
  const FtpStatus folder = connection_.CreateFolder("한국어");
  if (GetParam().inUse == NameEncoding::kUtf8) {
    // As before: UTF-8 carries every name.
    EXPECT_TRUE(upload.ok()) << upload.text;
    EXPECT_TRUE(folder.ok()) << folder.text;
    EXPECT_EQ(testing::ReadFile(server_.root() / "café😀.txt"), "data");
    EXPECT_TRUE(fs::is_directory(server_.root() / "한국어"));
    return;
  }
  EXPECT_EQ(upload.kind, FtpErrorKind::kNameNotRepresentable);
  EXPECT_EQ(folder.kind, FtpErrorKind::kNameNotRepresentable);
  EXPECT_EQ(std::distance(fs::directory_iterator(server_.root()), fs::directory_iterator()), 1)
      << "nothing arrived";
  EXPECT_TRUE(connection_.CreateFolder("日本").ok()) << "the connection is still in step";
  EXPECT_TRUE(fs::is_directory(server_.root() / "日本"));
}

}  // namespace
}  // namespace velmorix
