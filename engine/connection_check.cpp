#include "engine/connection_check.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <utility>

#include "engine/entry_table.h"
#include "engine/remote_site.h"
#include "engine/server_clock.h"
#include "engine/transfer_worker.h"
#include "engine/upload_pool.h"
#include "ftp/ftp_messages.h"
#include "ftp/name_codec.h"
#include "resources/string_table.h"
#include "settings/destinations.h"

namespace velmorix {
namespace {

// "10 s", or "0.5 s" for a wait shorter than a whole number of seconds.
std::string SecondsText(std::chrono::milliseconds wait) {
  const long long milliseconds = wait.count();
  if (milliseconds % 1000 == 0)
    return std::to_string(milliseconds / 1000) + " s";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  return text;
}

// A reply or a failure on one line, without the full stop at its end, so
// that what to change can follow it after ": ".
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  while (!text.empty() && (text.back() == '.' || text.back() == ' '))
    text.pop_back();
  return text;
}

std::string ModeWord(DataConnectionMode mode) {
  return mode == DataConnectionMode::kActive ? "active" : "passive";
}

// The setting that makes runs use `mode`, as the profile editor names it.
std::string ModeSetting(DataConnectionMode mode) {
  return mode == DataConnectionMode::kActive ? "データ接続 アクティブ" : "データ接続 パッシブ";
}

std::string Counted(int count, const char* one, const char* more) {
  return std::to_string(count) + " " + (count == 1 ? one : more);
}

// One test of a destination, on the worker thread. It uses the job's
// session and connection as a run does, so that the run's own rules (what
// 自動 decided, the extra connections' options) apply unchanged.
class ConnectionTest {
 public:
  ConnectionTest(TransferJob& job, std::vector<TestStep>& steps) : job_(job), steps_(steps) {
    // A data connection is awaited as long as a passive connect, not as
    // long as a stalled transfer: the test should not keep the user
    // waiting for a mode that does not work.
    timeouts_ = job.timeouts;
    timeouts_.data = std::min(timeouts_.data, timeouts_.passiveConnect);
  }

  RunResult Run();

 private:
  // Each step reports its lines through Report; the test ends after one
  // that failed or was canceled.
  using Step = void (ConnectionTest::*)();
  static const Step kSteps[];

  // Resolving, connecting, TLS and the login are one Connect, told as four
  // steps.
  void Connect();
  void EnterFolder();
  // In the mode a run uses first, then in the other.
  void ListBothModes();
  void ReadFeatures();
  void FindNameEncoding();
  void LearnClock();
  void OpenConnections();

  struct Listed {
    FtpStatus status;
    int entries = 0;
    bool activeFailed = false;  // an active data connection could not be made
    bool connected = true;      // the control connection stood afterwards
  };
  Listed List(DataConnectionMode mode);
  void ReportListing(DataConnectionMode mode, const Listed& listed, DataConnectionMode otherMode,
                     const Listed& other, bool usedByRuns);
  std::string ListingFailure(DataConnectionMode mode, const Listed& listed) const;
  // Connects again after a listing lost the connection.
  bool Reconnect();

  void Report(std::string name, TestVerdict verdict, std::string text);
  // True (and the test ends as canceled) when `status` says so.
  bool Canceled(const FtpStatus& status);
  std::function<bool()> CancelCheck() const {
    CancelEvent& cancelEvent = job_.cancelEvent;
    return [&cancelEvent] { return cancelEvent.IsSet(); };
  }

  TransferJob& job_;
  std::vector<TestStep>& steps_;
  FtpTimeouts timeouts_;
  bool failed_ = false;
  bool canceled_ = false;
  bool certificateAsked_ = false;
  FtpConnectOptions extraOptions_;  // once logged in
};

// The steps in the order they run. A step that needs a file on the server
// (the server's clock, say) belongs after the listings and must remove
// what it wrote before it reports.
const ConnectionTest::Step ConnectionTest::kSteps[] = {
    &ConnectionTest::Connect,          &ConnectionTest::EnterFolder,
    &ConnectionTest::ListBothModes,    &ConnectionTest::ReadFeatures,
    &ConnectionTest::FindNameEncoding, &ConnectionTest::LearnClock,
    &ConnectionTest::OpenConnections,
};

RunResult ConnectionTest::Run() {
  for (const Step step : kSteps) {
    if (!canceled_ && job_.CancelRequested())
      return RunResult::kCanceled;
    (this->*step)();
    if (canceled_) {
      job_.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    if (failed_)
      return RunResult::kFailed;
  }
  return RunResult::kCompleted;
}

void ConnectionTest::Report(std::string name, TestVerdict verdict, std::string text) {
  TestStep step{std::move(name), verdict, std::move(text)};
  job_.statusLine = TestStepLine(step);
  job_.Output(kOutputConsole);
  failed_ = failed_ || verdict == TestVerdict::kFailed;
  steps_.push_back(std::move(step));
}

bool ConnectionTest::Canceled(const FtpStatus& status) {
  canceled_ = canceled_ || status.kind == FtpErrorKind::kCanceled;
  return canceled_;
}

void ConnectionTest::Connect() {
  const FtpProfile& profile = job_.profile;
  FtpConnectOptions options = RunConnectOptions(job_);
  // The steps' lines tell what the connection decides.
  options.notice = {};
  options.loginCancelCheck = CancelCheck();
  options.certificateCheck =
      [this, ask = std::move(options.certificateCheck)](const CertificateInfo& certificate) {
        certificateAsked_ = true;
        return ask(certificate);
      };
  job_.session.emplace(std::string(strings::kProgramName), timeouts_, std::move(options));
  const FtpStatus status = job_.session->Connect(profile.url, PortOf(profile), profile.userId,
                                                 profile.password, job_.connection);
  if (Canceled(status))
    return;
  const std::string reply = job_.connection.LastResponseText();
  switch (status.kind) {
    case FtpErrorKind::kHostNotFound:
    case FtpErrorKind::kUnsafeArgument:
      Report("resolve", TestVerdict::kFailed, OneLine(status.text) + ": check ＵＲＬ");
      return;
    case FtpErrorKind::kNone:
    case FtpErrorKind::kTlsFailed:
    case FtpErrorKind::kLoginFailed:
      Report("resolve", TestVerdict::kOk, "ok");
      Report("connect", TestVerdict::kOk, "ok");
      break;
    default:
      Report("resolve", TestVerdict::kOk, "ok");
      if (reply.empty() || status.kind == FtpErrorKind::kServerReply) {
        // Nothing that speaks FTP answered there, or the server turned
        // the connection away ("421 Too many connections").
        Report("connect", TestVerdict::kFailed, OneLine(status.text) + ": check ＵＲＬ and ポート");
        return;
      }
      // The server greeted, then went quiet or away during the login.
      Report("connect", TestVerdict::kOk, "ok");
      Report("login", TestVerdict::kFailed, OneLine(status.text));
      return;
  }

  if (status.kind == FtpErrorKind::kTlsFailed) {
    std::string text = OneLine(status.text);
    if (certificateAsked_) {
      text += ": accept the certificate if its fingerprint is the server's";
    } else if (status.text == ftp::TlsNotOfferedText(reply)) {
      text = OneLine(reply) +
             ": the server offers no TLS: セキュリティ TLS (可能なら) or なし logs in without it";
    }
    Report("TLS", TestVerdict::kFailed, text);
    return;
  }
  if (profile.security == kSecurityNone) {
    Report("TLS", TestVerdict::kOk, "ok, not used (セキュリティ なし)");
  } else if (!job_.connection.Encrypted()) {
    Report("TLS", TestVerdict::kNote,
           "the server offers no TLS: the login name and password go unencrypted");
  } else {
    Report("TLS", TestVerdict::kOk,
           job_.learned.acceptedFingerprint.empty() ? "ok, encrypted"
                                                    : "ok, encrypted, the certificate accepted");
  }
  if (status.kind == FtpErrorKind::kLoginFailed) {
    Report("login", TestVerdict::kFailed, OneLine(reply) + ": check the login name and password");
    return;
  }
  Report("login", TestVerdict::kOk, "ok");
  job_.connection.SetCancelCheck(CancelCheck());
  job_.learned.connectedWithTls = job_.connection.Encrypted();
  extraOptions_ = ExtraConnectOptions(job_);
}

void ConnectionTest::EnterFolder() {
  const FtpStatus status = job_.connection.ChangeFolder(job_.profile.remoteDir);
  if (Canceled(status))
    return;
  if (status.ok()) {
    Report("folder", TestVerdict::kOk, "ok");
  } else {
    Report("folder", TestVerdict::kFailed, OneLine(status.text) + ": check サーバーパス");
  }
}

bool ConnectionTest::Reconnect() {
  FtpConnectOptions options = extraOptions_;
  options.loginCancelCheck = CancelCheck();
  const FtpSession session(std::string(strings::kProgramName), timeouts_, std::move(options));
  const FtpProfile& profile = job_.profile;
  if (!session
           .Connect(profile.url, PortOf(profile), profile.userId, profile.password, job_.connection)
           .ok()) {
    return false;
  }
  job_.connection.SetCancelCheck(CancelCheck());
  return true;
}

ConnectionTest::Listed ConnectionTest::List(DataConnectionMode mode) {
  Listed listed;
  if (!job_.connection.IsOpen() && !Reconnect()) {
    listed.status = FtpStatus::Error(FtpErrorKind::kNotConnected, ftp::NotConnectedText());
    return listed;
  }
  job_.connection.SetDataMode(mode);
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = job_.connection.FindFirst(job_.profile.remoteDir, listing, entry);
  while (status.ok()) {
    if (entry.name != "." && entry.name != "..")
      ++listed.entries;
    status = listing.Next(entry);
  }
  listed.status = status.kind == FtpErrorKind::kNoMoreFiles ? FtpStatus::Ok() : status;
  listed.activeFailed = job_.connection.ActiveModeFailed();
  listed.connected = job_.connection.IsOpen();
  return listed;
}

std::string ConnectionTest::ListingFailure(DataConnectionMode mode, const Listed& listed) const {
  // A reply that does not come loses the connection; a passive connect
  // that does not come leaves it standing.
  const bool passiveTimeout = mode == DataConnectionMode::kPassive &&
                              listed.status.kind == FtpErrorKind::kTimeout && listed.connected;
  if (passiveTimeout)
    return "passive data port unreachable within " + SecondsText(timeouts_.passiveConnect);
  if (mode == DataConnectionMode::kActive && listed.activeFailed &&
      listed.status.kind == FtpErrorKind::kTimeout) {
    return "the server did not connect back within " + SecondsText(timeouts_.data);
  }
  return OneLine(listed.status.text);
}

void ConnectionTest::ReportListing(DataConnectionMode mode, const Listed& listed,
                                   DataConnectionMode otherMode, const Listed& other,
                                   bool usedByRuns) {
  std::string name = "list (" + ModeWord(mode) + ")";
  if (listed.status.ok()) {
    Report(std::move(name), TestVerdict::kOk, "ok, " + Counted(listed.entries, "entry", "entries"));
    return;
  }
  std::string text = ListingFailure(mode, listed);
  if (!usedByRuns || !other.status.ok()) {
    // Runs do not use this mode; or neither works, and the line says why.
    Report(std::move(name), usedByRuns ? TestVerdict::kFailed : TestVerdict::kNote,
           std::move(text));
    return;
  }
  text += ": " + ModeSetting(otherMode) + " works";
  if (job_.profile.dataMode != kDataModeAuto) {
    Report(std::move(name), TestVerdict::kFailed, std::move(text));
    return;
  }
  // 自動 turns to the other mode by itself; the destination keeps what
  // was found, so that runs start in the mode that works.
  job_.learned.autoDataMode =
      otherMode == DataConnectionMode::kActive ? kDataModeActive : kDataModeAuto;
  Report(std::move(name), TestVerdict::kNote, std::move(text));
}

void ConnectionTest::ListBothModes() {
  const FtpProfile& profile = job_.profile;
  const bool learnedActive =
      profile.dataMode == kDataModeAuto && profile.autoDataMode == kDataModeActive;
  const DataConnectionMode used = profile.dataMode == kDataModeActive || learnedActive
                                      ? DataConnectionMode::kActive
                                      : DataConnectionMode::kPassive;
  const DataConnectionMode other = used == DataConnectionMode::kActive
                                       ? DataConnectionMode::kPassive
                                       : DataConnectionMode::kActive;
  const Listed first = List(used);
  if (Canceled(first.status))
    return;
  const Listed second = List(other);
  if (Canceled(second.status))
    return;
  // Read whole without a name that contradicts it: 自動 may keep what it
  // decided, as after a run.
  if (first.status.ok() || second.status.ok())
    NoteAutoNameEncoding(job_);
  ReportListing(used, first, other, second, true);
  ReportListing(other, second, used, first, false);
}

void ConnectionTest::ReadFeatures() {
  const ftp::ServerFeatures features = extraOptions_.features.value_or(ftp::ServerFeatures{});
  const auto offered = [](bool yes) { return yes ? " yes" : " no"; };
  std::string text = std::string("UTF8") + offered(features.utf8) + ", MLSD" +
                     offered(features.mlst) + ", SIZE" + offered(features.size) + ", MFMT" +
                     offered(features.mfmt) + ", rename ";
  // FEAT does not tell whether RNFR and RNTO work, and trying would write.
  text += job_.profile.temporaryUploads != 0 ? "not tried (it would need a file of its own)"
                                             : "not used (一時ファイル名で転送 off)";
  if (!features.size && !features.mlst) {
    Report("features", TestVerdict::kNote,
           text + ": the server cannot tell a file's size, so uploads are not checked");
  } else {
    Report("features", TestVerdict::kOk, "ok, " + text);
  }
}

void ConnectionTest::FindNameEncoding() {
  const FtpProfile& profile = job_.profile;
  if (profile.nameEncoding != kNameEncodingAuto) {
    const NameEncoding set = profile.nameEncoding == kNameEncodingShiftJis ? NameEncoding::kShiftJis
                             : profile.nameEncoding == kNameEncodingEucJp  ? NameEncoding::kEucJp
                                                                           : NameEncoding::kUtf8;
    Report("names", TestVerdict::kOk,
           "ok, " + std::string(ftp::NameEncodingLabel(set)) + " (文字コード)");
    return;
  }
  if (!job_.connection.NameEncodingSettled()) {
    Report("names", TestVerdict::kOk,
           "ok, not decided yet: the names listed are ASCII (UTF-8 until a name tells)");
    return;
  }
  Report("names", TestVerdict::kOk,
         "ok, " + std::string(ftp::NameEncodingLabel(job_.connection.NameEncodingInUse())) +
             " (自動)");
}

// With 時刻の補正 自動 on a server that lists with LIST, the one write of
// the test: a small file under a name a run takes for its own leftover
// (so that a run removes it should the test be cut off), listed to learn
// the server's clock, and deleted again before the step reports.
void ConnectionTest::LearnClock() {
  const FtpProfile& profile = job_.profile;
  if (profile.clockMode != kClockModeAuto)
    return;  // the time-difference flag says how times are read
  if (!job_.connection.IsOpen() && !Reconnect()) {
    Report("clock", TestVerdict::kFailed, OneLine(ftp::NotConnectedText()));
    return;
  }
  FtpSite site(job_.connection);
  if (site.ListsWithMlsd()) {
    Report("clock", TestVerdict::kOk, "ok, MLSD lists times in UTC");
    return;
  }
  char localPath[] = "/tmp/velmorix-clock-XXXXXX";
  const int local = mkstemp(localPath);
  if (local < 0) {
    Report("clock", TestVerdict::kNote, "not learned here: the first publish learns it");
    return;
  }
  constexpr std::string_view kContent = "VELMORIX clock test\n";
  const bool written =
      write(local, kContent.data(), kContent.size()) == static_cast<ssize_t>(kContent.size());
  close(local);
  const std::string name = TemporaryUploadName("clock-test", NewRunTag(), 0);
  FtpStatus status =
      written ? site.ChangeFolder(profile.remoteDir)
              : FtpStatus::Error(FtpErrorKind::kSystem, "the test file could not be written");
  if (status.ok())
    status = site.PutFile(localPath, name, {}, UploadTarget::kNewFile);
  const int64_t sentAt = std::time(nullptr);
  unlink(localPath);
  if (Canceled(status))
    return;
  if (!status.ok()) {
    Report("clock", TestVerdict::kNote,
           "not learned: " + OneLine(status.text) + ": the first publish learns it");
    return;
  }
  const std::optional<int32_t> offset =
      ListedClockOffset(site, {.remoteDir = profile.remoteDir, .name = name, .sentAt = sentAt});
  const FtpStatus removed = site.DeleteFile(name);
  std::string text;
  if (offset) {
    job_.learned.clockOffset = *offset;
    text = "ok, " + ClockOffsetText(*offset) + " (時刻の補正 自動)";
  } else {
    text = "not learned: the listing shows no time of day; the first publish learns it";
  }
  if (!removed.ok())
    text += "; the test file " + name + " stays until the next run removes it";
  Report("clock", offset && removed.ok() ? TestVerdict::kOk : TestVerdict::kNote, text);
}

void ConnectionTest::OpenConnections() {
  const int wanted = ConnectionsOf(job_.profile);
  if (!job_.connection.IsOpen() && !Reconnect()) {
    Report("connections", TestVerdict::kFailed, OneLine(ftp::NotConnectedText()));
    return;
  }
  FtpConnectOptions options = extraOptions_;
  // A server that lets a connection wait for its greeting is refusing it,
  // as a run's extra connections take it.
  options.loginTimeout = UploadPool::kLoginTimeout;
  options.loginCancelCheck = CancelCheck();
  const FtpSession session(std::string(strings::kProgramName), timeouts_, std::move(options));
  const FtpProfile& profile = job_.profile;
  std::vector<FtpConnection> extra(static_cast<size_t>(wanted - 1));
  int open = 1;
  for (FtpConnection& connection : extra) {
    const FtpStatus status =
        session.Connect(profile.url, PortOf(profile), profile.userId, profile.password, connection);
    if (Canceled(status))
      break;
    if (!status.ok())
      break;
    ++open;
  }
  for (FtpConnection& connection : extra)
    connection.Leave();
  if (canceled_)
    return;
  if (open == wanted) {
    Report("connections", TestVerdict::kOk,
           "ok, " + std::to_string(open) + " of " + std::to_string(wanted));
  } else {
    Report("connections", TestVerdict::kNote,
           "the server allows " + Counted(open, "connection", "connections") + ": 同時接続数 " +
               std::to_string(open));
  }
}

}  // namespace

bool IsConnectingStep(std::string_view name) {
  return name == "resolve" || name == "connect" || name == "TLS" || name == "host key" ||
         name == "login";
}

std::string TestStepLine(const TestStep& step) {
  return step.name + ": " + step.text;
}

namespace {

// The test of a destination of another protocol: the connect with its host
// key and login, the folder, its listing and the connections a run opens.
class SiteTest {
 public:
  SiteTest(TransferJob& job, std::vector<TestStep>& steps) : job_(job), steps_(steps) {}

  RunResult Run() {
    FtpStatus status;
    const CancelEvent& cancelEvent = job_.cancelEvent;
    const auto cancelCheck = [&cancelEvent] { return cancelEvent.IsSet(); };
    std::unique_ptr<OpenSite> open =
        job_.connector->Open({job_.profile, {}, &job_.console, cancelCheck, job_.timeouts}, status);
    if (status.kind == FtpErrorKind::kCanceled)
      return Canceled();
    if (!open) {
      Report(ConnectStepOf(status.kind), TestVerdict::kFailed, OneLine(status.text));
      return RunResult::kFailed;
    }
    Report("connect", TestVerdict::kOk, "ok, " + job_.connector->ProtocolName());
    Report("login", TestVerdict::kOk, "ok, " + open->LoginText());
    RemoteSite& site = open->Site();
    status = site.ChangeFolder(job_.profile.remoteDir);
    if (status.kind == FtpErrorKind::kCanceled)
      return Canceled();
    if (!status.ok()) {
      Report("folder", TestVerdict::kFailed, OneLine(status.text) + ": check サーバーパス");
      return RunResult::kFailed;
    }
    Report("folder", TestVerdict::kOk, "ok");
    const FolderRead read = ReadFolder(site, {"", ListingCommand::kPreferred});
    if (read.opened.kind == FtpErrorKind::kCanceled || read.ended.kind == FtpErrorKind::kCanceled)
      return Canceled();
    if (!read.Whole()) {
      const FtpStatus& broke = read.opened.ok() ? read.ended : read.opened;
      Report("list", TestVerdict::kFailed, OneLine(broke.text));
      return RunResult::kFailed;
    }
    Report("list", TestVerdict::kOk, FormatText("ok, %zu entries", read.entries.size()));
    return OpenConnections();
  }

 private:
  static std::string ConnectStepOf(FtpErrorKind kind) {
    switch (kind) {
      case FtpErrorKind::kHostNotFound:
        return "resolve";
      case FtpErrorKind::kLoginFailed:
        return "login";
      case FtpErrorKind::kHostKeyRefused:
        return "host key";
      default:
        return "connect";
    }
  }

  // As many as a run opens, at once, as a run does.
  RunResult OpenConnections() {
    const int wanted = ConnectionsOf(job_.profile);
    std::vector<std::unique_ptr<OpenSite>> opened;
    const CancelEvent& cancelEvent = job_.cancelEvent;
    for (int i = 1; i < wanted; ++i) {
      FtpStatus status;
      std::unique_ptr<OpenSite> open =
          job_.connector->Open({job_.profile,
                                {},
                                nullptr,
                                [&cancelEvent] { return cancelEvent.IsSet(); },
                                job_.timeouts},
                               status);
      if (status.kind == FtpErrorKind::kCanceled)
        return Canceled();
      if (!open)
        break;
      opened.push_back(std::move(open));
    }
    const int count = static_cast<int>(opened.size()) + 1;
    if (count == wanted) {
      Report("connections", TestVerdict::kOk, FormatText("ok, %d", count));
    } else {
      Report("connections", TestVerdict::kNote,
             FormatText("the server allows %d connections: 同時接続数 %d", count, count));
    }
    return RunResult::kCompleted;
  }

  RunResult Canceled() {
    job_.CancelRequested();  // the request has been acted on
    return RunResult::kCanceled;
  }

  void Report(std::string name, TestVerdict verdict, std::string text) {
    TestStep step{std::move(name), verdict, std::move(text)};
    job_.statusLine = TestStepLine(step);
    job_.Output(kOutputConsole);
    steps_.push_back(std::move(step));
  }

  TransferJob& job_;
  std::vector<TestStep>& steps_;
};

}  // namespace

ConnectionTestReport StartConnectionTest(const RunRequest& request) {
  ConnectionTestReport report;
  report.completion = RunOnWorker(
      request,
      [&report](TransferJob& job) {
        if (job.connector != nullptr) {
          PostCompletion(job, SiteTest(job, report.steps).Run());
          return;
        }
        ConnectionTest test(job, report.steps);
        const RunResult result = test.Run();
        DisconnectServer(job);
        PostCompletion(job, result);
      },
      WatchedProgress::kNone);
  return report;
}

}  // namespace velmorix
