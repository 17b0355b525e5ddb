// What the walk and the pruning decide, apart from carrying it out: which
// local entries are left out, which files are uploaded and why, which
// unmatched server entries are kept, and what is asked. The functions only
// look at names, times and the run's rules; they never touch a file or the
// server, so every rule can be tried without either.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "engine/server_clock.h"
#include "settings/app_settings.h"
#include "settings/exclusion_patterns.h"

namespace velmorix {

struct EntryTable;
class ParallelUploads;
class ReadTree;
struct ParallelUpload;
class RemoteSite;
class RunOutput;

// Everything a run's rules depend on, taken from the destination and the
// application's settings when the run starts.
struct WalkRules {
  TransferOptions options;
  ServerClock clock;               // how the server's listed times are read
  bool askBeforeDeleting = false;  // deleteMessage, and never in a dry run
  bool keepDotFiles = false;       // deleteDots: unmatched "." files stay on the server
  std::string serverName;          // the destination's server, for a console line
  ExclusionPatterns exclusions;    // 除外するファイル, compiled once for the run

  static WalkRules For(const FtpProfile& profile, const AppSettings& settings, bool dryRun);
};

// What a step of the walk or the pruning needs: the server, the run's
// reporting and its rules, and where uploads may go besides the site's own
// connection (none: every upload goes there). All outlive the walk.
struct WalkContext {
  RemoteSite& site;
  RunOutput& output;
  const WalkRules& rules;
  ParallelUploads* uploads = nullptr;
  // What was read before the run changed anything; null: read as it goes.
  const ReadTree* tree = nullptr;
  // Where the site leaves each upload's last reply for later
  // (RemoteSite::TakeCheckedUploads): the walk's own uploads wait here, in
  // order, until it has come. Null: every upload ends when it is put.
  std::deque<ParallelUpload>* unchecked = nullptr;
};

// The path, below the destination's folder, of the folder `path` that lies
// `depth` levels below it, local or remote: its last `depth` names, "" for
// the destination's folder itself. Every path of the walk is its parent's
// and a name (JoinPath), and no name holds a "/".
std::string_view FolderBelowTop(std::string_view path, int depth);

// The user's exclusions, the one rule the walk, the pruning, the reading
// ahead and the deletion guard all ask: the entry `name` (a folder when
// `isFolder`) of `folder` (FolderBelowTop) is left alone on both sides:
// neither uploaded, created, entered, deleted nor asked about.
bool Excludes(const WalkRules& rules, std::string_view folder, std::string_view name,
              bool isFolder);

// Applies Excludes to the table of `folder` once both sides are listed:
// the excluded local entries leave the table, and every remote entry
// that one of them names (MarkRemoteMatches), or that is excluded itself,
// is marked matched, so that the pruning passes it over whatever the
// deletion settings say.
void LeaveExcludedAlone(const WalkRules& rules, std::string_view folder, EntryTable& table);

// A local folder that is not published, nor entered: "_" folders and
// "Images" when the options say so.
bool SkipsLocalFolder(const WalkRules& rules, std::string_view name);

// A file that is neither uploaded nor deleted: ".exe" when the options say so.
bool IgnoresFile(const WalkRules& rules, std::string_view name);

// Why a local file is uploaded, or that it is not.
enum class UploadReason {
  kUpToDate,  // the server's copy is not older (only with onlyNewer)
  kNew,       // the server has no file of that name
  kNewer,     // the local copy is newer than the server's
  kReplace,   // the server has one, and onlyNewer is off
  // With onlyNewer: the server's copy is not older, but its size differs
  // (an upload cut short, which its newer time would otherwise hide).
  kSizeDiffers,
};

// The matching server file as listed.
struct ListedFile {
  int64_t time = 0;   // seconds since 1970 of the clock `timeKind` says
  int64_t size = -1;  // -1 when the listing gives none
  ListedTime timeKind = ListedTime::kUtc;
};

// `remote` is the matching server file, none when there is no match. Its
// time is read as the rules' clock says (ComparableServerTime).
UploadReason DecideUpload(const WalkRules& rules, int64_t localTime, int64_t localSize,
                          std::optional<ListedFile> remote);

// An unmatched server file that the pruning keeps: ignored files, and with
// keepDotFiles the names that begin with ".". Unmatched folders are never kept.
bool KeepsUnmatchedFile(const WalkRules& rules, std::string_view name);

}  // namespace velmorix
