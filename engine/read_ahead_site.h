// The site of a run with extra connections: the listings that the walk
// will read next are read ahead on those connections, and a return to a
// folder already entered, or a step into one just listed, is sent only once
// a command needs the current folder (an upload, a deletion, a listing of
// "") - a run with nothing to do then sends no CWD at all. What the walk
// decides, and the order of its lines, stay as they are. Walk thread only.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "engine/prefetched_listings.h"
#include "engine/remote_site.h"

namespace velmorix {

class ReadAheadSite final : public ForwardingSite {
 public:
  // `site` is the run's own connection's, `connection` that connection;
  // both and `prefetched` must outlive this object.
  ReadAheadSite(RemoteSite& site, const FtpConnection& connection, PrefetchedListings& prefetched)
      : ForwardingSite(site), connection_(connection), prefetched_(prefetched) {}

  FtpStatus ChangeFolder(std::string_view path) override;
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override;
  // These need the current folder, which is entered first.
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress) override;
  FtpStatus DeleteFile(std::string_view name) override;
  FtpStatus RemoveFolder(std::string_view name) override;
  void WillList(const std::vector<FolderListing>& listings) override;
  void LeftFolder(const std::string& folder) override;

 private:
  // Reads `wanted`, handed over by TakeWaiting, and gives it back.
  void ReadFor(const FolderListing& wanted);
  // Enters the walk's current folder, unless the connection is in it.
  FtpStatus EnterCurrent();

  const FtpConnection& connection_;
  PrefetchedListings& prefetched_;
  // Folders known to exist: entered, or listed by path.
  std::set<std::string, std::less<>> known_;
  // The walk's current folder, which the connection enters only when a
  // command needs it (a LIST of another folder also moves it).
  std::optional<std::string> current_;
};

}  // namespace velmorix
