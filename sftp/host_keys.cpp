#include "sftp/host_keys.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/unique_fd.h"
#include "base/user_folders.h"
#include "ftp/tcp_socket.h"
#include "resources/string_table.h"

namespace velmorix::sftp {
namespace {

namespace fs = std::filesystem;

struct KeyKind {
  int hostKeyType;    // LIBSSH2_HOSTKEY_TYPE_*
  int knownHostType;  // LIBSSH2_KNOWNHOST_KEY_*
  const char* algorithm;
  const char* label;
  // The host key algorithms that show a key of this kind.
  const char* algorithms;
};

constexpr std::array<KeyKind, 5> kKeyKinds{{
    {LIBSSH2_HOSTKEY_TYPE_ED25519, LIBSSH2_KNOWNHOST_KEY_ED25519, "ssh-ed25519", "ED25519",
     "ssh-ed25519"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_256, LIBSSH2_KNOWNHOST_KEY_ECDSA_256, "ecdsa-sha2-nistp256",
     "ECDSA", "ecdsa-sha2-nistp256"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_384, LIBSSH2_KNOWNHOST_KEY_ECDSA_384, "ecdsa-sha2-nistp384",
     "ECDSA", "ecdsa-sha2-nistp384"},
    {LIBSSH2_HOSTKEY_TYPE_ECDSA_521, LIBSSH2_KNOWNHOST_KEY_ECDSA_521, "ecdsa-sha2-nistp521",
     "ECDSA", "ecdsa-sha2-nistp521"},
    {LIBSSH2_HOSTKEY_TYPE_RSA, LIBSSH2_KNOWNHOST_KEY_SSHRSA, "ssh-rsa", "RSA",
     "rsa-sha2-512,rsa-sha2-256,ssh-rsa"},
}};

const KeyKind* KindOfAlgorithm(std::string_view algorithm) {
  for (const KeyKind& kind : kKeyKinds) {
    if (algorithm == kind.algorithm)
      return &kind;
  }
  return nullptr;
}

std::string Base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string Sha256Fingerprint(std::string_view blob) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(blob.data(), blob.size(), digest, &length, EVP_sha256(), nullptr);
  std::string text = Base64(std::string_view(reinterpret_cast<const char*>(digest), length));
  while (!text.empty() && text.back() == '=')
    text.pop_back();
  return "SHA256:" + text;
}

using KnownHostsPointer = std::unique_ptr<LIBSSH2_KNOWNHOSTS, decltype(&libssh2_knownhost_free)>;

// The entries of every file that exists: the revoked ones apart. Read line by
// line, so that one line the library cannot parse (a kind it does not know,
// a certificate authority) costs only that line, not the rest of the file.
struct LoadedHosts {
  KnownHostsPointer entries{nullptr, &libssh2_knownhost_free};
  KnownHostsPointer revoked{nullptr, &libssh2_knownhost_free};
};

LoadedHosts Load(LIBSSH2_SESSION* session, const KnownHostsFiles& files) {
  LoadedHosts hosts;
  hosts.entries.reset(libssh2_knownhost_init(session));
  hosts.revoked.reset(libssh2_knownhost_init(session));
  std::vector<std::string> paths = files.readOnly;
  if (!files.own.empty())
    paths.push_back(files.own);
  constexpr std::string_view kRevoked = "@revoked";
  for (const std::string& path : paths) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      LIBSSH2_KNOWNHOSTS* into = hosts.entries.get();
      std::string_view text = line;
      if (text.starts_with('@')) {
        if (!text.starts_with(kRevoked) || text.size() == kRevoked.size() ||
            (text[kRevoked.size()] != ' ' && text[kRevoked.size()] != '\t')) {
          continue;  // @cert-authority: certificates are not taken
        }
        text.remove_prefix(kRevoked.size() + 1);
        into = hosts.revoked.get();
      }
      if (into != nullptr) {
        libssh2_knownhost_readline(into, text.data(), text.size(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
      }
    }
  }
  return hosts;
}

int Check(LIBSSH2_KNOWNHOSTS* hosts, std::string_view name, std::string_view blob,
          int knownHostType) {
  if (hosts == nullptr)
    return LIBSSH2_KNOWNHOST_CHECK_FAILURE;
  const std::string host(name);
  // Port -1: the name is taken as given ("[host]:port" included), and a
  // plain "host" entry does not stand for other ports, as in ssh.
  return libssh2_knownhost_checkp(
      hosts, host.c_str(), -1, blob.data(), blob.size(),
      LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | knownHostType, nullptr);
}

}  // namespace

KnownHostsFiles KnownHostsFiles::Default() {
  KnownHostsFiles files;
  if (const std::string home = HomeFolder(); !home.empty())
    files.readOnly.push_back(home + "/.ssh/known_hosts");
  files.readOnly.push_back("/etc/ssh/ssh_known_hosts");
  std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  if (config.empty())
    config = ".config";
  files.own = config + "/" + std::string(strings::kCompanyKey) + "/known_hosts";
  return files;
}

std::string KnownHostsName(std::string_view host, uint16_t port) {
  std::string name(host);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  if (port == 22)
    return name;
  return "[" + name + "]:" + std::to_string(port);
}

HostKey ServerHostKey(LIBSSH2_SESSION* session) {
  HostKey key;
  size_t length = 0;
  int type = LIBSSH2_HOSTKEY_TYPE_UNKNOWN;
  const char* blob = libssh2_session_hostkey(session, &length, &type);
  if (blob == nullptr)
    return key;
  key.blob.assign(blob, length);
  key.fingerprint = Sha256Fingerprint(key.blob);
  for (const KeyKind& kind : kKeyKinds) {
    if (kind.hostKeyType == type) {
      key.algorithm = kind.algorithm;
      key.label = kind.label;
    }
  }
  if (key.algorithm.empty()) {
    // The blob begins with its algorithm's name.
    if (length >= 4) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(blob);
      const size_t nameLength = (size_t{bytes[0]} << 24) | (size_t{bytes[1]} << 16) |
                                (size_t{bytes[2]} << 8) | size_t{bytes[3]};
      if (nameLength <= length - 4)
        key.algorithm.assign(blob + 4, nameLength);
    }
    key.label = key.algorithm;
  }
  return key;
}

HostKeyVerdict CheckHostKey(LIBSSH2_SESSION* session, const KnownHostsFiles& files,
                            std::string_view name, const HostKey& key) {
  const KeyKind* kind = KindOfAlgorithm(key.algorithm);
  if (kind == nullptr)
    return HostKeyVerdict::kUnknown;
  const LoadedHosts hosts = Load(session, files);
  if (Check(hosts.revoked.get(), name, key.blob, kind->knownHostType) ==
      LIBSSH2_KNOWNHOST_CHECK_MATCH) {
    return HostKeyVerdict::kRevoked;
  }
  switch (Check(hosts.entries.get(), name, key.blob, kind->knownHostType)) {
    case LIBSSH2_KNOWNHOST_CHECK_MATCH:
      return HostKeyVerdict::kKnown;
    case LIBSSH2_KNOWNHOST_CHECK_MISMATCH:
      return HostKeyVerdict::kChanged;
    default:
      return HostKeyVerdict::kUnknown;
  }
}

std::string PreferredHostKeyAlgorithms(LIBSSH2_SESSION* session, const KnownHostsFiles& files,
                                       std::string_view name) {
  const LoadedHosts hosts = Load(session, files);
  std::string known;
  std::string others;
  for (const KeyKind& kind : kKeyKinds) {
    // No key is one byte long: any entry of this kind is a mismatch.
    const bool held = Check(hosts.entries.get(), name, "?", kind.knownHostType) ==
                      LIBSSH2_KNOWNHOST_CHECK_MISMATCH;
    std::string& list = held ? known : others;
    if (!list.empty())
      list += ',';
    list += kind.algorithms;
  }
  if (known.empty())
    return others;
  return others.empty() ? known : known + "," + others;
}

FtpStatus AddKnownHost(const std::string& path, std::string_view name, const HostKey& key) {
  std::error_code error;
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::exists(folder, error)) {
    fs::create_directories(folder, error);
    if (error) {
      return FtpStatus::Error(FtpErrorKind::kSystem, folder.string() + ": " + error.message());
    }
    fs::permissions(folder, fs::perms::owner_all, error);
  }
  const UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!file.valid())
    return FtpStatus::Error(FtpErrorKind::kSystem, path + ": " + ftp::SystemErrorText(errno));
  const std::string line = std::string(name) + " " + key.algorithm + " " + Base64(key.blob) + "\n";
  if (write(file.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    return FtpStatus::Error(FtpErrorKind::kSystem, path + ": " + ftp::SystemErrorText(errno));
  return FtpStatus::Ok();
}

std::string HostKeyChangedText(std::string_view name, const HostKey& key) {
  return "WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!\n"
         "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
         "The " +
         key.label + " key sent by " + std::string(name) +
         " is not the one on record for it.\n"
         "The fingerprint for the " +
         key.label + " key sent by the remote host is\n" + key.fingerprint +
         ".\n"
         "Host key verification failed: nothing was sent. If the server's key really "
         "changed, remove its old key from the known_hosts file that holds it.";
}

std::string HostKeyUnknownText(std::string_view name, const HostKey& key) {
  return "The authenticity of host '" + std::string(name) + "' can't be established.\n" +
         key.label + " key fingerprint is " + key.fingerprint +
         ".\n"
         "Host key verification failed: the key was not accepted.";
}

}  // namespace velmorix::sftp
