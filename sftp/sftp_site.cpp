#include "sftp/sftp_site.h"

#include <utility>

#include "base/utf8.h"
#include "ftp/name_codec.h"

namespace velmorix::sftp {

std::string SftpSite::InCurrentFolder(std::string_view name) const {
  if (name.starts_with('/') || current_.empty())
    return std::string(name);
  if (current_.ends_with('/'))
    return current_ + std::string(name);
  return current_ + "/" + std::string(name);
}

FtpStatus SftpSite::ChangeFolder(std::string_view path) {
  // Entering the folder entered last, or one this site has found or made
  // a folder before, asks nothing: the walk goes in and out of the same
  // folders, and each question is a round trip.
  if ((entered_ && path == current_) || known_.contains(path)) {
    current_.assign(path);
    entered_ = true;
    return FtpStatus::Ok();
  }
  RemoteEntry entry;
  if (FtpStatus status = connection_.Stat(path.empty() ? "." : path, entry, true); !status.ok())
    return status;
  if (!entry.isDir) {
    return FtpStatus::Error(FtpErrorKind::kServerReply,
                            "cd " + std::string(path) + ": not a folder");
  }
  current_.assign(path);
  entered_ = true;
  known_.emplace(path);
  return FtpStatus::Ok();
}

FtpStatus SftpSite::OpenListing(std::string_view folder, ListingCommand,
                                std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) {
  // Read whole at once: readdir has no listing to keep open.
  FolderRead read;
  const std::string path = folder.empty() ? current_ : std::string(folder);
  if (FtpStatus status = connection_.ReadFolder(path, read.entries); !status.ok())
    return status;
  if (read.entries.empty())
    return read.ended;
  first = read.entries.front();
  listing = std::make_unique<HeldListing>(std::move(read));
  return FtpStatus::Ok();
}

FtpStatus SftpSite::CreateFolder(std::string_view path) {
  FtpStatus status = connection_.CreateFolder(path);
  if (status.ok())
    known_.emplace(path);
  return status;
}

FtpStatus SftpSite::PutFile(const std::string& localPath, std::string_view remoteName,
                            const UploadProgress& progress, UploadTarget target) {
  SftpStoreOptions options;
  options.temporaryName = naming_.For(remoteName).temporaryName;
  options.replacing = target == UploadTarget::kExistingFile;
  const std::string path = InCurrentFolder(remoteName);
  if (naming_.deferChecks)
    return connection_.StartPut(localPath, path, progress, options);
  return connection_.PutFile(localPath, path, progress, options);
}

FtpStatus SftpSite::DeleteFile(std::string_view name) {
  return connection_.DeleteFile(InCurrentFolder(name));
}

FtpStatus SftpSite::RemoveFolder(std::string_view name) {
  const std::string path = InCurrentFolder(name);
  // It and what lay below it are no folders to enter any more.
  std::erase_if(known_, [&path](const std::string& known) {
    return known == path || (known.starts_with(path) && known[path.size()] == '/');
  });
  return connection_.RemoveFolder(path);
}

bool SftpSite::CanWriteName(std::string_view name) const {
  return IsValidUtf8(name) && ftp::IsReadableServerName(name);
}

}  // namespace velmorix::sftp
