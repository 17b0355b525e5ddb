// The SFTP client and its site against Debian's sshd on 127.0.0.1: host
// keys as OpenSSH checks them, the login methods in their order, what the
// walk does through the site, links, cancel and a server's limits.
#include "sftp/sftp_site.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mirror_walk.h"
#include "tests/support/scripted_console.h"
#include "tests/support/test_ssh_server.h"

namespace velmorix::sftp {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::TestSshServer;
using testing::WriteFile;

TEST(KnownHostsNameTest, NamesServerAsSshWritesIt) {
  const struct {
    const char* host;
    uint16_t port;
    const char* name;
  } cases[] = {
      {"Example.ORG", 22, "example.org"},  // port 22 is left out, as ssh leaves it out
      {"example.org", 2222, "[example.org]:2222"},
      {"192.0.2.7", 22, "192.0.2.7"},
      {"::1", 2200, "[::1]:2200"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KnownHostsName(c.host, c.port), c.name);
}

// A server per test, and known_hosts files of the test's own: the user's
// (read only) and the program's, both empty at first.
class SftpTest : public ::testing::Test {
 protected:
  explicit SftpTest(testing::TestSshServerOptions options = {}) : server_(std::move(options)) {}

  void SetUp() override {
    if (!TestSshServer::Available())
      GTEST_SKIP() << "sshd is not installed";
    server_.Start();
    options_.knownHosts.readOnly = {UserKnownHosts()};
    options_.knownHosts.own = OwnKnownHosts();
    options_.keyFiles = {server_.clientKey()};
    options_.useAgent = false;
    options_.timeouts.reply = std::chrono::seconds(10);
  }

  std::string UserKnownHosts() const { return (files_.path() / "user_known_hosts").string(); }
  std::string OwnKnownHosts() const { return (files_.path() / "config" / "known_hosts").string(); }
  void TrustServer() { WriteFile(OwnKnownHosts(), server_.KnownHostsLine() + "\n"); }

  FtpStatus Connect(SftpConnection& connection, const std::string& password = {}) {
    return connection.Connect(server_.host(), server_.port(), TestSshServer::User(), password,
                              options_);
  }

  TestSshServer server_;
  TempDir files_;
  SshConnectOptions options_;
};

// What the known_hosts files hold for the server before a connection.
enum class OnRecord { kNothing, kOwnKey, kHashedUserKey, kOtherKey, kRevokedKey };

struct HostKeyCase {
  const char* fault;
  OnRecord onRecord;
  std::optional<bool> answer;  // the question's answer; nullopt: no question can be asked
  bool trustFingerprint;       // the fingerprint is given as trusted (--trust-host-key)
  FtpErrorKind expected;
  bool asked;
  bool ownFileGainsKey;
};

class SftpHostKeyTest : public SftpTest, public ::testing::WithParamInterface<HostKeyCase> {};

TEST_P(SftpHostKeyTest, KeyIsCheckedAsOpenSshChecksIt) {
  const HostKeyCase& c = GetParam();
  const std::string name = "[127.0.0.1]:" + std::to_string(server_.port());
  switch (c.onRecord) {
    case OnRecord::kNothing:
      break;
    case OnRecord::kOwnKey:
      TrustServer();
      break;
    case OnRecord::kHashedUserKey:
      WriteFile(UserKnownHosts(), "# a comment, and a kind the library does not read\n" + name +
                                      " sk-ssh-ed25519@openssh.com AAAAGnNr\n" +
                                      server_.KnownHostsLine() + "\n");
      ASSERT_EQ(
          std::system(("ssh-keygen -q -H -f '" + UserKnownHosts() + "' >/dev/null 2>&1").c_str()),
          0);
      ASSERT_EQ(ReadFile(UserKnownHosts()).find("127.0.0.1"), std::string::npos);
      break;
    case OnRecord::kOtherKey:
    case OnRecord::kRevokedKey: {
      const std::string other = (files_.path() / "other").string();
      ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f '" + other + "'").c_str()), 0);
      std::string key = ReadFile(other + ".pub");
      key = key.substr(0, key.rfind(' '));
      WriteFile(UserKnownHosts(), name + " " + key + "\n");
      if (c.onRecord == OnRecord::kRevokedKey)
        WriteFile(OwnKnownHosts(), "@revoked " + server_.KnownHostsLine() + "\n");
      break;
    }
  }
  const std::string ownBefore = ReadFile(OwnKnownHosts());
  bool asked = false;
  HostKey shown;
  if (c.answer) {
    options_.hostKeyCheck = [&](const HostKey& key, std::string_view) {
      asked = true;
      shown = key;
      return *c.answer;
    };
  }
  if (c.trustFingerprint)
    options_.trustedFingerprint = server_.HostKeyFingerprint();

  SftpConnection connection;
  const FtpStatus status = Connect(connection);
  EXPECT_EQ(status.kind, c.expected) << status.text;
  EXPECT_EQ(asked, c.asked);
  if (asked) {
    // As ssh shows it: the kind, and the fingerprint ssh-keygen prints.
    EXPECT_EQ(shown.label, "ED25519");
    EXPECT_EQ(shown.fingerprint, server_.HostKeyFingerprint());
  }
  if (c.expected == FtpErrorKind::kHostKeyRefused) {
    EXPECT_NE(status.text.find(server_.HostKeyFingerprint()), std::string::npos) << status.text;
    EXPECT_EQ(connection.ssh().ServerKey().fingerprint, server_.HostKeyFingerprint());
    EXPECT_FALSE(connection.IsOpen());
  }
  if (c.onRecord == OnRecord::kOtherKey) {
    EXPECT_NE(status.text.find("REMOTE HOST IDENTIFICATION HAS CHANGED"), std::string::npos);
  }
  const std::string ownAfter = ReadFile(OwnKnownHosts());
  EXPECT_EQ(ownAfter == ownBefore + server_.KnownHostsLine() + "\n", c.ownFileGainsKey) << ownAfter;
  EXPECT_EQ(ReadFile(UserKnownHosts()).find(server_.KnownHostsLine()), std::string::npos)
      << "an accepted key went into the user's own known_hosts";

  if (c.ownFileGainsKey) {
    // Accepted once, known from then on: no question.
    options_.hostKeyCheck = [&](const HostKey&, std::string_view) {
      ADD_FAILURE() << "asked again";
      return false;
    };
    options_.trustedFingerprint.clear();
    SftpConnection again;
    EXPECT_TRUE(Connect(again).ok());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SftpHostKeyTest,
    ::testing::Values(HostKeyCase{"UnknownKeyWithoutQuestionIsRefused", OnRecord::kNothing,
                                  std::nullopt, false, FtpErrorKind::kHostKeyRefused, false, false},
                      HostKeyCase{"UnknownKeyDeclinedIsRefused", OnRecord::kNothing, false, false,
                                  FtpErrorKind::kHostKeyRefused, true, false},
                      HostKeyCase{"AcceptedKeyGoesToOwnFileOnly", OnRecord::kNothing, true, false,
                                  FtpErrorKind::kNone, true, true},
                      HostKeyCase{"TrustedFingerprintIsTakenWithoutQuestion", OnRecord::kNothing,
                                  false, true, FtpErrorKind::kNone, false, true},
                      HostKeyCase{"KeyInOwnFileIsKnown", OnRecord::kOwnKey, false, false,
                                  FtpErrorKind::kNone, false, false},
                      HostKeyCase{"HashedEntryOfUserFileIsKnown", OnRecord::kHashedUserKey, false,
                                  false, FtpErrorKind::kNone, false, false},
                      HostKeyCase{"ChangedKeyIsRefusedWithoutQuestion", OnRecord::kOtherKey, true,
                                  true, FtpErrorKind::kHostKeyRefused, false, false},
                      HostKeyCase{"RevokedKeyIsRefusedWithoutQuestion", OnRecord::kRevokedKey, true,
                                  true, FtpErrorKind::kHostKeyRefused, false, false}),
    [](const auto& info) { return std::string(info.param.fault); });

// A server with several host keys shows the one on record, as it does to
// ssh, whichever kind the library would take first.
class SftpKnownKindTest : public SftpTest, public ::testing::WithParamInterface<const char*> {
 protected:
  SftpKnownKindTest() : SftpTest({.maxSessions = {}, .hostKeyTypes = {"ed25519", "ecdsa"}}) {}
};

TEST_P(SftpKnownKindTest, KindOnRecordIsAskedFor) {
  const std::string type = GetParam();
  WriteFile(UserKnownHosts(), server_.KnownHostsLine(type) + "\n");
  SftpConnection connection;
  const FtpStatus status = Connect(connection);
  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_EQ(connection.ssh().ServerKey().fingerprint, server_.HostKeyFingerprint(type));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SftpKnownKindTest, ::testing::Values("ed25519", "ecdsa"));

enum class KeySource { kAgent, kPlainFile, kEncryptedFile, kStrangerFile };

struct LoginCase {
  const char* fault;
  KeySource source;
  std::optional<std::string> passphrase;  // the callback's answer
  std::string password;
  FtpErrorKind expected;
  SshLoginMethod method;
  std::vector<std::string> textHolds;  // for a failure: what was tried
};

// The password the login cases' server takes, where it can be given one.
constexpr const char* kPassword = "the password";

class SftpLoginTest : public SftpTest, public ::testing::WithParamInterface<LoginCase> {
 protected:
  SftpLoginTest() : SftpTest(Options()) {}
  static testing::TestSshServerOptions Options() {
    testing::TestSshServerOptions options;
    if (GetParam().password == kPassword && TestSshServer::CanTakePassword())
      options.password = kPassword;
    return options;
  }
};

TEST_P(SftpLoginTest, MethodsAreTriedInOrder) {
  const LoginCase& c = GetParam();
  if (c.password == kPassword && !TestSshServer::CanTakePassword())
    GTEST_SKIP() << "only root, where mount namespaces may be made, can give sshd a password";
  TrustServer();
  std::optional<testing::TestSshAgent> agent;
  switch (c.source) {
    case KeySource::kAgent:
      agent.emplace(server_.clientKey());
      options_.useAgent = true;
      options_.keyFiles = {server_.strangerKey()};
      break;
    case KeySource::kPlainFile:
      options_.keyFiles = {server_.strangerKey(), server_.clientKey()};
      break;
    case KeySource::kEncryptedFile:
      options_.keyFiles = {server_.encryptedClientKey()};
      break;
    case KeySource::kStrangerFile:
      options_.keyFiles = {server_.strangerKey()};
      break;
  }
  int asked = 0;
  options_.askPassphrase = [&](const std::string& keyFile) {
    ++asked;
    EXPECT_EQ(keyFile, server_.encryptedClientKey());
    return c.passphrase;
  };
  SftpConnection connection;
  const FtpStatus status = Connect(connection, c.password);
  ASSERT_EQ(status.kind, c.expected) << status.text;
  EXPECT_EQ(asked, c.source == KeySource::kEncryptedFile ? 1 : 0);
  EXPECT_EQ(connection.ssh().LoginMethod(), c.method);
  for (const std::string& part : c.textHolds)
    EXPECT_NE(status.text.find(part), std::string::npos) << status.text;
  if (status.ok()) {
    RemoteEntry entry;
    EXPECT_TRUE(connection.Stat(".", entry).ok());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SftpLoginTest,
                         ::testing::Values(LoginCase{"AgentKeyLogsInBeforeKeyFiles",
                                                     KeySource::kAgent,
                                                     {},
                                                     "",
                                                     FtpErrorKind::kNone,
                                                     SshLoginMethod::kAgent,
                                                     {}},
                                           LoginCase{"RefusedKeyFileMovesOnToNext",
                                                     KeySource::kPlainFile,
                                                     {},
                                                     "",
                                                     FtpErrorKind::kNone,
                                                     SshLoginMethod::kKeyFile,
                                                     {}},
                                           LoginCase{"EncryptedKeyTakesAskedPassphrase",
                                                     KeySource::kEncryptedFile,
                                                     std::string(TestSshServer::kPassphrase),
                                                     "",
                                                     FtpErrorKind::kNone,
                                                     SshLoginMethod::kKeyFile,
                                                     {}},
                                           LoginCase{"WrongPassphraseNamesKeyFile",
                                                     KeySource::kEncryptedFile,
                                                     std::string("wrong"),
                                                     "",
                                                     FtpErrorKind::kLoginFailed,
                                                     SshLoginMethod::kNone,
                                                     {"client_encrypted", "passphrase"}},
                                           LoginCase{"PasswordLogsInAfterTheKeys",
                                                     KeySource::kStrangerFile,
                                                     {},
                                                     kPassword,
                                                     FtpErrorKind::kNone,
                                                     SshLoginMethod::kPassword,
                                                     {}},
                                           LoginCase{"RefusedPasswordIsNamedWithTheKeysTried",
                                                     KeySource::kStrangerFile,
                                                     {},
                                                     "not the password",
                                                     FtpErrorKind::kLoginFailed,
                                                     SshLoginMethod::kNone,
                                                     {"client_stranger", "password", "publickey"}}),
                         [](const auto& info) { return std::string(info.param.fault); });

// The walk's sequence through the site, with temporary names: folders,
// uploads with exact times, a replace, deletions.
class SftpSiteTest : public SftpTest, public ::testing::WithParamInterface<int> {
 protected:
  SftpSiteTest() : SftpTest(Options()) {}
  static testing::TestSshServerOptions Options() {
    testing::TestSshServerOptions options;
    if (GetParam() > 0)
      options.deniedRequests = "posix-rename";
    return options;
  }
};

TEST_P(SftpSiteTest, PublishSequenceLeavesTheTreeWithExactTimes) {
  TrustServer();
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  UploadNaming naming;
  naming.temporary = true;
  naming.runTag = "t1";
  SftpSite site(connection, naming);
  const fs::path local = files_.path() / "local";
  WriteFile(local / "index.html", "first version");
  testing::SetFileTime(local / "index.html", 1'000'000'000);

  ASSERT_TRUE(site.CreateFolder("www").ok());
  ASSERT_TRUE(site.CreateFolder("www/日本語").ok());
  ASSERT_TRUE(site.ChangeFolder("www").ok());
  int64_t progressed = 0;
  ASSERT_TRUE(site.PutFile((local / "index.html").string(), "index.html",
                           [&](int64_t sent) { progressed = sent; }, UploadTarget::kNewFile)
                  .ok());
  EXPECT_EQ(progressed, 13);
  WriteFile(local / "index.html", "the second, longer version");
  testing::SetFileTime(local / "index.html", 1'200'000'000);
  const FtpStatus replaced =
      site.PutFile((local / "index.html").string(), "index.html", {}, UploadTarget::kExistingFile);
  ASSERT_TRUE(replaced.ok()) << replaced.text;
  EXPECT_EQ(ReadFile(server_.root() / "www" / "index.html"), "the second, longer version");
  // A file of the name that came to be there after the listing is replaced
  // all the same, and no temporary file stays.
  WriteFile(server_.root() / "www" / "late.txt", "someone else's");
  ASSERT_TRUE(
      site.PutFile((local / "index.html").string(), "late.txt", {}, UploadTarget::kNewFile).ok());
  EXPECT_EQ(ReadFile(server_.root() / "www" / "late.txt"), "the second, longer version");
  ASSERT_TRUE(site.DeleteFile("late.txt").ok());

  const FolderRead read = ReadFolder(site, {"www", ListingCommand::kPreferred});
  ASSERT_TRUE(read.Whole()) << read.opened.text;
  ASSERT_EQ(read.entries.size(), 2u) << "a temporary file stayed behind";
  for (const RemoteEntry& entry : read.entries) {
    if (entry.name == "index.html") {
      EXPECT_FALSE(entry.isDir);
      EXPECT_EQ(entry.size, 26);
      EXPECT_EQ(entry.lastWriteTime, 1'200'000'000);
      EXPECT_EQ(entry.timeKind, ListedTime::kUtc);
    } else {
      EXPECT_EQ(entry.name, "日本語");
      EXPECT_TRUE(entry.isDir);
    }
  }

  ASSERT_TRUE(site.DeleteFile("index.html").ok());
  ASSERT_TRUE(site.RemoveFolder("日本語").ok());
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry first;
  EXPECT_EQ(site.OpenListing("", ListingCommand::kPreferred, listing, first).kind,
            FtpErrorKind::kNoMoreFiles);
  EXPECT_TRUE(fs::is_empty(server_.root() / "www"));
  // The replace above went by posix-rename where the server takes it, and
  // by remove-then-rename once it refused it.
  EXPECT_EQ(connection.OffersPosixRename(), GetParam() == 0);
}

// 0: as sshd comes; 1: the server names posix-rename but refuses it, so the
// replace removes the old file first.
INSTANTIATE_TEST_SUITE_P(Channels, SftpSiteTest, ::testing::Values(0, 1));

using SftpServerTest = SftpTest;

TEST_F(SftpServerTest, LinkIsListedAsLinkNeverAsFolder) {
  TrustServer();
  fs::create_directories(server_.root() / "elsewhere");
  fs::create_directories(server_.root() / "www");
  fs::create_directory_symlink("../elsewhere", server_.root() / "www" / "to-folder");
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  SftpSite site(connection);
  const FolderRead read = ReadFolder(site, {"www", ListingCommand::kList});
  ASSERT_EQ(read.entries.size(), 1u);
  EXPECT_TRUE(read.entries[0].isLink);
  EXPECT_FALSE(read.entries[0].isDir);
  EXPECT_EQ(read.entries[0].size, -1);
  // Entering it follows it, as CWD does.
  EXPECT_TRUE(site.ChangeFolder("www/to-folder").ok());
}

TEST_F(SftpServerTest, RefusalsNameOperationPathAndStatus) {
  TrustServer();
  fs::create_directories(server_.root() / "full" / "child");
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  SftpSite site(connection);
  const struct {
    FtpStatus status;
    const char* holds;
  } cases[] = {
      {site.CreateFolder("missing/new"), "mkdir missing/new: SFTP status 2, no such file"},
      {site.RemoveFolder("full"), "rmdir full: SFTP status 4, failure"},
      {site.DeleteFile("absent.txt"), "remove absent.txt: SFTP status 2"},
      {site.ChangeFolder("absent"), "stat absent: SFTP status 2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.kind, FtpErrorKind::kServerReply) << c.holds;
    EXPECT_NE(c.status.text.find(c.holds), std::string::npos) << c.status.text;
  }
  EXPECT_TRUE(connection.IsOpen());
}

TEST_F(SftpServerTest, CancelDuringUploadStopsIt) {
  TrustServer();
  const fs::path big = files_.path() / "big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i)
      out << block;
  }
  std::atomic<bool> stop = false;
  options_.cancelCheck = [&] { return stop.load(); };
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  int64_t sentWhenStopped = 0;
  const FtpStatus status = connection.PutFile(big.string(), "big.bin", [&](int64_t sent) {
    if (!stop)
      sentWhenStopped = sent;
    stop = true;
  });
  EXPECT_EQ(status.kind, FtpErrorKind::kCanceled) << status.text;
  EXPECT_GT(sentWhenStopped, 0);
  EXPECT_LT(sentWhenStopped, int64_t{64} << 20);
  EXPECT_FALSE(connection.IsOpen());
  RemoteEntry entry;
  EXPECT_EQ(connection.Stat("big.bin", entry).kind, FtpErrorKind::kNotConnected);
}

// Uploads left going (the run's own connection): they end in the order
// they were started, a refused one leaves nothing behind (its temporary
// file is removed before the connection closes), and a cancel ends those
// still under way as canceled.
TEST_F(SftpServerTest, UploadsLeftGoingEndInOrder) {
  TrustServer();
  std::atomic<bool> stop = false;
  options_.cancelCheck = [&] { return stop.load(); };
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  const UploadNaming naming{.temporary = true, .runTag = "t2", .deferChecks = true};
  std::optional<SftpSite> site(std::in_place, connection, naming);
  const fs::path local = files_.path() / "local";
  WriteFile(local / "a.html", "a");
  WriteFile(local / "big.bin", std::string(3 << 20, 'b'));  // waited for, with its progress
  WriteFile(local / "c.html", "");
  testing::SetFileTime(local / "c.html", 1'300'000'000);
  ASSERT_TRUE(site->CreateFolder("www").ok());
  ASSERT_TRUE(site->CreateFolder("www/dir").ok());
  ASSERT_TRUE(site->ChangeFolder("www").ok());
  std::vector<int64_t> progress;
  auto put = [&](const char* file, const char* name) {
    return site->PutFile((local / file).string(), name,
                         [&](int64_t sent) { progress.push_back(sent); }, UploadTarget::kNewFile);
  };
  ASSERT_TRUE(put("a.html", "a.html").ok());
  ASSERT_TRUE(put("big.bin", "big.bin").ok());
  EXPECT_GT(progress.size(), 3u);
  ASSERT_TRUE(put("a.html", "absent/a.html").ok());  // its open is refused: no such folder
  ASSERT_TRUE(put("a.html", "dir").ok());            // its rename is refused: a folder
  ASSERT_TRUE(put("c.html", "c.html").ok());
  EXPECT_EQ(put("missing.html", "m.html").kind, FtpErrorKind::kSystem);

  const std::vector<CheckedUpload> ended = site->TakeCheckedUploads(true);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"www/a.html", ""},
      {"www/big.bin", ""},
      {"www/absent/a.html", "open www/absent/"},
      {"www/dir", "rename www/"},
      {"www/c.html", ""}};
  ASSERT_EQ(ended.size(), expected.size());
  for (size_t i = 0; i < ended.size(); ++i) {
    EXPECT_EQ(ended[i].path, expected[i].first);
    EXPECT_EQ(ended[i].status.ok(), expected[i].second.empty()) << ended[i].status.text;
    EXPECT_TRUE(ended[i].status.text.starts_with(expected[i].second)) << ended[i].status.text;
  }
  site.reset();
  connection.Close();
  std::set<std::string> names;
  for (const auto& each : fs::directory_iterator(server_.root() / "www"))
    names.insert(each.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"a.html", "big.bin", "c.html", "dir"}));
  EXPECT_EQ(fs::file_size(server_.root() / "www" / "big.bin"), 3u << 20);
  struct stat uploaded;
  ASSERT_EQ(stat((server_.root() / "www" / "c.html").c_str(), &uploaded), 0);
  EXPECT_EQ(uploaded.st_mtime, 1'300'000'000);

  ASSERT_TRUE(Connect(connection).ok());
  site.emplace(connection, naming);
  ASSERT_TRUE(put("a.html", "again.html").ok());
  stop = true;
  const std::vector<CheckedUpload> canceled = site->TakeCheckedUploads(true);
  ASSERT_EQ(canceled.size(), 1u);
  EXPECT_EQ(canceled[0].status.kind, FtpErrorKind::kCanceled) << canceled[0].status.text;
  EXPECT_FALSE(connection.IsOpen());
}

// The real walk through the site: a first publish mirrors the tree and
// prunes, and with 日付の新しいもののみ the re-run finds nothing to send,
// because the server's times are the local files' to the second.
TEST_F(SftpServerTest, WalkRepublishesNothingOnSecondRun) {
  TrustServer();
  const fs::path local = files_.path() / "local";
  // Later than the uploads: a server file that kept its upload's time
  // would look older and be sent again.
  const int64_t later = std::time(nullptr) + 86400;
  for (const char* name : {"index.html", "sub/a.html", "sub/deeper/b.html"}) {
    WriteFile(local / name, std::string("content of ") + name);
    testing::SetFileTime(local / name, later);
  }
  WriteFile(server_.root() / "site" / "gone.html", "not local");
  SftpConnection connection;
  ASSERT_TRUE(Connect(connection).ok());
  SftpSite site(connection);
  WalkRules rules;
  rules.options.onlyNewer = 1;
  rules.options.deleteOnServer = 1;
  const std::string remote = (server_.root() / "site").string();
  auto walk = [&](testing::ScriptedConsole& console) {
    CancelEvent cancelEvent;
    RunOutput output(console, cancelEvent, {}, RunMode::kPublish);
    return MirrorDirectory({site, output, rules}, local.string(), remote);
  };
  auto uploads = [](const testing::ScriptedConsole& console) {
    return std::count_if(console.lines.begin(), console.lines.end(), [](const std::string& line) {
      return line.starts_with("Copy file to FTP");
    });
  };

  testing::ScriptedConsole first;
  ASSERT_EQ(walk(first), RunResult::kCompleted) << ::testing::PrintToString(first.errors);
  EXPECT_EQ(uploads(first), 3);
  EXPECT_EQ(ReadFile(server_.root() / "site" / "sub" / "deeper" / "b.html"),
            "content of sub/deeper/b.html");
  EXPECT_FALSE(fs::exists(server_.root() / "site" / "gone.html"));

  testing::ScriptedConsole second;
  ASSERT_EQ(walk(second), RunResult::kCompleted) << ::testing::PrintToString(second.errors);
  EXPECT_EQ(uploads(second), 0) << ::testing::PrintToString(second.lines);
}

struct LimitCase {
  const char* fault;
  int maxStartups;
  std::optional<int> maxSessions;
  const char* holds;
};

class SftpLimitTest : public SftpTest, public ::testing::WithParamInterface<LimitCase> {
 protected:
  SftpLimitTest()
      : SftpTest({.maxStartups = GetParam().maxStartups, .maxSessions = GetParam().maxSessions}) {}
};

TEST_P(SftpLimitTest, ServerLimitGivesClearError) {
  TrustServer();
  // One connection that has not logged in yet fills MaxStartups 1.
  const UniqueFd held = GetParam().maxStartups > 0 ? server_.HoldConnection() : UniqueFd();
  ASSERT_EQ(held.valid(), GetParam().maxStartups > 0);
  SftpConnection connection;
  const FtpStatus status = Connect(connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_NE(status.text.find(GetParam().holds), std::string::npos) << status.text;
  EXPECT_FALSE(connection.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SftpLimitTest,
    ::testing::Values(LimitCase{"ConnectionsBeyondMaxStartups", 1, std::nullopt,
                                "only so many connections at once"},
                      LimitCase{"NoSessionAllowed", 0, 0, "only so many sessions at once"}),
    [](const auto& info) { return std::string(info.param.fault); });

}  // namespace
}  // namespace velmorix::sftp
