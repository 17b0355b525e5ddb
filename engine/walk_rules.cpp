#include "engine/walk_rules.h"

#include "engine/entry_table.h"

namespace velmorix {

WalkRules WalkRules::For(const FtpProfile& profile, const AppSettings& settings, bool dryRun) {
  WalkRules rules;
  rules.options = profile.options;
  rules.clock = ServerClock::Of(profile);
  rules.askBeforeDeleting = settings.deleteMessage != 0 && !dryRun;
  rules.keepDotFiles = settings.deleteDots != 0;
  rules.serverName = profile.url;
  rules.exclusions = ExclusionPatterns::Compile(profile.excludePatterns);
  return rules;
}

std::string_view FolderBelowTop(std::string_view path, int depth) {
  size_t start = path.size();
  for (int level = 0; level < depth && start > 0; ++level) {
    const size_t slash = path.rfind('/', start - 1);
    if (slash == std::string_view::npos)
      return path;
    start = slash;
  }
  return depth <= 0 ? std::string_view() : path.substr(start + 1);
}

bool Excludes(const WalkRules& rules, std::string_view folder, std::string_view name,
              bool isFolder) {
  return rules.exclusions.Excludes(folder, name, isFolder);
}

void LeaveExcludedAlone(const WalkRules& rules, std::string_view folder, EntryTable& table) {
  if (rules.exclusions.empty())
    return;
  int kept = 0;
  for (int i = 0; i < table.localCount; ++i) {
    if (Excludes(rules, folder, table.localName[i], table.localIsDir[i])) {
      MarkRemoteMatches(table, table.localName[i]);
      continue;
    }
    if (kept != i) {
      table.localName[kept] = std::move(table.localName[i]);
      table.localTime[kept] = table.localTime[i];
      table.localSize[kept] = table.localSize[i];
      table.localIsDir[kept] = table.localIsDir[i];
      table.localIsSpecial[kept] = table.localIsSpecial[i];
    }
    ++kept;
  }
  table.localCount = kept;
  table.localName.resize(kept);
  table.localTime.resize(kept);
  table.localSize.resize(kept);
  table.localIsDir.resize(kept);
  table.localIsSpecial.resize(kept);
  for (int i = 0; i < table.remoteCount; ++i) {
    if (!table.remoteMatched[i] &&
        Excludes(rules, folder, table.remoteName[i], table.remoteIsDir[i])) {
      table.remoteMatched[i] = true;
    }
  }
}

bool SkipsLocalFolder(const WalkRules& rules, std::string_view name) {
  if (rules.options.skipFrontPageFolders && name.starts_with('_'))
    return true;
  return rules.options.skipImagesFolder && IsImagesFolderName(name);
}

bool IgnoresFile(const WalkRules& rules, std::string_view name) {
  return rules.options.ignoreExeFiles && HasExeExtension(name);
}

UploadReason DecideUpload(const WalkRules& rules, int64_t localTime, int64_t localSize,
                          std::optional<ListedFile> remote) {
  if (!remote)
    return UploadReason::kNew;
  if (!rules.options.onlyNewer)
    return UploadReason::kReplace;
  if (localTime > ComparableServerTime(rules.clock, remote->time, remote->timeKind))
    return UploadReason::kNewer;
  return remote->size >= 0 && remote->size != localSize ? UploadReason::kSizeDiffers
                                                        : UploadReason::kUpToDate;
}

bool KeepsUnmatchedFile(const WalkRules& rules, std::string_view name) {
  return IgnoresFile(rules, name) || (rules.keepDotFiles && name.starts_with('.'));
}

}  // namespace velmorix
