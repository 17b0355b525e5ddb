// FTPS against the real test server (pyftpdlib's TLS handler, with
// certificates made for the test by the openssl command): who is trusted,
// who is asked, and that everything sent and listed over TLS arrives whole,
// in both data connection modes, with the session reuse that vsftpd demands.
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftp_session.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::ReadFile;
using testing::TempDir;
using testing::TestCertificates;
using testing::TestFtpServer;
using testing::TestFtpServerOptions;
using testing::TrustStore;
using testing::WriteFile;

constexpr FtpTimeouts kTimeouts{milliseconds(5000), milliseconds(10000), milliseconds(10000)};

// What a connection asked and said.
struct Seen {
  std::vector<CertificateInfo> questions;
  std::vector<std::string> notices;
};

FtpConnectOptions Options(FtpSecurity security, Seen& seen, std::optional<bool> answer,
                          std::string trusted = {},
                          DataConnectionMode mode = DataConnectionMode::kPassive) {
  FtpConnectOptions options;
  options.dataMode = mode;
  options.security = security;
  options.trustedFingerprint = std::move(trusted);
  if (answer) {
    options.certificateCheck = [&seen, answer](const CertificateInfo& info) {
      seen.questions.push_back(info);
      return *answer;
    };
  }
  options.notice = [&seen](const std::string& line) { seen.notices.push_back(line); };
  return options;
}

FtpStatus Connect(const TestFtpServer& server, const FtpConnectOptions& options,
                  FtpConnection& connection) {
  return FtpSession("VELMORIX", kTimeouts, options)
      .Connect(server.host(), server.port(), TestFtpServer::kUser, TestFtpServer::kPassword,
               connection);
}

// --- Whom a connection trusts ----------------------------------------------------

enum class Pem { kNone, kSigned, kWrongName, kSelfSigned, kOtherSelfSigned };

std::string PemFile(Pem pem) {
  const TestCertificates& made = TestCertificates::Get();
  switch (pem) {
    case Pem::kSigned:
      return made.signedPem;
    case Pem::kWrongName:
      return made.wrongNamePem;
    case Pem::kSelfSigned:
      return made.selfSignedPem;
    case Pem::kOtherSelfSigned:
      return made.otherSelfSignedPem;
    case Pem::kNone:
      break;
  }
  return {};
}

struct TrustCase {
  const char* name;
  Pem serverPem;
  bool serverRequiresTls;
  bool trustTestAuthority;
  FtpSecurity security;
  std::optional<bool> answer;  // what the question is answered; none: no check given
  bool trustSelfSigned;        // the destination keeps the fingerprint of kSelfSigned
  // What comes of it.
  FtpErrorKind result;
  bool encrypted;
  const char* reason;  // of the question asked; nullptr: nothing is asked
  bool changed;
  const char* notice;  // the start of a notice given; "" for none expected
};

void PrintTo(const TrustCase& c, std::ostream* out) {
  *out << c.name;
}

class FtpTrustTest : public ::testing::TestWithParam<TrustCase> {};

INSTANTIATE_TEST_SUITE_P(
    Certificates, FtpTrustTest,
    ::testing::Values(
        TrustCase{"VerifiedIsTakenWithoutAQuestion", Pem::kSigned, true, true,
                  FtpSecurity::kTlsRequired, false, false, FtpErrorKind::kNone, true, nullptr,
                  false, "Connection to 127.0.0.1 is encrypted (TLSv1."},
        TrustCase{"UnknownAuthorityIsAskedAndRefused", Pem::kSigned, true, false,
                  FtpSecurity::kTlsRequired, false, false, FtpErrorKind::kTlsFailed, false,
                  "発行した認証局を信頼できません", false, ""},
        TrustCase{"SelfSignedAcceptedByTheUser", Pem::kSelfSigned, true, true,
                  FtpSecurity::kTlsIfAvailable, true, false, FtpErrorKind::kNone, true,
                  "自己署名の証明書です (信頼された認証局の署名がありません)", false,
                  "Connection to 127.0.0.1 is encrypted (TLSv1."},
        TrustCase{"SelfSignedWithoutACheckIsRefused", Pem::kSelfSigned, true, true,
                  FtpSecurity::kTlsRequired, std::nullopt, false, FtpErrorKind::kTlsFailed, false,
                  nullptr, false, ""},
        TrustCase{"AcceptedBeforeIsTakenSilently", Pem::kSelfSigned, true, true,
                  FtpSecurity::kTlsRequired, false, true, FtpErrorKind::kNone, true, nullptr, false,
                  "Connection to 127.0.0.1 is encrypted (TLSv1."},
        TrustCase{"ChangedCertificateIsAskedAgainAndSaysSo", Pem::kOtherSelfSigned, true, true,
                  FtpSecurity::kTlsRequired, false, true, FtpErrorKind::kTlsFailed, false,
                  "自己署名の証明書です (信頼された認証局の署名がありません)", true, ""},
        TrustCase{"WrongNameIsAsked", Pem::kWrongName, true, true, FtpSecurity::kTlsRequired, false,
                  false, FtpErrorKind::kTlsFailed, false,
                  "証明書が接続先のサーバー名と一致しません", false, ""},
        TrustCase{"PlainServerStaysPlainWithANotice", Pem::kNone, false, true,
                  FtpSecurity::kTlsIfAvailable, false, false, FtpErrorKind::kNone, false, nullptr,
                  false, "Connection to 127.0.0.1 is not encrypted : the server offers no TLS : 5"},
        TrustCase{"PlainServerIsRefusedWhenTlsIsRequired", Pem::kNone, false, true,
                  FtpSecurity::kTlsRequired, false, false, FtpErrorKind::kTlsFailed, false, nullptr,
                  false, ""},
        TrustCase{"PlainClientIsTurnedAwayByATlsOnlyServer", Pem::kSigned, true, true,
                  FtpSecurity::kNone, false, false, FtpErrorKind::kLoginFailed, false, nullptr,
                  false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FtpTrustTest, OnlyVerifiedOrAcceptedCertificatesAreUsed) {
  const TrustCase& c = GetParam();
  const std::string trusted =
      c.trustSelfSigned ? TestCertificates::Get().selfSignedFingerprint : "";
  TrustStore store(c.trustTestAuthority);
  TestFtpServer server(
      {.tlsCertificate = PemFile(c.serverPem), .tlsRequired = c.serverRequiresTls});
  server.Start();
  Seen seen;
  FtpConnection connection;

  const FtpStatus status =
      Connect(server, Options(c.security, seen, c.answer, trusted), connection);

  EXPECT_EQ(status.kind, c.result) << status.text;
  EXPECT_EQ(connection.IsOpen(), c.result == FtpErrorKind::kNone);
  EXPECT_EQ(connection.Encrypted(), c.encrypted);
  if (c.reason == nullptr) {
    EXPECT_TRUE(seen.questions.empty());
  } else {
    ASSERT_EQ(seen.questions.size(), 1u);
    const CertificateInfo& asked = seen.questions[0];
    EXPECT_EQ(asked.reason, c.reason);
    EXPECT_EQ(asked.changed, c.changed);
    EXPECT_EQ(asked.subject.find("CN = "), 0u) << asked.subject;
    EXPECT_EQ(asked.fingerprint.size(), 7u + 32 * 3 - 1) << asked.fingerprint;
    EXPECT_NE(asked.validUntil.find(" UTC"), std::string::npos) << asked.validUntil;
    if (c.trustSelfSigned) {
      EXPECT_NE(asked.fingerprint, TestCertificates::Get().selfSignedFingerprint);
    }
    if (c.result != FtpErrorKind::kNone) {
      // The refusal names the certificate, so that it can be trusted on purpose.
      EXPECT_NE(status.text.find(asked.fingerprint), std::string::npos) << status.text;
    }
  }
  if (*c.notice != '\0') {
    ASSERT_EQ(seen.notices.size(), 1u);
    EXPECT_EQ(seen.notices[0].rfind(c.notice, 0), 0u) << seen.notices[0];
  } else {
    EXPECT_TRUE(seen.notices.empty()) << seen.notices[0];
  }
}

// --- Data over TLS ------------------------------------------------------------------

// The server refuses plain data and data connections that do not resume the
// control connection's session; every file must arrive byte for byte.
class FtpTlsDataTest : public ::testing::TestWithParam<DataConnectionMode> {
 protected:
  FtpTlsDataTest()
      : store_(true),
        server_({.tlsCertificate = TestCertificates::Get().signedPem,
                 .tlsRequired = true,
                 .tlsRequireReuse = true}) {}
  void SetUp() override { server_.Start(); }

  TrustStore store_;
  TestFtpServer server_;
  TempDir local_;
};

INSTANTIATE_TEST_SUITE_P(Modes, FtpTlsDataTest,
                         ::testing::Values(DataConnectionMode::kPassive,
                                           DataConnectionMode::kActive),
                         [](const auto& info) {
                           return info.param == DataConnectionMode::kPassive ? "Passive" : "Active";
                         });

TEST_P(FtpTlsDataTest, UploadsAndListingsArriveWholeOverResumedSessions) {
  std::mt19937 random(7);
  std::string large(3 << 20, '\0');
  for (char& c : large)
    c = static_cast<char>(random());
  const std::map<std::string, std::string> files = {
      {"empty.txt", ""}, {"index.html", "<html>ページ</html>"}, {"large.bin", large}};
  for (const auto& [name, content] : files)
    WriteFile(local_.path() / name, content);

  Seen seen;
  FtpConnection connection;
  ASSERT_TRUE(
      Connect(server_, Options(FtpSecurity::kTlsRequired, seen, false, {}, GetParam()), connection)
          .ok())
      << server_.ReadLog();
  ASSERT_TRUE(connection.Encrypted());
  // More transfers than one session ticket would serve if it could be used
  // only once.
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, content] : files) {
      const FtpStatus status = connection.PutFile((local_.path() / name).string(), name);
      ASSERT_TRUE(status.ok()) << name << ": " << status.text << "\n" << server_.ReadLog();
    }
  }
  std::map<std::string, std::string> listed;
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = connection.FindFirst("", listing, entry);
  for (; status.ok(); status = listing.Next(entry))
    listed[entry.name] = entry.isDir ? "dir" : "file";
  EXPECT_EQ(status.kind, FtpErrorKind::kNoMoreFiles) << status.text;
  EXPECT_EQ(listed.size(), files.size());
  connection.Close();

  for (const auto& [name, content] : files)
    EXPECT_TRUE(ReadFile(server_.root() / name) == content) << name;
}

}  // namespace
}  // namespace velmorix
