#include "engine/read_ahead_site.h"

#include <utility>
#include <vector>

namespace velmorix {
namespace {

// A listing read ahead, handed out entry by entry.
class HeldListing final : public RemoteListing {
 public:
  explicit HeldListing(std::vector<RemoteEntry> entries) : entries_(std::move(entries)) {}
  FtpStatus Next(RemoteEntry& entry) override {
    if (next_ >= entries_.size())
      return FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {});
    entry = std::move(entries_[next_++]);
    return FtpStatus::Ok();
  }
  void Close() override { next_ = entries_.size(); }

 private:
  std::vector<RemoteEntry> entries_;
  size_t next_ = 0;
};

}  // namespace

FtpStatus ReadAheadSite::EnterCurrent() {
  // The connection sends nothing when it is there already.
  return current_ ? site_.ChangeFolder(*current_) : FtpStatus::Ok();
}

FtpStatus ReadAheadSite::ChangeFolder(std::string_view path) {
  // A folder known to exist is entered when a command needs it.
  if (known_.find(path) != known_.end()) {
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

FtpStatus ReadAheadSite::OpenListing(std::string_view folder, ListingCommand command,
                                     std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) {
  if (folder.empty()) {
    if (FtpStatus status = EnterCurrent(); !status.ok())
      return status;
    return site_.OpenListing(folder, command, listing, first);
  }
  const FolderListing wanted{std::string(folder), command};
  // While another connection reads the one the walk wants, this one reads
  // the next that nobody has started, instead of only waiting.
  if (FolderListing other; prefetched_.BeingRead(wanted) && prefetched_.TakeWaiting(other))
    ReadFor(other);
  std::vector<RemoteEntry> entries;
  if (prefetched_.Take(wanted, entries)) {
    known_.emplace(folder);
    auto held = std::make_unique<HeldListing>(std::move(entries));
    const FtpStatus status = held->Next(first);
    if (status.ok())
      listing = std::move(held);
    return status;
  }
  FtpStatus status = site_.OpenListing(folder, command, listing, first);
  if (status.ok() || status.kind == FtpErrorKind::kNoMoreFiles)
    known_.emplace(folder);
  return status;
}

void ReadAheadSite::ReadFor(const FolderListing& wanted) {
  std::vector<RemoteEntry> entries;
  const bool read = ReadWholeListing(site_, wanted, entries);
  prefetched_.Deliver(wanted, std::move(entries), read, site_.ListsWithMlsd());
}

FtpStatus ReadAheadSite::PutFile(const std::string& localPath, std::string_view remoteName,
                                 const UploadProgress& progress) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.PutFile(localPath, remoteName, progress);
}

FtpStatus ReadAheadSite::DeleteFile(std::string_view name) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.DeleteFile(name);
}

FtpStatus ReadAheadSite::RemoveFolder(std::string_view name) {
  if (FtpStatus status = EnterCurrent(); !status.ok())
    return status;
  return site_.RemoveFolder(name);
}

void ReadAheadSite::WillList(const std::vector<FolderListing>& listings) {
  // Names read on another connection could not show this one's encoding.
  if (!listings.empty() && connection_.NameEncodingSettled())
    prefetched_.ReadAhead(listings, true, connection_.NameEncodingInUse());
}

void ReadAheadSite::LeftFolder(const std::string& folder) {
  prefetched_.Forget(folder);
}

}  // namespace velmorix
