// A transfer run from its start to its completion notice, against a real FTP
// server: the source folder check, connecting, entering the remote folder,
// cancelling before the walk, a server that dies or freezes, and the log.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/user_folders.h"
#include "engine/program_files.h"
#include "engine/transfer_run.h"
#include "settings/destinations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

const std::string kLocalPathRefused = "パラメタ指定の誤りです。[ローカルディスクパス]";
const std::string kServerPathRefused = "パラメタ指定の誤りです。[ＦＴＰサーバーパス]";

// --- Data connection modes -------------------------------------------------------

// One publish per server and mode: the data is the same whatever the mode,
// and where a mode cannot work the run says so.
struct DataModeCase {
  const char* name;
  TestFtpServerOptions server;
  int32_t mode;
  CompletionCode completion;
  const char* line;  // a console line the run shows; "" for none of its own
};

void PrintTo(const DataModeCase& c, std::ostream* out) {
  *out << c.name;
}

class DataModeTest : public EngineTest, public ::testing::WithParamInterface<DataModeCase> {
 protected:
  DataModeTest() : EngineTest(GetParam().server) {}
};

INSTANTIATE_TEST_SUITE_P(
    Servers, DataModeTest,
    ::testing::Values(
        DataModeCase{"AutoIsPassive", {}, kDataModeAuto, CompletionCode::kCompleted, ""},
        DataModeCase{"Passive", {}, kDataModePassive, CompletionCode::kCompleted, ""},
        DataModeCase{"Active", {}, kDataModeActive, CompletionCode::kCompleted, ""},
        DataModeCase{"PassiveWithoutMlsd",
                     {.mlsd = false},
                     kDataModePassive,
                     CompletionCode::kCompleted,
                     ""},
        DataModeCase{"AutoTurnsActiveWhenPassiveIsRefused",
                     {.passive = TestFtpServerOptions::Passive::kRefused},
                     kDataModeAuto,
                     CompletionCode::kCompleted,
                     "Passive mode failed, using active mode from now on : "},
        DataModeCase{"PassiveRefusedFails",
                     {.passive = TestFtpServerOptions::Passive::kRefused},
                     kDataModePassive,
                     CompletionCode::kFailed,
                     ""},
        DataModeCase{"AutoTurnsActiveWhenThePassivePortIsSilent",
                     {.passive = TestFtpServerOptions::Passive::kSilent},
                     kDataModeAuto,
                     CompletionCode::kCompleted,
                     "Passive mode failed, using active mode from now on : "},
        DataModeCase{"AutoStaysPassiveWhenNothingConnectsBack",
                     {.noConnectBack = true},
                     kDataModeAuto,
                     CompletionCode::kCompleted,
                     ""},
        DataModeCase{"ActiveFailsWhenNothingConnectsBack",
                     {.noConnectBack = true},
                     kDataModeActive,
                     CompletionCode::kFailed,
                     ""},
        DataModeCase{"MasqueradedAddressIsReplacedByTheServers",
                     {.mlsd = false,
                      .passive = TestFtpServerOptions::Passive::kPasvOnly,
                      .masquerade = "10.255.255.1"},
                     kDataModePassive,
                     CompletionCode::kCompleted,
                     "Passive mode : the server named 10.255.255.1, connecting to 127.0.0.1 "
                     "instead"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(DataModeTest, SameDataWhateverTheModeOrTheReasonWhyNot) {
  const DataModeCase& c = GetParam();
  profile.dataMode = c.mode;
  timeouts.data = std::chrono::milliseconds(1500);
  timeouts.passiveConnect = std::chrono::milliseconds(500);
  WriteFile(Local("index.html"), "page");
  WriteFile(Local("sub/deep.txt"), "deep");

  ASSERT_EQ(Publish(), c.completion) << Transcript();

  if (c.completion == CompletionCode::kCompleted) {
    EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"index.html", "sub/", "sub/deep.txt"}));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy file to FTP : /site/index.html",
                                                    "Create Directory on FTP : /site/sub",
                                                    "Copy file to FTP : /site/sub/deep.txt"}))
        << Transcript();
    EXPECT_TRUE(console().errors.empty()) << Transcript();
  } else {
    // The first data connection is the listing of the remote folder.
    EXPECT_EQ(console().errors, std::vector<std::string>{"ERROR AT FTP FINDFIRSTFILE!"});
  }
  if (*c.line != '\0') {
    EXPECT_EQ(console().LinesStartingWith(c.line).size(), 1u) << Transcript();
  } else {
    EXPECT_TRUE(console().LinesStartingWith("Passive mode").empty()) << Transcript();
  }
}

// --- What 自動 learns about data connections -------------------------------------

// A destination at 自動 keeps that passive mode failed and active mode
// worked, starts its later runs in active mode without trying passive
// mode, and forgets it once active mode fails too.
struct LearnedModeCase {
  const char* name;
  TestFtpServerOptions server;
  int32_t learnedBefore;  // the destination's autoDataMode
  CompletionCode completion;
  bool passiveTried;  // EPSV or PASV was sent
  std::optional<int32_t> learned;
};

void PrintTo(const LearnedModeCase& c, std::ostream* out) {
  *out << c.name;
}

class LearnedDataModeTest : public EngineTest,
                            public ::testing::WithParamInterface<LearnedModeCase> {
 protected:
  LearnedDataModeTest() : EngineTest(GetParam().server) {}
};

INSTANTIATE_TEST_SUITE_P(
    Servers, LearnedDataModeTest,
    ::testing::Values(LearnedModeCase{"SilentPassivePortIsLearned",
                                      {.passive = TestFtpServerOptions::Passive::kSilent},
                                      kDataModeAuto,
                                      CompletionCode::kCompleted,
                                      true,
                                      kDataModeActive},
                      LearnedModeCase{"LearnedRunStartsActive",
                                      {.passive = TestFtpServerOptions::Passive::kSilent},
                                      kDataModeActive,
                                      CompletionCode::kCompleted,
                                      false,
                                      std::nullopt},
                      LearnedModeCase{"WorkingPassiveLearnsNothing",
                                      {},
                                      kDataModeAuto,
                                      CompletionCode::kCompleted,
                                      true,
                                      std::nullopt},
                      LearnedModeCase{"FailingActiveIsForgotten",
                                      {.noConnectBack = true},
                                      kDataModeActive,
                                      CompletionCode::kFailed,
                                      false,
                                      kDataModeAuto}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(LearnedDataModeTest, RunsStartWithWhatAutoLearned) {
  const LearnedModeCase& c = GetParam();
  profile.autoDataMode = c.learnedBefore;
  timeouts.data = std::chrono::milliseconds(1500);
  timeouts.passiveConnect = std::chrono::milliseconds(500);
  WriteFile(Local("index.html"), "page");

  ASSERT_EQ(Publish(), c.completion) << Transcript();

  bool passiveTried = false;
  for (const std::string& command : server_.Commands())
    passiveTried = passiveTried || command.ends_with(" EPSV") || command.ends_with(" PASV");
  EXPECT_EQ(passiveTried, c.passiveTried) << Transcript();
  EXPECT_EQ(learned.autoDataMode, c.learned) << Transcript();
}

// --- Data that does not come whole ---------------------------------------------
//
// What a host, or someone between, can do to a data connection, over plain
// FTP and over TLS: the run must never pass a cut transfer for a whole one,
// nor believe a cut listing, nor give data to another server than the one
// it verified, nor wait for ever.
enum class Fault {
  kNone,
  kUploadResetHalfway,   // the upload is read 10,000 bytes far, reset, and answered 226
  kImpostorOnUpload,     // the data port shows another certificate (TLS only)
  kImpostorOnListing,    // ... and closes at once
  kListingCutMidLine,    // the data ends within a line (TLS: without close_notify), 226
  kListingCutAtLineEnd,  // the data ends after a whole line (TLS: without close_notify), 226
  kTrickleAfterUpload,   // a byte every 300 ms after the upload, never an answer
};

struct FaultCase {
  const char* name;
  Fault fault;
  bool tls;
  CompletionCode completion;
  bool reasonShown;  // the box names the TLS failure
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

class DataFaultTest : public ScriptedEngineTest, public ::testing::WithParamInterface<FaultCase> {
 protected:
  TrustStore store_{true};
};

INSTANTIATE_TEST_SUITE_P(
    Faults, DataFaultTest,
    ::testing::Values(FaultCase{"NonePlain", Fault::kNone, false, CompletionCode::kCompleted,
                                false},
                      FaultCase{"NoneTls", Fault::kNone, true, CompletionCode::kCompleted, false},
                      FaultCase{"UploadResetHalfwayPlain", Fault::kUploadResetHalfway, false,
                                CompletionCode::kFailed, false},
                      FaultCase{"UploadResetHalfwayTls", Fault::kUploadResetHalfway, true,
                                CompletionCode::kFailed, false},
                      FaultCase{"ImpostorOnUploadTls", Fault::kImpostorOnUpload, true,
                                CompletionCode::kFailed, true},
                      FaultCase{"ImpostorOnListingTls", Fault::kImpostorOnListing, true,
                                CompletionCode::kFailed, true},
                      FaultCase{"ListingCutMidLinePlain", Fault::kListingCutMidLine, false,
                                CompletionCode::kFailed, false},
                      FaultCase{"ListingCutMidLineTls", Fault::kListingCutMidLine, true,
                                CompletionCode::kFailed, false},
                      // Plain FTP has nothing that could tell this cut from the end.
                      FaultCase{"ListingCutAtLineEndPlain", Fault::kListingCutAtLineEnd, false,
                                CompletionCode::kCompleted, false},
                      FaultCase{"ListingCutAtLineEndTls", Fault::kListingCutAtLineEnd, true,
                                CompletionCode::kFailed, false},
                      FaultCase{"TrickleAfterUploadPlain", Fault::kTrickleAfterUpload, false,
                                CompletionCode::kFailed, false},
                      FaultCase{"TrickleAfterUploadTls", Fault::kTrickleAfterUpload, true,
                                CompletionCode::kFailed, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(DataFaultTest, CutOrForeignDataFailsTheRunAndChangesNothingElse) {
  const FaultCase& c = GetParam();
  const TestCertificates& certificates = TestCertificates::Get();
  const std::string page(100000, 'p');
  WriteFile(Local("page.html"), page);
  // The server's folder, whole: "old.html" would be deleted, "page.html" is
  // up to date unless the listing is cut before it.
  const std::string lines =
      Mlsd("file", "old.html") + "type=file;modify=20990101000000; page.html\r\n";
  ScriptedFtpServer::Listing listing{.data = lines};
  const bool listingFault =
      c.fault == Fault::kListingCutMidLine || c.fault == Fault::kListingCutAtLineEnd;
  if (c.fault == Fault::kListingCutMidLine)
    listing.data = lines.substr(0, lines.size() - 8);
  if (c.fault == Fault::kListingCutAtLineEnd)
    listing.data = Mlsd("file", "old.html");
  listing.closeNotify = !listingFault;
  if (c.fault == Fault::kImpostorOnListing)
    listing.data.clear();
  const bool uploads = !listingFault && c.fault != Fault::kImpostorOnListing;
  if (uploads)
    listing.connect = false;  // an empty folder: page.html is uploaded
  Serve(
      [listing](std::string_view, const std::string&) { return listing; },
      {.tlsPem = c.tls ? certificates.signedPem : "",
       .dataTlsPem = c.fault == Fault::kImpostorOnUpload || c.fault == Fault::kImpostorOnListing
                         ? certificates.wrongNamePem
                         : "",
       .resetUploadAfter = c.fault == Fault::kUploadResetHalfway ? 10000 : -1,
       .trickleAfterUpload = c.fault == Fault::kTrickleAfterUpload ? std::chrono::milliseconds(300)
                                                                   : std::chrono::milliseconds(0)});
  profile.dataMode = kDataModeActive;
  profile.security = c.tls ? kSecurityTlsRequired : kSecurityNone;
  profile.options.onlyNewer = 1;
  profile.options.deleteOnServer = 1;
  timeouts.data = std::chrono::milliseconds(1500);
  const auto started = std::chrono::steady_clock::now();

  ASSERT_EQ(Publish(), c.completion) << Transcript();

  // Bounded by the time-outs, not by what the server keeps sending.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
  const auto stored = scripted().Stored();
  if (c.completion == CompletionCode::kCompleted) {
    EXPECT_TRUE(console().errors.empty()) << Transcript();
    EXPECT_EQ(scripted().CommandsStartingWith("DELE").size(), uploads ? 0u : 1u) << Transcript();
  } else {
    ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
    EXPECT_EQ(console().boxes[0].find("TLS: データ接続のサーバー証明書") != std::string::npos,
              c.reasonShown)
        << console().boxes[0];
    // A broken listing is believed in no part.
    if (!uploads) {
      EXPECT_TRUE(scripted().CommandsStartingWith("DELE").empty()) << Transcript();
      EXPECT_TRUE(stored.empty()) << Transcript();
    }
  }
  if (c.fault == Fault::kImpostorOnUpload) {
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].second.size(), 0u) << "the impostor got bytes of the file";
  }
  if (c.fault == Fault::kNone) {
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored[0].second == page);
  }
}

// --- FTPS -------------------------------------------------------------------------

// A server with a self-signed certificate that demands TLS and session reuse
// on every data connection: the run asks about the certificate (or takes the
// one accepted before), publishes and lists over TLS, and tells the front
// end what to keep.
struct TlsRunCase {
  const char* name;
  int32_t mode;
  bool answer;         // to the certificate question
  bool trustedBefore;  // the destination keeps the certificate's fingerprint
  CompletionCode completion;
  bool asked;
};

void PrintTo(const TlsRunCase& c, std::ostream* out) {
  *out << c.name;
}

class TlsRunTest : public EngineTest, public ::testing::WithParamInterface<TlsRunCase> {
 protected:
  TlsRunTest()
      : EngineTest({.tlsCertificate = TestCertificates::Get().selfSignedPem,
                    .tlsRequired = true,
                    .tlsRequireReuse = true}) {}

  TrustStore store_{true};
};

INSTANTIATE_TEST_SUITE_P(Certificates, TlsRunTest,
                         ::testing::Values(TlsRunCase{"AcceptedPassive", kDataModePassive, true,
                                                      false, CompletionCode::kCompleted, true},
                                           TlsRunCase{"AcceptedActive", kDataModeActive, true,
                                                      false, CompletionCode::kCompleted, true},
                                           TlsRunCase{"RefusedEndsTheRunBeforeLogin", kDataModeAuto,
                                                      false, false, CompletionCode::kFailed, true},
                                           TlsRunCase{"TrustedBeforeIsNotAskedAgain", kDataModeAuto,
                                                      false, true, CompletionCode::kCompleted,
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(TlsRunTest, CertificateIsAskedAboutOnceAndWhatWasLearnedIsHandedBack) {
  const TlsRunCase& c = GetParam();
  const std::string fingerprint = TestCertificates::Get().selfSignedFingerprint;
  profile.dataMode = c.mode;
  profile.security = kSecurityTlsIfAvailable;
  profile.trustedFingerprint = c.trustedBefore ? fingerprint : "";
  console().TrustCertificates(c.answer);
  WriteFile(Local("index.html"), "page");
  WriteFile(Local("sub/deep.txt"), std::string(1 << 20, 'x'));

  ASSERT_EQ(Publish(), c.completion) << Transcript() << server_.ReadLog();

  ASSERT_EQ(console().certificates.size(), c.asked ? 1u : 0u) << Transcript();
  if (c.asked) {
    EXPECT_EQ(console().certificates[0].fingerprint, fingerprint);
    const auto question =
        std::find_if(console().events.begin(), console().events.end(),
                     [](const std::string& event) { return event.starts_with("certificate: "); });
    ASSERT_NE(question, console().events.end());
    EXPECT_NE(question->find("SHA-256 フィンガープリント: " + fingerprint), std::string::npos)
        << *question;
  }
  EXPECT_EQ(learned.connectedWithTls, c.completion == CompletionCode::kCompleted);
  EXPECT_EQ(learned.acceptedFingerprint, c.asked && c.answer ? fingerprint : "");
  if (c.completion != CompletionCode::kCompleted) {
    EXPECT_TRUE(Tree(Remote()).empty());
    ASSERT_EQ(console().errors.size(), 1u);
    EXPECT_NE(console().errors[0].find(fingerprint), std::string::npos) << console().errors[0];
    return;
  }
  EXPECT_EQ(ReadFile(Remote("sub/deep.txt")), std::string(1 << 20, 'x'));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy file to FTP : /site/index.html",
                                                  "Create Directory on FTP : /site/sub",
                                                  "Copy file to FTP : /site/sub/deep.txt"}));
  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();
  EXPECT_NE(LogText().find("index.html"), std::string::npos) << LogText();
}

// --- The source folder check ---------------------------------------------------

class SourceFolderCheckTest : public EngineTest {
 protected:
  void ExpectRefused() {
    EXPECT_EQ(Publish(), std::nullopt);
    EXPECT_EQ(console().errors, std::vector<std::string>{kLocalPathRefused});
    EXPECT_TRUE(console().lines.empty()) << Transcript();
    EXPECT_EQ(console().runModalCalls, 0);
    EXPECT_EQ(console().doneCalls, 0);
    EXPECT_FALSE(fs::exists(logPath)) << "a refused run must not touch the log";
  }
};

TEST_F(SourceFolderCheckTest, MissingFolderIsRefusedBeforeAnyThreadStarts) {
  profile.localDir = Local("does-not-exist").string();
  ExpectRefused();
}

TEST_F(SourceFolderCheckTest, RegularFileIsRefused) {
  WriteFile(Local("file.txt"), "x");
  profile.localDir = Local("file.txt").string();
  ExpectRefused();
}

TEST_F(SourceFolderCheckTest, EmptyPathIsRefused) {
  profile.localDir = "";
  ExpectRefused();
}

TEST_F(SourceFolderCheckTest, HiddenReadOnlyFolderIsASoundSource) {
  WriteFile(Local(".site/a.txt"), "a");
  fs::permissions(Local(".site"), fs::perms::owner_read | fs::perms::owner_exec);
  profile.localDir = Local(".site").string();

  EXPECT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(Remote("a.txt")), "a");
}

TEST_F(SourceFolderCheckTest, TrailingSlashIsASoundSource) {
  WriteFile(Local("sub/a.txt"), "a");
  profile.localDir = Local().string() + "/";

  EXPECT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(Remote("sub/a.txt")), "a");
  // Paths are joined as given, never normalised.
  EXPECT_TRUE(console().Showed("Serching Local HDD processing...at " + Local().string() + "//sub"))
      << Transcript();
}

TEST_F(SourceFolderCheckTest, RootFolderIsASoundSource) {
  // A remote folder that does not exist stops the run right after the check.
  profile.localDir = "/";
  profile.remoteDir = "/no-such-folder";

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors, std::vector<std::string>{kServerPathRefused});
}

// --- Connecting and entering the remote folder ---------------------------------

class ConnectTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteFile(Local("a.txt"), "a");
  }
  std::vector<std::string> ConnectLines() const {
    return {"Velmorix Started...", "Connect to " + profile.url + " processing..."};
  }
};

TEST_F(ConnectTest, CompletedRunPostsCodeTwoAfterItsLastLine) {
  EXPECT_EQ(Publish(), CompletionCode::kCompleted);

  EXPECT_EQ(console().doneCalls, 1);
  EXPECT_EQ(console().runModalCalls, 1);
  ASSERT_GE(console().events.size(), 2u);
  EXPECT_EQ(console().events[console().events.size() - 2],
            "line: Velmorix Successfully completed!");
  EXPECT_EQ(console().events.back(), "done: 2");
}

TEST_F(ConnectTest, WrongPasswordShowsTheServersTextAndNoFurtherLine) {
  profile.password = "wrong";

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().lines, ConnectLines());
  ASSERT_EQ(console().errors.size(), 1u);
  EXPECT_FALSE(console().errors[0].empty());
  EXPECT_NE(console().errors[0], "ＦＴＰ接続でエラー（原因不明）");
  EXPECT_EQ(console().events.back(), "done: 3");
}

TEST_F(ConnectTest, NothingListeningFailsWithOneBox) {
  server_.Kill();

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().lines, ConnectLines());
  EXPECT_EQ(console().errors.size(), 1u);
}

TEST_F(ConnectTest, MissingRemoteFolderShowsTheFailureLineThenTheBox) {
  profile.remoteDir = "/missing";

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  std::vector<std::string> expected;
  for (const std::string& line : ConnectLines())
    expected.push_back("line: " + line);
  expected.push_back("line: Connect to " + profile.url + " complete!");
  expected.push_back("line: Velmorix Failed..See Error Message !!");
  expected.push_back("error: " + kServerPathRefused);
  expected.push_back("done: 3");
  EXPECT_EQ(console().events, expected);
  EXPECT_FALSE(fs::exists(server_.root() / "missing"));
}

// --- Cancel -------------------------------------------------------------------

class RunCancelTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteFile(Local("a.txt"), "a");
  }
};

TEST_F(RunCancelTest, CancelBeforeTheRootIsEnteredEndsTheRunBeforeTheWalk) {
  console().CancelOnLine("Connect to", cancelEvent, 2);  // "... complete!"

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  EXPECT_EQ(console().lines.back(), "Velmorix Canceled!");
  EXPECT_TRUE(console().LinesStartingWith("Serching").empty()) << Transcript();
  EXPECT_EQ(console().events.back(), "done: 4");
  EXPECT_FALSE(fs::exists(Remote("a.txt")));
}

TEST_F(RunCancelTest, RequestLeftFromAnEarlierRunIsDropped) {
  cancelEvent.Set();

  EXPECT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(Remote("a.txt")), "a");
}

// --- A server that dies or freezes --------------------------------------------

class DeadServerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteFile(Local("a.txt"), std::string(200000, 'a'));
    WriteFile(Local("sub/b.txt"), "b");
  }
};

TEST_F(DeadServerTest, ServerKilledBeforeAnUploadFailsTheRunWithTheTransferBox) {
  fs::remove_all(Local("sub"));
  console().OnLine("Copy file to FTP", [this] { server_.Kill(); });

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
  EXPECT_TRUE(console().boxes[0].starts_with(
      "ＦＴＰへのコマンドでエラー発生[ファイル転送]\n/site/a.txt : "))
      << console().boxes[0];
  EXPECT_EQ(console().events.back(), "done: 3");
}

// A folder is entered when a command needs it: the box names the file and
// the CWD that failed before its upload.
TEST_F(DeadServerTest, ServerKilledBeforeAFolderIsEnteredNamesTheFailedChangeOfFolder) {
  fs::remove(Local("a.txt"));
  console().OnLine("Change current directory FTP = /site/sub", [this] { server_.Kill(); });

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
  EXPECT_TRUE(console().boxes[0].starts_with(
      "ＦＴＰへのコマンドでエラー発生[ファイル転送]\n/site/sub/b.txt : "))
      << console().boxes[0];
  EXPECT_NE(console().boxes[0].find("(CWD /site/sub)"), std::string::npos) << console().boxes[0];
}

TEST_F(DeadServerTest, FrozenServerEndsInATimeOutNotAHang) {
  timeouts = {std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
              std::chrono::milliseconds(1000)};
  console().OnLine("Matching from Local HDD to FTP = /site", [this] { server_.Pause(); });

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  server_.Resume();
  EXPECT_EQ(console().errors.size(), 1u) << Transcript();
}

// --- The log --------------------------------------------------------------------

class RunLogTest : public EngineTest {};

TEST_F(RunLogTest, LogHoldsTheChangesOfTheLatestRunOnlyWithCrLf) {
  WriteFile(Local("a.txt"), "a");
  ASSERT_EQ(Publish(), CompletionCode::kCompleted);
  EXPECT_EQ(LogText(), "Copy file to FTP : /site/a.txt\r\n");

  WriteFile(Local("b.txt"), "b");
  fs::remove(Local("a.txt"));
  profile.options.onlyNewer = 1;
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted);

  EXPECT_EQ(LogText(), "Copy file to FTP : /site/b.txt\r\n");
}

TEST_F(RunLogTest, LogThatCannotBeCreatedLeavesTheRunAlone) {
  WriteFile(Local("a.txt"), "a");
  WriteFile(Local("not-a-folder"), "x");
  logPath = Local("not-a-folder/VELMORIX.LOG").string();

  EXPECT_EQ(Publish(), CompletionCode::kCompleted);

  EXPECT_TRUE(console().errors.empty());
  EXPECT_TRUE(console().Showed("Copy file to FTP : /site/a.txt"));
  EXPECT_EQ(ReadFile(Remote("a.txt")), "a");
}

// --- The dry run ------------------------------------------------------------------

class DryRunTest : public EngineTest {};

// On a real server: the dry run changes nothing, asks nothing and leaves the
// log alone; the publish after it logs exactly the changes it showed.
TEST_F(DryRunTest, ThePublishAfterADryRunDoesWhatItShowed) {
  WriteFile(Local("index.html"), "new page");
  WriteFile(Local("sub/deep/a.txt"), "a");
  WriteFile(Remote("gone.txt"), "old");
  WriteFile(Remote("old/inner.txt"), "old");
  profile.options.deleteOnServer = 1;
  settings.deleteMessage = 1;
  WriteFile(logPath, "the last real run\r\n");
  const auto before = Tree(Remote());

  RunRequest request = Request();
  request.mode = RunMode::kDryRun;
  ASSERT_EQ(StartTransfer(request), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(Tree(Remote()), before);
  EXPECT_EQ(LogText(), "the last real run\r\n");
  EXPECT_TRUE(console().questions.empty());
  EXPECT_EQ(console().summaries, std::vector<std::string>{"Dry run : 2 directories to create, 2 "
                                                          "files to upload (9 B), 3 entries to "
                                                          "delete"});
  std::vector<std::string> shown;
  for (const std::string& change : console().changes)
    shown.push_back(change.substr(0, change.rfind("  (")));
  EXPECT_EQ(console().changes.size(), 7u);

  ResetConsole();
  settings.deleteMessage = 0;
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(LogLines(), shown);
  EXPECT_EQ(Tree(Remote()),
            (std::set<std::string>{"index.html", "sub/", "sub/deep/", "sub/deep/a.txt"}));
  ASSERT_EQ(console().summaries.size(), 1u);
  EXPECT_TRUE(console().summaries[0].starts_with(
      "Summary : 2 files uploaded (9 B), 2 directories created, 3 entries deleted, "))
      << console().summaries[0];
}

TEST(LogPathTest, LogLivesBesideTheProgramWithOneSeparator) {
  const fs::path program = fs::read_symlink("/proc/self/exe");
  const std::string path = LogPath();

  EXPECT_EQ(path, program.parent_path().string() + "/VELMORIX.LOG");
  EXPECT_EQ(path.find("//"), std::string::npos);
}

TEST(LogPathTest, AnInstalledOrReadOnlyCopyLogsInTheStateFolder) {
  struct Case {
    ProgramPlace place;
    std::string stateFolder;
    std::string expected;
  };
  const Case cases[] = {
      {{"/home/u/build/bin", false, true},
       "/home/u/.local/state",
       "/home/u/build/bin/VELMORIX.LOG"},
      {{"/", false, true}, "/s", "/VELMORIX.LOG"},
      {{"/usr/bin", true, true}, "/root/.local/state", "/root/.local/state/Quenzari/VELMORIX.LOG"},
      {{"/opt/velmorix", false, false}, "/home/u/st/", "/home/u/st/Quenzari/VELMORIX.LOG"},
      // Nowhere better: the run tries beside the program, or the current folder.
      {{"/opt/velmorix", false, false}, "", "/opt/velmorix/VELMORIX.LOG"},
      {{"", false, false}, "/home/u/.local/state", "VELMORIX.LOG"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseLogPath(c.place, c.stateFolder), c.expected) << c.place.folder;
  }
}

TEST(LogPathTest, TheStateFolderIsAnAbsoluteXdgStateHomeElseBelowHome) {
  struct Case {
    const char* stateHome;  // nullptr: unset
    const char* expected;
  };
  const Case cases[] = {
      {"/scratch/state", "/scratch/state"},
      {"relative/state", "/home/tester/.local/state"},
      {"", "/home/tester/.local/state"},
      {nullptr, "/home/tester/.local/state"},
  };
  const std::string savedHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  const char* savedState = std::getenv("XDG_STATE_HOME");
  const std::optional<std::string> savedStateCopy =
      savedState != nullptr ? std::optional<std::string>(savedState) : std::nullopt;
  setenv("HOME", "/home/tester/", 1);
  for (const Case& c : cases) {
    if (c.stateHome != nullptr) {
      setenv("XDG_STATE_HOME", c.stateHome, 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(XdgBaseFolder("XDG_STATE_HOME", ".local/state"), c.expected)
        << (c.stateHome != nullptr ? c.stateHome : "(unset)");
  }
  setenv("HOME", savedHome.c_str(), 1);
  if (savedStateCopy) {
    setenv("XDG_STATE_HOME", savedStateCopy->c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
}

}  // namespace
}  // namespace velmorix::testing
