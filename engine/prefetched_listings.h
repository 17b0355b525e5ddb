// Listings of remote folders read on other connections before the walk
// needs them, so that a run with nothing to do waits for one round trip per
// folder on several connections at once instead of several in a row on one.
// The walk still reads each listing itself, in its own order: what was read
// ahead is only handed to it when it asks. Walk thread only.
#pragma once

#include <string>
#include <vector>

#include "ftp/ftp_session.h"

namespace velmorix {

// A listing the walk will read: `folder` as the walk names it (from the
// login folder), and how.
struct FolderListing {
  std::string folder;
  ListingCommand command = ListingCommand::kPreferred;
  bool operator==(const FolderListing&) const = default;
};

class PrefetchedListings {
 public:
  virtual ~PrefetchedListings() = default;

  // Reads `listings` ahead, before anything asked for earlier, in their
  // order; names are converted in `encoding`. With `expand`, the folders
  // that a listing shows are read ahead as well (they are where the walk
  // goes next when they are local folders too). Asks beyond a small number
  // held at once are dropped.
  virtual void ReadAhead(const std::vector<FolderListing>& listings, bool expand,
                         NameEncoding encoding) = 0;
  // The entries read ahead for `listing`, once they have come; false when
  // it was not asked for, could not be read, or was not started yet (it is
  // then withdrawn, and the caller reads it itself).
  virtual bool Take(const FolderListing& listing, std::vector<RemoteEntry>& entries) = 0;
  // Drops what was read or asked for of `folder` and below it.
  virtual void Forget(const std::string& folder) = 0;

  // For a caller that would wait: true while `listing` is being read on
  // another connection.
  virtual bool BeingRead(const FolderListing& listing) = 0;
  // Hands the next listing asked for and not started to the caller, who
  // reads it on its own connection meanwhile and gives it back with
  // Deliver (`read` false when it could not be read, `listsWithMlsd` as
  // its connection says); false when there is none.
  virtual bool TakeWaiting(FolderListing& listing) = 0;
  virtual void Deliver(const FolderListing& listing, std::vector<RemoteEntry> entries, bool read,
                       bool listsWithMlsd) = 0;
};

}  // namespace velmorix
