// The command line's rules for SFTP destinations below the program: which
// protocol, key file and host key a command line names, and what add and
// update make of the port and of settings the protocol has no use for.
#include "cli/destinations.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "settings/destinations.h"

namespace velmorix::cli {
namespace {

const std::string kHostKey = "SHA256:" + std::string(42, 'h') + "A";

TEST(ProtocolFieldsTest, TheOptionsOrTheUrlsSchemeNameTheProtocol) {
  const std::string here = std::filesystem::current_path().string();
  const struct {
    std::vector<std::string> arguments;
    std::optional<int32_t> protocol;
    std::optional<std::string> keyFile;
    std::optional<std::string> hostKey;
  } cases[] = {
      {{"update", "s", "--url", "h"}, std::nullopt, std::nullopt, std::nullopt},
      {{"update", "s", "--url", "sftp://h"}, kProtocolSftp, std::nullopt, std::nullopt},
      {{"update", "s", "--url", "ftps://h"}, kProtocolFtp, std::nullopt, std::nullopt},
      {{"update", "s", "--protocol", "sftp", "--url", "h"},
       kProtocolSftp,
       std::nullopt,
       std::nullopt},
      {{"set", "s", "--protocol", "ftp"}, kProtocolFtp, std::nullopt, std::nullopt},
      {{"set", "s", "--key-file", "keys/id"}, std::nullopt, here + "/keys/id", std::nullopt},
      {{"set", "s", "--key-file", "/k/id", "--trust-host-key", kHostKey},
       std::nullopt,
       "/k/id",
       kHostKey},
      {{"set", "s", "--key-file", "", "--trust-host-key", ""}, std::nullopt, "", ""},
  };
  for (const auto& c : cases) {
    const ParseResult parsed = ParseCommandLine(c.arguments);
    ASSERT_EQ(parsed.error, "") << c.arguments[2];
    ServerFields fields;
    ReadProtocolFields(parsed.commandLine, fields);
    EXPECT_EQ(fields.protocol, c.protocol) << c.arguments[2] << " " << c.arguments[3];
    EXPECT_EQ(fields.keyFile, c.keyFile) << c.arguments[3];
    EXPECT_EQ(fields.trustedHostKey, c.hostKey) << c.arguments[3];
  }
}

// Each case starts from one destination "s" at `port`, of `protocol`, and
// adds "n" (`add`) or updates "s" with `fields`.
TEST(ProtocolRulesTest, PortsFollowTheProtocolAndOtherProtocolsSettingsAreRefused) {
  struct Case {
    const char* what;
    int32_t protocol;
    int32_t port;
    bool add;
    ServerFields fields;
    std::string refusal;  // "" when accepted
    int32_t protocolAfter;
    int32_t portAfter;
  };
  const Case cases[] = {
      {"add FTP", kProtocolFtp, 21, true, {}, "", kProtocolFtp, 21},
      {"add SFTP", kProtocolFtp, 21, true, {.protocol = kProtocolSftp}, "", kProtocolSftp, 22},
      {"add SFTP on a port",
       kProtocolFtp,
       21,
       true,
       {.port = 2222, .protocol = kProtocolSftp},
       "",
       kProtocolSftp,
       2222},
      {"add SFTP with an encoding",
       kProtocolFtp,
       21,
       true,
       {.nameEncoding = kNameEncodingUtf8, .protocol = kProtocolSftp},
       "--encoding applies to FTP destinations only; n uses SFTP",
       0,
       0},
      {"add FTP with a key file",
       kProtocolFtp,
       21,
       true,
       {.keyFile = "/k"},
       "--key-file applies to SFTP destinations only; n uses FTP",
       0,
       0},
      {"FTP to SFTP", kProtocolFtp, 21, false, {.protocol = kProtocolSftp}, "", kProtocolSftp, 22},
      {"SFTP to FTP", kProtocolSftp, 22, false, {.protocol = kProtocolFtp}, "", kProtocolFtp, 21},
      {"FTP to SFTP on another port",
       kProtocolFtp,
       2121,
       false,
       {.protocol = kProtocolSftp},
       "",
       kProtocolSftp,
       2121},
      {"FTP to SFTP with a port",
       kProtocolFtp,
       21,
       false,
       {.port = 2200, .protocol = kProtocolSftp},
       "",
       kProtocolSftp,
       2200},
      {"same protocol keeps 21",
       kProtocolSftp,
       21,
       false,
       {.protocol = kProtocolSftp},
       "",
       kProtocolSftp,
       21},
      {"security for SFTP",
       kProtocolSftp,
       22,
       false,
       {.security = kSecurityTlsRequired},
       "--security applies to FTP destinations only; s uses SFTP",
       0,
       0},
      {"data mode while turning to SFTP",
       kProtocolFtp,
       21,
       false,
       {.dataMode = kDataModePassive, .protocol = kProtocolSftp},
       "--data-mode applies to FTP destinations only; s uses SFTP",
       0,
       0},
      {"certificate for SFTP",
       kProtocolSftp,
       22,
       false,
       {.trustedFingerprint = "SHA256:" + std::string(95, 'A')},
       "--trust-fingerprint applies to FTP destinations only; s uses SFTP",
       0,
       0},
      {"forgetting a certificate is no use of it",
       kProtocolSftp,
       22,
       false,
       {.trustedFingerprint = ""},
       "",
       kProtocolSftp,
       22},
      {"security while turning to FTP",
       kProtocolSftp,
       22,
       false,
       {.security = kSecurityTlsRequired, .protocol = kProtocolFtp},
       "",
       kProtocolFtp,
       21},
      {"host key for FTP",
       kProtocolFtp,
       21,
       false,
       {.trustedHostKey = kHostKey},
       "--trust-host-key applies to SFTP destinations only; s uses FTP",
       0,
       0},
  };
  for (const Case& c : cases) {
    AppSettings settings;
    ASSERT_EQ(velmorix::AddDestination(
                  settings, {.name = "s", .url = "h", .port = c.port, .protocol = c.protocol}),
              DestinationError::kNone);
    const AppSettings before = settings;
    ServerFields fields = c.fields;
    if (c.add) {
      fields.name = "n";
      fields.url = "h2";
    }
    const CommandError error =
        c.add ? AddDestination(settings, fields) : UpdateDestination(settings, "s", fields);
    if (!c.refusal.empty()) {
      EXPECT_EQ(error, c.refusal) << c.what;
      EXPECT_EQ(settings.profileCount, before.profileCount) << c.what;
      EXPECT_EQ(settings.profiles[0], before.profiles[0]) << c.what;
      continue;
    }
    ASSERT_EQ(error, std::nullopt) << c.what;
    const FtpProfile& changed = settings.profiles[c.add ? 1 : 0];
    EXPECT_EQ(changed.protocol, c.protocolAfter) << c.what;
    EXPECT_EQ(changed.port, c.portAfter) << c.what;
  }
}

TEST(ProtocolRulesTest, DestinationsListProtocolKeyFileAndHostKeyLast) {
  FtpProfile profile;
  EXPECT_TRUE(DestinationLine(profile).ends_with("\tftp\t-\t-")) << DestinationLine(profile);
  profile.protocol = kProtocolSftp;
  profile.keyFile = "/home/me/.ssh/site\tkey";
  profile.trustedHostKey = kHostKey;
  EXPECT_TRUE(DestinationLine(profile).ends_with("\tsftp\t/home/me/.ssh/site\\tkey\t" + kHostKey))
      << DestinationLine(profile);
}

}  // namespace
}  // namespace velmorix::cli
