// Reading before changing: a run reads every listing its walk will need,
// on its own connection and the extra ones at once, before it changes
// anything on the server; the walk then decides from what was read, first
// quietly (for the totals and the deletion guard, or as the dry run), then
// again as it carries the changes out, from the same listings and the same
// local entries, so the two cannot differ. Worker thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/local_scan.h"
#include "engine/remote_site.h"
#include "engine/transfer_job.h"
#include "engine/walk_rules.h"

namespace velmorix {

// What was read: remote listings by folder and command, local folders by
// path. Filled by ReadTreeAhead, then only read. It holds the whole tree
// until the run ends, so it keeps each folder packed (its names in one
// buffer) and hands out unpacked copies.
class ReadTree {
 public:
  // The entries of the folders at and below `remoteDir` that `rules`' user
  // exclusions leave alone are no entries of RemoteEntries. Before AddRemote.
  void LeaveExcludedOut(const WalkRules& rules, std::string remoteDir);
  void AddRemote(const FolderListing& listing, const FolderRead& read);
  bool HasRemote(const FolderListing& listing) const;
  // How the listing began, without unpacking it; nothing when not read.
  std::optional<FtpStatus> Opened(const FolderListing& listing) const;
  // Nothing when the listing was not read.
  std::optional<FolderRead> Remote(const FolderListing& listing) const;
  void AddLocal(const std::string& folder, const LocalScan& scan);
  bool HasLocal(const std::string& folder) const;
  std::optional<LocalScan> Local(const std::string& folder) const;
  // Entries of the folders read (with the preferred command) whose names
  // the walk could use and the user's exclusions do not leave alone: the
  // server's side of the tree as far as it was read.
  int64_t RemoteEntries() const { return remoteEntries_; }

 private:
  int64_t UsableEntries(const FolderListing& listing, const FolderRead& read) const;

  // One entry: its name ends at nameEnd of its folder's buffer.
  struct PackedEntry {
    int64_t time = 0;
    int64_t size = 0;
    uint32_t nameEnd = 0;
    uint8_t flags = 0;
    ListedTime timeKind = ListedTime::kUtc;  // a server entry's
  };
  struct PackedFolder {
    std::string names;
    std::vector<PackedEntry> entries;
  };
  struct PackedRead {
    FtpStatus opened;
    FtpStatus ended;
    int64_t usable = 0;  // as RemoteEntries counts them
    PackedFolder folder;
  };
  struct PackedScan {
    LocalScan::Outcome outcome = LocalScan::Outcome::kRead;
    int error = 0;
    PackedFolder folder;
  };

  WalkRules exclusions_;  // only its exclusions
  std::string remoteDir_;
  std::map<FolderListing, PackedRead> remote_;
  std::unordered_map<std::string, PackedScan> local_;
  int64_t remoteEntries_ = 0;
};

// Listings read on other connections. Walk thread only.
class ListingReaders {
 public:
  virtual ~ListingReaders() = default;

  // Reads `listing` on another connection, names as the run's own
  // connection converts them now; false when the others cannot read it now
  // (the names' encoding is not known yet), and it is the caller's.
  virtual bool Read(const FolderListing& listing) = 0;
  // A listing given to Read and not started yet, for the caller to read on
  // its own connection meanwhile; false when there is none.
  virtual bool TakeUnstarted(FolderListing& listing) = 0;
  // Waits for the next listing read by another connection; false when none
  // is being read and none waits for a connection that could take it.
  virtual bool NextRead(FolderListing& listing, FolderRead& read) = 0;
  // Lends the run's own connection to read as the others do, once its
  // names' encoding is known; true when lent. Until EndLending returns,
  // the caller must not use it.
  virtual bool Lend() { return false; }
  virtual void EndLending() {}
};

// Reads what the walk of `localDir` into `remoteDir` will read, as far as
// its rules tell before deciding: each remote folder that a local folder
// matches, the LIST that tells its links from its folders where the
// server lists with MLSD, and with deleteOnServer every folder below a
// remote folder no local entry matches; and every local folder the walk
// enters. `site` is the run's own connection's; `others` may be null.
// Failures are kept in the tree for the walk to report where it meets
// them. Returns kCompleted, or kCanceled on a cancel request.
RunResult ReadTreeAhead(RemoteSite& site, ListingReaders* others, RunOutput& output,
                        const WalkRules& rules, const std::string& localDir,
                        const std::string& remoteDir, ReadTree& tree);

}  // namespace velmorix
