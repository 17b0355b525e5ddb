#include "engine/dry_run_site.h"

namespace velmorix {

bool DryRunSite::IsCreated(std::string_view path) const {
  return LiesWithin(created_, path);
}

FtpStatus DryRunSite::ChangeFolder(std::string_view path) {
  if (IsCreated(path)) {
    inCreated_ = true;
    return FtpStatus::Ok();
  }
  inCreated_ = false;
  return site_.ChangeFolder(path);
}

FtpStatus DryRunSite::OpenListing(std::string_view folder, ListingCommand command,
                                  std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) {
  if (folder.empty() ? inCreated_ : IsCreated(folder))
    return FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {});
  return site_.OpenListing(folder, command, listing, first);
}

FtpStatus DryRunSite::CreateFolder(std::string_view path) {
  created_.emplace(path);
  return FtpStatus::Ok();
}

FtpStatus DryRunSite::PutFile(const std::string&, std::string_view, const UploadProgress&,
                              UploadTarget) {
  return FtpStatus::Ok();
}

FtpStatus DryRunSite::DeleteFile(std::string_view) {
  return FtpStatus::Ok();
}

FtpStatus DryRunSite::RemoveFolder(std::string_view) {
  return FtpStatus::Ok();
}

}  // namespace velmorix
