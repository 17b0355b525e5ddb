// Our SFTP client: the operations the publishing walk and the listing use,
// over one SSH connection (ssh_connection.h), SFTP version 3 as OpenSSH
// serves it, on one channel (sftp_channel.h). A listing asks for its next
// entries before the last have come, and uploads may be left to go on
// while the caller does other things (StartPut): each file's open, writes,
// time, close and rename follow one another as the replies come, many files
// at once, so a tree of small files is not one round trip per step and file.
//
// Paths are UTF-8 and go to the server as they are: a path that begins with
// "/" is absolute, any other is taken by the server from the folder it put
// us in at login. Listed names come back in UTF-8; bytes that are no UTF-8
// are kept escaped (ftp/name_codec.h) and such a name is never sent back.
// Times are whole seconds since 1970 UTC, exact: listed as ListedTime::kUtc.
//
// Errors: a refusal by the server is kServerReply with the operation, the
// path and the SFTP status ("mkdir www/new: SFTP status 3, permission
// denied"); a time-out or a cancel drops the connection, after which every
// call gives kNotConnected. One thread at a time; move-only; closes itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_session.h"
#include "ftp/ftp_status.h"
#include "ftp/remote_entry.h"
#include "sftp/ssh_connection.h"

namespace velmorix::sftp {

// How an upload reaches its name.
struct SftpStoreOptions {
  // When not empty, the file is written under this bare name in the folder
  // of its real name and renamed to the real name once complete (and its
  // time set): whoever reads the real name meanwhile gets the old file or
  // the new one. Onto an existing file the rename is atomic where the
  // server offers posix-rename@openssh.com; elsewhere the old file is
  // removed first. A failed upload removes the temporary file.
  std::string temporaryName = {};
  // The real name holds a file already (the rename must replace it).
  bool replacing = false;
};

class SftpConnection {
 public:
  SftpConnection();
  ~SftpConnection();
  SftpConnection(SftpConnection&&) noexcept;
  SftpConnection& operator=(SftpConnection&&) noexcept;

  // Connects and logs in (SshConnection::Connect), then starts SFTP. When
  // it fails on the host key, ssh().ServerKey() still tells the key, for a
  // message that shows how to trust it.
  FtpStatus Connect(const std::string& host, uint16_t port, const std::string& user,
                    const std::string& password, const SshConnectOptions& options);
  bool IsOpen() const;
  const SshConnection& ssh() const;
  // See SshConnectOptions::cancelCheck; kept until the next Connect.
  void SetCancelCheck(std::function<bool()> check);

  // The entry `path` names, as lstat sees it (a link is a link), or, with
  // `followLinks`, what it leads to. The entry's name is left empty.
  FtpStatus Stat(std::string_view path, RemoteEntry& entry, bool followLinks = false);
  // The entries of the folder `path` ("" or "." for the login folder), in
  // the server's order, without "." and "..". Links are links (the server
  // lists them as lstat sees them), never folders.
  FtpStatus ReadFolder(std::string_view path, std::vector<RemoteEntry>& entries);
  FtpStatus CreateFolder(std::string_view path);
  FtpStatus RemoveFolder(std::string_view path);
  FtpStatus DeleteFile(std::string_view path);
  // Sends the local regular file `localPath` to `remotePath` with writes
  // pipelined over a window of requests, then sets the server file's time
  // to the local file's. `progress`, when set, is called with the bytes the
  // server has taken so far; it must not block. A FIFO, socket or device is
  // refused before anything is sent.
  FtpStatus PutFile(const std::string& localPath, std::string_view remotePath,
                    const std::function<void(int64_t)>& progress = {},
                    const SftpStoreOptions& options = {});
  // Starts sending a file as PutFile does, and returns once its open has
  // been sent (a file above 1 MiB: once it has gone, with `progress` called
  // meanwhile; a small one's progress is told whole at once). The upload
  // goes on with every later call on this connection; TakeFinishedPuts
  // tells how it ended. A status that is not ok (the local file, or a large
  // file the server refused) means the upload is not among those told.
  FtpStatus StartPut(const std::string& localPath, std::string_view remotePath,
                     const std::function<void(int64_t)>& progress = {},
                     const SftpStoreOptions& options = {});
  // The uploads started with StartPut that have ended, in the order they
  // were started, up to the first still under way; with `wait`, after
  // waiting for all of them. `path` is the remote path given.
  std::vector<CheckedUpload> TakeFinishedPuts(bool wait);
  // Ends the uploads started with StartPut that are still under way as
  // canceled, at once: the connection is dropped (the server keeps what
  // arrived). Nothing happens when none is under way.
  void BreakOffPuts();
  // Whether the server offers posix-rename@openssh.com (and has not refused
  // it).
  bool OffersPosixRename() const;

  // Ends SFTP and the SSH connection. Safe on a closed connection.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmorix::sftp
