// The site the walk, the pruning and the listing talk to when the
// destination is an SFTP server: an open SftpConnection behind the
// RemoteSite seam (engine/remote_site.h), which must outlive it.
//
// SFTP knows no current folder: the site keeps one. ChangeFolder checks
// that the folder is one (following a link, as CWD does) and remembers it;
// bare names are taken from it, other relative paths from the login folder,
// as the FTP site takes them. Listings come whole from readdir, links as
// links (the server lists what lstat sees), times exact in UTC; after each
// upload the server file's time is set to the local file's, so listed and
// local times compare like with like. Worker thread only.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "engine/remote_site.h"
#include "sftp/sftp_connection.h"

namespace velmorix::sftp {

class SftpSite final : public RemoteSite {
 public:
  // `naming` as for FtpSite. With deferChecks an upload of a small file
  // goes on after PutFile has returned (SftpConnection::StartPut), and
  // TakeCheckedUploads tells how it ended.
  explicit SftpSite(SftpConnection& connection, UploadNaming naming = {})
      : connection_(connection), naming_(std::move(naming)) {}

  FtpStatus ChangeFolder(std::string_view path) override;
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override;
  // False: a listing never shows a link as a folder.
  bool ListsWithMlsd() const override { return false; }
  FtpStatus CreateFolder(std::string_view path) override;
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget target) override;
  std::vector<CheckedUpload> TakeCheckedUploads(bool wait) override {
    return connection_.TakeFinishedPuts(wait);
  }
  // Drops the connection when an upload is under way.
  void BreakOffUploads() override { connection_.BreakOffPuts(); }
  FtpStatus DeleteFile(std::string_view name) override;
  FtpStatus RemoveFolder(std::string_view name) override;
  // Every valid UTF-8 name goes as it is.
  bool CanWriteName(std::string_view name) const override;
  std::string NameEncodingLabel() const override { return "UTF-8"; }

  // The current folder as the server takes it: "" for the login folder.
  const std::string& currentFolder() const { return current_; }

 private:
  // `name` taken from the current folder.
  std::string InCurrentFolder(std::string_view name) const;

  SftpConnection& connection_;
  UploadNaming naming_;
  std::string current_;
  bool entered_ = false;  // current_ was entered with ChangeFolder
  // Folders this site entered or created, which it enters again without
  // asking the server.
  std::set<std::string, std::less<>> known_;
};

}  // namespace velmorix::sftp
