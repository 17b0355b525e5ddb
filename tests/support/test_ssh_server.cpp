#include "tests/support/test_ssh_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmorix::testing {
namespace fs = std::filesystem;
namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kShadow = "/etc/shadow";

// In a child process about to become the server: a mount namespace of its
// own, where `shadow` stands in for /etc/shadow.
bool StandInShadow(const char* shadow) {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(shadow, kShadow, nullptr, MS_BIND, nullptr) == 0;
}

void Run(const std::string& command) {
  const std::string line = command + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(line.c_str()), 0) << "failed: " << command;
}

std::string Quoted(const fs::path& path) {
  return "'" + path.string() + "'";
}

UniqueFd ConnectTo(const std::string& host, uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return UniqueFd();
  return fd;
}

// Reads up to the end of the server's banner line; false when none comes
// within a few seconds.
bool ReadsBanner(int fd) {
  std::string line;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0)
      return false;
    char c;
    if (read(fd, &c, 1) != 1)
      return false;
    if (c == '\n')
      return line.starts_with("SSH-2.0-");
    line.push_back(c);
  }
}

}  // namespace

TestSshServer::TestSshServer(TestSshServerOptions options) : options_(std::move(options)) {}

TestSshServer::~TestSshServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

bool TestSshServer::Available() {
  return access(kSshd, X_OK) == 0 && access("/usr/bin/ssh-keygen", X_OK) == 0;
}

std::string TestSshServer::User() {
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : "root";
}

std::string TestSshServer::ReadLog() const {
  return ReadFile(work_.path() / "sshd.log");
}

std::string TestSshServer::KnownHostsLine(const std::string& type) const {
  std::string key = ReadFile(HostKeyFile(type) + ".pub");
  key = key.substr(0, key.find_last_not_of("\n") + 1);
  key = key.substr(0, key.rfind(' '));  // without its comment
  return "[" + host_ + "]:" + std::to_string(port_) + " " + key;
}

std::string TestSshServer::HostKeyFile(const std::string& type) const {
  return (work_.path() / ("host_key_" + (type.empty() ? options_.hostKeyTypes.front() : type)))
      .string();
}

std::string TestSshServer::HostKeyFingerprint(const std::string& type) const {
  const std::string output = (work_.path() / "fingerprint").string();
  const std::string command =
      "ssh-keygen -l -E sha256 -f " + Quoted(HostKeyFile(type) + ".pub") + " > " + Quoted(output);
  if (std::system(command.c_str()) != 0)
    return {};
  // "256 SHA256:... comment (ED25519)"
  std::istringstream words(ReadFile(output));
  std::string bits, fingerprint;
  words >> bits >> fingerprint;
  return fingerprint;
}

UniqueFd TestSshServer::HoldConnection() const {
  // sshd may count the start-up check's connection for a moment after it
  // closed, and turn this one away meanwhile.
  for (int attempt = 0; attempt < 20; ++attempt) {
    UniqueFd fd = ConnectTo(host_, port_);
    if (fd.valid() && ReadsBanner(fd.get()))
      return fd;
    usleep(100 * 1000);
  }
  return UniqueFd();
}

bool TestSshServer::CanTakePassword() {
  if (geteuid() != 0)
    return false;
  const pid_t pid = fork();
  if (pid == 0)
    _exit(StandInShadow(kShadow) ? 0 : 1);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void TestSshServer::Start() {
  ASSERT_LT(pid_, 0) << "the server is already running";
  const fs::path& work = work_.path();
  // Keys of the test's own: the host's, and the clients'.
  for (const std::string& type : options_.hostKeyTypes)
    Run("ssh-keygen -q -t " + type + " -N '' -C host -f " + Quoted(HostKeyFile(type)));
  Run("ssh-keygen -q -t ed25519 -N '' -C plain -f " + Quoted(work / "client_plain"));
  Run("ssh-keygen -q -t ed25519 -N '" + std::string(kPassphrase) + "' -C encrypted -f " +
      Quoted(work / "client_encrypted"));
  Run("ssh-keygen -q -t ed25519 -N '' -C stranger -f " + Quoted(work / "client_stranger"));
  WriteFile(work / "authorized_keys",
            ReadFile(work / "client_plain.pub") + ReadFile(work / "client_encrypted.pub"));
  if (geteuid() == 0) {
    // sshd started by root wants its privilege separation folder.
    mkdir("/run/sshd", 0755);
  }

  const fs::path shadow = work / "shadow";
  if (!options_.password.empty()) {
    // The system's entries, with the user's password replaced.
    std::istringstream lines(ReadFile(kShadow));
    std::ostringstream out;
    const std::string user = User();
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with(user + ":"))
        out << line << "\n";
    }
    out << user << ":" << crypt(options_.password.c_str(), "$6$velmorixtest$")
        << ":19000:0:99999:7:::\n";
    WriteFile(shadow, out.str());
    chmod(shadow.c_str(), 0600);
  }
  const fs::path config = work / "sshd_config";
  const fs::path log = work / "sshd.log";
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    port_ = ClosedPort();
    std::ofstream out(config);
    out << "Port " << port_ << "\nListenAddress " << host_ << "\n";
    for (const std::string& type : options_.hostKeyTypes)
      out << "HostKey " << HostKeyFile(type) << "\n";
    out << "PidFile " << (work / "sshd.pid").string() << "\nAuthorizedKeysFile "
        << (work / "authorized_keys").string()
        << "\nStrictModes no\nUsePAM no\nPubkeyAuthentication yes\nPasswordAuthentication yes\n"
           "KbdInteractiveAuthentication no\nPermitRootLogin "
        << (options_.password.empty() ? "prohibit-password" : "yes")
        << "\n"
           "LogLevel VERBOSE\nSubsystem sftp internal-sftp -d "
        << root().string();
    if (!options_.deniedRequests.empty())
      out << " -P " << options_.deniedRequests;
    out << "\n";
    if (options_.maxStartups > 0)
      out << "MaxStartups " << options_.maxStartups << "\n";
    if (options_.maxSessions)
      out << "MaxSessions " << *options_.maxSessions << "\n";
    out.close();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // A test program that crashes takes its server with it.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      dup2(logFd, STDERR_FILENO);
      if (!options_.password.empty() && !StandInShadow(shadow.c_str()))
        _exit(126);
      execl(kSshd, kSshd, "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    pid_ = pid;
    bool up = false;
    for (int wait = 0; wait < 50 && !up; ++wait) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;  // refused to start: another port
        break;
      }
      const UniqueFd probe = ConnectTo(host_, port_);
      up = probe.valid() && ReadsBanner(probe.get());
      if (!up)
        usleep(100 * 1000);
    }
    if (!up && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  ASSERT_GT(pid_, 0) << "sshd did not start: " << ReadLog();
}

TestSshAgent::TestSshAgent(const std::string& keyFile) {
  const std::string socketPath = (folder_.path() / "agent.sock").string();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    execlp("ssh-agent", "ssh-agent", "-D", "-a", socketPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  for (int wait = 0; wait < 50 && access(socketPath.c_str(), F_OK) != 0; ++wait)
    usleep(100 * 1000);
  if (const char* previous = std::getenv("SSH_AUTH_SOCK")) {
    previous_ = previous;
    hadPrevious_ = true;
  }
  setenv("SSH_AUTH_SOCK", socketPath.c_str(), 1);
  const std::string add = "ssh-add '" + keyFile + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(add.c_str()), 0) << "ssh-add failed";
}

TestSshAgent::~TestSshAgent() {
  if (hadPrevious_)
    setenv("SSH_AUTH_SOCK", previous_.c_str(), 1);
  else
    unsetenv("SSH_AUTH_SOCK");
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

}  // namespace velmorix::testing
