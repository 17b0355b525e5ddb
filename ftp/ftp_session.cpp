#include "ftp/ftp_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <vector>

#include "base/display_text.h"
#include "base/unique_fd.h"
#include "ftp/ftp_control.h"
#include "ftp/ftp_data_channel.h"
#include "ftp/ftp_listing_parser.h"
#include "ftp/ftp_messages.h"
#include "ftp/ftp_protocol.h"
#include "ftp/name_codec.h"
#include "ftp/tcp_socket.h"
#include "ftp/tcp_stream.h"
#include "ftp/tls_stream.h"

namespace velmorix {

namespace {

// Listing lines longer than this are dropped unread; no real entry comes
// close to it.
constexpr size_t kListingBufferSize = size_t{64} << 10;

// A listing larger than this is broken off: a folder of a hundred thousand
// entries takes a few MiB, and a server that streams without end must not
// keep the walk busy forever.
constexpr size_t kMaxListingMiB = 64;
constexpr uint64_t kMaxListingBytes = uint64_t{kMaxListingMiB} << 20;

FtpStatus NotConnected() {
  return FtpStatus::Error(FtpErrorKind::kNotConnected, ftp::NotConnectedText());
}

FtpStatus Unsafe(std::string_view what, std::string_view value) {
  return FtpStatus::Error(FtpErrorKind::kUnsafeArgument, ftp::UnsafeArgumentText(what, value));
}

}  // namespace

// ---------------------------------------------------------------------------
// The state behind the public classes.

struct FtpConnection::State {
  State(ftp::OwnedStream stream, const FtpTimeouts& timeouts)
      : control(std::move(stream), timeouts.reply), timeouts(timeouts) {}
  ~State();

  FtpStatus Login(const std::string& userId, const std::string& password,
                  const FtpConnectOptions& options);
  // AUTH TLS and the handshake, with the certificate's check; plain on when
  // the server refuses and the options allow it.
  FtpStatus StartTls(const FtpConnectOptions& options);
  // PBSZ 0 and PROT P once logged in over TLS: every data connection is
  // encrypted from then on.
  FtpStatus ProtectData();
  // Ends an open listing so that the control connection is free.
  void CloseActiveListing();
  // Best effort: deletes `serverPath` (a temporary file of ours) while the
  // connection stands.
  void Discard(const std::string& serverPath);
  // After a file was sent whole as `sentPath` (`sent` bytes): checks its
  // size with `verify`, and with `renamed` renames it to `realPath`. On a
  // failure nothing of it is left under a temporary name; renamesRefused
  // is set when the server renames nothing.
  FtpStatus KeepStored(const std::string& givenPath, const std::string& sentPath,
                       const std::string& realPath, bool renamed, const StoreOptions& options,
                       int64_t sent);
  // The size of `serverPath` by SIZE, or by MLST where SIZE gives none; -1
  // when neither tells.
  FtpStatus ServerSize(const std::string& serverPath, int64_t& size);
  // Sends `first` (when not empty), RNFR and RNTO in one write and reads
  // their replies (`first`'s into `firstReply`); the status says whether
  // the connection stood.
  FtpStatus Rename(const std::string& first, const std::string& sentPath,
                   const std::string& realPath, ftp::FtpReply& from, ftp::FtpReply& to,
                   ftp::FtpReply* firstReply = nullptr);
  // The server renames nothing: notes it, with its `reply`, and removes the
  // temporary file `sentPath`, so that Store sends it again under its real name.
  FtpStatus RefuseRenames(const std::string& sentPath, const std::string& reply);
  // Sends a command that needs no data connection; success on 2xx.
  FtpStatus Simple(const std::string& commandLine);
  // `name` (UTF-8) as the server writes it; `what` names it in texts.
  FtpStatus ServerName(std::string_view name, std::string_view what, std::string& serverName) const;
  // With kAuto, before the server's names have shown their encoding: takes
  // what a name the server sent says. The first name that is no ASCII
  // decides for the rest of the connection, UTF-8 when it is valid UTF-8
  // (UTF-8 names often happen to be valid Shift_JIS as well, the other way
  // round hardly ever), Shift_JIS when it is only that.
  void SettleNameEncoding(ftp::NameEvidence evidence);

  ftp::ControlChannel control;
  FtpTimeouts timeouts;
  ftp::DataConnectionPlan dataPlan;
  ftp::ServerFeatures features;
  // As the server wrote it: paths are joined to it after their conversion,
  // so it goes back exactly whatever the name encoding.
  std::optional<std::string> loginFolder;
  bool passwordTaken = false;  // the login was asked for a password
  // The folder the last CWD entered, as sent; none when unknown.
  std::optional<std::string> currentFolder;
  // The encoding names are converted with, and whether kAuto may still
  // change it (no UTF8 in FEAT, and no name has decided yet).
  NameEncoding nameEncoding = NameEncoding::kUtf8;
  bool nameEncodingOpen = false;
  // The destination said 自動: what was decided is checked against every
  // name listed after.
  bool nameEncodingAuto = false;
  // While the control connection is encrypted: the TLS client that data
  // connections resume its session with.
  std::unique_ptr<ftp::TlsClient> tls;
  std::string host;  // for notices
  std::function<void(const std::string&)> notice;
  FtpListing::State* activeListing = nullptr;
  ftp::CancelCheck cancelCheck;
  bool renamesRefused = false;   // RNFR or RNTO is not implemented or denied
  bool renameWorks = false;      // an RNTO has worked
  bool renameOntoWorks = false;  // an RNTO onto an existing file has worked
  // Uploads and listings whose last reply was deferred, in order, and what
  // came of them.
  enum class Awaited {
    kSize,
    kSizeThenRename,  // SIZE of a temporary file: renamed once it is right
    kRenameFrom,      // RNFR, whose RNTO comes next
    kRename,
    kDiscard,  // DELE of a temporary file that failed: the reply tells nothing
    kListingEnd,
  };
  struct Unchecked {
    std::string path;  // as given; empty for a listing
    std::string shownPath;
    Awaited awaited = Awaited::kSize;
    int64_t sent = 0;
    std::string sentPath{};  // the temporary file on the server
    std::string failure{};   // the RNFR's refusal, for its RNTO
  };
  std::deque<Unchecked> unchecked;
  // Verified temporary files whose rename goes out with the next command,
  // and temporary files to remove.
  std::deque<Unchecked> renamesDue;
  std::vector<std::string> discardsDue;
  bool sizeWorks = false;  // a SIZE has told a file's size
  // Sends the renames and removals that are due, their replies deferred.
  FtpStatus SendDue();
  std::vector<CheckedUpload> checked;
  std::vector<FtpStatus> checkedListings;
  int UncheckedListings() const {
    return static_cast<int>(std::count_if(unchecked.begin(), unchecked.end(), [](const auto& u) {
      return u.awaited == Awaited::kListingEnd;
    }));
  }
  // A listing that has run to its end leaves its final reply for later.
  bool deferListingEnds = false;
  // Matches the deferred replies read so far with `unchecked`.
  void NoteDeferredReplies();
  bool UploadPending(std::string_view path) const {
    return !unchecked.empty() && unchecked.back().path == path;
  }
};

struct FtpListing::State {
  // The next entry, its name converted.
  FtpStatus Next(RemoteEntry& entry);
  // The next entry as the server wrote it.
  FtpStatus ReadEntry(RemoteEntry& entry);
  // Ends the listing, aborting the transfer if it has not run to its end.
  void Close();
  // Ends the listing with `status`; the control connection is brought back
  // in step first where it can be.
  FtpStatus Fail(FtpStatus status);
  void Finish(FtpStatus status);

  FtpConnection::State* connection = nullptr;
  ftp::DataTransfer transfer;
  ftp::ListingFormat format = ftp::ListingFormat::kMlsd;
  int64_t now = 0;
  std::vector<char> buffer;
  size_t begin = 0;  // first byte not yet parsed
  size_t end = 0;    // end of the received bytes
  uint64_t totalReceived = 0;
  bool dataEnded = false;
  bool discarding = false;  // inside a line too long for the buffer
  bool open = false;
  FtpStatus endStatus;  // what Next gives once the listing is closed
  // While kAuto has not decided, entries whose names read differently in
  // UTF-8 and Shift_JIS wait in `held` for a name that decides (or for the
  // end of the listing), so the whole listing comes out in one encoding.
  // Converted entries that wait their turn are in `ready`.
  std::deque<RemoteEntry> held;
  std::deque<RemoteEntry> ready;
};

FtpConnection::State::~State() {
  if (activeListing != nullptr) {
    activeListing->transfer.data.Close();
    activeListing->Finish(NotConnected());
  }
}

void FtpConnection::State::CloseActiveListing() {
  if (activeListing != nullptr)
    activeListing->Close();
}

namespace {

// 500, 502, 504: the server does not know or implement the command.
bool NotImplemented(const ftp::FtpReply& reply) {
  return reply.code == 500 || reply.code == 502 || reply.code == 504;
}

// The size in a 213 reply to SIZE; -1 for anything else.
int64_t SizeOfReply(const ftp::FtpReply& reply) {
  if (reply.code != 213 || reply.text.size() < 5)
    return -1;
  const std::string digits = reply.text.substr(4);
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  return std::stoll(digits);
}

}  // namespace

void FtpConnection::State::NoteDeferredReplies() {
  for (ftp::FtpReply& reply : control.TakeDeferred()) {
    if (unchecked.empty())
      break;
    Unchecked upload = std::move(unchecked.front());
    unchecked.pop_front();
    FtpStatus status = FtpStatus::Ok();
    if (upload.awaited == Awaited::kListingEnd) {
      checkedListings.push_back(ftp::TransferCompleted(reply)
                                    ? FtpStatus::Ok()
                                    : FtpStatus::Error(FtpErrorKind::kServerReply, reply.text));
      continue;
    }
    if (upload.awaited == Awaited::kDiscard)
      continue;
    if (upload.awaited == Awaited::kRenameFrom) {
      if (reply.code != 350 && !unchecked.empty())
        unchecked.front().failure = reply.text;
      continue;
    }
    if (upload.awaited == Awaited::kSizeThenRename) {
      const int64_t held = SizeOfReply(reply);
      if (held == upload.sent) {
        renamesDue.push_back(std::move(upload));
        continue;
      }
      discardsDue.push_back(upload.sentPath);
      status = FtpStatus::Error(
          FtpErrorKind::kServerReply,
          held >= 0 ? ftp::SizeMismatchText(upload.shownPath, upload.sent, held) : reply.text);
    } else if (upload.awaited == Awaited::kRename) {
      if (!upload.failure.empty() || !reply.positive()) {
        status = FtpStatus::Error(FtpErrorKind::kServerReply,
                                  upload.failure.empty() ? reply.text : upload.failure);
        discardsDue.push_back(upload.sentPath);
      }
    } else if (reply.code == 213) {
      const int64_t held = SizeOfReply(reply);
      if (held >= 0)
        sizeWorks = true;
      if (held >= 0 && held != upload.sent) {
        status = FtpStatus::Error(FtpErrorKind::kServerReply,
                                  ftp::SizeMismatchText(upload.shownPath, upload.sent, held));
      }
    }
    checked.push_back({std::move(upload.path), std::move(status)});
  }
  // A connection lost meanwhile ends what it left: nothing says they arrived.
  if (!control.open()) {
    for (Unchecked& upload : renamesDue)
      unchecked.push_back(std::move(upload));
    renamesDue.clear();
    discardsDue.clear();
    for (Unchecked& upload : unchecked) {
      FtpStatus lost = FtpStatus::Error(FtpErrorKind::kNotConnected, ftp::NotConnectedText());
      if (upload.awaited == Awaited::kListingEnd) {
        checkedListings.push_back(std::move(lost));
      } else if (upload.awaited != Awaited::kDiscard && upload.awaited != Awaited::kRenameFrom) {
        checked.push_back({std::move(upload.path), std::move(lost)});
      }
    }
    unchecked.clear();
  }
}

void FtpConnection::State::Discard(const std::string& serverPath) {
  if (!control.open())
    return;
  ftp::FtpReply reply;
  const std::string kept = control.lastReplyText();
  control.Command("DELE " + serverPath, reply);
  // The reply that tells what failed stays the last one.
  if (!kept.empty())
    control.KeepAsLastReply({0, kept});
}

FtpStatus FtpConnection::State::SendDue() {
  if (renamesDue.empty() && discardsDue.empty())
    return FtpStatus::Ok();
  std::vector<std::string> lines;
  for (const Unchecked& upload : renamesDue) {
    lines.push_back("RNFR " + upload.sentPath);
    lines.push_back("RNTO " + upload.shownPath);
  }
  for (const std::string& path : discardsDue)
    lines.push_back("DELE " + path);
  if (FtpStatus status = control.SendLines(lines); !status.ok())
    return status;
  for (Unchecked& upload : renamesDue) {
    control.DeferReply("RNFR");
    unchecked.push_back({{}, {}, Awaited::kRenameFrom, 0});
    control.DeferReply("RNTO");
    upload.awaited = Awaited::kRename;
    unchecked.push_back(std::move(upload));
  }
  for (std::string& path : discardsDue) {
    control.DeferReply("DELE");
    unchecked.push_back({{}, std::move(path), Awaited::kDiscard, 0});
  }
  renamesDue.clear();
  discardsDue.clear();
  return FtpStatus::Ok();
}

FtpStatus FtpConnection::State::ServerSize(const std::string& serverPath, int64_t& size) {
  size = -1;
  ftp::FtpReply reply;
  FtpStatus status = control.Command("SIZE " + serverPath, reply);
  if (!status.ok())
    return status;
  size = SizeOfReply(reply);
  if (size >= 0)
    sizeWorks = true;
  if (size >= 0 || !features.mlst)
    return FtpStatus::Ok();
  status = control.Command("MLST " + serverPath, reply);
  if (!status.ok() || reply.code != 250)
    return status;
  // "250-Listing", " facts; path", "250 End": the facts line starts with a space.
  size_t start = 0;
  while (start < reply.text.size()) {
    size_t end = reply.text.find('\n', start);
    if (end == std::string::npos)
      end = reply.text.size();
    const std::string_view line = std::string_view(reply.text).substr(start, end - start);
    RemoteEntry entry;
    if (line.starts_with(' ') && ftp::ParseMlsdLine(line.substr(1), entry) && entry.size >= 0)
      size = entry.size;
    start = end + 1;
  }
  return FtpStatus::Ok();
}

FtpStatus FtpConnection::State::Rename(const std::string& first, const std::string& sentPath,
                                       const std::string& realPath, ftp::FtpReply& from,
                                       ftp::FtpReply& to, ftp::FtpReply* firstReply) {
  // RNTO must follow RNFR at once: all go out together.
  std::vector<std::string> lines;
  if (!first.empty())
    lines.push_back(first);
  lines.push_back("RNFR " + sentPath);
  lines.push_back("RNTO " + realPath);
  FtpStatus status = control.SendLines(lines);
  ftp::FtpReply ignored;
  if (status.ok() && !first.empty())
    status = control.ReadFinal(firstReply ? *firstReply : ignored, ftp::CommandLabel(first));
  if (status.ok())
    status = control.ReadFinal(from, "RNFR");
  if (status.ok())
    status = control.ReadFinal(to, "RNTO");
  return status;
}

FtpStatus FtpConnection::State::KeepStored(const std::string& givenPath,
                                           const std::string& sentPath, const std::string& realPath,
                                           bool renamed, const StoreOptions& options,
                                           int64_t sent) {
  const bool verify = options.verifySize;
  if (options.deferLastReply && !renamed && verify) {
    if (FtpStatus status = control.Send("SIZE " + sentPath); !status.ok())
      return status;
    control.DeferReply("SIZE");
    unchecked.push_back({givenPath, realPath, Awaited::kSize, sent});
    return FtpStatus::Ok();
  }
  // Left for later only once a rename of its kind has worked here: a
  // refused one must be known now, while the file can still go again
  // under its real name.
  // Names from the current folder are made whole: the rename may go out
  // after the connection has entered another one.
  const auto whole = [this](const std::string& path) -> std::optional<std::string> {
    if (path.starts_with('/'))
      return path;
    if (!currentFolder)
      return std::nullopt;
    return *currentFolder + (currentFolder->ends_with('/') ? "" : "/") + path;
  };
  const std::optional<std::string> wholeSent = whole(sentPath);
  const std::optional<std::string> wholeReal = whole(realPath);
  if (options.deferLastReply && renamed && (options.replacing ? renameOntoWorks : renameWorks) &&
      verify && sizeWorks && wholeSent && wholeReal) {
    // Its size is read with the next command, and the rename, once the
    // size is right, goes out with the one after: no round trip of its own.
    if (FtpStatus status = control.Send("SIZE " + *wholeSent); !status.ok())
      return status;
    control.DeferReply("SIZE");
    unchecked.push_back({givenPath, *wholeReal, Awaited::kSizeThenRename, sent, *wholeSent});
    return FtpStatus::Ok();
  }
  if (options.deferLastReply && renamed && (options.replacing ? renameOntoWorks : renameWorks)) {
    // The size and RNFR in one round trip, RNTO's reply with the next one.
    std::vector<std::string> lines;
    if (verify)
      lines.push_back("SIZE " + sentPath);
    lines.push_back("RNFR " + sentPath);
    ftp::FtpReply sizeReply;
    ftp::FtpReply from;
    FtpStatus status = control.SendLines(lines);
    if (status.ok() && verify)
      status = control.ReadFinal(sizeReply, "SIZE");
    if (status.ok())
      status = control.ReadFinal(from, "RNFR");
    if (!status.ok())
      return status;
    const int64_t held = verify ? SizeOfReply(sizeReply) : -1;
    if (held >= 0)
      sizeWorks = true;
    if (held >= 0 && held != sent) {
      Discard(sentPath);
      return FtpStatus::Error(FtpErrorKind::kServerReply,
                              ftp::SizeMismatchText(realPath, sent, held));
    }
    if (from.code == 350 && (held >= 0 || !verify || !features.mlst)) {
      if (status = control.Send("RNTO " + realPath); !status.ok())
        return status;
      control.DeferReply("RNTO");
      unchecked.push_back({givenPath, realPath, Awaited::kRename, sent});
      return FtpStatus::Ok();
    }
    // Anything else is handled as without deferring: RNFR again after it.
  }
  if (verify) {
    int64_t held = -1;
    if (FtpStatus status = ServerSize(sentPath, held); !status.ok())
      return status;
    if (held >= 0 && held != sent) {
      if (renamed)
        Discard(sentPath);
      return FtpStatus::Error(FtpErrorKind::kServerReply,
                              ftp::SizeMismatchText(realPath, sent, held));
    }
  }
  if (!renamed)
    return FtpStatus::Ok();
  ftp::FtpReply from;
  ftp::FtpReply to;
  if (FtpStatus status = Rename({}, sentPath, realPath, from, to); !status.ok())
    return status;
  if (to.positive()) {
    renameWorks = true;
    if (options.replacing)
      renameOntoWorks = true;
    return FtpStatus::Ok();
  }
  // A server that does not implement renames, or denies RNFR of the file it
  // has just taken (proftpd's <Limit RNFR>: 550), renames nothing.
  if (NotImplemented(from) || NotImplemented(to) || from.code >= 500)
    return RefuseRenames(sentPath, from.code == 350 ? to.text : from.text);
  if (from.code == 350) {
    // A server that will not rename onto an existing file: the old one
    // goes first.
    ftp::FtpReply deleted;
    if (FtpStatus status = Rename("DELE " + realPath, sentPath, realPath, from, to, &deleted);
        !status.ok()) {
      return status;
    }
    if (to.positive()) {
      renameWorks = true;
      return FtpStatus::Ok();
    }
    // Not even onto a free name (proftpd's <Limit RNTO>): the file goes
    // again under its real name, where the old one no longer is.
    if (from.code == 350 && to.code >= 500 && (deleted.positive() || !options.replacing))
      return RefuseRenames(sentPath, to.text);
  }
  const FtpStatus refused =
      FtpStatus::Error(FtpErrorKind::kServerReply, from.code == 350 ? to.text : from.text);
  Discard(sentPath);
  return refused;
}

FtpStatus FtpConnection::State::RefuseRenames(const std::string& sentPath,
                                              const std::string& reply) {
  renamesRefused = true;
  if (notice)
    notice(ftp::RenamesRefusedNotice(host, reply));
  Discard(sentPath);
  return FtpStatus::Error(FtpErrorKind::kServerReply, reply);
}

FtpStatus FtpConnection::State::Simple(const std::string& commandLine) {
  CloseActiveListing();
  if (!control.open())
    return NotConnected();
  ftp::FtpReply reply;
  FtpStatus status = control.Command(commandLine, reply);
  if (!status.ok())
    return status;
  if (!reply.positive())
    return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
  return FtpStatus::Ok();
}

FtpStatus FtpConnection::State::ServerName(std::string_view name, std::string_view what,
                                           std::string& serverName) const {
  std::string offending;
  switch (ftp::EncodeName(nameEncoding, name, serverName, &offending)) {
    case ftp::NameFailure::kNone:
      return FtpStatus::Ok();
    case ftp::NameFailure::kNotUtf8:
      return FtpStatus::Error(FtpErrorKind::kNameNotRepresentable,
                              ftp::NameNotUtf8Text(what, name));
    case ftp::NameFailure::kNotRepresentable:
      return FtpStatus::Error(FtpErrorKind::kNameNotRepresentable,
                              ftp::NameNotRepresentableText(
                                  what, name, ftp::NameEncodingLabel(nameEncoding), offending));
    case ftp::NameFailure::kUnreadableBytes:
      break;
  }
  return FtpStatus::Error(
      FtpErrorKind::kNameNotRepresentable,
      ftp::NameUnreadableText(what, name, ftp::NameEncodingLabel(nameEncoding)));
}

void FtpConnection::State::SettleNameEncoding(ftp::NameEvidence evidence) {
  if (!nameEncodingOpen)
    return;
  switch (evidence) {
    case ftp::NameEvidence::kAscii:
    case ftp::NameEvidence::kUndecided:
      return;
    case ftp::NameEvidence::kUtf8:
      break;
    case ftp::NameEvidence::kShiftJis:
      nameEncoding = NameEncoding::kShiftJis;
      if (notice)
        notice(ftp::NameEncodingFoundNotice(host, ftp::NameEncodingLabel(nameEncoding)));
      break;
  }
  nameEncodingOpen = false;
}

FtpStatus FtpConnection::State::StartTls(const FtpConnectOptions& options) {
  ftp::FtpReply reply;
  FtpStatus status = control.Command("AUTH TLS", reply);
  if (!status.ok())
    return status;
  if (reply.code != 234) {
    if (options.security == FtpSecurity::kTlsRequired)
      return FtpStatus::Error(FtpErrorKind::kTlsFailed, ftp::TlsNotOfferedText(reply.text));
    if (notice)
      notice(ftp::NotEncryptedNotice(host, reply.text));
    return FtpStatus::Ok();
  }
  // From here on there is no way back to plain FTP: the server expects a
  // handshake, and a refused one must not turn into a login in the clear.
  std::string error;
  std::unique_ptr<ftp::TlsClient> client = ftp::TlsClient::Create(host, error);
  ftp::TlsPeer peer;
  if (client == nullptr || !control.StartTls(*client, peer, error)) {
    control.MarkLost();
    return FtpStatus::Error(FtpErrorKind::kTlsFailed, ftp::TlsSetupFailedText(error));
  }
  if (!peer.verified && peer.certificate.fingerprint != options.trustedFingerprint) {
    peer.certificate.changed = !options.trustedFingerprint.empty();
    if (!options.certificateCheck || !options.certificateCheck(peer.certificate)) {
      return FtpStatus::Error(
          FtpErrorKind::kTlsFailed,
          ftp::CertificateRefusedText(peer.certificate.reason, peer.certificate.fingerprint));
    }
  }
  tls = std::move(client);
  if (notice)
    notice(ftp::EncryptedNotice(host, peer.protocol));
  return FtpStatus::Ok();
}

FtpStatus FtpConnection::State::ProtectData() {
  ftp::FtpReply reply;
  for (const char* command : {"PBSZ 0", "PROT P"}) {
    FtpStatus status = control.Command(command, reply);
    if (!status.ok())
      return status;
    if (!reply.positive())
      return FtpStatus::Error(FtpErrorKind::kTlsFailed, ftp::DataProtectionRefusedText(reply.text));
  }
  dataPlan.tls = tls.get();
  return FtpStatus::Ok();
}

FtpStatus FtpConnection::State::Login(const std::string& userId, const std::string& password,
                                      const FtpConnectOptions& options) {
  ftp::FtpReply reply;
  // "120 ready in a few minutes" may come before the 220.
  constexpr int kMaxWaitReplies = 16;
  for (int count = 0;; ++count) {
    FtpStatus status = control.Read(reply, ftp::kGreetingLabel, ftp::DeadlineAfter(timeouts.reply));
    if (!status.ok())
      return status;
    if (!reply.preliminary() || count == kMaxWaitReplies)
      break;
  }
  if (reply.code != 220)
    return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
  // The user name and the password go out encrypted, or not at all where
  // TLS is required.
  if (options.security != FtpSecurity::kNone) {
    FtpStatus status = StartTls(options);
    if (!status.ok())
      return status;
  }

  // Every copy of the password we make is wiped before it is freed.
  const ftp::WipedText passLine("PASS " + password);
  FtpStatus status = FtpStatus::Ok();
  if (options.passwordWithUser) {
    std::vector<std::string> lines{"USER " + userId, passLine.text()};
    status = control.SendLines(lines);
    ftp::WipeText(lines[1]);
  } else {
    status = control.Send("USER " + userId);
  }
  if (status.ok())
    status = control.ReadFinal(reply, "USER");
  if (!status.ok())
    return status;
  if (reply.code == 331) {
    status = options.passwordWithUser ? control.ReadFinal(reply, "PASS")
                                      : control.Command(passLine.text(), reply);
    if (!status.ok())
      return status;
    if (reply.code != 230 && reply.code != 202) {
      return FtpStatus::Error(FtpErrorKind::kLoginFailed, ftp::LoginFailedText(reply.text));
    }
    passwordTaken = true;
  } else if (reply.code != 230) {
    // 332 asks for an account, which we do not have; anything else refuses
    // the user.
    return FtpStatus::Error(FtpErrorKind::kLoginFailed, ftp::LoginFailedText(reply.text));
  }
  if (tls != nullptr) {
    status = ProtectData();
    if (!status.ok())
      return status;
  }

  if (options.features) {
    features = *options.features;
  } else {
    status = control.Command("FEAT", reply);
    if (!status.ok())
      return status;
    if (reply.code == 211)
      features = ftp::ParseFeatures(reply.text);
  }
  if (features.utf8)
    nameEncodingOpen = false;
  // Only when names are to be UTF-8: a server that converts names would
  // stop converting them. Some servers refuse it although they speak UTF-8
  // anyway; the answer changes nothing. The commands after the login whose
  // answers decide nothing about those after them go out together, in the
  // order they always had: over a long line each would cost a round trip.
  const bool askUtf8 = features.utf8 && nameEncoding == NameEncoding::kUtf8;
  std::vector<std::string> batch;
  if (askUtf8)
    batch.emplace_back("OPTS UTF8 ON");
  batch.emplace_back("TYPE I");
  batch.emplace_back("PWD");
  status = control.SendLines(batch);
  if (!status.ok())
    return status;
  std::vector<ftp::FtpReply> replies(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    status = control.ReadFinal(replies[i], ftp::CommandLabel(batch[i]));
    if (!status.ok())
      return status;
  }
  if (const ftp::FtpReply& typeReply = replies[batch.size() - 2]; !typeReply.positive())
    return FtpStatus::Error(FtpErrorKind::kServerReply, typeReply.text);
  reply = replies.back();
  if (reply.code == 257)
    loginFolder = ftp::ParseQuotedPath(reply.text);
  // The login folder is a name the server wrote, too.
  if (loginFolder)
    SettleNameEncoding(ftp::WeighServerName(*loginFolder));
  return FtpStatus::Ok();
}

// ---------------------------------------------------------------------------
// FtpListing

void FtpListing::State::Finish(FtpStatus status) {
  open = false;
  endStatus = std::move(status);
  transfer.data.Close();
  if (connection != nullptr && connection->activeListing == this) {
    connection->activeListing = nullptr;
  }
  connection = nullptr;
  // The buffer is not needed any more; give its memory back.
  std::vector<char>().swap(buffer);
}

FtpStatus FtpListing::State::Fail(FtpStatus status) {
  transfer.data.Close();
  if (connection != nullptr && connection->control.open() && !transfer.finalReceived) {
    // The server still owes its reply to the listing; read it so the next
    // command gets its own answer. If it does not come, the channel is lost.
    ftp::FinishTransfer(connection->control, transfer);
  }
  Finish(status);
  return status;
}

void FtpListing::State::Close() {
  held.clear();
  ready.clear();
  if (!open)
    return;
  // Closing the data connection first makes the server end the transfer
  // (426, or 226 if it had sent everything), and its reply can then be read.
  transfer.data.Close();
  if (connection != nullptr && connection->control.open() && !transfer.finalReceived) {
    ftp::FinishTransfer(connection->control, transfer);
  }
  Finish(FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {}));
}

FtpStatus FtpListing::State::Next(RemoteEntry& entry) {
  for (;;) {
    if (!ready.empty()) {
      entry = std::move(ready.front());
      ready.pop_front();
      return FtpStatus::Ok();
    }
    FtpStatus status = ReadEntry(entry);
    if (!status.ok()) {
      if (status.kind == FtpErrorKind::kNoMoreFiles && !held.empty()) {
        // Nothing decided: the names stay the bytes they are, as UTF-8 has
        // them.
        ready.swap(held);
        continue;
      }
      held.clear();
      return status;
    }
    // An entry has come, so the listing is still open on its connection.
    if (connection->nameEncodingOpen) {
      const ftp::NameEvidence evidence = ftp::WeighServerName(entry.name);
      if (evidence == ftp::NameEvidence::kUndecided ||
          (evidence == ftp::NameEvidence::kAscii && !held.empty())) {
        held.push_back(std::move(entry));
        continue;
      }
      connection->SettleNameEncoding(evidence);
    } else if (const ftp::NameEvidence evidence = ftp::WeighServerName(entry.name);
               connection->nameEncodingAuto &&
               ftp::Contradicts(connection->nameEncoding, evidence)) {
      // 自動 decided, and names written under that decision would now be
      // converted: the run stops rather than turn the site over.
      held.clear();
      return Fail(
          FtpStatus::Error(FtpErrorKind::kNameEncodingMismatch,
                           ftp::NameEncodingMismatchText(
                               connection->host, ftp::NameEncodingLabel(connection->nameEncoding),
                               evidence == ftp::NameEvidence::kShiftJis ? "Shift_JIS" : "UTF-8",
                               EscapeInvalidUtf8(entry.name))));
    }
    for (RemoteEntry& waiting : held) {
      waiting.name = ftp::DecodeServerName(connection->nameEncoding, waiting.name);
      ready.push_back(std::move(waiting));
    }
    held.clear();
    entry.name = ftp::DecodeServerName(connection->nameEncoding, entry.name);
    if (ready.empty())
      return FtpStatus::Ok();
    ready.push_back(std::move(entry));
  }
}

FtpStatus FtpListing::State::ReadEntry(RemoteEntry& entry) {
  if (!open)
    return endStatus;
  if (connection == nullptr || !connection->control.open())
    return Fail(NotConnected());
  // Bytes that keep coming without ever making an entry (a trickle, or lines
  // that are no listing) are no progress: each entry must come within the
  // data time-out. The clock starts with the call, as the caller may take
  // its time between entries.
  const ftp::Deadline entryDeadline = ftp::DeadlineAfter(connection->timeouts.data);
  size_t receivedThisCall = 0;
  for (;;) {
    while (begin < end) {
      const char* start = buffer.data() + begin;
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', end - begin));
      if (newline == nullptr)
        break;
      std::string_view line(start, static_cast<size_t>(newline - start));
      begin += line.size() + 1;
      if (discarding) {
        discarding = false;
        continue;
      }
      if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
      if (ftp::ParseListingLine(line, format, now, entry))
        return FtpStatus::Ok();
    }
    if (dataEnded) {
      // A last line without its line end may be what is left of a longer
      // one: the listing was cut, and none of it is believed.
      const bool lastLineEnded = begin == end && !discarding;
      if (connection->deferListingEnds && !transfer.finalReceived && lastLineEnded) {
        // Read whole; the server's word on it comes with the next command.
        connection->control.DeferReply(transfer.label);
        connection->unchecked.push_back({{}, {}, FtpConnection::State::Awaited::kListingEnd, 0});
        Finish(FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {}));
        return endStatus;
      }
      FtpStatus status = ftp::FinishTransfer(connection->control, transfer);
      if (status.ok())
        status = ftp::JudgeListingEnd(transfer, lastLineEnded);
      if (!status.ok())
        return Fail(status);
      Finish(FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {}));
      return endStatus;
    }
    // Keep the unfinished line and make room behind it.
    if (begin > 0) {
      std::memmove(buffer.data(), buffer.data() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    if (end == buffer.size()) {
      discarding = true;
      end = 0;
    }
    if (ftp::Clock::now() >= entryDeadline) {
      if (receivedThisCall == 0) {
        // Nothing came at all: the server stopped, and its reply would come
        // out of step.
        transfer.data.Close();
        connection->control.MarkLost();
        return Fail(FtpStatus::Error(FtpErrorKind::kTimeout, ftp::DataTimeoutText(transfer.label)));
      }
      return Fail(
          FtpStatus::Error(FtpErrorKind::kTimeout, ftp::ListingStalledText(transfer.label)));
    }
    size_t received = 0;
    bool ended = false;
    FtpStatus status =
        ftp::ReceiveData(connection->control, transfer, buffer.data() + end, buffer.size() - end,
                         received, ended, connection->timeouts.data, entryDeadline);
    if (!status.ok())
      return Fail(status);
    end += received;
    receivedThisCall += received;
    totalReceived += received;
    dataEnded = ended;
    if (totalReceived > kMaxListingBytes) {
      return Fail(FtpStatus::Error(FtpErrorKind::kProtocol,
                                   ftp::ListingTooLargeText(transfer.label, kMaxListingMiB)));
    }
  }
}

FtpListing::FtpListing() = default;
FtpListing::~FtpListing() {
  Close();
}
FtpListing::FtpListing(FtpListing&&) noexcept = default;

FtpListing& FtpListing::operator=(FtpListing&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool FtpListing::IsOpen() const {
  return state_ != nullptr && state_->open;
}

FtpStatus FtpListing::Next(RemoteEntry& entry) {
  if (state_ == nullptr)
    return NotConnected();
  return state_->Next(entry);
}

void FtpListing::Close() {
  if (state_ != nullptr)
    state_->Close();
}

// ---------------------------------------------------------------------------
// FtpConnection

FtpConnection::FtpConnection() = default;
FtpConnection::~FtpConnection() {
  Close();
}
FtpConnection::FtpConnection(FtpConnection&&) noexcept = default;

FtpConnection& FtpConnection::operator=(FtpConnection&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool FtpConnection::IsOpen() const {
  return state_ != nullptr && state_->control.open();
}

bool FtpConnection::Encrypted() const {
  return state_ != nullptr && state_->tls != nullptr;
}

NameEncoding FtpConnection::NameEncodingInUse() const {
  return state_ != nullptr ? state_->nameEncoding : NameEncoding::kUtf8;
}

bool FtpConnection::NameEncodingSettled() const {
  return state_ != nullptr && !state_->nameEncodingOpen;
}

bool FtpConnection::TurnedToActiveMode() const {
  return state_ != nullptr && state_->dataPlan.activeFromNowOn;
}

void FtpConnection::TurnToActiveMode() {
  if (IsOpen() && state_->dataPlan.mode == DataConnectionMode::kAuto)
    state_->dataPlan.activeFromNowOn = true;
}

bool FtpConnection::ActiveModeFailed() const {
  return state_ != nullptr && state_->dataPlan.activeFailed;
}

void FtpConnection::SetDataMode(DataConnectionMode mode) {
  if (state_ == nullptr)
    return;
  state_->dataPlan.mode = mode;
  state_->dataPlan.activeFromNowOn = false;
  state_->dataPlan.activeFailed = false;
}

bool FtpConnection::CanWriteName(std::string_view name) const {
  std::string serverName;
  return ftp::EncodeName(NameEncodingInUse(), name, serverName) == ftp::NameFailure::kNone;
}

FtpStatus FtpConnection::ChangeFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(path))
    return Unsafe("フォルダー名", path);
  std::string serverPath;
  FtpStatus status = state_->ServerName(path, "フォルダー名", serverPath);
  if (!status.ok())
    return status;
  std::string resolved = ftp::ResolveRemotePath(state_->loginFolder, serverPath);
  // Entering the folder we are in costs a round trip and changes nothing.
  state_->CloseActiveListing();
  if (state_->currentFolder == resolved && IsOpen())
    return FtpStatus::Ok();
  state_->currentFolder.reset();
  status = state_->Simple("CWD " + resolved);
  if (status.ok())
    state_->currentFolder = std::move(resolved);
  return status;
}

void FtpConnection::FixNameEncoding(NameEncoding encoding) {
  if (!IsOpen() || encoding == NameEncoding::kAuto)
    return;
  state_->nameEncoding = encoding;
  state_->nameEncodingOpen = false;
}

bool FtpConnection::ListsWithMlsd() const {
  return state_ != nullptr && state_->features.mlst;
}

FtpStatus FtpConnection::FindFirst(std::string_view folder, FtpListing& listing, RemoteEntry& entry,
                                   ListingCommand listingCommand) {
  listing.Close();
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(folder))
    return Unsafe("フォルダー名", folder);
  std::string serverFolder;
  if (FtpStatus status = state_->ServerName(folder, "フォルダー名", serverFolder); !status.ok())
    return status;
  state_->CloseActiveListing();
  if (!IsOpen())
    return NotConnected();

  auto listingState = std::make_unique<FtpListing::State>();
  std::string command;
  std::string enter;                   // a CWD sent first
  std::optional<std::string> entered;  // where it goes
  if (state_->features.mlst && listingCommand == ListingCommand::kPreferred) {
    listingState->format = ftp::ListingFormat::kMlsd;
    command = serverFolder.empty()
                  ? "MLSD"
                  : "MLSD " + ftp::ResolveRemotePath(state_->loginFolder, serverFolder);
  } else {
    listingState->format = ftp::ListingFormat::kList;
    if (!serverFolder.empty()) {
      // "LIST missing" ends with 226 and no lines on some servers, which
      // would look like an empty folder; entering the folder first tells
      // the two apart.
      // The folder we are in has been entered already; the CWD goes out
      // with the data connection's set-up.
      std::string resolved = ftp::ResolveRemotePath(state_->loginFolder, serverFolder);
      if (state_->currentFolder != resolved) {
        state_->currentFolder.reset();
        enter = "CWD " + resolved;
        entered = std::move(resolved);
      }
    }
    // Several servers hide dot files from a plain LIST.
    command = "LIST -a";
  }

  FtpStatus status = ftp::OpenTransfer(state_->control, state_->dataPlan, command,
                                       ftp::TransferDirection::kReceive, state_->timeouts.data,
                                       state_->cancelCheck, listingState->transfer, enter);
  if (!status.ok())
    return status;
  if (entered)
    state_->currentFolder = std::move(entered);
  listingState->connection = state_.get();
  listingState->now = static_cast<int64_t>(std::time(nullptr));
  listingState->buffer.resize(kListingBufferSize);
  listingState->open = true;
  state_->activeListing = listingState.get();
  listing.state_ = std::move(listingState);
  return listing.Next(entry);
}

FtpStatus FtpConnection::CreateFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(path))
    return Unsafe("フォルダー名", path);
  std::string serverPath;
  FtpStatus status = state_->ServerName(path, "フォルダー名", serverPath);
  if (!status.ok())
    return status;
  return state_->Simple("MKD " + ftp::ResolveRemotePath(state_->loginFolder, serverPath));
}

FtpStatus FtpConnection::PutFile(const std::string& localPath, std::string_view remoteName,
                                 const std::function<void(int64_t)>& progress,
                                 const StoreOptions& options) {
  return Store(localPath, remoteName, RemoteTarget::kCurrentFolder, progress, options);
}

bool FtpConnection::RenamesRefused() const {
  return state_ != nullptr && state_->renamesRefused;
}

std::vector<CheckedUpload> FtpConnection::TakeCheckedUploads() {
  if (state_ == nullptr)
    return {};
  state_->NoteDeferredReplies();
  return std::exchange(state_->checked, {});
}

bool FtpConnection::UploadsUnchecked() const {
  return state_ != nullptr &&
         (static_cast<int>(state_->unchecked.size()) > state_->UncheckedListings() ||
          !state_->renamesDue.empty());
}

void FtpConnection::DeferListingEnds(bool defer) {
  if (state_ != nullptr)
    state_->deferListingEnds = defer;
}

int FtpConnection::ListingsUnchecked() const {
  return state_ != nullptr ? state_->UncheckedListings() : 0;
}

std::vector<FtpStatus> FtpConnection::TakeCheckedListings() {
  if (state_ == nullptr)
    return {};
  state_->NoteDeferredReplies();
  return std::exchange(state_->checkedListings, {});
}

void FtpConnection::CheckUploads(bool arrived) {
  if (state_ == nullptr)
    return;
  // A verified upload's rename is sent once its size has come, and read.
  while (state_->control.open() && state_->control.ReadDeferred(arrived).ok() && !arrived) {
    state_->NoteDeferredReplies();
    if ((state_->renamesDue.empty() && state_->discardsDue.empty()) || !state_->SendDue().ok()) {
      break;
    }
  }
  state_->NoteDeferredReplies();
}

FtpStatus FtpConnection::StoreFile(const std::string& localPath, std::string_view remotePath,
                                   const std::function<void(int64_t)>& progress,
                                   const StoreOptions& options) {
  return Store(localPath, remotePath, RemoteTarget::kFromLoginFolder, progress, options);
}

FtpStatus FtpConnection::Store(const std::string& localPath, std::string_view remote,
                               RemoteTarget target, const std::function<void(int64_t)>& progress,
                               const StoreOptions& options) {
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(remote))
    return Unsafe("ファイル名", remote);
  std::string serverName;
  if (FtpStatus status = state_->ServerName(remote, "ファイル名", serverName); !status.ok())
    return status;
  if (target == RemoteTarget::kFromLoginFolder)
    serverName = ftp::ResolveRemotePath(state_->loginFolder, serverName);
  // Sent under the temporary name, in the real name's folder.
  const bool viaTemporary = !options.temporaryName.empty() && !state_->renamesRefused;
  std::string sentName = serverName;
  if (viaTemporary) {
    if (ftp::HasLineBreakOrNul(options.temporaryName))
      return Unsafe("ファイル名", options.temporaryName);
    std::string temporary;
    if (FtpStatus status = state_->ServerName(options.temporaryName, "ファイル名", temporary);
        !status.ok()) {
      return status;
    }
    const size_t slash = serverName.rfind('/');
    sentName =
        (slash == std::string::npos ? std::string() : serverName.substr(0, slash + 1)) + temporary;
  }
  if (localPath.find('\0') != std::string::npos)
    return Unsafe("ローカルのファイル名", localPath);
  state_->CloseActiveListing();
  if (!IsOpen())
    return NotConnected();
  // Renames of earlier uploads whose size has been read go out first.
  state_->NoteDeferredReplies();
  if (FtpStatus status = state_->SendDue(); !status.ok())
    return status;

  // The local file is opened before anything is sent, so a file that cannot
  // be read never leaves an empty file on the server. Opening a FIFO would
  // wait for a writer, and reading a device may never end: without blocking,
  // the open returns at once and fstat() tells what it is.
  UniqueFd file(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            ftp::LocalFileText(localPath, ftp::SystemErrorText(errno)));
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            ftp::LocalFileText(localPath, ftp::SystemErrorText(errno)));
  }
  if (S_ISDIR(info.st_mode)) {
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            ftp::LocalFileText(localPath, ftp::SystemErrorText(EISDIR)));
  }
  if (!S_ISREG(info.st_mode)) {
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            ftp::LocalFileText(localPath, ftp::NotRegularFileDetail()));
  }

  int64_t sent = 0;
  const auto counting = [&sent, &progress](int64_t bytes) {
    sent = bytes;
    if (progress)
      progress(bytes);
  };
  ftp::DataTransfer transfer;
  FtpStatus status = ftp::OpenTransfer(state_->control, state_->dataPlan, "STOR " + sentName,
                                       ftp::TransferDirection::kSend, state_->timeouts.data,
                                       state_->cancelCheck, transfer);
  if (!status.ok())
    return status;
  status =
      ftp::SendFileData(state_->control, transfer, file.get(), state_->timeouts.data, counting);
  if (!status.ok()) {
    if (state_->control.open() && !transfer.finalReceived) {
      // The server's own reply comes after our broken-off data; without it
      // the next command would get this one's answer.
      FtpStatus finish = ftp::FinishTransfer(state_->control, transfer);
      if (!finish.ok())
        return finish;
    }
    if (viaTemporary)
      state_->Discard(sentName);
    return status;
  }
  status = ftp::FinishTransfer(state_->control, transfer);
  if (!status.ok())
    return status;
  if (!ftp::TransferCompleted(transfer.finalReply)) {
    if (viaTemporary)
      state_->Discard(sentName);
    return FtpStatus::Error(FtpErrorKind::kServerReply, transfer.finalReply.text);
  }
  if (!options.verifySize && !viaTemporary) {
    if (options.deferLastReply)
      state_->checked.push_back({std::string(remote), FtpStatus::Ok()});
    return FtpStatus::Ok();
  }
  const FtpStatus kept =
      state_->KeepStored(std::string(remote), sentName, serverName, viaTemporary, options, sent);
  if (kept.ok() && options.deferLastReply && !state_->UploadPending(remote)) {
    // Checked at once: it ends here all the same, in its turn.
    state_->checked.push_back({std::string(remote), FtpStatus::Ok()});
  }
  if (!kept.ok() && state_->renamesRefused) {
    // The server renames nothing: this file, as every later one, goes
    // under its real name.
    StoreOptions direct = options;
    direct.temporaryName.clear();
    return Store(localPath, remote, target, progress, direct);
  }
  return kept;
}

FtpStatus FtpConnection::DeleteFile(std::string_view name) {
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(name))
    return Unsafe("ファイル名", name);
  std::string serverName;
  FtpStatus status = state_->ServerName(name, "ファイル名", serverName);
  if (!status.ok())
    return status;
  return state_->Simple("DELE " + serverName);
}

FtpStatus FtpConnection::RemoveFolder(std::string_view name) {
  if (!IsOpen())
    return NotConnected();
  if (ftp::HasLineBreakOrNul(name))
    return Unsafe("フォルダー名", name);
  std::string serverName;
  FtpStatus status = state_->ServerName(name, "フォルダー名", serverName);
  if (!status.ok())
    return status;
  return state_->Simple("RMD " + serverName);
}

const std::string& FtpConnection::LastResponseText() const {
  static const std::string kNone;
  return state_ != nullptr ? state_->control.lastReplyText() : kNone;
}

void FtpConnection::SetCancelCheck(std::function<bool()> check) {
  if (state_ != nullptr)
    state_->cancelCheck = std::move(check);
}

void FtpConnection::Close() {
  if (state_ == nullptr)
    return;
  state_->CloseActiveListing();
  state_->control.Quit();
}

void FtpConnection::Leave() {
  if (state_ == nullptr)
    return;
  state_->CloseActiveListing();
  state_->control.Quit(false);
}

bool FtpConnection::LoggedInWithPassword() const {
  return IsOpen() && state_->passwordTaken;
}

std::optional<ftp::ServerFeatures> FtpConnection::Features() const {
  if (!IsOpen())
    return std::nullopt;
  return state_->features;
}

// ---------------------------------------------------------------------------
// FtpSession

FtpSession::FtpSession(std::string agentName, FtpTimeouts timeouts, FtpConnectOptions options)
    : agentName_(std::move(agentName)), timeouts_(timeouts), options_(std::move(options)) {}

FtpStatus FtpSession::Connect(const std::string& host, uint16_t port, const std::string& userId,
                              const std::string& password, FtpConnection& connection) const {
  connection.Close();
  connection.state_.reset();
  if (ftp::HasLineBreakOrNul(host))
    return Unsafe("サーバー名", host);
  if (ftp::HasLineBreakOrNul(userId))
    return Unsafe("ユーザー名", userId);
  // The password itself is never shown.
  if (ftp::HasLineBreakOrNul(password))
    return Unsafe("パスワード", {});

  // The login may be held to shorter waits than the work after it.
  FtpTimeouts loginTimeouts = timeouts_;
  if (options_.loginTimeout.count() > 0) {
    loginTimeouts.connect = std::min(loginTimeouts.connect, options_.loginTimeout);
    loginTimeouts.reply = std::min(loginTimeouts.reply, options_.loginTimeout);
  }
  ftp::Socket socket;
  const ftp::ConnectResult connected =
      ftp::ConnectTcp(host, port, loginTimeouts.connect, socket, options_.loginCancelCheck);
  switch (connected.failure) {
    case ftp::ConnectFailure::kNone:
      break;
    case ftp::ConnectFailure::kCanceled:
      return FtpStatus::Error(FtpErrorKind::kCanceled, ftp::CanceledText("connect"));
    case ftp::ConnectFailure::kHostNotFound:
      return FtpStatus::Error(FtpErrorKind::kHostNotFound,
                              ftp::HostNotFoundText(host, connected.detail));
    case ftp::ConnectFailure::kRefused:
      return FtpStatus::Error(FtpErrorKind::kConnectionRefused,
                              ftp::ConnectRefusedText(host, port, connected.detail));
    case ftp::ConnectFailure::kTimeout:
      return FtpStatus::Error(FtpErrorKind::kTimeout, ftp::ConnectTimeoutText(host, port));
  }

  ftp::SocketAddress peer;
  socket.PeerAddress(peer);
  auto state =
      std::make_unique<FtpConnection::State>(ftp::MakeTcpStream(std::move(socket)), loginTimeouts);
  // The server's data connections come from the IPv4 address that a mapped
  // address holds.
  state->dataPlan.serverAddress = peer.Unmapped();
  state->dataPlan.mode = options_.dataMode;
  state->dataPlan.passiveConnectTimeout = timeouts_.passiveConnect;
  state->dataPlan.notice = options_.notice;
  state->host = host;
  state->notice = options_.notice;
  // kAuto starts as UTF-8; Login settles it when FEAT offers UTF8. What an
  // earlier run decided is taken as decided, before FEAT is asked, so that
  // a Shift_JIS server that offers UTF8 is not asked to switch.
  state->nameEncodingAuto = options_.nameEncoding == NameEncoding::kAuto;
  const bool decidedBefore =
      state->nameEncodingAuto && options_.decidedNameEncoding != NameEncoding::kAuto;
  state->nameEncodingOpen = state->nameEncodingAuto && !decidedBefore;
  if (!state->nameEncodingAuto) {
    state->nameEncoding = options_.nameEncoding;
  } else {
    state->nameEncoding = decidedBefore ? options_.decidedNameEncoding : NameEncoding::kUtf8;
  }
  state->control.SetWaitCheck(options_.loginCancelCheck);
  FtpStatus status = state->Login(userId, password, options_);
  state->control.SetWaitCheck({});
  state->timeouts = timeouts_;
  state->control.SetReplyTimeout(timeouts_.reply);
  if (!status.ok())
    state->control.Quit();
  // A failed connection stays closed but keeps the server's last reply.
  connection.state_ = std::move(state);
  return status;
}

}  // namespace velmorix
