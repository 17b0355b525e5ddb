// The site the walk sees once the tree has been read: listings come from
// what was read before the run changed anything (a folder the run has
// created lists as empty), and only a listing that was not read is asked
// of the server. A return to a folder the server is known to have, or a
// step into one, is sent only once a command needs the current folder (an
// upload, a deletion, a listing that was not read), so a run with nothing
// to do sends no CWD at all. Walk thread only.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "engine/remote_site.h"
#include "engine/tree_reader.h"

namespace velmorix {

class CachedSite final : public ForwardingSite {
 public:
  // `site` and `tree` must outlive this object.
  CachedSite(RemoteSite& site, const ReadTree& tree) : ForwardingSite(site), tree_(tree) {}

  FtpStatus ChangeFolder(std::string_view path) override;
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override;
  FtpStatus CreateFolder(std::string_view path) override;
  // These need the current folder, which is entered first.
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget target) override;
  FtpStatus DeleteFile(std::string_view name) override;
  FtpStatus RemoveFolder(std::string_view name) override;

 private:
  // Enters the walk's current folder, unless the connection is in it.
  FtpStatus EnterCurrent();
  // `path` is a folder this run created, or lies below one.
  bool IsCreated(std::string_view path) const;

  const ReadTree& tree_;
  // Folders known to exist: read, entered or created.
  std::set<std::string, std::less<>> known_;
  std::set<std::string, std::less<>> created_;
  // The walk's current folder, which the connection enters only when a
  // command needs it.
  std::optional<std::string> current_;
};

}  // namespace velmorix
