#include "engine/cached_site.h"

#include <optional>
#include <utility>
#include <vector>

namespace velmorix {

bool CachedSite::IsCreated(std::string_view path) const {
  return LiesWithin(created_, path);
}

FtpStatus CachedSite::EnterCurrent() {
  // The connection sends nothing when it is there already.
  return current_ ? site_.ChangeFolder(*current_) : FtpStatus::Ok();
}

FtpStatus CachedSite::ChangeFolder(std::string_view path) {
  const std::optional<FtpStatus> opened =
      tree_.Opened({std::string(path), ListingCommand::kPreferred});
  if (known_.contains(path) || IsCreated(path) || (opened && opened->ok()) ||
      (opened && opened->kind == FtpErrorKind::kNoMoreFiles)) {
    current_ = std::string(path);
    return FtpStatus::Ok();
  }
  current_.reset();
  FtpStatus status = site_.ChangeFolder(path);
  if (status.ok()) {
    known_.emplace(path);
    current_ = std::string(path);
  }
  return status;
}

FtpStatus CachedSite::OpenListing(std::string_view folder, ListingCommand command,
                                  std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) {
  const std::string path = folder.empty() && current_ ? *current_ : std::string(folder);
  if (!path.empty() && IsCreated(path))
    return FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {});
  if (std::optional<FolderRead> read =
          path.empty() ? std::nullopt : tree_.Remote({path, command})) {
    if (!read->opened.ok())
      return read->opened;
    first = read->entries.front();
    listing = std::make_unique<HeldListing>(std::move(*read));
    return FtpStatus::Ok();
  }
  // Not read before: asked of the server now.
  if (folder.empty()) {
    if (FtpStatus status = EnterCurrent(); !status.ok())
      return status;
  }
  FtpStatus status = site_.OpenListing(folder, command, listing, first);
  if (!folder.empty() && (status.ok() || status.kind == FtpErrorKind::kNoMoreFiles))
    known_.emplace(folder);
  return status;
}

FtpStatus CachedSite::CreateFolder(std::string_view path) {
  FtpStatus status = site_.CreateFolder(path);
  if (status.ok())
    created_.emplace(path);
  return status;
}

FtpStatus CachedSite::PutFile(const std::string& localPath, std::string_view remoteName,
                              const UploadProgress& progress, UploadTarget target) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.PutFile(localPath, remoteName, progress, target);
}

FtpStatus CachedSite::DeleteFile(std::string_view name) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.DeleteFile(name);
}

FtpStatus CachedSite::RemoveFolder(std::string_view name) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.RemoveFolder(name);
}

}  // namespace velmorix
