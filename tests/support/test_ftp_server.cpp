#include "tests/support/test_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace velmorix::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "velmorix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // A test may have left read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

uint16_t ClosedPort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "no port to close: " << std::strerror(errno);
  }
  close(probe);
  return ntohs(address.sin_port);
}

TestFtpServer::TestFtpServer(TestFtpServerOptions options)
    : options_(options), host_(options.ipv6 ? "::1" : "127.0.0.1") {}

TestFtpServer::~TestFtpServer() {
  if (pid_ > 0) {
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

namespace {

// Reads one line from `fd` within `timeout`; false on time-out or end of file.
bool ReadLine(int fd, std::string& line, std::chrono::milliseconds timeout) {
  line.clear();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0)
      return false;
    if (c == '\n')
      return true;
    line.push_back(c);
  }
}

// Connects to the server and reads its greeting.
bool Greets(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_storage address{};
  socklen_t length;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
    length = sizeof(sockaddr_in);
  }
  bool greeted = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
    std::string line;
    greeted = ReadLine(fd, line, std::chrono::seconds(5)) && line.rfind("220", 0) == 0;
  }
  close(fd);
  return greeted;
}

}  // namespace

void TestFtpServer::Start() {
  ASSERT_LT(pid_, 0) << "the server is already running";
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const std::string script = std::string(VELMORIX_TEST_SUPPORT_DIR) + "/ftp_server.py";
  const std::string rootArg = root().string();
  const std::string logArg = (work_.path() / "server.log").string();
  std::vector<std::string> args = {"/usr/bin/python3", script,    "--host", host_,
                                   "--root",           rootArg,   "--user", kUser,
                                   "--password",       kPassword, "--log",  logArg};
  if (!options_.writable)
    args.push_back("--read-only");
  if (!options_.mlsd)
    args.push_back("--no-mlsd");
  if (options_.activeConnectDelay > 0) {
    args.push_back("--active-delay");
    args.push_back(std::to_string(options_.activeConnectDelay));
  }
  if (options_.noConnectBack)
    args.push_back("--no-connect-back");
  if (options_.passive != TestFtpServerOptions::Passive::kNormal) {
    args.push_back("--passive");
    using Passive = TestFtpServerOptions::Passive;
    args.push_back(options_.passive == Passive::kPasvOnly  ? "pasv-only"
                   : options_.passive == Passive::kRefused ? "refused"
                                                           : "silent");
  }
  if (!options_.masquerade.empty()) {
    args.push_back("--masquerade");
    args.push_back(options_.masquerade);
  }
  if (options_.names != TestFtpServerOptions::Names::kUtf8) {
    args.push_back("--name-encoding");
    args.push_back(options_.names == TestFtpServerOptions::Names::kShiftJis ? "shift_jis"
                                                                            : "euc_jp");
  }
  if (!options_.tlsCertificate.empty()) {
    args.push_back("--tls-cert");
    args.push_back(options_.tlsCertificate);
  }
  if (options_.tlsRequired)
    args.push_back("--tls-required");
  if (options_.tlsRequireReuse)
    args.push_back("--tls-require-reuse");
  if (options_.maxConnections > 0) {
    args.push_back("--max-connections");
    args.push_back(std::to_string(options_.maxConnections));
  }
  if (options_.uploadBytesPerSecond > 0) {
    args.push_back("--upload-rate");
    args.push_back(std::to_string(options_.uploadBytesPerSecond));
  }
  if (options_.idleTimeoutSeconds > 0) {
    args.push_back("--idle-timeout");
    args.push_back(std::to_string(options_.idleTimeoutSeconds));
  }
  if (!options_.cutUploadOf.empty()) {
    args.push_back("--drop-stor");
    args.push_back(options_.cutUploadOf);
  }
  if (!options_.refuseUploadOf.empty()) {
    args.push_back("--refuse-stor");
    args.push_back(options_.refuseUploadOf);
  }
  if (!options_.truncateUploadOf.empty()) {
    args.push_back("--truncate-stor");
    args.push_back(options_.truncateUploadOf);
  }
  if (!options_.failListingOf.empty()) {
    args.push_back("--fail-listing");
    args.push_back(options_.failListingOf);
  }
  if (options_.renames != TestFtpServerOptions::Renames::kNormal) {
    args.push_back("--renames");
    using Renames = TestFtpServerOptions::Renames;
    const Renames renames = options_.renames;
    args.push_back(renames == Renames::kNone         ? "none"
                   : renames == Renames::kDenied     ? "denied"
                   : renames == Renames::kRntoDenied ? "rnto-denied"
                                                     : "not-onto-files");
  }
  if (options_.greetedSessions > 0) {
    args.push_back("--greet-only");
    args.push_back(std::to_string(options_.greetedSessions + 1));
  }
  std::vector<char*> argv;
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  pid_ = pid;

  std::string line;
  const bool listening = ReadLine(out[0], line, std::chrono::seconds(20));
  close(out[0]);
  ASSERT_TRUE(listening && line.rfind("LISTENING ", 0) == 0)
      << "the test FTP server did not start (is python3-pyftpdlib installed?): " << line << "\n"
      << ReadLog();
  port_ = static_cast<uint16_t>(std::stoi(line.substr(10)));
  ASSERT_TRUE(Greets(host_, port_)) << "the test FTP server does not answer\n" << ReadLog();
}

namespace {

constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

}  // namespace

VsftpdServer::VsftpdServer(std::string timeZone, bool listsLocalTime)
    : timeZone_(std::move(timeZone)), listsLocalTime_(listsLocalTime) {}

VsftpdServer::~VsftpdServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool VsftpdServer::Available() {
  return access(kVsftpd, X_OK) == 0;
}

std::string VsftpdServer::ReadLog() const {
  return ReadFile(work_.path() / "vsftpd.err");
}

void VsftpdServer::Start() {
  ASSERT_LT(pid_, 0) << "the server is already running";
  // Anonymous logins let vsftpd run as whoever starts it; it refuses
  // local users then.
  const std::string config = (work_.path() / "vsftpd.conf").string();
  const std::string errors = (work_.path() / "vsftpd.err").string();
  // Another program may take the port between FreePort and vsftpd's bind.
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    port_ = ClosedPort();
    std::ofstream(config) << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port_
                          << "\nbackground=NO\nrun_as_launching_user=YES\n"
                             "anonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\n"
                             "anon_root="
                          << root().string()
                          << "\nwrite_enable=YES\nanon_upload_enable=YES\n"
                             "anon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
                             "anon_world_readable_only=NO\nanon_umask=022\n"
                             "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                             "xferlog_enable=NO\nutf8_filesystem=YES\nuse_localtime="
                          << (listsLocalTime_ ? "YES" : "NO") << "\n";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // vsftpd says why it cannot start on its standard input.
      const int log = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(log, STDIN_FILENO);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      setenv("TZ", timeZone_.c_str(), 1);
      execl(kVsftpd, kVsftpd, config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    pid_ = pid;
    bool greeted = false;
    for (int wait = 0; wait < 50 && !greeted; ++wait) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;  // refused to start: another port
        break;
      }
      greeted = Greets(host_, port_);
      if (!greeted)
        usleep(100 * 1000);
    }
    if (!greeted && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  ASSERT_GT(pid_, 0) << "vsftpd did not start: " << ReadLog();
}

void TestFtpServer::Kill() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void TestFtpServer::Pause() {
  if (pid_ > 0)
    kill(pid_, SIGSTOP);
}

void TestFtpServer::Resume() {
  if (pid_ > 0)
    kill(pid_, SIGCONT);
}

std::string TestFtpServer::ReadLog() const {
  return ReadFile(work_.path() / "server.log");
}

std::vector<std::string> TestFtpServer::Commands() const {
  constexpr std::string_view kMark = "COMMAND ";
  std::vector<std::string> commands;
  std::istringstream log(ReadLog());
  for (std::string line; std::getline(log, line);) {
    if (const size_t at = line.find(kMark); at != std::string::npos)
      commands.push_back(line.substr(at + kMark.size()));
  }
  return commands;
}

namespace {

void Openssl(const std::string& arguments) {
  const std::string command = "openssl " + arguments + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "failed: " << command;
}

// A key and a certificate for `subjectAltName`, signed by the test
// authority in `folder`, or by itself without one; `pem` gets both.
void MakeCertificate(const fs::path& folder, const std::string& name,
                     const std::string& subjectAltName, bool selfSigned) {
  const std::string base = (folder / name).string();
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" + base +
                          ".key' -subj '/CN=" + name + "'";
  if (selfSigned) {
    Openssl("req -x509" + key + " -days 3 -addext 'subjectAltName=" + subjectAltName + "' -out '" +
            base + ".crt'");
  } else {
    WriteFile(base + ".ext", "subjectAltName=" + subjectAltName +
                                 "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    Openssl("req" + key + " -out '" + base + ".csr'");
    const std::string ca = (folder / "ca").string();
    Openssl("x509 -req -in '" + base + ".csr' -CA '" + ca + ".pem' -CAkey '" + ca +
            ".key' -CAcreateserial -days 3 -extfile '" + base + ".ext' -out '" + base + ".crt'");
  }
  WriteFile(base + ".pem", ReadFile(base + ".crt") + ReadFile(base + ".key"));
}

}  // namespace

const TestCertificates& TestCertificates::Get() {
  // Made once per test program, removed when it ends.
  struct Made {
    Made() {
      const fs::path& folder = dir.path();
      Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
              (folder / "ca.key").string() + "' -out '" + (folder / "ca.pem").string() +
              "' -days 3 -subj '/CN=VELMORIX Test CA' -addext "
              "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
      MakeCertificate(folder, "signed", "IP:127.0.0.1,IP:::1,DNS:localhost", false);
      MakeCertificate(folder, "wrong-name", "DNS:ftp.invalid", false);
      MakeCertificate(folder, "self-signed", "IP:127.0.0.1", true);
      MakeCertificate(folder, "other-self-signed", "IP:127.0.0.1", true);
      const std::string fingerprintFile = (folder / "fingerprint").string();
      Openssl("x509 -in '" + (folder / "self-signed.crt").string() +
              "' -noout -fingerprint -sha256 -out '" + fingerprintFile + "'");
      // "sha256 Fingerprint=AB:CD:...", in the letter case of the version.
      std::string fingerprint = ReadFile(fingerprintFile);
      fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
      while (!fingerprint.empty() && std::isspace(static_cast<unsigned char>(fingerprint.back())))
        fingerprint.pop_back();
      for (char& c : fingerprint)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      certificates = {(folder / "ca.pem").string(),
                      (folder / "signed.pem").string(),
                      (folder / "wrong-name.pem").string(),
                      (folder / "self-signed.pem").string(),
                      (folder / "other-self-signed.pem").string(),
                      "SHA256:" + fingerprint};
    }
    TempDir dir;
    TestCertificates certificates;
  };
  static const Made made;
  return made.certificates;
}

TrustStore::TrustStore(bool trustTestAuthority) {
  // A hashed folder, as the system's /etc/ssl/certs, with the test
  // authority or nothing; the system's bundle file is what is left to
  // check against then, and it does not know the test authority either.
  if (trustTestAuthority) {
    fs::copy_file(TestCertificates::Get().caFile, folder_.path() / "test-ca.pem");
    Openssl("rehash '" + folder_.str() + "'");
  }
  unsetenv("SSL_CERT_FILE");
  setenv("SSL_CERT_DIR", folder_.str().c_str(), 1);
}

TrustStore::~TrustStore() {
  unsetenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_DIR");
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void SetFileTime(const fs::path& path, int64_t secondsSinceEpoch) {
  const timespec times[2] = {{static_cast<time_t>(secondsSinceEpoch), 0},
                             {static_cast<time_t>(secondsSinceEpoch), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << path << ": " << std::strerror(errno);
}

}  // namespace velmorix::testing
