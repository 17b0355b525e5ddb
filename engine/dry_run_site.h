// The server of a dry run: reads go to the real site, changes go nowhere.
// A folder that the run would create does not exist on the server, so it
// is entered and listed as an empty folder, as are the folders below it.
// Worker thread only.
#pragma once

#include <set>
#include <string>

#include "engine/remote_site.h"

namespace velmorix {

class DryRunSite final : public ForwardingSite {
 public:
  // `site` must outlive this object; only its reading operations are used.
  explicit DryRunSite(RemoteSite& site) : ForwardingSite(site) {}

  FtpStatus ChangeFolder(std::string_view path) override;
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override;
  // Succeed without sending anything; a created folder is remembered.
  FtpStatus CreateFolder(std::string_view path) override;
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget target) override;
  FtpStatus DeleteFile(std::string_view name) override;
  FtpStatus RemoveFolder(std::string_view name) override;

 private:
  // `path` is a folder the run would create, or lies below one.
  bool IsCreated(std::string_view path) const;

  std::set<std::string, std::less<>> created_;
  // The current folder is one that would be created, so "" lists as empty.
  bool inCreated_ = false;
};

}  // namespace velmorix
