#include "engine/remote_folders.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/remote_site.h"

namespace velmorix {

RunResult ConfirmRemoteFolders(const WalkContext& context, EntryTable& table,
                               const std::string& folder, const ListingErrorBoxes& boxes) {
  if (table.remoteFoldersConfirmed)
    return RunResult::kCompleted;
  if (std::none_of(table.remoteIsDir.begin(), table.remoteIsDir.end(),
                   [](bool isDir) { return isDir; })) {
    table.remoteFoldersConfirmed = true;
    return RunResult::kCompleted;
  }

  // Only the names that LIST shows as real folders are kept; a folder that
  // LIST does not show at all cannot be told from a link and is not trusted
  // either.
  std::vector<std::string> confirmed;
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  FtpStatus status = context.site.OpenListing(folder, ListingCommand::kList, listing, entry);
  const bool opened = status.ok() || status.kind == FtpErrorKind::kNoMoreFiles;
  for (; status.ok(); status = listing->Next(entry)) {
    if (entry.isDir && !entry.isLink)
      confirmed.push_back(entry.name);
  }
  if (status.kind == FtpErrorKind::kCanceled) {
    context.output.CancelRequested();  // the request has been acted on
    return RunResult::kCanceled;
  }
  if (status.kind != FtpErrorKind::kNoMoreFiles) {
    if (listing)
      listing->Close();
    context.output.Fail(opened ? boxes.brokeOff : boxes.cannotOpen, folder, status);
    return RunResult::kFailed;
  }

  std::sort(confirmed.begin(), confirmed.end());
  for (int i = 0; i < table.remoteCount; ++i) {
    if (table.remoteIsDir[i] &&
        !std::binary_search(confirmed.begin(), confirmed.end(), table.remoteName[i])) {
      table.remoteIsDir[i] = false;
      table.remoteIsLink[i] = true;
    }
  }
  table.remoteFoldersConfirmed = true;
  return RunResult::kCompleted;
}

}  // namespace velmorix
