// Our FTP client: the operations the transfer engine and the remote listing
// use, over POSIX sockets, binary type only; data connections passive or
// active, plain FTP or explicit FTPS (TLS on the control connection and on
// every data connection).
//
// Every call is synchronous and bounded by the session's time-outs, so a
// server that stops answering ends the call with a kTimeout error. None of
// these objects is shared between threads: a run's worker thread opens the
// session and the connection, uses them and closes them.
//
// Remote paths. A path that begins with "/" is absolute. Any other path given
// to ChangeFolder, FindFirst or CreateFolder is taken relative to the folder
// the server put us in at login, so a destination's "www" names the same
// folder wherever the walk currently stands. The bare names given to PutFile,
// DeleteFile and RemoveFolder are relative to the current folder, as FTP has
// them.
//
// Names. Names and paths given here are UTF-8 and go out in the connection's
// name encoding; listed names come back in UTF-8 (see NameEncoding and
// ftp/name_codec.h). A name the encoding cannot write exactly gives
// kNameNotRepresentable, and nothing is sent for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/certificate_info.h"
#include "ftp/data_connection_mode.h"
#include "ftp/ftp_protocol.h"
#include "ftp/ftp_status.h"
#include "ftp/name_encoding.h"
#include "ftp/remote_entry.h"

namespace velmorix {

// Which command FindFirst lists a folder with.
enum class ListingCommand {
  kPreferred,  // MLSD where the server offers it, else "LIST -a"
  kList,       // always "LIST -a" (after entering the folder), which shows links as links
};

struct FtpTimeouts {
  std::chrono::milliseconds connect{30000};  // TCP connect, per address
  std::chrono::milliseconds reply{30000};    // each reply on the control connection
  // The accept of a data connection, each stretch without progress on it
  // (for an upload, the server acknowledging queued data is progress), and
  // each listing entry: bytes that make no entry are no progress.
  std::chrono::milliseconds data{30000};
  // A passive data connection that is not made by then counts as failed
  // (and kAuto turns to active mode).
  std::chrono::milliseconds passiveConnect{10000};
};

// Whether a connection speaks TLS (explicit FTPS: AUTH TLS before the login,
// then PBSZ 0 and PROT P, every data connection encrypted and resuming the
// control connection's TLS session).
enum class FtpSecurity {
  kNone,            // plain FTP
  kTlsIfAvailable,  // TLS when the server offers AUTH TLS, else plain (with a notice)
  kTlsRequired,     // no login without TLS
};

// How the connections of a session behave beyond the protocol's defaults.
struct FtpConnectOptions {
  DataConnectionMode dataMode = DataConnectionMode::kActive;
  FtpSecurity security = FtpSecurity::kNone;
  NameEncoding nameEncoding = NameEncoding::kUtf8;
  // With nameEncoding kAuto: what an earlier run of the destination decided
  // (kUtf8, kShiftJis or kEucJp). The connection starts with it, whatever
  // FEAT says, and a listed name that contradicts it ends the listing with
  // kNameEncodingMismatch, as one after a decision of its own would.
  // kAuto: nothing decided yet.
  NameEncoding decidedNameEncoding = NameEncoding::kAuto;
  // A certificate that fails verification but has this fingerprint (the
  // CertificateInfo form) is accepted without asking: the user accepted it
  // before.
  std::string trustedFingerprint = {};
  // Asked on the connection's thread when the server's certificate fails
  // verification (against the system's trust store and the host name or
  // address given to Connect) and is not the trusted one; true accepts it
  // for this connection. Without a check such a certificate is refused,
  // and Connect gives kTlsFailed.
  std::function<bool(const CertificateInfo&)> certificateCheck = {};
  // Called on the connection's thread with a line for the user when the
  // connection decides something on its own (a masqueraded passive address
  // replaced, a turn to active mode, no TLS offered, a name encoding found).
  std::function<void(const std::string&)> notice = {};
  // What another connection to the same server was told by FEAT: asked
  // again, it would only cost a round trip.
  std::optional<ftp::ServerFeatures> features = {};
  // Another connection has logged in with this user and password, and the
  // server asked for the password: it goes out with the user name.
  bool passwordWithUser = false;
  // When above zero, bounds the TCP connect, the greeting and each reply of
  // the login instead of the session's time-outs, which apply after it.
  std::chrono::milliseconds loginTimeout{0};
  // Asked at least every 250 ms while Connect waits on the server (the TCP
  // connect, the greeting, the login's replies, not a TLS handshake); when
  // it says stop, Connect gives kCanceled. It must only look.
  std::function<bool()> loginCancelCheck = {};
};

class FtpConnection;

// How an upload reaches its name.
struct StoreOptions {
  // When not empty, the file is sent under this bare name, in the folder of
  // its real name, and renamed to the real name (RNFR, RNTO) only once it is
  // complete and, with verifySize, verified: whoever reads the real name
  // meanwhile gets the old file or the new one, never part of either. A
  // server that will not rename onto an existing file gets DELE of it first;
  // one that renames nothing gets the file under its real name, and so do
  // the connection's later uploads (RenamesRefused).
  std::string temporaryName = {};
  // After the transfer the server's size of the file (SIZE, else MLST where
  // offered) must equal the bytes sent; where neither tells, it is not
  // checked.
  bool verifySize = false;
  // The last reply the upload waits for (RNTO's, or SIZE's without a
  // temporary name) may be read with the connection's next command instead
  // of now, which saves a round trip; the upload's end then comes with
  // TakeCheckedUploads. A rename onto an existing file (`replacing`) is
  // only left for later once one has worked on this connection.
  bool deferLastReply = false;
  bool replacing = false;
};

// An upload whose last reply was left for later, once it has come.
struct CheckedUpload {
  std::string path;  // as given to PutFile or StoreFile
  FtpStatus status;
};

// An open listing. Move-only; it closes itself (aborting the transfer if it
// has not been read to its end) when destroyed. While it is open, the
// connection it came from serves the listing only: any other command on that
// connection (and closing the connection) ends the listing first.
class FtpListing {
 public:
  FtpListing();
  ~FtpListing();
  FtpListing(FtpListing&&) noexcept;
  FtpListing& operator=(FtpListing&&) noexcept;

  bool IsOpen() const;
  // Reads the next entry. kNoMoreFiles at the end of the listing; any other
  // error means the listing broke off: kTimeout when no entry came within the
  // data time-out, even while bytes kept coming, kProtocol when the listing
  // grew beyond 64 MiB, kServerReply when the server ended it with anything
  // but 226 or 250, kCanceled when the cancel check stopped it. Once the
  // listing is closed, Next keeps giving what ended it (kNoMoreFiles after an
  // end or a Close); a listing that was never opened gives kNotConnected.
  FtpStatus Next(RemoteEntry& entry);
  // Ends the listing and brings the control connection back to a state in
  // which the next command can be sent (waiting at most the reply time-out
  // for the server's answer; without one the connection counts as lost).
  void Close();

 private:
  friend class FtpConnection;
  struct State;
  std::unique_ptr<State> state_;
};

// A logged-in control connection. Move-only; closes itself when destroyed.
class FtpConnection {
 public:
  FtpConnection();
  ~FtpConnection();
  FtpConnection(FtpConnection&&) noexcept;
  FtpConnection& operator=(FtpConnection&&) noexcept;

  bool IsOpen() const;
  // After a successful Connect: whether the control connection (and with it
  // every data connection) is encrypted.
  bool Encrypted() const;
  // True when `name` (UTF-8) can be written in the server's name encoding
  // as it stands now, so that a command with it would not fail with
  // kNameNotRepresentable.
  bool CanWriteName(std::string_view name) const;
  // The encoding names are converted with now: kUtf8, kShiftJis or kEucJp.
  // With kAuto it is kUtf8 until the server's names show Shift_JIS.
  NameEncoding NameEncodingInUse() const;
  // False while kAuto still waits for names that tell the encoding: until
  // then only this connection's own listings may be read. True once FEAT,
  // a listed name or the options' decidedNameEncoding has decided.
  bool NameEncodingSettled() const;
  // True when kAuto has turned to active mode for good: passive mode failed.
  bool TurnedToActiveMode() const;
  // With kAuto, takes active mode for good, as another connection to the
  // same server has found it must (without a notice); else nothing.
  void TurnToActiveMode();
  // True once a data connection in active mode could not be made: the
  // server refused PORT or EPRT, or never connected back.
  bool ActiveModeFailed() const;
  // From now on opens data connections in `mode`, as if the connection had
  // been made with it; a turn to active mode and a failure of it are
  // forgotten.
  void SetDataMode(DataConnectionMode mode);

  // CWD; success on a 2xx reply. "" names the login folder. Entering the
  // folder that the last CWD entered sends nothing.
  FtpStatus ChangeFolder(std::string_view path);
  // From now on converts names with `encoding` (kUtf8, kShiftJis or
  // kEucJp), as another connection to the same server has found it; kAuto
  // changes nothing.
  void FixNameEncoding(NameEncoding encoding);
  // Lists `folder` ("" is the current folder) with MLSD where the server
  // offers it, else with "LIST -a", and reads the first entry into `entry`.
  // An empty folder gives kNoMoreFiles; a missing folder gives an error, never
  // an empty listing. Dot entries are reported when the server lists them.
  // Listing a folder other than the current one may leave the server's current
  // folder at `folder`.
  FtpStatus FindFirst(std::string_view folder, FtpListing& listing, RemoteEntry& entry,
                      ListingCommand command = ListingCommand::kPreferred);
  // True when FindFirst with kPreferred lists with MLSD, whose "dir" entries
  // may be links that the server followed.
  bool ListsWithMlsd() const;
  // MKD.
  FtpStatus CreateFolder(std::string_view path);
  // STOR of the local file `localPath` under `remoteName`, streamed, binary;
  // an existing server file of that name is replaced. Only a regular file is
  // sent: the file is opened without blocking, and a FIFO, socket or device
  // (also behind a link) is refused before anything is sent. Only 226 or 250
  // from the server is success. `progress`, when set, is called on this
  // thread with the bytes sent so far, after each part that went; it must
  // not block.
  // An upload that fails or is canceled after the transfer began leaves no
  // temporary file behind (DELE, where the connection still stands).
  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const std::function<void(int64_t)>& progress = {},
                    const StoreOptions& options = {});
  // PutFile to the path `remotePath`, taken like CreateFolder's; the
  // current folder does not matter.
  FtpStatus StoreFile(const std::string& localPath, std::string_view remotePath,
                      const std::function<void(int64_t)>& progress = {},
                      const StoreOptions& options = {});
  // True once the server refused RNFR or RNTO as a command it does not
  // implement (500, 502, 504), denied RNFR of a file it had just taken, or
  // denied RNTO even onto a free name: uploads go under their real names.
  bool RenamesRefused() const;
  // Uploads whose last reply was left for later (deferLastReply) that have
  // ended since the last call, in order. Replies are read with any later
  // command; CheckUploads reads those still outstanding at once.
  std::vector<CheckedUpload> TakeCheckedUploads();
  bool UploadsUnchecked() const;
  // Reads every deferred reply still outstanding, the listings' too; with
  // `arrived`, only those that have come, without waiting.
  void CheckUploads(bool arrived = false);
  // While set, a listing read to its end over the data connection ends
  // without waiting for the server's final reply, which is read with the
  // connection's next command (or CheckUploads): the next listing's set-up
  // goes out a round trip sooner. The listing is not to be believed until
  // TakeCheckedListings has told of it: one status per deferred listing, in
  // order, kNotConnected for those whose reply the connection lost.
  void DeferListingEnds(bool defer);
  // How many deferred listings' final replies have not been read.
  int ListingsUnchecked() const;
  std::vector<FtpStatus> TakeCheckedListings();
  // DELE.
  FtpStatus DeleteFile(std::string_view name);
  // RMD.
  FtpStatus RemoveFolder(std::string_view name);
  // The last reply the server sent, all its lines, without line ends, joined
  // by "\n". Kept after a failed Connect and after Close.
  const std::string& LastResponseText() const;
  // QUIT and close. Safe to call on a closed connection.
  void Close();
  // QUIT and close without waiting for the server's goodbye, for a
  // connection whose work is done when its run still has one of its own.
  void Leave();
  // True when the login was asked for a password (331) and it was taken.
  bool LoggedInWithPassword() const;
  // What the server's FEAT said; empty when not connected.
  std::optional<ftp::ServerFeatures> Features() const;

  // `check` is called on the connection's thread at least every 250 ms while
  // a listing or an upload waits on its data connection: the server's
  // connect-back, listing data, room to send and the wait until the server
  // has taken all of an upload. It is first asked 200 ms into a transfer,
  // so a small transfer that never waits completes even when the check
  // already says stop. When it returns true the transfer is aborted: the
  // data connection is closed, ABOR is sent and the server's answers are
  // read for at most about a second (the connection counts as lost when
  // they do not come), and the call gives kCanceled. The wait for the final
  // reply after all data has gone is not canceled. `check` must only look,
  // never change anything; it is kept until the next Connect. Without a
  // check nothing is ever canceled.
  void SetCancelCheck(std::function<bool()> check);

 private:
  friend class FtpSession;
  friend class FtpListing;
  struct State;
  // How Store takes the remote name: a bare name in the current folder
  // (PutFile), or a path taken like CreateFolder's (StoreFile).
  enum class RemoteTarget { kCurrentFolder, kFromLoginFolder };
  FtpStatus Store(const std::string& localPath, std::string_view remote, RemoteTarget target,
                  const std::function<void(int64_t)>& progress, const StoreOptions& options);
  std::unique_ptr<State> state_;
};

// The client's session: its agent name and time-outs. Cheap; opening it
// cannot fail.
class FtpSession {
 public:
  explicit FtpSession(std::string agentName, FtpTimeouts timeouts = {},
                      FtpConnectOptions options = {});

  // Resolves `host` (IPv4 or IPv6), connects to `port`, logs in and sets
  // binary type. An IPv4-mapped IPv6 address ("::ffff:192.0.2.1") is
  // treated as the IPv4 address it holds. On failure `connection` stays
  // closed and the status says why, in a text fit for a message box (never
  // holding the password).
  // After a lost connection (421, end of file, socket error or a time-out),
  // every call of that connection fails at once with kNotConnected.
  FtpStatus Connect(const std::string& host, uint16_t port, const std::string& userId,
                    const std::string& password, FtpConnection& connection) const;

  const std::string& agentName() const { return agentName_; }
  const FtpTimeouts& timeouts() const { return timeouts_; }

 private:
  std::string agentName_;
  FtpTimeouts timeouts_;
  FtpConnectOptions options_;
};

}  // namespace velmorix
