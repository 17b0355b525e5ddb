#include "engine/transfer_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "base/display_text.h"
#include "engine/cached_site.h"
#include "engine/deletion_guard.h"
#include "engine/dry_run_site.h"
#include "engine/mirror_walk.h"
#include "engine/remote_site.h"
#include "engine/server_clock.h"
#include "engine/site_pool.h"
#include "engine/transfer_job.h"
#include "engine/transfer_worker.h"
#include "engine/tree_reader.h"
#include "engine/upload_pool.h"
#include "engine/walk_uploads.h"
#include "resources/string_table.h"
#include "settings/destinations.h"

namespace velmorix {
namespace {

constexpr size_t kMaxConnectErrorLength = 1023;

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 character.
std::string CutText(std::string text, size_t limit) {
  if (text.size() <= limit)
    return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  text.resize(end);
  return text;
}

// The thread's body. Nothing is meant to throw below it; should something
// (memory running out) still do so, the run ends as failed instead of taking
// the whole program down, and the console is told so that it can be closed.
void GuardedWorker(const WorkerProcedure& worker, TransferJob& job) {
  try {
    worker(job);
  } catch (const std::exception&) {
    if (job.completion == CompletionCode::kRunning) {
      job.completion = CompletionCode::kFailed;
      job.console.JobDone(job.completion);
    }
    job.logFile.reset();
  }
}

}  // namespace

void PostCompletion(TransferJob& job, RunResult result) {
  job.completion = CompletionCodeFor(result);
  job.console.JobDone(job.completion);
}

CompletionCode RunOnWorker(const RunRequest& request, const WorkerProcedure& worker,
                           WatchedProgress watched) {
  // A request left over from the end of an earlier run must not cancel this one.
  request.cancelEvent.Clear();
  TransferJob job(request.settings, request.profile, request.console, request.cancelEvent,
                  request.logPath, request.timeouts, request.mode);
  job.maxDelete = request.maxDelete;
  job.connector = request.connector;
  job.historyPath = request.historyPath;
  job.destination = request.profile.name;
  if (watched == WatchedProgress::kShown)
    request.console.WatchProgress(job.progress);
  // Declared after the job, so that on every way out the thread is joined
  // before the job it works on is destroyed.
  std::jthread thread;
  try {
    thread = std::jthread(GuardedWorker, std::cref(worker), std::ref(job));
  } catch (const std::system_error& error) {
    // Without a worker there is nothing that could end the console's modal
    // state, so it is not shown.
    request.console.ShowError(error.what());
    return CompletionCode::kFailed;
  }
  request.console.RunModal();
  thread.join();
  if (request.learned != nullptr)
    *request.learned = job.learned;
  if (request.report != nullptr) {
    request.report->failures = std::move(job.failures);
    request.report->endedByAnswer = job.endedByAnswer;
    request.report->totals = job.progress.Read();
  }
  return job.completion;
}

namespace {

DataConnectionMode DataModeOf(const FtpProfile& profile) {
  switch (profile.dataMode) {
    case kDataModePassive:
      return DataConnectionMode::kPassive;
    case kDataModeActive:
      return DataConnectionMode::kActive;
    default:
      return DataConnectionMode::kAuto;
  }
}

FtpSecurity SecurityOf(const FtpProfile& profile) {
  switch (profile.security) {
    case kSecurityTlsIfAvailable:
      return FtpSecurity::kTlsIfAvailable;
    case kSecurityTlsRequired:
      return FtpSecurity::kTlsRequired;
    default:
      return FtpSecurity::kNone;
  }
}

// The question about a certificate that failed verification.
std::string CertificateQuestionText(const CertificateInfo& certificate) {
  std::string text;
  if (certificate.changed)
    text += "サーバーの証明書が、前回信頼したものから変わっています。\n";
  text += "サーバーの証明書を確認できませんでした。\n";
  text += "理由: " + certificate.reason + "\n";
  text += "発行先: " + certificate.subject + "\n";
  text += "発行者: " + certificate.issuer + "\n";
  text += "有効期間: " + certificate.validFrom + " ～ " + certificate.validUntil + "\n";
  text += "SHA-256 フィンガープリント: " + certificate.fingerprint + "\n\n";
  text += "この証明書を信頼して接続しますか？";
  // The names in a certificate are the server's words.
  return EscapeControlCharacters(text, LineBreaks::kKeep);
}

// The encoding a setting's number stands for (nameEncoding, or what 自動
// decided in an earlier run); kAuto for 自動 or nothing decided.
NameEncoding NameEncodingOf(int32_t setting) {
  switch (setting) {
    case kNameEncodingUtf8:
      return NameEncoding::kUtf8;
    case kNameEncodingShiftJis:
      return NameEncoding::kShiftJis;
    case kNameEncodingEucJp:
      return NameEncoding::kEucJp;
    default:
      return NameEncoding::kAuto;
  }
}

// The settings' number of a decided encoding.
int32_t NameEncodingSetting(NameEncoding encoding) {
  switch (encoding) {
    case NameEncoding::kUtf8:
      return kNameEncodingUtf8;
    case NameEncoding::kShiftJis:
      return kNameEncodingShiftJis;
    case NameEncoding::kEucJp:
      return kNameEncodingEucJp;
    case NameEncoding::kAuto:
      break;
  }
  return kNameEncodingAuto;
}

// What every connection of a run takes from the destination.
FtpConnectOptions ConnectOptionsOf(const FtpProfile& profile) {
  FtpConnectOptions options;
  options.dataMode = DataModeOf(profile);
  options.nameEncoding = NameEncodingOf(profile.nameEncoding);
  if (options.nameEncoding == NameEncoding::kAuto)
    options.decidedNameEncoding = NameEncodingOf(profile.autoNameEncoding);
  options.security = SecurityOf(profile);
  options.trustedFingerprint = profile.trustedFingerprint;
  return options;
}

PoolLogin PoolLoginOf(const TransferJob& job, const UploadNaming& naming) {
  PoolLogin login;
  login.host = job.profile.url;
  login.port = PortOf(job.profile);
  login.userId = job.profile.userId;
  login.password = job.profile.password;
  login.timeouts = job.timeouts;
  login.options = ExtraConnectOptions(job);
  login.serverName = job.profile.url;
  login.naming = naming;
  return login;
}

// 自動 learned that passive data connections fail at this destination.
bool StartsInActiveMode(const FtpProfile& profile) {
  return profile.dataMode == kDataModeAuto && profile.autoDataMode == kDataModeActive;
}

}  // namespace

std::string NewRunTag() {
  std::random_device random;
  std::uniform_int_distribution<uint32_t> any;
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", any(random));
  return tag;
}

uint16_t PortOf(const FtpProfile& profile) {
  return static_cast<uint16_t>(static_cast<uint32_t>(profile.port) & 0xFFFFu);
}

int ConnectionsOf(const FtpProfile& profile) {
  return std::clamp(profile.connections, kMinConnections, kMaxConnections);
}

FtpConnectOptions RunConnectOptions(TransferJob& job) {
  FtpConnectOptions options = ConnectOptionsOf(job.profile);
  options.certificateCheck = [&job](const CertificateInfo& certificate) {
    const bool trusted =
        job.console.TrustCertificate(certificate, CertificateQuestionText(certificate));
    if (trusted)
      job.learned.acceptedFingerprint = certificate.fingerprint;
    return trusted;
  };
  // What the connection decides about its data connections is shown as a
  // line of its own; the run's other lines and its log stay as they are.
  options.notice = [&job](const std::string& line) {
    job.statusLine = line;
    job.Output(kOutputConsole);
  };
  return options;
}

FtpConnectOptions ExtraConnectOptions(const TransferJob& job) {
  FtpConnectOptions options = ConnectOptionsOf(job.profile);
  options.security = job.connection.Encrypted() ? FtpSecurity::kTlsRequired : FtpSecurity::kNone;
  if (!job.learned.acceptedFingerprint.empty())
    options.trustedFingerprint = job.learned.acceptedFingerprint;
  options.features = job.connection.Features();
  options.passwordWithUser = job.connection.LoggedInWithPassword();
  return options;
}

bool ConnectServer(TransferJob& job) {
  job.session.emplace(std::string(strings::kProgramName), job.timeouts, RunConnectOptions(job));
  job.Report(kOutputConsole, "Connect to %s processing...", job.profile.url.c_str());
  const uint16_t port = PortOf(job.profile);
  const FtpStatus status = job.session->Connect(job.profile.url, port, job.profile.userId,
                                                job.profile.password, job.connection);
  if (!status.ok()) {
    job.Fail(ConnectionFailure(job.profile.url, port,
                               {status.kind, CutText(status.text, kMaxConnectErrorLength)}));
    job.connection.Close();
    job.session.reset();
    return false;
  }
  // A listing or an upload that waits on the server ends within a second of
  // a cancel request, instead of at the next step after it.
  CancelEvent& cancelEvent = job.cancelEvent;
  job.connection.SetCancelCheck([&cancelEvent] { return cancelEvent.IsSet(); });
  // Without the wait for a passive connection that never comes.
  const bool startsActive = StartsInActiveMode(job.profile);
  if (startsActive)
    job.connection.TurnToActiveMode();
  job.learned.connectedWithTls = job.connection.Encrypted();
  // For the hint of a refused data connection.
  FtpConnection& connection = job.connection;
  job.inActiveMode = [startsActive, &connection] {
    return startsActive || connection.TurnedToActiveMode();
  };
  job.Report(kOutputConsole, "Connect to %s complete!", job.profile.url.c_str());
  return true;
}

std::unique_ptr<OpenSite> ConnectSite(TransferJob& job, const UploadNaming& naming,
                                      bool& canceled) {
  job.Report(kOutputConsole, "Connect to %s processing...", job.profile.url.c_str());
  const CancelEvent& cancelEvent = job.cancelEvent;
  FtpStatus status;
  std::unique_ptr<OpenSite> open =
      job.connector->Open({.profile = job.profile,
                           .naming = naming,
                           .console = &job.console,
                           .cancelCheck = [&cancelEvent] { return cancelEvent.IsSet(); },
                           .timeouts = job.timeouts},
                          status);
  canceled = !open && status.kind == FtpErrorKind::kCanceled;
  if (canceled) {
    job.CancelRequested();  // the request has been acted on
    return nullptr;
  }
  if (!open) {
    job.Fail(ConnectionFailure(job.profile.url, PortOf(job.profile),
                               {status.kind, CutText(status.text, kMaxConnectErrorLength)}));
    return nullptr;
  }
  job.Report(kOutputConsole, "Connect to %s complete!", job.profile.url.c_str());
  job.Report(kOutputConsole, "Login to %s by %s", job.profile.url.c_str(),
             open->LoginText().c_str());
  return open;
}

void NoteAutoNameEncoding(TransferJob& job) {
  if (job.profile.nameEncoding == kNameEncodingAuto && job.connection.NameEncodingSettled())
    job.learned.autoNameEncoding = NameEncodingSetting(job.connection.NameEncodingInUse());
}

void NoteAutoDataMode(TransferJob& job) {
  if (job.profile.dataMode != kDataModeAuto)
    return;
  if (StartsInActiveMode(job.profile)) {
    // Passive mode may work again (another network, another firewall).
    if (job.connection.ActiveModeFailed())
      job.learned.autoDataMode = kDataModeAuto;
  } else if (job.connection.TurnedToActiveMode() && !job.connection.ActiveModeFailed()) {
    job.learned.autoDataMode = kDataModeActive;
  }
}

void DisconnectServer(TransferJob& job) {
  // Everything the run sent has been answered; the server's goodbye would
  // only keep the run waiting for one more round trip.
  job.connection.Leave();
  job.session.reset();
}

namespace {

// The console of the quiet pass that decides a publish before it changes
// anything: it shows nothing but a failure's box (after the line the walk
// showed last, as a run that failed there would have left it), and keeps
// the changes it decided on. Worker thread only.
class DecidingConsole final : public RunConsole {
 public:
  explicit DecidingConsole(RunConsole& shown) : shown_(shown) {}

  void ShowLine(const std::string& line) override { lastLine_ = line; }
  void ShowError(const std::string& text) override {
    if (!lastLine_.empty())
      shown_.ShowLine(lastLine_);
    shown_.ShowError(text);
  }
  void ShowFailure(const RunFailure& failure) override {
    if (!lastLine_.empty())
      shown_.ShowLine(lastLine_);
    shown_.ShowFailure(failure);
  }
  // Nothing is asked while deciding: the walk decides as if every
  // deletion were answered yes, which is the most the run may change.
  Answer Ask(const std::string&) override { return Answer::kYes; }
  bool TrustCertificate(const CertificateInfo&, const std::string&) override { return false; }
  bool ConfirmMassDeletion(const std::string&, int64_t) override { return false; }
  void JobDone(CompletionCode) override {}
  void ShowChange(const std::string& line) override { changes.push_back(line); }
  void ShowSummary(const std::string&) override {}
  void WatchProgress(const RunProgress&) override {}
  void RunModal() override {}

  std::vector<std::string> changes;  // as a dry run shows them, in order

 private:
  RunConsole& shown_;
  std::string lastLine_;
};

// Whether the local folder holds anything the walk would publish.
bool LocalHoldsSomething(const ReadTree& tree, const WalkRules& rules, const std::string& folder) {
  const std::optional<LocalScan> scan = tree.Local(folder);
  if (!scan)
    return true;  // not read: the walk says why
  const EntryTable& table = scan->entries;
  for (int i = 0; i < table.localCount; ++i) {
    const std::string& name = table.localName[i];
    if (Excludes(rules, "", name, table.localIsDir[i]))
      continue;
    if (table.localIsDir[i] ? !SkipsLocalFolder(rules, name)
                            : !table.localIsSpecial[i] && !IgnoresFile(rules, name)) {
      return true;
    }
  }
  return false;
}

// Before the first change of a publish: a run that would delete that much
// stops, unless the user (or --max-delete) allows it. kStopped after saying
// why, else kCompleted.
RunResult GuardDeletions(TransferJob& job, const WalkRules& rules, const ReadTree& tree,
                         const ProgressSnapshot& decided, const std::vector<std::string>& changes) {
  const DeletionPlan plan{decided.entriesDeleted, tree.RemoteEntries(),
                          !LocalHoldsSomething(tree, rules, job.profile.localDir)};
  bool allowed = true;
  if (job.maxDelete) {
    allowed = plan.deletions <= *job.maxDelete;
  } else if (IsMassDeletion(plan)) {
    allowed = job.console.ConfirmMassDeletion(
        MassDeletionQuestion(plan, job.profile.localDir, job.profile.remoteDir, changes),
        plan.deletions);
  }
  if (allowed)
    return RunResult::kCompleted;
  job.Report(kOutputConsole, "Stopped before deleting %lld of %lld entries on FTP",
             static_cast<long long>(plan.deletions), static_cast<long long>(plan.remoteEntries));
  job.console.ShowSummary(FormatText(
      "Summary : nothing changed, stopped before deleting %lld of %lld entries on FTP",
      static_cast<long long>(plan.deletions), static_cast<long long>(plan.remoteEntries)));
  return RunResult::kStopped;
}

// After a publish with 時刻の補正 自動: the server's clock, learned from the
// last file that arrived (ListedClockOffset), for job.learned. One listing
// of one folder per publish that uploaded something, none on a server that
// lists with MLSD. Learned on every such run, so that a server whose clock
// moves (summer time) is followed; a run that cannot tell learns nothing
// and shows nothing.
void LearnServerClock(TransferJob& job, RemoteSite& site) {
  const std::optional<ArrivedFile> arrived = job.progress.LastArrived();
  if (job.profile.clockMode != kClockModeAuto || !arrived)
    return;
  const std::optional<int32_t> learned = ListedClockOffset(site, *arrived);
  if (!learned)
    return;
  job.learned.clockOffset = *learned;
  if (*learned != job.profile.clockOffset) {
    job.Report(kOutputConsole, "Server clock learned : %s from %s",
               ClockOffsetText(*learned).c_str(),
               JoinPath(arrived->remoteDir, arrived->name).c_str());
  }
}

}  // namespace

namespace {

// The sites a publish works through, whatever the protocol.
struct PublishSites {
  RemoteSite& reading;   // reads the tree and enters the remote folder
  RemoteSite& changing;  // carries the changes out
  ListingReaders* readers = nullptr;
  ParallelUploads* uploads = nullptr;
  // Each upload's last reply on `changing` is read with a later command.
  bool deferredChecks = false;
};

// Enters the remote folder, reads the tree, decides (the dry run shows
// it), guards the deletions and carries the changes out. `walked` tells
// whether a walk that changes or shows changes ran. `read` is called once
// the tree has been read whole.
RunResult Publish(TransferJob& job, const WalkRules& rules, const PublishSites& sites, bool& walked,
                  const std::function<void()>& read) {
  const bool dryRun = job.mode == RunMode::kDryRun;
  RunResult result = RunResult::kFailed;
  walked = false;
  ReadTree tree;
  if (const FtpStatus status = sites.reading.ChangeFolder(job.profile.remoteDir); !status.ok()) {
    job.Report(kOutputConsole, "Velmorix Failed..See Error Message !!");
    job.Fail(ParameterErrorText(strings::kTagFtpServerPath), job.profile.remoteDir, status);
  } else if (job.CancelRequested()) {
    result = RunResult::kCanceled;
  } else {
    result = ReadTreeAhead(sites.reading, sites.readers, job, rules, job.profile.localDir,
                           job.profile.remoteDir, tree);
    if (result == RunResult::kCompleted && read)
      read();
  }
  if (result == RunResult::kCompleted) {
    // Decide the whole run from what was read, as a dry run does: a dry run
    // shows it, a publish learns its totals.
    CachedSite cached(sites.reading, tree);
    DryRunSite deciding(cached);
    DecidingConsole quiet(job.console);
    RunOutput decided(quiet, job.cancelEvent, {}, RunMode::kDryRun);
    decided.inActiveMode = job.inActiveMode;
    RunOutput& output = dryRun ? static_cast<RunOutput&>(job) : decided;
    const WalkRules decidingRules = WalkRules::For(job.profile, job.settings, true);
    result = MirrorDirectory({deciding, output, decidingRules, nullptr, &tree},
                             job.profile.localDir, job.profile.remoteDir);
    if (&output != &job)
      job.failures.insert(job.failures.end(), decided.failures.begin(), decided.failures.end());
    const ProgressSnapshot totals = output.progress.Read();
    job.progress.SetTotals(totals.filesUploaded, totals.bytesUploaded);
    walked = dryRun;
    if (result == RunResult::kCompleted && !dryRun)
      result = GuardDeletions(job, rules, tree, totals, quiet.changes);
  }
  if (result == RunResult::kCompleted && !dryRun) {
    // Carry it out: the same walk over the same listings, now changing.
    CachedSite cached(sites.changing, tree);
    std::deque<ParallelUpload> unchecked;
    walked = true;
    const WalkContext context{cached,        job,   rules,
                              sites.uploads, &tree, sites.deferredChecks ? &unchecked : nullptr};
    result = MirrorDirectory(context, job.profile.localDir, job.profile.remoteDir);
    result = EndParallelUploads(context, result);
  }
  return result;
}

// The run's last lines: how it ended, and what it changed or would change.
void ReportEnd(TransferJob& job, RunResult result, bool walked) {
  const bool dryRun = job.mode == RunMode::kDryRun;
  if (result == RunResult::kCompleted) {
    job.Report(kOutputConsole, "Velmorix Successfully completed!");
  } else if (result == RunResult::kCanceled) {
    job.Report(kOutputConsole, "Velmorix Canceled!");
  }
  // A publish says what it changed however it ended; a dry run's list is
  // complete only when the walk was.
  if (!dryRun && walked) {
    job.console.ShowSummary(FormatRunSummary(job.progress.Read()));
  } else if (dryRun && result == RunResult::kCompleted) {
    job.console.ShowSummary(FormatDryRunSummary(job.progress.Read()));
  }
}

// A publish to a destination of another protocol, through its connector.
RunResult RunSiteTransfer(TransferJob& job) {
  const UploadNaming naming{job.profile.temporaryUploads != 0, NewRunTag(), 0};
  // The run's own connection leaves its uploads going while the walk goes
  // on, and reads how they ended later.
  UploadNaming deferring = naming;
  deferring.deferChecks = true;
  bool canceled = false;
  std::unique_ptr<OpenSite> open = ConnectSite(job, deferring, canceled);
  if (!open) {
    if (!canceled)
      return RunResult::kFailed;
    ReportEnd(job, RunResult::kCanceled, false);
    return RunResult::kCanceled;
  }
  const bool dryRun = job.mode == RunMode::kDryRun;
  const WalkRules rules = WalkRules::For(job.profile, job.settings, dryRun);
  // The extra connections log in while the run's own enters the folder;
  // they read the tree with it, then share the uploads.
  std::optional<SitePool> pool;
  if (const int extra = ConnectionsOf(job.profile) - 1; extra > 0) {
    pool.emplace(*job.connector, job.profile, naming, job.timeouts, extra, job.progress,
                 job.cancelEvent);
  }
  bool walked = false;
  SitePool* others = pool ? &*pool : nullptr;
  const RunResult result =
      Publish(job, rules, {open->Site(), open->Site(), others, others, true}, walked, {});
  pool.reset();
  open.reset();
  ReportEnd(job, result, walked);
  return result;
}

}  // namespace

RunResult RunTransfer(TransferJob& job) {
  job.progress.Start();
  job.Report(kOutputConsole, "Velmorix Started...");
  if (job.connector != nullptr)
    return RunSiteTransfer(job);
  if (!ConnectServer(job))
    return RunResult::kFailed;
  const bool dryRun = job.mode == RunMode::kDryRun;
  const WalkRules rules = WalkRules::For(job.profile, job.settings, dryRun);
  const UploadNaming naming{job.profile.temporaryUploads != 0, NewRunTag(), 0};
  FtpSite ftpSite(job.connection, naming);

  // The extra connections log in while the run's own enters the folder;
  // they read the tree with it, then share the uploads.
  std::optional<UploadPool> pool;
  if (const int extra = ConnectionsOf(job.profile) - 1; extra > 0)
    pool.emplace(PoolLoginOf(job, naming), extra, job.connection, job.progress, job.cancelEvent);

  // The changes go out with each upload's last reply read with the next
  // command.
  UploadNaming deferring = naming;
  deferring.deferChecks = true;
  FtpSite changing(job.connection, deferring);
  bool walked = false;
  // Every listing agreed with what 自動 decided: the destination may keep it.
  RunResult result = Publish(
      job, rules, {ftpSite, changing, pool ? &*pool : nullptr, pool ? &*pool : nullptr, true},
      walked, [&job] { NoteAutoNameEncoding(job); });
  if (result == RunResult::kCompleted && !dryRun)
    LearnServerClock(job, ftpSite);
  pool.reset();
  NoteAutoDataMode(job);
  DisconnectServer(job);
  ReportEnd(job, result, walked);
  return result;
}

void TransferWorker(TransferJob& job) {
  // A dry run leaves the log of the last real run as it is.
  const bool logged = job.mode == RunMode::kPublish;
  if (logged)
    job.Output(kOutputOpenLog);
  PostCompletion(job, RunTransfer(job));
  if (logged)
    job.Output(kOutputCloseLog);
}

std::optional<CompletionCode> StartTransfer(const RunRequest& request) {
  // Any existing folder is a sound source: read-only, hidden, given with a
  // trailing "/", or "/" itself.
  struct stat status;
  const bool found = stat(request.profile.localDir.c_str(), &status) == 0;
  if (!found || !S_ISDIR(status.st_mode)) {
    const std::string& folder = request.profile.localDir;
    RunFailure failure{.message = ParameterErrorText(strings::kTagLocalDiskPath),
                       .path = EscapeControlCharacters(folder)};
    failure.cause = failure.path + " : " + std::strerror(found ? ENOTDIR : errno);
    if (request.report != nullptr)
      request.report->failures.push_back(failure);
    request.console.ShowFailure(failure);
    return std::nullopt;
  }
  return RunOnWorker(request, &TransferWorker, WatchedProgress::kShown);
}

}  // namespace velmorix
