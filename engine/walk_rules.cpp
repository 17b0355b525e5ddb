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
  return rules;
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
