// Destinations of another protocol than FTP: the front end gives a run a
// connector that opens their connections (RunRequest::connector), and the
// engine sees no more of them than this and the RemoteSite each one is.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/remote_site.h"
#include "engine/run_console.h"
#include "ftp/ftp_session.h"
#include "settings/app_settings.h"

namespace velmorix {

// What a connection is opened with.
struct SiteOpening {
  const FtpProfile& profile;  // server, port, login, password and the protocol's own settings
  // How the site's uploads reach their names; with deferChecks, uploads may
  // go on after PutFile has returned, and the site's TakeCheckedUploads
  // tells how each ended.
  UploadNaming naming;
  // Where an unknown host key or a key file's passphrase is asked about;
  // none for the extra connections of a run, which ask nothing.
  RunConsole* console = nullptr;
  // Asked while the connection waits on the server; true stops the wait.
  std::function<bool()> cancelCheck = {};
  FtpTimeouts timeouts = {};
};

// One open connection, closed when destroyed.
class OpenSite {
 public:
  virtual ~OpenSite() = default;
  virtual RemoteSite& Site() = 0;
  // False once the connection was lost (an operation that failed then was
  // not refused by the server).
  virtual bool IsOpen() const = 0;
  // How it logged in, for the console: "SSH agent", "key file PATH", "password".
  virtual std::string LoginText() const = 0;
};

class SiteConnector {
 public:
  virtual ~SiteConnector() = default;
  // Connects, checks the server and logs in; on failure gives nothing and
  // `status` says why (the host and what failed).
  virtual std::unique_ptr<OpenSite> Open(const SiteOpening& opening, FtpStatus& status) = 0;
  // The protocol's name for console lines ("SFTP").
  virtual std::string ProtocolName() const = 0;
};

}  // namespace velmorix
