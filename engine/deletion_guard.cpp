#include "engine/deletion_guard.h"

#include "base/display_text.h"
#include "engine/transfer_job.h"

namespace velmorix {
namespace {

// Deletions named in the question; the rest is counted.
constexpr size_t kPathsShown = 5;

}  // namespace

bool IsMassDeletion(const DeletionPlan& plan) {
  if (plan.deletions <= 0)
    return false;
  return plan.localHoldsNothing || plan.deletions >= plan.remoteEntries ||
         (plan.deletions * 2 > plan.remoteEntries && plan.deletions > kMassDeletionFloor);
}

std::string MassDeletionQuestion(const DeletionPlan& plan, const std::string& localDir,
                                 const std::string& remoteDir,
                                 const std::vector<std::string>& changes) {
  std::string text;
  if (plan.localHoldsNothing)
    text += "ローカルのフォルダーに転送するものがありません。\n";
  text += FormatText("FTP の %lld 件のうち %lld 件を削除しようとしています。\n",
                     static_cast<long long>(plan.remoteEntries),
                     static_cast<long long>(plan.deletions));
  text += "ローカル: " + localDir + "\n";
  text += "FTP: " + remoteDir + "\n";
  size_t shown = 0;
  for (const std::string& change : changes) {
    if (!change.starts_with("Delete file on FTP : ") &&
        !change.starts_with("Remove directory on FTP : ")) {
      continue;
    }
    if (shown++ == kPathsShown) {
      text += "...\n";
      break;
    }
    text += change + "\n";
  }
  text += "\n削除してもよろしいですか。";
  // The names are the server's and the disk's words.
  return EscapeControlCharacters(text, LineBreaks::kKeep);
}

}  // namespace velmorix
