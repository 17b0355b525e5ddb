#include "engine/remote_site.h"

#include <utility>

#include "engine/entry_table.h"
#include "ftp/name_codec.h"

namespace velmorix {
namespace {

class FtpSiteListing final : public RemoteListing {
 public:
  explicit FtpSiteListing(FtpListing listing) : listing_(std::move(listing)) {}
  FtpStatus Next(RemoteEntry& entry) override { return listing_.Next(entry); }
  void Close() override { listing_.Close(); }

 private:
  FtpListing listing_;
};

}  // namespace

bool LiesWithin(const std::set<std::string, std::less<>>& folders, std::string_view path) {
  for (size_t end = path.find('/', 1); end != std::string_view::npos;
       end = path.find('/', end + 1)) {
    if (folders.contains(path.substr(0, end)))
      return true;
  }
  return folders.contains(path);
}

FolderRead ReadFolder(RemoteSite& site, const FolderListing& wanted) {
  FolderRead read;
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  read.opened = site.OpenListing(wanted.folder, wanted.command, listing, entry);
  if (!read.opened.ok())
    return read;
  FtpStatus status = read.opened;
  for (; status.ok(); status = listing->Next(entry))
    read.entries.push_back(std::move(entry));
  listing->Close();
  read.ended = std::move(status);
  // Kept until the run ends, with every other folder: no room to spare.
  read.entries.shrink_to_fit();
  return read;
}

FtpStatus FtpSite::ChangeFolder(std::string_view path) {
  return connection_.ChangeFolder(path);
}

FtpStatus FtpSite::OpenListing(std::string_view folder, ListingCommand command,
                               std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) {
  FtpListing opened;
  const FtpStatus status = connection_.FindFirst(folder, opened, first, command);
  if (status.ok())
    listing = std::make_unique<FtpSiteListing>(std::move(opened));
  return status;
}

bool FtpSite::ListsWithMlsd() const {
  return connection_.ListsWithMlsd();
}

FtpStatus FtpSite::CreateFolder(std::string_view path) {
  return connection_.CreateFolder(path);
}

StoreOptions UploadNaming::For(std::string_view name) const {
  StoreOptions options;
  options.verifySize = true;
  if (temporary) {
    const size_t slash = name.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    options.temporaryName = TemporaryUploadName(base, runTag, connection);
  }
  return options;
}

FtpStatus FtpSite::PutFile(const std::string& localPath, std::string_view remoteName,
                           const UploadProgress& progress, UploadTarget target) {
  StoreOptions options = naming_.For(remoteName);
  options.deferLastReply = naming_.deferChecks;
  options.replacing = target == UploadTarget::kExistingFile;
  return connection_.PutFile(localPath, remoteName, progress, options);
}

bool FtpSite::ReadFolderAhead(const FolderListing& listing, FolderRead& read) {
  connection_.DeferListingEnds(true);
  const int before = connection_.ListingsUnchecked();
  read = ReadFolder(*this, listing);
  connection_.DeferListingEnds(false);
  return read.Whole() && connection_.ListingsUnchecked() > before;
}

std::vector<FtpStatus> FtpSite::TakeCheckedListings(bool wait) {
  if (wait)
    connection_.CheckUploads();
  return connection_.TakeCheckedListings();
}

std::vector<CheckedUpload> FtpSite::TakeCheckedUploads(bool wait) {
  if (wait)
    connection_.CheckUploads();
  return connection_.TakeCheckedUploads();
}

FtpStatus FtpSite::DeleteFile(std::string_view name) {
  return connection_.DeleteFile(name);
}

FtpStatus FtpSite::RemoveFolder(std::string_view name) {
  return connection_.RemoveFolder(name);
}

bool FtpSite::CanWriteName(std::string_view name) const {
  return connection_.CanWriteName(name);
}

std::string FtpSite::NameEncodingLabel() const {
  return std::string(ftp::NameEncodingLabel(connection_.NameEncodingInUse()));
}

}  // namespace velmorix
