#include "engine/tree_reader.h"

#include <algorithm>
#include <deque>
#include <set>
#include <utility>

#include "engine/entry_table.h"

namespace velmorix {

// The entries of `read` that the walk could use.
int64_t ReadTree::UsableEntries(const FolderListing& listing, const FolderRead& read) const {
  if (listing.command != ListingCommand::kPreferred)
    return 0;
  // Every folder read lies at or below the destination's folder.
  const std::string_view folder =
      listing.folder.size() > remoteDir_.size()
          ? std::string_view(listing.folder).substr(remoteDir_.size() + 1)
          : std::string_view();
  return std::count_if(read.entries.begin(), read.entries.end(), [&](const RemoteEntry& e) {
    // Our own leftovers are no entries of the user's.
    return IsUsableRemoteName(e.name) && !IsTemporaryUploadName(e.name) &&
           !Excludes(exclusions_, folder, e.name, e.isDir);
  });
}

void ReadTree::LeaveExcludedOut(const WalkRules& rules, std::string remoteDir) {
  exclusions_.exclusions = rules.exclusions;
  remoteDir_ = std::move(remoteDir);
}

namespace {

// The kinds of a packed entry.
constexpr uint8_t kPackedDir = 1;
constexpr uint8_t kPackedLink = 2;
constexpr uint8_t kPackedSpecial = 4;

template <typename Folder>
std::string_view PackedName(const Folder& folder, size_t i) {
  const uint32_t begin = i == 0 ? 0 : folder.entries[i - 1].nameEnd;
  return std::string_view(folder.names).substr(begin, folder.entries[i].nameEnd - begin);
}

}  // namespace

void ReadTree::AddRemote(const FolderListing& listing, const FolderRead& read) {
  PackedRead packed{.opened = read.opened,
                    .ended = read.ended,
                    .usable = UsableEntries(listing, read),
                    .folder = {}};
  if (const auto earlier = remote_.find(listing); earlier != remote_.end())
    remoteEntries_ -= earlier->second.usable;
  remoteEntries_ += packed.usable;
  size_t bytes = 0;
  for (const RemoteEntry& entry : read.entries)
    bytes += entry.name.size();
  packed.folder.names.reserve(bytes);
  packed.folder.entries.reserve(read.entries.size());
  for (const RemoteEntry& entry : read.entries) {
    packed.folder.names += entry.name;
    packed.folder.entries.push_back(
        {.time = entry.lastWriteTime,
         .size = entry.size,
         .nameEnd = static_cast<uint32_t>(packed.folder.names.size()),
         .flags = static_cast<uint8_t>((entry.isDir ? kPackedDir : 0) |
                                       (entry.isLink ? kPackedLink : 0)),
         .timeKind = entry.timeKind});
  }
  remote_.insert_or_assign(listing, std::move(packed));
}

bool ReadTree::HasRemote(const FolderListing& listing) const {
  return remote_.contains(listing);
}

std::optional<FtpStatus> ReadTree::Opened(const FolderListing& listing) const {
  const auto found = remote_.find(listing);
  if (found == remote_.end())
    return std::nullopt;
  return found->second.opened;
}

std::optional<FolderRead> ReadTree::Remote(const FolderListing& listing) const {
  const auto found = remote_.find(listing);
  if (found == remote_.end())
    return std::nullopt;
  const PackedRead& packed = found->second;
  FolderRead read{.opened = packed.opened, .entries = {}, .ended = packed.ended};
  read.entries.reserve(packed.folder.entries.size());
  for (size_t i = 0; i < packed.folder.entries.size(); ++i) {
    const PackedEntry& entry = packed.folder.entries[i];
    read.entries.push_back({.name = std::string(PackedName(packed.folder, i)),
                            .isDir = (entry.flags & kPackedDir) != 0,
                            .isLink = (entry.flags & kPackedLink) != 0,
                            .lastWriteTime = entry.time,
                            .size = entry.size,
                            .timeKind = entry.timeKind});
  }
  return read;
}

void ReadTree::AddLocal(const std::string& folder, const LocalScan& scan) {
  const EntryTable& table = scan.entries;
  PackedScan packed{.outcome = scan.outcome, .error = scan.error, .folder = {}};
  size_t bytes = 0;
  for (int i = 0; i < table.localCount; ++i)
    bytes += table.localName[i].size();
  packed.folder.names.reserve(bytes);
  packed.folder.entries.reserve(table.localCount);
  for (int i = 0; i < table.localCount; ++i) {
    packed.folder.names += table.localName[i];
    packed.folder.entries.push_back(
        {.time = table.localTime[i],
         .size = table.localSize[i],
         .nameEnd = static_cast<uint32_t>(packed.folder.names.size()),
         .flags = static_cast<uint8_t>((table.localIsDir[i] ? kPackedDir : 0) |
                                       (table.localIsSpecial[i] ? kPackedSpecial : 0))});
  }
  local_.insert_or_assign(folder, std::move(packed));
}

bool ReadTree::HasLocal(const std::string& folder) const {
  return local_.contains(folder);
}

std::optional<LocalScan> ReadTree::Local(const std::string& folder) const {
  const auto found = local_.find(folder);
  if (found == local_.end())
    return std::nullopt;
  const PackedScan& packed = found->second;
  LocalScan scan{.outcome = packed.outcome, .error = packed.error, .entries = {}};
  for (size_t i = 0; i < packed.folder.entries.size(); ++i) {
    const PackedEntry& entry = packed.folder.entries[i];
    AddLocalEntry(scan.entries, std::string(PackedName(packed.folder, i)), entry.time, entry.size,
                  (entry.flags & kPackedDir) != 0, (entry.flags & kPackedSpecial) != 0);
  }
  return scan;
}

namespace {

// A remote folder the walk will list, and the local folder it mirrors
// there (none for a folder read for its removal).
struct Want {
  FolderListing listing;
  std::string localDir;
  std::vector<LocalFolderId> ancestors;  // of localDir, itself included
  int depth = 0;
};

// The entry of `entries` that the local name `name` matches, as the walk
// matches: the first spelled alike, else the first that NamesMatch; -1.
int FindMatch(const std::vector<RemoteEntry>& entries, std::string_view name) {
  int folded = -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!IsUsableRemoteName(entries[i].name))
      continue;
    if (entries[i].name == name)
      return static_cast<int>(i);
    if (folded < 0 && NamesMatch(entries[i].name, name))
      folded = static_cast<int>(i);
  }
  return folded;
}

class Reader {
 public:
  Reader(RemoteSite& site, ListingReaders* others, RunOutput& output, const WalkRules& rules,
         ReadTree& tree)
      : site_(site), others_(others), output_(output), rules_(rules), tree_(tree) {}
  ~Reader() { EndLending(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  RunResult Run(const std::string& localDir, const std::string& remoteDir) {
    Want root;
    root.listing = {remoteDir, ListingCommand::kPreferred};
    root.localDir = localDir;
    if (LocalFolderId id; LocalFolderIdOf(localDir, id))
      root.ancestors.push_back(id);
    ScanLocal(localDir);
    // The run's own connection reads the first listing: its names may show
    // how the server writes names before anyone else converts them.
    waiting_.emplace(root.listing, root);
    own_.push_back(root.listing);
    for (;;) {
      if (output_.CancelRequested())
        return RunResult::kCanceled;
      // Once the others can read what it could, the own connection reads
      // beside them, and this thread only asks.
      if (own_.empty() && !lent_ && !lendingOver_ && others_ != nullptr)
        lent_ = others_->Lend();
      FolderListing next;
      if (!own_.empty()) {
        next = std::move(own_.front());
        own_.pop_front();
      } else if (others_ != nullptr && !lent_ && others_->TakeUnstarted(next)) {
        // Not lent (it is lost, or the run is breaking off): read here.
      } else {
        FolderRead read;
        if (others_ != nullptr && others_->NextRead(next, read)) {
          Got(next, std::move(read));
          continue;
        }
        // Nothing is being read; what was given back (a lost connection's)
        // is ours.
        EndLending();
        if (others_ == nullptr || !others_->TakeUnstarted(next))
          return RunResult::kCompleted;
      }
      Got(next, ReadFolder(site_, next));
    }
  }

 private:
  void EndLending() {
    if (lent_)
      others_->EndLending();
    lent_ = false;
    lendingOver_ = true;
  }

  void Ask(const FolderListing& listing) {
    if (!asked_.insert(listing).second)
      return;
    if (others_ == nullptr || !others_->Read(listing))
      own_.push_back(listing);
  }

  void ScanLocal(const std::string& folder) {
    if (!tree_.HasLocal(folder))
      tree_.AddLocal(folder, ScanLocalFolder(folder));
  }

  // The walk will list `want`'s folder.
  void Need(Want want) {
    if (!want.localDir.empty())
      ScanLocal(want.localDir);
    if (const std::optional<FolderRead> read = tree_.Remote(want.listing)) {
      AfterPreferred(std::move(want), *read);
      return;
    }
    const FolderListing listing = want.listing;
    waiting_.emplace(listing, std::move(want));
    Ask(listing);
  }

  void Got(const FolderListing& listing, FolderRead read) {
    // Read again, or failed by the server's late word on it: it replaces
    // what was read, and what that asked for stays asked.
    const bool again = tree_.HasRemote(listing);
    tree_.AddRemote(listing, read);
    if (again)
      return;
    const FolderRead& stored = read;
    if (listing.command == ListingCommand::kPreferred) {
      auto [first, last] = waiting_.equal_range(listing);
      std::vector<Want> wants;
      for (auto it = first; it != last; ++it)
        wants.push_back(std::move(it->second));
      waiting_.erase(first, last);
      for (Want& want : wants)
        AfterPreferred(std::move(want), stored);
      return;
    }
    auto [first, last] = confirming_.equal_range(listing.folder);
    std::vector<Want> wants;
    for (auto it = first; it != last; ++it)
      wants.push_back(std::move(it->second));
    confirming_.erase(first, last);
    for (const Want& want : wants)
      Expand(want, *tree_.Remote(want.listing), &stored);
  }

  // The folder's listing has come: where it may show followed links as
  // folders (MLSD), the LIST that tells them apart comes first, as the
  // walk confirms before it enters.
  void AfterPreferred(Want want, const FolderRead& read) {
    if (!read.Whole())
      return;  // the walk fails there
    const bool anyFolder = std::any_of(read.entries.begin(), read.entries.end(),
                                       [](const RemoteEntry& e) { return e.isDir && !e.isLink; });
    if (!anyFolder || !site_.ListsWithMlsd()) {
      Expand(want, read, nullptr);
      return;
    }
    const FolderListing confirm{want.listing.folder, ListingCommand::kList};
    if (const std::optional<FolderRead> confirmed = tree_.Remote(confirm)) {
      Expand(want, read, &*confirmed);
      return;
    }
    // The folders below are read meanwhile as if the LIST confirmed them
    // all; only those it confirms are walked further.
    for (const Want& child : Children(want, read, nullptr)) {
      if (!child.listing.folder.empty())
        Ask(child.listing);
    }
    confirming_.emplace(confirm.folder, std::move(want));
    Ask(confirm);
  }

  // Asks for what the walk will read below `want`'s folder, and reads the
  // local folders it creates there.
  void Expand(const Want& want, const FolderRead& read, const FolderRead* confirm) {
    for (Want& child : Children(want, read, confirm)) {
      if (child.listing.folder.empty()) {
        LocalOnly(child.localDir, std::move(child.ancestors), child.depth);
      } else {
        Need(std::move(child));
      }
    }
  }

  // The folders the walk enters below `want`'s folder: those a local folder
  // matches, the local ones it creates (with no listing), and with
  // deleteOnServer those no local entry matches. With `confirm`, only the
  // folders it shows as folders count.
  std::vector<Want> Children(const Want& want, const FolderRead& read, const FolderRead* confirm) {
    std::vector<Want> children;
    if (want.depth >= kMaxFolderDepth)
      return children;
    std::set<std::string, std::less<>> confirmed;
    if (confirm != nullptr && confirm->Whole()) {
      for (const RemoteEntry& entry : confirm->entries) {
        if (entry.isDir && !entry.isLink)
          confirmed.insert(entry.name);
      }
    }
    const std::vector<RemoteEntry>& entries = read.entries;
    const auto isFolder = [&](const RemoteEntry& entry) {
      return IsUsableRemoteName(entry.name) && entry.isDir && !entry.isLink &&
             (confirm == nullptr || confirmed.contains(entry.name));
    };
    const std::string& folder = want.listing.folder;
    const std::string_view below =
        FolderBelowTop(want.localDir.empty() ? folder : want.localDir, want.depth);
    const std::optional<LocalScan> local =
        want.localDir.empty() ? std::nullopt : tree_.Local(want.localDir);
    if (local && local->outcome != LocalScan::Outcome::kRead)
      return children;  // the walk fails there
    if (local) {
      const EntryTable& table = local->entries;
      for (int i = 0; i < table.localCount; ++i) {
        const std::string& name = table.localName[i];
        if (!table.localIsDir[i] || SkipsLocalFolder(rules_, name) ||
            Excludes(rules_, below, name, true)) {
          continue;
        }
        Want child;
        child.localDir = JoinPath(want.localDir, name);
        child.ancestors = want.ancestors;
        child.depth = want.depth + 1;
        LocalFolderId id;
        if (LocalFolderIdOf(child.localDir, id)) {
          if (std::find(child.ancestors.begin(), child.ancestors.end(), id) !=
              child.ancestors.end()) {
            continue;  // a link loop, which the walk passes over
          }
          child.ancestors.push_back(id);
        }
        const int match = FindMatch(entries, name);
        if (match >= 0 && !isFolder(entries[match]))
          continue;  // a file or a link in its place, which the walk passes over
        if (match >= 0)
          child.listing = {JoinPath(folder, entries[match].name), ListingCommand::kPreferred};
        children.push_back(std::move(child));
      }
    }
    if (!rules_.options.deleteOnServer)
      return children;
    for (const RemoteEntry& entry : entries) {
      if (!isFolder(entry) || Excludes(rules_, below, entry.name, true))
        continue;
      bool matched = false;
      if (local) {
        const EntryTable& table = local->entries;
        for (int i = 0; i < table.localCount && !matched; ++i)
          matched = NamesMatch(table.localName[i], entry.name);
      }
      // Removed with everything below it.
      if (!matched) {
        Want child;
        child.listing = {JoinPath(folder, entry.name), ListingCommand::kPreferred};
        child.depth = want.depth + 1;
        children.push_back(std::move(child));
      }
    }
    return children;
  }

  // A local folder the server does not have: the walk creates it and walks
  // it with nothing on the server's side.
  void LocalOnly(const std::string& folder, std::vector<LocalFolderId> ancestors, int depth) {
    if (depth > kMaxFolderDepth)
      return;
    ScanLocal(folder);
    const LocalScan scan = *tree_.Local(folder);
    const EntryTable& table = scan.entries;
    const std::string_view here = FolderBelowTop(folder, depth);
    for (int i = 0; i < table.localCount; ++i) {
      if (!table.localIsDir[i] || SkipsLocalFolder(rules_, table.localName[i]) ||
          Excludes(rules_, here, table.localName[i], true)) {
        continue;
      }
      const std::string child = JoinPath(folder, table.localName[i]);
      LocalFolderId id;
      if (!LocalFolderIdOf(child, id) ||
          std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
        continue;
      }
      std::vector<LocalFolderId> below = ancestors;
      below.push_back(id);
      LocalOnly(child, std::move(below), depth + 1);
    }
  }

  RemoteSite& site_;
  ListingReaders* others_;
  RunOutput& output_;
  const WalkRules& rules_;
  ReadTree& tree_;
  std::multimap<FolderListing, Want> waiting_;   // preferred listings asked for
  std::multimap<std::string, Want> confirming_;  // by folder: their LIST asked for
  std::deque<FolderListing> own_;                // for the run's own connection
  std::set<FolderListing> asked_;                // to the others or the own connection
  bool lent_ = false;                            // the own connection reads for the others
  bool lendingOver_ = false;
};

}  // namespace

RunResult ReadTreeAhead(RemoteSite& site, ListingReaders* others, RunOutput& output,
                        const WalkRules& rules, const std::string& localDir,
                        const std::string& remoteDir, ReadTree& tree) {
  tree.LeaveExcludedOut(rules, remoteDir);
  return Reader(site, others, output, rules, tree).Run(localDir, remoteDir);
}

}  // namespace velmorix
