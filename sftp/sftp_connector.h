// What a run opens an SFTP destination with: each connection an SSH
// session of its own, its host key checked against the known_hosts files
// (an unknown one asked about through the run's console, or taken when it
// is the one the destination was told to trust), and the login by the SSH
// agent, then the key files, then the stored password.
#pragma once

#include <memory>
#include <string>

#include "engine/site_connector.h"

namespace velmorix::sftp {

class SftpConnector final : public SiteConnector {
 public:
  std::unique_ptr<OpenSite> Open(const SiteOpening& opening, FtpStatus& status) override;
  std::string ProtocolName() const override { return "SFTP"; }
};

// The connector of a destination's protocol: SFTP's for an SFTP
// destination, none (the run speaks FTP) for the others.
SiteConnector* ConnectorFor(const FtpProfile& profile);

// The question about a host key no known_hosts file holds, with its kind
// and fingerprint as ssh writes them.
std::string HostKeyQuestion(std::string_view name, std::string_view label,
                            std::string_view fingerprint);

}  // namespace velmorix::sftp
