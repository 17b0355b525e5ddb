// Host keys as OpenSSH users expect them: a server's key is looked up in
// ~/.ssh/known_hosts (hashed entries included), the system's
// /etc/ssh/ssh_known_hosts and the program's own known_hosts file in the
// user's config folder; a key the user accepts goes into the program's own
// file only. Any thread; each call reads the files afresh.
#pragma once

#include <libssh2.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_status.h"

namespace velmorix::sftp {

// A server's host key as the key exchange gave it.
struct HostKey {
  std::string algorithm;    // as known_hosts names it: "ssh-ed25519", "ecdsa-sha2-nistp256", ...
  std::string label;        // as ssh names the kind in its questions: "ED25519", "ECDSA", "RSA"
  std::string fingerprint;  // "SHA256:" and the key's SHA-256 in base64 without padding
  std::string blob;         // the key itself, as the server sent it
};

enum class HostKeyVerdict {
  kKnown,    // a file holds this key for the server
  kUnknown,  // no file holds a key of this kind for the server
  kChanged,  // a file holds another key of this kind for the server
  kRevoked,  // a file marks this key @revoked
};

// Which files are read. The system's file and the user's are only read;
// `own` is read and written.
struct KnownHostsFiles {
  std::vector<std::string> readOnly;
  std::string own;
  // ~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts, and the program's own
  // file: "known_hosts" beside the settings ($XDG_CONFIG_HOME/Quenzari).
  static KnownHostsFiles Default();
};

// The name known_hosts files give a server: the host in lower case, or
// "[host]:port" on any port but 22.
std::string KnownHostsName(std::string_view host, uint16_t port);

// The key `session` received in its key exchange; empty fields when it has
// none (yet).
HostKey ServerHostKey(LIBSSH2_SESSION* session);

// `key` of the server `name` (KnownHostsName) against every file of `files`
// that exists: known if any holds it, changed if one holds another key of
// its kind, unknown else. Lines the library cannot read are skipped, as
// ssh skips them. `session` only lends the library's key parser.
HostKeyVerdict CheckHostKey(LIBSSH2_SESSION* session, const KnownHostsFiles& files,
                            std::string_view name, const HostKey& key);

// The host key algorithms to ask the server for, best first: the kinds the
// files hold for `name` come first, so that a server with several keys
// shows the one the user knows, as ssh does.
std::string PreferredHostKeyAlgorithms(LIBSSH2_SESSION* session, const KnownHostsFiles& files,
                                       std::string_view name);

// Appends `key` for `name` to the file `path`, making the file (0600) and
// its folder (0700) when missing.
FtpStatus AddKnownHost(const std::string& path, std::string_view name, const HostKey& key);

// The message for a key that is no longer the one on record, in the words
// ssh uses.
std::string HostKeyChangedText(std::string_view name, const HostKey& key);
// The message for a key that was not accepted.
std::string HostKeyUnknownText(std::string_view name, const HostKey& key);

}  // namespace velmorix::sftp
