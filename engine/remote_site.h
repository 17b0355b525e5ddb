// The server as the walk, the pruning and the listing see it: the few
// operations they use, behind an interface, so that what they decide does
// not depend on whether (or how) it is carried out. FtpSite is the real
// implementation, DryRunSite the read-only one of a dry run, and tests have
// an in-memory one.
//
// The operations mean what the FTP connection's do (ftp/ftp_session.h):
// paths and names are UTF-8, relative paths are taken from the login
// folder, bare names from the current folder. Worker thread only.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ftp/ftp_session.h"

namespace velmorix {

// An open listing of a remote folder. Closes itself when destroyed.
class RemoteListing {
 public:
  virtual ~RemoteListing() = default;
  // The next entry; kNoMoreFiles at the end, any other error when the
  // listing broke off (see FtpListing::Next).
  virtual FtpStatus Next(RemoteEntry& entry) = 0;
  // Ends the listing so that the next operation can be sent.
  virtual void Close() = 0;
};

// A listing of a remote folder: `folder` as the walk names it (from the
// login folder; "" is the current folder), and how.
struct FolderListing {
  std::string folder;
  ListingCommand command = ListingCommand::kPreferred;
  bool operator==(const FolderListing&) const = default;
  auto operator<=>(const FolderListing&) const = default;
};

// A listing read to its end, or as far as it went: how its opening ended
// (ok, kNoMoreFiles for an empty folder, or the error), its entries in the
// server's order, and how its reading ended (kNoMoreFiles at the end, or
// the error that broke it off).
struct FolderRead {
  FtpStatus opened;
  std::vector<RemoteEntry> entries;
  FtpStatus ended = FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {});
  // Read to its end: an empty folder too.
  bool Whole() const {
    return (opened.ok() || opened.kind == FtpErrorKind::kNoMoreFiles) &&
           ended.kind == FtpErrorKind::kNoMoreFiles;
  }
};

// A listing read before it was opened: hands out the entries of `read`
// after the first (which OpenListing gave), and ends as the read ended.
class HeldListing final : public RemoteListing {
 public:
  explicit HeldListing(FolderRead read) : read_(std::move(read)) {}
  FtpStatus Next(RemoteEntry& entry) override {
    if (next_ >= read_.entries.size())
      return read_.ended;
    entry = read_.entries[next_++];
    return FtpStatus::Ok();
  }
  void Close() override { next_ = read_.entries.size(); }

 private:
  const FolderRead read_;
  size_t next_ = 1;
};

// Whether the server has a file of the name an upload goes to.
enum class UploadTarget { kNewFile, kExistingFile };

// Called while an upload is sent with the bytes gone so far; must not block.
using UploadProgress = std::function<void(int64_t sent)>;

class RemoteSite {
 public:
  virtual ~RemoteSite() = default;

  virtual FtpStatus ChangeFolder(std::string_view path) = 0;
  // Lists `folder` ("" for the current one) and reads its first entry; an
  // empty folder gives kNoMoreFiles. `listing` is set when the status is ok.
  virtual FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                                std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) = 0;
  // True when kPreferred listings may show followed links as folders.
  virtual bool ListsWithMlsd() const = 0;
  virtual FtpStatus CreateFolder(std::string_view path) = 0;
  virtual FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                            const UploadProgress& progress, UploadTarget target) = 0;
  // Where an upload's last reply is left to be read with a later command
  // (a site with deferred checks, UploadNaming::deferChecks): each upload
  // put ends here, in order, once its reply has come; with `wait`, those
  // still outstanding are read first. A site that checks each upload at
  // once gives nothing.
  virtual std::vector<CheckedUpload> TakeCheckedUploads(bool wait) {
    (void)wait;
    return {};
  }
  // Breaks off the uploads that go on after PutFile returned (a canceled
  // run): TakeCheckedUploads then tells those that had not ended as
  // kCanceled. A site whose uploads have all gone when PutFile returns has
  // nothing to break off.
  virtual void BreakOffUploads() {}
  virtual FtpStatus DeleteFile(std::string_view name) = 0;
  virtual FtpStatus RemoveFolder(std::string_view name) = 0;

  // Whether `name` can be written in the server's name encoding, and that
  // encoding's label for a console line ("UTF-8", "Shift_JIS", ...).
  virtual bool CanWriteName(std::string_view name) const = 0;
  virtual std::string NameEncodingLabel() const = 0;
  // The encoding names are converted with now.
  virtual NameEncoding NameEncodingInUse() const { return NameEncoding::kUtf8; }
};

// `path` is one of `folders` or lies below one (a child's path is built
// from its parent's, so it begins with the parent's and a "/").
bool LiesWithin(const std::set<std::string, std::less<>>& folders, std::string_view path);

// Reads `listing` of `site` as far as it goes.
FolderRead ReadFolder(RemoteSite& site, const FolderListing& listing);

// A site that hands every operation to another one: the base of the sites
// that change a few of them. `site` must outlive it.
class ForwardingSite : public RemoteSite {
 public:
  explicit ForwardingSite(RemoteSite& site) : site_(site) {}

  FtpStatus ChangeFolder(std::string_view path) override { return site_.ChangeFolder(path); }
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override {
    return site_.OpenListing(folder, command, listing, first);
  }
  bool ListsWithMlsd() const override { return site_.ListsWithMlsd(); }
  FtpStatus CreateFolder(std::string_view path) override { return site_.CreateFolder(path); }
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget target) override {
    return site_.PutFile(localPath, remoteName, progress, target);
  }
  std::vector<CheckedUpload> TakeCheckedUploads(bool wait) override {
    return site_.TakeCheckedUploads(wait);
  }
  void BreakOffUploads() override { site_.BreakOffUploads(); }
  FtpStatus DeleteFile(std::string_view name) override { return site_.DeleteFile(name); }
  FtpStatus RemoveFolder(std::string_view name) override { return site_.RemoveFolder(name); }
  bool CanWriteName(std::string_view name) const override { return site_.CanWriteName(name); }
  std::string NameEncodingLabel() const override { return site_.NameEncodingLabel(); }
  NameEncoding NameEncodingInUse() const override { return site_.NameEncodingInUse(); }

 protected:
  RemoteSite& site_;
};

// The real site: an open FTP connection, which must outlive it.
// How a run's uploads reach their names: under a temporary name first
// (TemporaryUploadName with the run's tag and the connection's number), or
// directly. Every upload's size is checked.
struct UploadNaming {
  bool temporary = false;
  std::string runTag;
  int connection = 0;
  // Each upload's last reply is read with a later command (see
  // RemoteSite::TakeCheckedUploads); the caller must take them.
  bool deferChecks = false;
  StoreOptions For(std::string_view name) const;
};

class FtpSite final : public RemoteSite {
 public:
  explicit FtpSite(FtpConnection& connection, UploadNaming naming = {})
      : connection_(connection), naming_(std::move(naming)) {}

  FtpStatus ChangeFolder(std::string_view path) override;
  FtpStatus OpenListing(std::string_view folder, ListingCommand command,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override;
  bool ListsWithMlsd() const override;
  FtpStatus CreateFolder(std::string_view path) override;
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget target) override;
  std::vector<CheckedUpload> TakeCheckedUploads(bool wait) override;
  // Reads `listing` as ReadFolder does, but a listing read whole ends
  // without waiting for the server's last word on it, which comes with the
  // connection's next command: true then, and the read is not to be
  // believed until TakeCheckedListings has told of it (one status per such
  // read, in order; with `wait`, those outstanding are read first).
  bool ReadFolderAhead(const FolderListing& listing, FolderRead& read);
  std::vector<FtpStatus> TakeCheckedListings(bool wait);
  FtpStatus DeleteFile(std::string_view name) override;
  FtpStatus RemoveFolder(std::string_view name) override;
  bool CanWriteName(std::string_view name) const override;
  std::string NameEncodingLabel() const override;
  NameEncoding NameEncodingInUse() const override { return connection_.NameEncodingInUse(); }

 private:
  FtpConnection& connection_;
  UploadNaming naming_;
};

}  // namespace velmorix
