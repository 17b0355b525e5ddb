// Telling a server's folders from its links to folders. Worker thread only.
#pragma once

#include <string>
#include <string_view>

#include "engine/entry_table.h"
#include "engine/transfer_job.h"
#include "engine/walk_rules.h"

namespace velmorix {

// The boxes of the listing a confirmation belongs to.
struct ListingErrorBoxes {
  std::string_view cannotOpen;  // the listing could not be started
  std::string_view brokeOff;    // the listing broke off
};

// MLSD servers that follow symbolic links (pyftpdlib does) list a link to a
// folder, even one to ".." or ".", as a folder, and entering it would work
// on whatever it points to. Before the first folder of `table` is entered,
// its folder `folder` ("" for the server's current folder) is listed once
// more with "LIST -a", which shows links as links: every remote folder of
// the table that this listing does not show as a folder becomes a link, and
// is from then on handled as a file and never entered.
//
// Does nothing (and sends nothing) when the table's folders are confirmed
// already: listed with LIST, confirmed before, or none at all. Returns
// kCompleted, kCanceled when the listing was canceled, or kFailed after the
// matching box of `boxes`. Leaves the server's current folder at `folder`.
RunResult ConfirmRemoteFolders(const WalkContext& context, EntryTable& table,
                               const std::string& folder, const ListingErrorBoxes& boxes);

}  // namespace velmorix
