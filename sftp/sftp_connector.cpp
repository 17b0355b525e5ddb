#include "sftp/sftp_connector.h"

#include "settings/destinations.h"
#include "sftp/sftp_connection.h"
#include "sftp/sftp_site.h"

namespace velmorix::sftp {
namespace {

class SftpOpenSite final : public OpenSite {
 public:
  SftpOpenSite(SftpConnection connection, const UploadNaming& naming)
      : connection_(std::move(connection)), site_(connection_, naming) {}

  RemoteSite& Site() override { return site_; }
  bool IsOpen() const override { return connection_.IsOpen(); }
  std::string LoginText() const override { return connection_.ssh().LoginMethodText(); }

 private:
  SftpConnection connection_;
  SftpSite site_;
};

}  // namespace

std::string HostKeyQuestion(std::string_view name, std::string_view label,
                            std::string_view fingerprint) {
  std::string text = "サーバー ";
  text.append(name).append(" のホスト鍵は、どの known_hosts にもありません。\n");
  text.append(label).append(" key fingerprint is ").append(fingerprint).append(".\n");
  text += "指紋をサーバーの管理者に確かめてから信頼してください。この鍵を信頼して接続しますか？";
  return text;
}

SiteConnector* ConnectorFor(const FtpProfile& profile) {
  static SftpConnector sftp;
  return profile.protocol == kProtocolSftp ? &sftp : nullptr;
}

std::unique_ptr<OpenSite> SftpConnector::Open(const SiteOpening& opening, FtpStatus& status) {
  const FtpProfile& profile = opening.profile;
  SshConnectOptions options;
  options.timeouts.connect = opening.timeouts.connect;
  options.timeouts.reply = opening.timeouts.reply;
  options.trustedFingerprint = profile.trustedHostKey;
  if (!profile.keyFile.empty())
    options.keyFiles = {profile.keyFile};
  options.cancelCheck = opening.cancelCheck;
  if (RunConsole* console = opening.console) {
    options.hostKeyCheck = [console](const HostKey& key, std::string_view name) {
      return console->TrustHostKey(key.fingerprint,
                                   HostKeyQuestion(name, key.label, key.fingerprint));
    };
    options.askPassphrase = [console](const std::string& keyFile) {
      return console->AskPassphrase(keyFile);
    };
  }
  SftpConnection connection;
  // The stored port's low 16 bits, as for FTP; SFTP's own port when none.
  const uint16_t port =
      profile.port > 0 ? static_cast<uint16_t>(profile.port & 0xFFFF) : uint16_t{22};
  status = connection.Connect(profile.url, port, profile.userId, profile.password, options);
  if (!status.ok())
    return nullptr;
  connection.SetCancelCheck(opening.cancelCheck);
  return std::make_unique<SftpOpenSite>(std::move(connection), opening.naming);
}

}  // namespace velmorix::sftp
