// velmorix-cli as its users run it: the built program as a child process
// with its own $XDG_CONFIG_HOME, standard input, output and error, its exit
// status, the real test FTP server and, for the questions, a real terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "settings/app_settings.h"
#include "settings/destinations.h"
#include "settings/registry/registry_file.h"
#include "settings/settings_store.h"
#include "tests/support/test_ftp_server.h"
#include "tests/support/test_ssh_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using registry::ParseRegistryFile;
using registry::RegistryValue;
using testing::ReadFile;
using testing::TempDir;
using testing::TestFtpServer;
using testing::WriteFile;

// The exit statuses the program promises.
constexpr int kExitUsage = 64;
constexpr int kExitFailed = 1;
constexpr int kExitCanceled = 2;
constexpr int kExitNotConnected = 3;

constexpr const char* kFtpKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\FTPSETTINGS";
constexpr const char* kSettingsKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\SETTINGS";

struct CliResult {
  int status = -1;          // the exit status, or 128 + the signal that ended it
  bool coreDumped = false;  // the signal that ended it left a core dump
  std::string out;
  std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  return lines;
}

// The run's closing line ("Velmorix Canceled!"), before the summary that
// follows it once the run has got under way.
std::string ClosingLine(const std::string& out) {
  std::vector<std::string> lines = Lines(out);
  if (!lines.empty() && lines.back().starts_with("Summary : "))
    lines.pop_back();
  return lines.empty() ? std::string() : lines.back();
}

// Every file and folder below `root`, with the files' contents.
std::map<fs::path, std::string> Tree(const fs::path& root) {
  std::map<fs::path, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    tree[entry.path().lexically_relative(root)] =
        entry.is_directory() ? std::string("(folder)") : ReadFile(entry.path());
  }
  return tree;
}

// The stored settings `file` (of one destination), once a run has found
// the names of its server to be UTF-8 with 自動.
std::string WithNamesFoundUtf8(std::string file) {
  const std::string undecided = "\"FTPAUTOENCODING1\"=dword:00000000";
  const size_t at = file.find(undecided);
  if (at != std::string::npos)
    file.replace(at, undecided.size(), "\"FTPAUTOENCODING1\"=dword:00000001");
  return file;
}

// One run of the program. Without a terminal the child starts a session of
// its own, so it has no controlling terminal even when the tests run in one.
class CliProcess {
 public:
  struct Options {
    std::string input;      // written to standard input, which is then closed
    bool terminal = false;  // give the child a pseudo-terminal as its terminal
    // Standard output and error go to that terminal too, which calls itself
    // an xterm; terminal() reads them.
    bool outputOnTerminal = false;
    int stdoutFd = -1;           // standard output goes here instead of a pipe
    bool allowCoreDump = false;  // lift the limit on core dumps for the child
  };

  CliProcess(const fs::path& program, const std::vector<std::string>& arguments,
             const fs::path& configHome, const fs::path& workFolder, Options options) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    std::string terminalName;
    if (options.terminal) {
      terminalFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (terminalFd_ < 0 || grantpt(terminalFd_) != 0 || unlockpt(terminalFd_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
      }
      terminalName = ptsname(terminalFd_);
    }
    std::vector<std::string> args = {program.string()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      if (options.terminal) {
        // Opened by a session leader, the terminal becomes the controlling one.
        const int terminal = open(terminalName.c_str(), O_RDWR);
        dup2(terminal, STDIN_FILENO);
      } else {
        dup2(in[0], STDIN_FILENO);
      }
      dup2(options.stdoutFd >= 0 ? options.stdoutFd : out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      if (options.outputOnTerminal) {
        dup2(STDIN_FILENO, STDOUT_FILENO);
        dup2(STDIN_FILENO, STDERR_FILENO);
        setenv("TERM", "xterm", 1);
      }
      setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
      // The kept history goes there too, never into the home folder.
      setenv("XDG_STATE_HOME", (configHome / "state").c_str(), 1);
      if (options.allowCoreDump) {
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &unlimited);
      }
      if (chdir(workFolder.c_str()) != 0)
        _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    outputOnTerminal_ = options.outputOnTerminal;
    if (!options.input.empty()) {
      (void)!write(in[1], options.input.data(), options.input.size());
    }
    close(in[1]);
  }

  ~CliProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_, terminalFd_}) {
      if (fd >= 0)
        close(fd);
    }
  }

  // Reads what is there, waiting up to `timeout`; false once everything is closed.
  bool Pump(std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    std::vector<std::string*> buffers;
    for (auto [fd, buffer] :
         {std::pair{outFd_, &out_}, {errFd_, &err_}, {terminalFd_, &terminal_}}) {
      if (fd >= 0) {
        fds.push_back({fd, POLLIN, 0});
        buffers.push_back(buffer);
      }
    }
    if (fds.empty() || poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) <= 0) {
      return !fds.empty();
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        buffers[i]->append(buffer, static_cast<size_t>(n));
      } else {
        // End of output (a pseudo-terminal reports EIO once the child is gone).
        for (int* fd : {&outFd_, &errFd_, &terminalFd_}) {
          if (*fd == fds[i].fd) {
            close(*fd);
            *fd = -1;
          }
        }
      }
    }
    return true;
  }

  // Reads output until `condition` holds; false when it does not within `limit`.
  bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline || !Pump(100ms))
        return condition();
    }
    return true;
  }

  // Waits until `text` appears in the output chosen by `which`.
  bool WaitFor(const std::string& (CliProcess::*which)() const, const std::string& text,
               std::chrono::seconds limit = 30s) {
    return WaitUntil([&] { return (this->*which)().find(text) != std::string::npos; }, limit);
  }

  void Signal(int signal) { kill(pid_, signal); }
  void Type(const std::string& text) { (void)!write(terminalFd_, text.data(), text.size()); }

  // Waits for the end of the program (killing it after `limit`).
  CliResult Finish(std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // The pipes tell the child's end, or the terminal when the output goes there.
    const auto running = [this] {
      return outFd_ >= 0 || errFd_ >= 0 || (outputOnTerminal_ && terminalFd_ >= 0);
    };
    while (running() && std::chrono::steady_clock::now() < deadline)
      Pump(100ms);
    if (running()) {
      ADD_FAILURE() << "velmorix-cli did not end in time";
      kill(pid_, SIGKILL);
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    CliResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.coreDumped = WIFSIGNALED(status) && WCOREDUMP(status);
    result.out = out_;
    result.err = err_;
    return result;
  }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  const std::string& terminal() const { return terminal_; }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int terminalFd_ = -1;
  bool outputOnTerminal_ = false;
  std::string out_, err_, terminal_;
};

// Each test runs its own copy of the program, so the log it writes beside
// itself is the test's own.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::copy_file(fs::path(VELMORIX_BIN_DIR) / "velmorix-cli", program()); }

  fs::path program() const { return programFolder_.path() / "velmorix-cli"; }
  fs::path storeFile() const { return config_.path() / "Quenzari" / "registry.reg"; }
  fs::path logFile() const { return programFolder_.path() / "VELMORIX.LOG"; }

  CliResult Cli(const std::vector<std::string>& arguments, const std::string& input = "") {
    CliProcess::Options options;
    options.input = input;
    CliProcess process(program(), arguments, config_.path(), work_.path(), options);
    return process.Finish();
  }

  std::unique_ptr<CliProcess> Start(const std::vector<std::string>& arguments,
                                    bool terminal = false) {
    CliProcess::Options options;
    options.terminal = terminal;
    return Start(arguments, options);
  }

  std::unique_ptr<CliProcess> Start(const std::vector<std::string>& arguments,
                                    const CliProcess::Options& options) {
    return std::make_unique<CliProcess>(program(), arguments, config_.path(), work_.path(),
                                        options);
  }

  // Adds a destination and checks that it worked.
  void Add(const std::vector<std::string>& arguments, const std::string& password = "") {
    std::vector<std::string> all = {"add"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    if (!password.empty())
      all.push_back("--password-stdin");
    const CliResult result = Cli(all, password.empty() ? "" : password + "\n");
    ASSERT_EQ(result.status, 0) << result.err;
  }

  // The settings as the window program loads them at start.
  AppSettings LoadSettings() {
    AppSettings settings;
    AsWindowProgram([&](SettingsStore& store) { store.LoadSettings(settings); });
    return settings;
  }

  // Runs `work` with this test's settings folder, as the window program would.
  void AsWindowProgram(const std::function<void(SettingsStore&)>& work) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_CONFIG_HOME", config_.str().c_str(), 1);
    SettingsStore store("Quenzari", std::string(kWindowProgramKey));
    work(store);
    if (saved) {
      setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }

  std::optional<RegistryValue> Stored(const char* key, const std::string& name) const {
    const auto parsed = ParseRegistryFile(ReadFile(storeFile()));
    const RegistryValue* value = parsed.tree.FindValue(key, name);
    if (value == nullptr)
      return std::nullopt;
    return *value;
  }

  TempDir programFolder_;
  TempDir config_;
  TempDir work_;  // the current folder of the program
};

// ---------------------------------------------------------------------------
// Keeping the destinations.

using DestinationCommandsTest = CliTest;

// The patterns of a new destination as `destinations` lists them.
constexpr char kListedNewPatterns[] =
    ".git/\\n.svn/\\n.hg/\\n.DS_Store\\nThumbs.db\\ndesktop.ini\\n*~\\n*.swp";
// What follows the patterns for an FTP destination: its protocol, no key
// file and no trusted host key.
constexpr char kListedFtp[] = "\tftp\t-\t-";

TEST_F(DestinationCommandsTest, DestinationsAreListedInNameOrderWithAllFieldsButThePassword) {
  Add({"beta", "--url", "ftp.example.jp", "--port", "2121", "--user", "web", "--remote", "/www",
       "--time-difference", "on", "--data-mode", "passive"},
      "hunter2");
  Add({"alpha", "--url", "a.example.jp"});
  Add({"Zeta", "--url", "z.example.jp"});
  Add({"Alpha", "--url", "b.example.jp", "--port=990"});
  const CliResult result = Cli({"destinations"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Letter case is ignored first, so Zeta comes after beta.
  // The last field: the exclusion patterns a new destination starts with.
  const std::string patterns = kListedNewPatterns;
  EXPECT_EQ(
      result.out,
      "Alpha\tb.example.jp\t990\t\t\t\ton\ton\ton\ton\ton\toff\tauto\ttls-if-available\tauto\t-"
      "\t4\ton\t-\t-\tauto\t-\t" +
          patterns + kListedFtp +
          "\n"
          "alpha\ta.example.jp\t21\t\t\t\ton\ton\ton\ton\ton\toff\tauto\ttls-if-available\tauto\t-"
          "\t4\ton\t-\t-\tauto\t-\t" +
          patterns + kListedFtp +
          "\n"
          "beta\tftp.example.jp\t2121\tweb\t/"
          "www\t\ton\ton\ton\ton\ton\ton\tpassive\ttls-if-available\tauto\t-\t4\ton\t-\t-\t"
          "time-difference\t-\t" +
          patterns + kListedFtp +
          "\n"
          "Zeta\tz.example.jp\t21\t\t\t\ton\ton\ton\ton\ton\toff\tauto\ttls-if-available\tauto\t-"
          "\t4\ton\t-\t-\tauto\t-\t" +
          patterns + kListedFtp + "\n");
  EXPECT_EQ(result.out.find("hunter2"), std::string::npos);
  EXPECT_EQ(result.err, "");
}

TEST_F(DestinationCommandsTest, FieldsWithTabsOrLineBreaksStayOnOneLine) {
  Add({"two\tparts", "--url", "h", "--remote", "line\nbreak\\x"});
  const CliResult result = Cli({"destinations"});
  EXPECT_EQ(result.out,
            "two\\tparts\th\t21\t\tline\\nbreak\\\\x\t\ton\ton\ton\ton\ton\toff\tauto\t"
            "tls-if-available\tauto\t-\t4\ton\t-\t-\tauto\t-\t" +
                std::string(kListedNewPatterns) + kListedFtp + "\n");
  EXPECT_EQ(LoadSettings().profiles[0].remoteDir, "line\nbreak\\x");
}

TEST_F(DestinationCommandsTest, StoredValuesAreWhatTheWindowProgramReads) {
  Add({"site", "--url", "ftp.example.jp", "--port", " 2121 ", "--user", "web", "--remote", "/www"},
      "abc");
  const AppSettings settings = LoadSettings();
  ASSERT_EQ(settings.profileCount, 1);
  const FtpProfile& profile = settings.profiles[0];
  EXPECT_EQ(profile.name, "site");
  EXPECT_EQ(profile.url, "ftp.example.jp");
  EXPECT_EQ(profile.port, 2121);
  EXPECT_EQ(profile.userId, "web");
  EXPECT_EQ(profile.password, "abc");
  EXPECT_EQ(profile.remoteDir, "/www");
  EXPECT_EQ(profile.localDir, "");
  EXPECT_EQ(profile.options, (TransferOptions{1, 1, 1, 1, 1}));
  EXPECT_EQ(profile.timeDifference, 0);
  // Scrambled, never in clear text.
  EXPECT_EQ(Stored(kFtpKey, "FTPPASS1"), RegistryValue::Bytes("hij"));
  EXPECT_EQ(profile.dataMode, 0);  // auto
  EXPECT_EQ(profile.connections, 4);
  ASSERT_EQ(Cli({"set", "site", "--data-mode", "active", "--connections", "3"}).status, 0);
  EXPECT_EQ(Stored(kFtpKey, "FTPMODE1"), RegistryValue::Number(2));
  EXPECT_EQ(Stored(kFtpKey, "FTPCONNECTIONS1"), RegistryValue::Number(3));
  EXPECT_EQ(ReadFile(storeFile()).find("abc\""), std::string::npos);
}

// "SHA256:" and 32 pairs of `pair`, joined by `separator`.
std::string Fingerprint(const std::string& pair, const std::string& separator = ":") {
  std::string text = "SHA256:" + pair;
  for (int i = 1; i < 32; ++i)
    text += separator + pair;
  return text;
}

TEST_F(DestinationCommandsTest, ConnectionSettingsAreTakenByEveryCommandAndListed) {
  struct Step {
    std::vector<std::string> arguments;
    // The data mode, security, encoding, certificate, connections,
    // temporary uploads, what auto decided and learned (nothing before a
    // run) and the clock.
    std::string listed;
  };
  const Step steps[] = {
      {{"add", "site", "--url", "h"}, "auto\ttls-if-available\tauto\t-\t4\ton\t-\t-\tauto"},
      {{"set", "site", "--security", "none", "--encoding", "shift_jis", "--trust-fingerprint",
        Fingerprint("ab", ""), "--connections", "1"},
       "auto\tnone\tshift_jis\t" + Fingerprint("AB") + "\t1\ton\t-\t-\tauto"},
      {{"update", "site", "--security", "tls", "--encoding", "euc-jp", "--data-mode", "active",
        "--connections=8"},
       "active\ttls\teuc-jp\t" + Fingerprint("AB") + "\t8\ton\t-\t-\tauto"},
      // The accepted certificate was the old port's server's.
      {{"update", "site", "--port", "990"}, "active\ttls\teuc-jp\t-\t8\ton\t-\t-\tauto"},
      {{"update", "site", "--url", "h2", "--trust-fingerprint", Fingerprint("0c")},
       "active\ttls\teuc-jp\t" + Fingerprint("0C") + "\t8\ton\t-\t-\tauto"},
      {{"set", "site", "--trust-fingerprint", "", "--encoding", "utf-8", "--temp-upload", "off"},
       "active\ttls\tutf-8\t-\t8\toff\t-\t-\tauto"},
      {{"set", "site", "--clock", "time-difference"},
       "active\ttls\tutf-8\t-\t8\toff\t-\t-\ttime-difference"},
      {{"update", "site", "--clock", "auto"}, "active\ttls\tutf-8\t-\t8\toff\t-\t-\tauto"},
      {{"add", "new", "--url", "h", "--security", "tls", "--trust-fingerprint", Fingerprint("EE"),
        "--connections", "02", "--temp-upload", "off", "--clock", "time-difference"},
       "auto\ttls\tauto\t" + Fingerprint("EE") + "\t2\toff\t-\t-\ttime-difference"},
  };
  for (const Step& step : steps) {
    const CliResult result = Cli(step.arguments);
    ASSERT_EQ(result.status, 0) << step.arguments[0] << ": " << result.err;
    const std::string name = step.arguments[1];
    std::string line;
    for (const std::string& listed : Lines(Cli({"destinations"}).out)) {
      if (listed.starts_with(name + "\t"))
        line = listed;
    }
    // Then the clock's offset, nothing before a run, and the patterns.
    EXPECT_TRUE(line.ends_with("\t" + step.listed + "\t-\t" + kListedNewPatterns + kListedFtp))
        << step.arguments[0] << " " << step.arguments[2] << ": " << line;
  }
}

TEST_F(DestinationCommandsTest, ExclusionPatternsAreAddedClearedAndListed) {
  struct Step {
    std::vector<std::string> arguments;
    std::string listed;  // the last field of the destination's line
  };
  const Step steps[] = {
      {{"add", "site", "--url", "h"}, kListedNewPatterns},
      {{"set", "site", "--exclude", "*.psd", "--exclude=*.psd"},
       std::string(kListedNewPatterns) + "\\n*.psd"},
      {{"update", "site", "--no-exclude", "--exclude", "drafts/", "--exclude", "/private/"},
       "drafts/\\n/private/"},
      {{"set", "site", "--no-exclude"}, "-"},
      {{"add", "bare", "--url", "h", "--no-exclude", "--exclude", "[ab]\\*.html"},
       "[ab]\\\\*.html"},
  };
  for (const Step& step : steps) {
    const CliResult result = Cli(step.arguments);
    ASSERT_EQ(result.status, 0) << step.arguments[0] << ": " << result.err;
    std::string line;
    for (const std::string& listed : Lines(Cli({"destinations"}).out)) {
      if (listed.starts_with(step.arguments[1] + "\t"))
        line = listed;
    }
    EXPECT_TRUE(line.ends_with("\t" + step.listed + kListedFtp))
        << step.arguments[0] << ": " << line;
  }
  EXPECT_EQ(LoadSettings().profiles[1].excludePatterns, "[ab]\\*.html");
}

TEST_F(DestinationCommandsTest, UpdateChangesServerDataButKeepsFolderOptionsAndPassword) {
  Add({"old", "--url", "h1", "--user", "u1"}, "pw1");
  ASSERT_EQ(
      Cli({"set", "old", "--local", "/srv/site", "--only-newer", "off", "--ignore-exe", "off"})
          .status,
      0);
  const CliResult result = Cli({"update", "old", "--name", "new", "--url", "h2", "--port", "2121",
                                "--time-difference", "on"});
  ASSERT_EQ(result.status, 0) << result.err;
  AppSettings settings = LoadSettings();
  ASSERT_EQ(settings.profileCount, 1);
  FtpProfile& profile = settings.profiles[0];
  EXPECT_EQ(profile.name, "new");
  EXPECT_EQ(profile.url, "h2");
  EXPECT_EQ(profile.port, 2121);
  EXPECT_EQ(profile.timeDifference, 1);
  EXPECT_EQ(profile.userId, "u1");
  EXPECT_EQ(profile.password, "pw1");
  EXPECT_EQ(profile.localDir, "/srv/site");
  EXPECT_EQ(profile.options, (TransferOptions{0, 1, 1, 0, 1}));

  ASSERT_EQ(Cli({"update", "new", "--password-stdin"}, "pw2\n").status, 0);
  EXPECT_EQ(LoadSettings().profiles[0].password, "pw2");
  ASSERT_EQ(Cli({"update", "new", "--password-stdin"}, "pw3\r\nnext line\n").status, 0);
  EXPECT_EQ(LoadSettings().profiles[0].password, "pw3");
  ASSERT_EQ(Cli({"update", "new", "--password-stdin"}, "\n").status, 0);
  EXPECT_EQ(LoadSettings().profiles[0].password, "");
  EXPECT_EQ(Stored(kFtpKey, "FTPPASS1"), RegistryValue::Text(""));
}

TEST_F(DestinationCommandsTest, DeleteMovesLaterDestinationsUpAndRemovesTheLastPosition) {
  Add({"a", "--url", "ha"});
  Add({"b", "--url", "hb"});
  Add({"c", "--url", "hc"});
  ASSERT_EQ(Cli({"delete", "b"}).status, 0);
  EXPECT_EQ(Stored(kFtpKey, "FTPNAME2"), RegistryValue::Text("c"));
  EXPECT_EQ(Stored(kFtpKey, "FTPURL2"), RegistryValue::Text("hc"));
  for (const char* gone : {"FTPNAME3", "FTPURL3", "FTPUID3", "FTPPASS3", "FTPPORT3", "FTPDIR3",
                           "LOCALDIR3", "LASTDELDOTS3", "LASTOPT31", "LASTOPT35"}) {
    EXPECT_FALSE(Stored(kFtpKey, gone)) << gone;
  }
}

TEST_F(DestinationCommandsTest, SetStoresTheFolderAbsoluteAndEachOption) {
  Add({"site", "--url", "h"});
  const CliResult result = Cli({"set", "site", "--local", "public", "--skip-underscore-folders",
                                "off", "--skip-images-folder", "off", "--delete-on-server", "off"});
  ASSERT_EQ(result.status, 0) << result.err;
  const FtpProfile profile = LoadSettings().profiles[0];
  EXPECT_EQ(fs::path(profile.localDir), work_.path() / "public");
  EXPECT_EQ(profile.options, (TransferOptions{1, 0, 0, 1, 0}));
  ASSERT_EQ(Cli({"set", "site", "--local", "/abs/olute", "--only-newer", "off"}).status, 0);
  EXPECT_EQ(LoadSettings().profiles[0].localDir, "/abs/olute");
  EXPECT_EQ(LoadSettings().profiles[0].options, (TransferOptions{0, 0, 0, 1, 0}));
}

TEST_F(DestinationCommandsTest, LastChosenDestinationStaysChosenWhileTheListChanges) {
  Add({"m", "--url", "h"});
  // The window program chose "m" (list position 0).
  AsWindowProgram([](SettingsStore& store) {
    AppSettings settings;
    store.LoadSettings(settings);
    settings.lastFtp = 0;
    store.SaveSettings(settings);
  });
  Add({"a", "--url", "h"});  // a, m
  EXPECT_EQ(LoadSettings().lastFtp, 1);
  ASSERT_EQ(Cli({"update", "m", "--name", "z"}).status, 0);  // a, z
  EXPECT_EQ(LoadSettings().lastFtp, 1);
  Add({"b", "--url", "h"});  // a, b, z
  EXPECT_EQ(LoadSettings().lastFtp, 2);
  ASSERT_EQ(Cli({"delete", "a"}).status, 0);  // b, z
  EXPECT_EQ(LoadSettings().lastFtp, 1);
  ASSERT_EQ(Cli({"delete", "z"}).status, 0);  // b: the one above the deleted one
  EXPECT_EQ(LoadSettings().lastFtp, 0);
  ASSERT_EQ(Cli({"delete", "b"}).status, 0);  // the first deleted: nothing chosen
  EXPECT_EQ(LoadSettings().lastFtp, -1);
}

TEST_F(DestinationCommandsTest, SwitchesArePrintedAndSet) {
  CliResult result = Cli({"switches"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "delete-message\ton\nkeep-dot-files\ton\n");
  EXPECT_EQ(Cli({"destinations"}).status, 0);
  EXPECT_FALSE(fs::exists(config_.path() / "Quenzari"));  // printing writes nothing

  // Off: dot files go with the rest, which the stored value says with 0.
  result = Cli({"switches", "--keep-dot-files", "off"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Stored(kSettingsKey, "LASTDELDOTS"), RegistryValue::Number(0));
  EXPECT_EQ(Cli({"switches"}).out, "delete-message\ton\nkeep-dot-files\toff\n");
  ASSERT_EQ(Cli({"switches", "--delete-message=off", "--keep-dot-files", "on"}).status, 0);
  EXPECT_EQ(Cli({"switches"}).out, "delete-message\toff\nkeep-dot-files\ton\n");
}

// A password from the environment, or typed at a prompt that does not echo
// it; never both.
TEST_F(DestinationCommandsTest, PasswordsComeFromTheEnvironmentOrAPromptWithoutEcho) {
  setenv("VELMORIX_TEST_PASSWORD", "from-env", 1);
  ASSERT_EQ(Cli({"add", "env", "--url", "x", "--password-env", "VELMORIX_TEST_PASSWORD"}).status,
            0);
  unsetenv("VELMORIX_TEST_PASSWORD");
  EXPECT_EQ(LoadSettings().profiles[0].password, "from-env");
  const CliResult unset = Cli({"update", "env", "--password-env", "VELMORIX_TEST_PASSWORD"});
  EXPECT_EQ(unset.status, kExitFailed);
  EXPECT_EQ(unset.err,
            "velmorix-cli: --password-env: the environment variable VELMORIX_TEST_PASSWORD is not "
            "set\n");
  EXPECT_EQ(Cli({"update", "env", "--password-stdin", "--password-env", "X"}, "pw\n").status,
            kExitUsage);

  CliProcess::Options onTerminal;
  onTerminal.terminal = true;
  onTerminal.outputOnTerminal = true;
  std::unique_ptr<CliProcess> typed = Start({"update", "env", "--password-stdin"}, onTerminal);
  ASSERT_TRUE(typed->WaitFor(&CliProcess::terminal, "パスワード: ")) << typed->terminal();
  typed->Type("typed-secret\r");
  EXPECT_EQ(typed->Finish().status, 0) << typed->terminal();
  EXPECT_EQ(typed->terminal().find("typed-secret"), std::string::npos) << typed->terminal();
  EXPECT_EQ(LoadSettings().profiles[0].password, "typed-secret");
}

// A crash while the program holds a password (here: while it reads one)
// leaves no core dump, however the system's limits would allow one.
TEST_F(DestinationCommandsTest, CrashLeavesNoCoreDumpWithThePassword) {
  CliProcess::Options options;
  options.terminal = true;
  options.allowCoreDump = true;
  // The same signal to a program that does not forbid them shows that
  // this system makes core dumps at all.
  CliProcess other("/bin/sleep", {"30"}, config_.path(), work_.path(), options);
  std::this_thread::sleep_for(200ms);
  other.Signal(SIGSEGV);
  if (!other.Finish().coreDumped)
    GTEST_SKIP() << "this system makes no core dumps";

  const auto process = Start({"add", "new", "--url", "x", "--password-stdin"}, options);
  std::this_thread::sleep_for(300ms);
  process->Signal(SIGSEGV);
  const CliResult result = process->Finish();

  EXPECT_EQ(result.status, 128 + SIGSEGV);
  EXPECT_FALSE(result.coreDumped);
}

TEST_F(DestinationCommandsTest, VersionAndOutputThatCannotBeWritten) {
  CliResult result = Cli({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "velmorix-cli " VELMORIX_VERSION "\n");

  Add({"site", "--url", "h"});
  // Standard output on a full disk.
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  CliProcess::Options options;
  options.stdoutFd = full;
  CliProcess process(program(), {"destinations"}, config_.path(), work_.path(), options);
  result = process.Finish();
  close(full);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "velmorix-cli: cannot write to standard output: No space left on device\n");
}

TEST_F(DestinationCommandsTest, EditsRacingEachOtherLoseNothing) {
  Add({"doomed", "--url", "h"});
  // Two add loops and a delete at the same time, each command a process.
  std::vector<std::unique_ptr<CliProcess>> running;
  for (int i = 0; i < 6; ++i) {
    for (const char* loop : {"p", "q"}) {
      running.push_back(Start({"add", loop + std::to_string(i), "--url", "h"}));
    }
    if (i == 2)
      running.push_back(Start({"delete", "doomed"}));
  }
  for (auto& process : running)
    EXPECT_EQ(process->Finish().status, 0);

  const AppSettings settings = LoadSettings();
  EXPECT_EQ(settings.profileCount, 12);
  EXPECT_EQ(FindDestination(settings, "doomed"), -1);
  for (int i = 0; i < 6; ++i) {
    EXPECT_GE(FindDestination(settings, "p" + std::to_string(i)), 0) << i;
    EXPECT_GE(FindDestination(settings, "q" + std::to_string(i)), 0) << i;
  }
}

TEST_F(DestinationCommandsTest, SettingsThatCannotBeWrittenFailWithTheReason) {
  WriteFile(config_.path() / "Quenzari", "a file where the settings folder belongs");
  const CliResult result = Cli({"add", "site", "--url", "h"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "velmorix-cli: the settings cannot be changed: " +
                            (config_.path() / "Quenzari").string() + ": Not a directory\n");
}

TEST_F(DestinationCommandsTest, HelpIsPrintedAndEndsWell) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, {"-h"}, {"transfer", "site", "--help"}}) {
    const CliResult result = Cli(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("Usage: velmorix-cli COMMAND")) << result.out;
    EXPECT_NE(result.out.find("transfer NAME [--yes]"), std::string::npos);
    EXPECT_EQ(result.err, "");
  }
}

// ---------------------------------------------------------------------------
// Refusals: status 64 for a malformed command line and 1 for a change the
// rules refuse, one line on standard error, the settings untouched.

class RefusalTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    Add({"site", "--url", "h", "--port", "2121"});
    Add({"other", "--url", "h2"});
    before_ = ReadFile(storeFile());
  }

  // Runs a command that must be refused with `message` on standard error.
  void ExpectRefused(const std::vector<std::string>& arguments, const std::string& message,
                     const std::string& input = "", int status = kExitUsage) {
    const CliResult result = Cli(arguments, input);
    EXPECT_EQ(result.status, status) << arguments[0] << ": " << result.err;
    EXPECT_EQ(result.err, "velmorix-cli: " + message + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(ReadFile(storeFile()), before_) << arguments[0];
  }

  std::string before_;
};

TEST_F(RefusalTest, DuplicateOrEmptyNamesAreRefused) {
  ExpectRefused({"add", "site", "--url", "x"}, "a destination named 'site' exists already", "",
                kExitFailed);
  ExpectRefused({"update", "other", "--name", "site"}, "a destination named 'site' exists already",
                "", kExitFailed);
  ExpectRefused({"add", "", "--url", "x"}, "the name of a destination must not be empty", "",
                kExitFailed);
  ExpectRefused({"update", "site", "--name", ""}, "the name of a destination must not be empty", "",
                kExitFailed);
  // Keeping its own name is no duplicate.
  EXPECT_EQ(Cli({"update", "site", "--name", "site", "--port", "21"}).status, 0);
}

TEST_F(RefusalTest, PortsOutsideOneTo65535OrNotWholeNumbersAreRefused) {
  const std::string notWhole = "the port must be a whole number";
  const std::string outside = "the port must be a whole number from 1 to 65535";
  ExpectRefused({"add", "new", "--url", "x", "--port", "abc"}, notWhole);
  ExpectRefused({"add", "new", "--url", "x", "--port", ""}, notWhole);
  ExpectRefused({"add", "new", "--url", "x", "--port", "21.5"}, notWhole);
  ExpectRefused({"add", "new", "--url", "x", "--port", "0"}, outside);
  ExpectRefused({"add", "new", "--url", "x", "--port", "65536"}, outside);
  ExpectRefused({"add", "new", "--url", "x", "--port", "-21"}, outside);
  ExpectRefused({"add", "new", "--url", "x", "--port", "99999999999999999999"}, outside);
  ExpectRefused({"update", "site", "--port", "256x"}, notWhole);
  EXPECT_EQ(Cli({"add", "edge", "--url", "x", "--port", "65535"}).status, 0);
  EXPECT_EQ(LoadSettings().profiles[2].port, 65535);
}

TEST_F(RefusalTest, UnknownCommandsOptionsAndDestinationsAreRefused) {
  ExpectRefused({"publish", "site"}, "unknown command 'publish' (see velmorix-cli --help)");
  ExpectRefused({}, "no command given (see velmorix-cli --help)");
  ExpectRefused({"add", "new", "--url", "x", "--local", "/tmp"},
                "unknown option '--local' for add (set takes it)");
  ExpectRefused({"set", "site", "--port", "21"},
                "unknown option '--port' for set (add and update take it)");
  ExpectRefused({"add", "new", "--url", "http://h"},
                "option '--url' takes a host name or ftp://[user@]host[:port][/folder] (ftps:// "
                "for TLS, sftp:// for SFTP), not 'http://h'");
  ExpectRefused({"add", "new", "--url", "ftp://:21/x"},
                "option '--url' takes a host name or ftp://[user@]host[:port][/folder] (ftps:// "
                "for TLS, sftp:// for SFTP), not 'ftp://:21/x'");
  ExpectRefused({"add", "new", "--url", "ftp://web:secret@h"},
                "option '--url' must not hold the password: give it with --password-stdin");
  ExpectRefused({"update", "site", "--url", "ftp://h:0"},
                "the port must be a whole number from 1 to 65535");
  ExpectRefused({"set", "site", "-x"}, "unknown option '-x' for set");
  ExpectRefused({"add", "new"}, "add needs --url HOST");
  ExpectRefused({"add", "new", "--url"}, "option '--url' needs a value");
  ExpectRefused({"delete"}, "delete needs the name of a destination");
  ExpectRefused({"delete", "site", "other"}, "unexpected argument 'other'");
  ExpectRefused({"set", "site", "--only-newer", "yes"},
                "option '--only-newer' takes on or off, not 'yes'");
  ExpectRefused({"update", "site", "--data-mode", "pasv"},
                "option '--data-mode' takes auto, passive, active, not 'pasv'");
  ExpectRefused({"transfer", "site", "--yes=1"}, "option '--yes' takes no value");
  ExpectRefused({"list", "site", "--dry-run"},
                "unknown option '--dry-run' for list (transfer takes it)");
  ExpectRefused({"list", "site", "--progress"},
                "unknown option '--progress' for list (transfer takes it)");
  ExpectRefused({"transfer", "site", "--no-progress", "--dry-run", "--progress"},
                "options '--progress' and '--no-progress' exclude each other");
  ExpectRefused({"switches", "--keep-dot-files", "off", "--keep-dot-files", "on"},
                "option '--keep-dot-files' given twice");
  ExpectRefused({"set", "site", "--exclude", "*.psd", "--exclude", "[abc"},
                "option '--exclude' cannot take '[abc': a [ has no ] after it in the same name");
  ExpectRefused({"add", "new", "--url", "x", "--exclude", "!keep.html"},
                "option '--exclude' cannot take '!keep.html': a pattern beginning with ! (taking "
                "an exclusion back) is not supported; write \\! for a name that begins with !");
  ExpectRefused({"update", "site", "--exclude", "a**"},
                "option '--exclude' cannot take 'a**': ** must be a whole folder name (a/**/b, "
                "**/b, a/**); * stays within a name");
  ExpectRefused({"set", "site", "--no-exclude", "--no-exclude"},
                "option '--no-exclude' given twice");
  // Its on kept the dot files, the opposite of its name.
  ExpectRefused({"switches", "--delete-dots", "off"},
                "option '--delete-dots' is now '--keep-dot-files' (on keeps server files whose "
                "names begin with \".\")");
  const std::string unknown =
      "no destination is named 'Site' (velmorix-cli destinations lists them)";
  for (const char* command : {"update", "delete", "set", "transfer", "list"}) {
    ExpectRefused({command, "Site"}, unknown, "", kExitFailed);
  }
}

// ftp:// and ftps:// fill the fields the options leave empty; a folder
// that does not exist is kept, with a warning.
TEST_F(DestinationCommandsTest, UrlsFillTheFieldsAndAMissingLocalFolderIsSaid) {
  struct Case {
    std::vector<std::string> arguments;
    std::string url, user, remote, security;
    int32_t port;
  };
  const Case cases[] = {
      {{"--url", "ftp://web@example.jp:2121/public_html"},
       "example.jp",
       "web",
       "/public_html",
       "tls-if-available",
       2121},
      {{"--url", "FTPS://[::1]/"}, "::1", "", "", "tls", 21},
      {{"--url", "ftps://h:990", "--security", "none", "--user", "me", "--port", "21"},
       "h",
       "me",
       "",
       "none",
       21},
      {{"--url", "plain.example.jp"}, "plain.example.jp", "", "", "tls-if-available", 21},
      {{"--url", "SFTP://me@ssh.example.jp/site"},
       "ssh.example.jp",
       "me",
       "/site",
       "tls-if-available",
       22},
      {{"--url", "sftp://ssh.example.jp:2222"}, "ssh.example.jp", "", "", "tls-if-available", 2222},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "d" + std::to_string(n++);
    std::vector<std::string> arguments = {"add", name};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ASSERT_EQ(Cli(arguments).status, 0) << c.arguments[1];
    std::string line;
    for (const std::string& listed : Lines(Cli({"destinations"}).out)) {
      if (listed.starts_with(name + "\t"))
        line = listed;
    }
    EXPECT_TRUE(line.starts_with(name + "\t" + c.url + "\t" + std::to_string(c.port) + "\t" +
                                 c.user + "\t" + c.remote + "\t"))
        << line;
    EXPECT_NE(line.find("\t" + c.security + "\t"), std::string::npos) << line;
  }
  const CliResult missing = Cli({"set", "d0", "--local", "/nonexistent/site"});
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.err,
            "velmorix-cli: warning: the local folder /nonexistent/site does not exist\n");
  EXPECT_EQ(Cli({"set", "d0", "--local", work_.str()}).err, "");
}

TEST_F(RefusalTest, MalformedFingerprintsAndUnknownConnectionWordsAreUsageErrors) {
  const std::string malformed =
      "option '--trust-fingerprint' takes SHA256: followed by 64 hex digits (in pairs, which may "
      "be joined by ':'), or '' to forget the accepted certificate, not '";
  for (const std::string& fingerprint : {std::string("SHA256:AB:CD"), Fingerprint("AB").substr(7),
                                         Fingerprint("AB", "-"), Fingerprint("XY")}) {
    ExpectRefused({"set", "site", "--trust-fingerprint", fingerprint},
                  malformed + fingerprint + "'");
  }
  ExpectRefused({"add", "new", "--url", "x", "--trust-fingerprint=MD5:00"}, malformed + "MD5:00'");
  const std::string hostKey = "SHA256:" + std::string(42, 'q') + "A";
  for (const std::string& key : {hostKey.substr(0, 40), hostKey + "=", hostKey.substr(7),
                                 "SHA256:" + std::string(42, 'q') + "B"}) {
    ExpectRefused({"update", "site", "--trust-host-key", key},
                  "option '--trust-host-key' takes SHA256: followed by 43 base64 characters as "
                  "ssh prints them, or '' to forget the trusted host key, not '" +
                      key + "'");
  }
  ExpectRefused({"update", "site", "--protocol", "ftp", "--url", "sftp://h"},
                "options '--protocol ftp' and '--url sftp://h' name different protocols");
  ExpectRefused({"add", "new", "--url", "ftps://h", "--protocol", "sftp"},
                "options '--protocol sftp' and '--url ftps://h' name different protocols");
  ExpectRefused({"set", "site", "--protocol", "ssh"},
                "option '--protocol' takes ftp, sftp, not 'ssh'");
  ExpectRefused({"update", "site", "--security", "ssl"},
                "option '--security' takes none, tls-if-available, tls, not 'ssl'");
  ExpectRefused({"set", "site", "--encoding", "sjis"},
                "option '--encoding' takes auto, utf-8, shift_jis, euc-jp, not 'sjis'");
  const std::string notACount = "option '--connections' takes a whole number from 1 to 8, not '";
  for (const char* connections : {"0", "9", "-1", "+4", " 4", "4.0", "4x", "", "99999999999"}) {
    for (const char* command : {"add", "update", "set"}) {
      std::vector<std::string> arguments = {command, "site", "--connections", connections};
      if (arguments[0] == "add")
        arguments.insert(arguments.end(), {"--url", "x"});
      ExpectRefused(arguments, notACount + connections + "'");
    }
  }
}

TEST_F(RefusalTest, PasswordsTheStoreCannotKeepAreRefused) {
  ExpectRefused({"add", "new", "--url", "x", "--password-stdin"},
                "the password is longer than 256 bytes; the settings cannot keep it",
                std::string(257, 'p') + "\n", kExitFailed);
  ExpectRefused({"update", "site", "--password-stdin"},
                "the password holds a zero byte; the settings cannot keep it",
                std::string("ab\0c\n", 5), kExitFailed);
  ExpectRefused({"add", "new", "--url", "x", "--password-stdin"},
                "--password-stdin: standard input holds no line", "", kExitFailed);
  // 256 bytes still fit.
  ASSERT_EQ(
      Cli({"add", "new", "--url", "x", "--password-stdin"}, std::string(256, 'p') + "\n").status,
      0);
  EXPECT_EQ(LoadSettings().profiles[2].password, std::string(256, 'p'));
}

TEST_F(RefusalTest, TwentyFirstDestinationIsRefused) {
  for (int i = 3; i <= kMaxProfiles; ++i)
    Add({"site" + std::to_string(i), "--url", "h"});
  before_ = ReadFile(storeFile());
  ExpectRefused({"add", "one too many", "--url", "h"},
                "20 destinations exist already; delete one before adding another", "", kExitFailed);
  EXPECT_EQ(LoadSettings().profileCount, kMaxProfiles);
}

// ---------------------------------------------------------------------------
// Runs against the real server.

class CliRunTest : public CliTest {
 protected:
  explicit CliRunTest(testing::TestFtpServerOptions options = {}) : server_(options) {}

  void SetUp() override {
    CliTest::SetUp();
    server_.Start();
    fs::create_directories(server_.root() / "site");
    local_ = work_.path() / "local";
    fs::create_directories(local_);
  }

  // A destination for the test server's /site, publishing local_.
  void AddSite(const std::string& name = "site", const std::string& remote = "/site") {
    Add({name, "--url", server_.host(), "--port", std::to_string(server_.port()), "--user",
         TestFtpServer::kUser, "--remote", remote},
        TestFtpServer::kPassword);
    ASSERT_EQ(Cli({"set", name, "--local", local_.string()}).status, 0);
  }

  TestFtpServer server_;
  fs::path local_;
};

using TransferCommandTest = CliRunTest;

// A server with a self-signed certificate that requires TLS.
class TlsCommandTest : public CliRunTest {
 protected:
  TlsCommandTest()
      : CliRunTest({.tlsCertificate = testing::TestCertificates::Get().selfSignedPem,
                    .tlsRequired = true,
                    .tlsRequireReuse = true}) {}

  testing::TrustStore store_{true};
};

TEST_F(TlsCommandTest, UnknownCertificateIsRefusedWithoutATerminalAndKeptOnceTrustedOnOne) {
  const std::string fingerprint = testing::TestCertificates::Get().selfSignedFingerprint;
  WriteFile(local_ / "index.html", "page");
  AddSite();  // a new destination uses TLS where the server offers it

  // --yes answers the deletion questions, never this one.
  const CliResult refused = Cli({"transfer", "site", "--yes"});
  EXPECT_EQ(refused.status, kExitNotConnected);
  EXPECT_NE(refused.err.find("to trust it: velmorix-cli set 'site' --trust-fingerprint " +
                             fingerprint + "\n"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(server_.root() / "site" / "index.html"));

  std::unique_ptr<CliProcess> process = Start({"transfer", "site"}, /*terminal=*/true);
  ASSERT_TRUE(process->WaitFor(&CliProcess::terminal, " [y/n] ")) << process->terminal();
  EXPECT_NE(process->terminal().find(fingerprint), std::string::npos) << process->terminal();
  process->Type("y\r");
  EXPECT_EQ(process->Finish().status, 0) << process->terminal();
  EXPECT_EQ(ReadFile(server_.root() / "site" / "index.html"), "page");

  // Trusted from now on, without a question, and held to TLS.
  const CliResult again = Cli({"transfer", "site"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(Cli({"destinations"}).out.find("\ttls\tauto\t" + fingerprint + "\t"),
            std::string::npos);
}

TEST_F(TlsCommandTest, DryRunKeepsTheServerAtTlsButNotTheChoice) {
  const std::string fingerprint = testing::TestCertificates::Get().selfSignedFingerprint;
  AddSite();
  ASSERT_EQ(Cli({"set", "site", "--trust-fingerprint", fingerprint}).status, 0);

  const CliResult result = Cli({"transfer", "site", "--dry-run"});
  EXPECT_EQ(result.status, 0) << result.err;
  // What the run learned of the server is kept; the publish was none.
  EXPECT_NE(Cli({"destinations"}).out.find("\ttls\tauto\t" + fingerprint + "\t"),
            std::string::npos);
  EXPECT_EQ(LoadSettings().lastFtp, -1);
}

// A server that writes names in Shift_JIS and offers no UTF8 in FEAT.
class ShiftJisCommandTest : public CliRunTest {
 protected:
  ShiftJisCommandTest() : CliRunTest({.names = testing::TestFtpServerOptions::Names::kShiftJis}) {}
};

// 自動 keeps what its first run found; a name in the other encoding that
// turns up later stops the run before it changes anything, instead of
// deleting the name and uploading its namesake converted.
TEST_F(ShiftJisCommandTest, AutoKeepsShiftJisAndALaterUtf8NameStopsTheRunChangingNothing) {
  const fs::path site = server_.root() / "site";
  WriteFile(site / "表.txt", "old");            // 95 5C on the wire
  WriteFile(local_ / "表.txt", "new, longer");  // uploaded again: its size differs
  WriteFile(local_ / "index.html", "page");
  AddSite();

  const CliResult first = Cli({"transfer", "site", "--yes"});
  ASSERT_EQ(first.status, 0) << first.err << first.out;
  EXPECT_NE(first.out.find("Names on 127.0.0.1 are Shift_JIS"), std::string::npos) << first.out;
  EXPECT_EQ(Tree(site),
            (std::map<fs::path, std::string>{{"index.html", "page"}, {"表.txt", "new, longer"}}));
  EXPECT_TRUE(Cli({"destinations"})
                  .out.ends_with("\tauto\t-\t4\ton\tshift_jis\t-\tauto\t-\t" +
                                 std::string(kListedNewPatterns) + kListedFtp + "\n"))
      << Cli({"destinations"}).out;

  // Someone has replaced 表.txt with "日本.txt" written in UTF-8 since
  // (this server keeps on its disk the Shift_JIS reading of those bytes):
  // no listing shows Shift_JIS now, and a run that decided afresh would
  // take the site for UTF-8 and convert it.
  fs::remove(site / "表.txt");
  WriteFile(site / "譌･譛ｬ.txt", "utf-8");
  WriteFile(site / "gone.txt", "not local");
  WriteFile(local_ / "more.html", "more");
  const auto before = Tree(server_.root());
  const CliResult second = Cli({"transfer", "site", "--yes"});
  EXPECT_EQ(second.status, kExitFailed) << second.out;
  EXPECT_NE(second.err.find("127.0.0.1 の名前の文字コードを Shift_JIS と判定しましたが、UTF-8 "
                            "の名前があります: 日本.txt"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(second.out.find("Names on"), std::string::npos) << second.out;
  EXPECT_EQ(Tree(server_.root()), before);
  EXPECT_TRUE(Cli({"destinations"})
                  .out.ends_with("\tshift_jis\t-\tauto\t-\t" + std::string(kListedNewPatterns) +
                                 kListedFtp + "\n"));
}

// A server that lists only with LIST, in UTC.
class ListOnlyCommandTest : public CliRunTest {
 protected:
  ListOnlyCommandTest() : CliRunTest({.mlsd = false}) {}
};

// The clock auto learned from an upload is kept with the destination,
// listed, and forgotten with the server's port.
TEST_F(ListOnlyCommandTest, TheClockLearnedIsKeptListedAndForgottenWithThePort) {
  WriteFile(local_ / "index.html", "page");
  AddSite();
  const CliResult result = Cli({"transfer", "site"});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  EXPECT_NE(result.out.find("Server clock learned : UTC+00:00 from /site/index.html\n"),
            std::string::npos)
      << result.out;
  EXPECT_TRUE(Cli({"destinations"})
                  .out.ends_with("\tauto\tUTC+00:00\t" + std::string(kListedNewPatterns) +
                                 kListedFtp + "\n"))
      << Cli({"destinations"}).out;
  EXPECT_EQ(Stored(kFtpKey, "FTPCLOCKOFFSET1"), RegistryValue::Number(0));

  ASSERT_EQ(Cli({"update", "site", "--port", "2121"}).status, 0);
  EXPECT_TRUE(
      Cli({"destinations"})
          .out.ends_with("\tauto\t-\t" + std::string(kListedNewPatterns) + kListedFtp + "\n"))
      << Cli({"destinations"}).out;
}

TEST_F(TransferCommandTest, PublishesTheTreeReportsEachStepAndRemembersTheChoice) {
  WriteFile(local_ / "index.html", "<html>\r\n</html>\n");
  WriteFile(local_ / "sub" / "page.txt", "page");
  WriteFile(local_ / "_private" / "draft.txt", "draft");
  WriteFile(local_ / "IMAGES" / "logo.png", "png");
  WriteFile(local_ / "setup.exe", "exe");
  Add({"another", "--url", "h"});  // sorts before "site"
  AddSite();

  const CliResult result = Cli({"transfer", "site"});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadFile(server_.root() / "site" / "index.html"), "<html>\r\n</html>\n");
  EXPECT_EQ(ReadFile(server_.root() / "site" / "sub" / "page.txt"), "page");
  EXPECT_FALSE(fs::exists(server_.root() / "site" / "_private"));
  EXPECT_FALSE(fs::exists(server_.root() / "site" / "IMAGES"));
  EXPECT_FALSE(fs::exists(server_.root() / "site" / "setup.exe"));

  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines.front(), "Velmorix Started...");
  EXPECT_EQ(lines[1], "Connect to 127.0.0.1 processing...");
  EXPECT_EQ(lines[lines.size() - 2], "Velmorix Successfully completed!");
  // The sizes of index.html and page.txt; the time it took may vary.
  EXPECT_TRUE(lines.back().starts_with(
      "Summary : 2 files uploaded (20 B), 1 directories created, 0 entries deleted, "))
      << lines.back();
  EXPECT_NE(result.out.find("Copy file to FTP : /site/index.html\n"), std::string::npos);
  EXPECT_NE(result.out.find("Create Directory on FTP : /site/sub\n"), std::string::npos);

  // The log beside the program holds the changes made on the server.
  const std::string log = ReadFile(logFile());
  EXPECT_NE(log.find("Copy file to FTP : /site/index.html"), std::string::npos) << log;
  EXPECT_EQ(log.find("Velmorix Started..."), std::string::npos);

  EXPECT_EQ(LoadSettings().lastFtp, 1);  // "site" is second in the list
}

// The history keeps each publish's changes after the next run has made the
// log afresh, and prints them by destination and date.
TEST_F(TransferCommandTest, HistoryKeepsEveryPublishesChanges) {
  WriteFile(local_ / "index.html", "page");
  AddSite();
  ASSERT_EQ(Cli({"transfer", "site"}).status, 0);
  WriteFile(local_ / "more.html", "more");
  ASSERT_EQ(Cli({"transfer", "site"}).status, 0);
  ASSERT_EQ(Cli({"transfer", "site", "--dry-run"}).status, 0);
  ASSERT_EQ(Cli({"list", "site"}).status, 0);

  std::vector<std::string> kept;
  for (const std::string& line : Lines(Cli({"history", "site"}).out))
    kept.push_back(line.substr(19));  // after the date and time
  EXPECT_EQ(kept, (std::vector<std::string>{"\tsite\tCopy file to FTP : /site/index.html",
                                            "\tsite\tCopy file to FTP : /site/more.html"}));
  EXPECT_EQ(Cli({"history", "other"}).out, "");
  EXPECT_EQ(Cli({"history", "--since", "2999-01-01"}).out, "");
  EXPECT_EQ(Lines(Cli({"history", "--since", "2000-01-01 00:00"}).out).size(), 2u);
  EXPECT_EQ(Cli({"history", "--since", "yesterday"}).status, kExitUsage);
}

// Each failure kind says its cause after the box, and its exit status.
TEST_F(TransferCommandTest, FailuresNameTheirCauseAndExitWithTheirStatus) {
  const std::string closed = std::to_string(testing::ClosedPort());
  Add({"dead", "--url", "127.0.0.1", "--port", closed});
  ASSERT_EQ(Cli({"set", "dead", "--local", local_.string()}).status, 0);
  AddSite("wrong password");
  ASSERT_EQ(Cli({"update", "wrong password", "--password-stdin"}, "wrong\n").status, 0);
  AddSite("wrong remote", "/nowhere");
  AddSite("wrong local");
  const std::string missing = (work_.path() / "missing").string();
  ASSERT_EQ(Cli({"set", "wrong local", "--local", missing}).status, 0);

  struct Case {
    std::string name;
    int status;
    std::string err;  // standard error, whole
  };
  const Case cases[] = {
      {"dead", kExitNotConnected,
       "VELMORIX: サーバーに接続できませんでした: 127.0.0.1:" + closed +
           " (Connection refused)\n接続先 127.0.0.1:" + closed + " : 接続に失敗しました\n"},
      {"wrong password", kExitNotConnected,
       "VELMORIX: ログインできませんでした: 530 Authentication failed.\n接続先 127.0.0.1:" +
           std::to_string(server_.port()) +
           " : ログインできませんでした\nヒント: ログイン名とパスワードを確かめてください。\n"},
      {"wrong remote", kExitFailed,
       "VELMORIX: パラメタ指定の誤りです。[ＦＴＰサーバーパス]\n/nowhere : 550 No such file or "
       "directory.\n"},
      {"wrong local", kExitFailed,
       "VELMORIX: パラメタ指定の誤りです。[ローカルディスクパス]\n" + missing +
           " : No such file or directory\n"},
  };
  for (const Case& c : cases) {
    const CliResult result = Cli({"transfer", c.name});
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
  }
  // The last one tried is chosen all the same, as the window would: the
  // second of the list in name order.
  EXPECT_EQ(LoadSettings().lastFtp, 1);
}

// --json: standard output is one object with the documented fields.
TEST_F(TransferCommandTest, JsonReportsTheRunAndNothingElse) {
  WriteFile(local_ / "index.html", "page");
  AddSite();
  AddSite("wrong remote", "/nowhere");
  struct Case {
    std::vector<std::string> arguments;
    std::string result;
    int status;
    int64_t files;
    size_t failures;
  };
  const Case cases[] = {
      {{"transfer", "site", "--json"}, "completed", 0, 1, 0},
      {{"transfer", "wrong remote", "--json"}, "failed", kExitFailed, 0, 1},
      {{"test", "site", "--json", "-q"}, "completed", 0, 0, 0},
  };
  for (const Case& c : cases) {
    const CliResult result = Cli(c.arguments);
    EXPECT_EQ(result.status, c.status) << result.err;
    ASSERT_TRUE(nlohmann::json::accept(result.out)) << result.out;
    const nlohmann::json json = nlohmann::json::parse(result.out);
    for (const char* key : {"command", "destination", "result"})
      EXPECT_TRUE(json.at(key).is_string()) << key;
    for (const char* key :
         {"exit_code", "files_uploaded", "bytes_uploaded", "folders_created", "entries_deleted"}) {
      EXPECT_TRUE(json.at(key).is_number_integer()) << key;
    }
    EXPECT_TRUE(json.at("elapsed_seconds").is_number());
    EXPECT_TRUE(json.at("dry_run").is_boolean());
    EXPECT_TRUE(json.at("log").is_string() || json.at("log").is_null());
    EXPECT_EQ(json.at("command"), c.arguments[0]);
    EXPECT_EQ(json.at("destination"), c.arguments[1]);
    EXPECT_EQ(json.at("result"), c.result);
    EXPECT_EQ(json.at("exit_code"), c.status);
    EXPECT_EQ(json.at("files_uploaded"), c.files);
    ASSERT_EQ(json.at("failures").size(), c.failures);
    for (const nlohmann::json& failure : json.at("failures")) {
      for (const char* key : {"message", "path", "reply", "cause"})
        EXPECT_TRUE(failure.at(key).is_string()) << key;
    }
  }
  const nlohmann::json failed = nlohmann::json::parse(Cli(cases[1].arguments).out);
  EXPECT_EQ(failed["failures"][0]["path"], "/nowhere");
  EXPECT_EQ(failed["failures"][0]["reply"], "550 No such file or directory.");
  EXPECT_EQ(failed["bytes_uploaded"], 0);
  EXPECT_EQ(nlohmann::json::parse(Cli(cases[0].arguments).out)["log"], logFile().string());
  EXPECT_FALSE(nlohmann::json::parse(Cli(cases[2].arguments).out).at("steps").empty());
}

// An SFTP destination: an unknown host key is refused without a terminal,
// with the command that trusts it; once trusted, the publish goes through.
class SftpCommandTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    if (!testing::TestSshServer::Available())
      GTEST_SKIP() << "sshd is not installed";
    ssh_.Start();
    fs::create_directories(ssh_.root() / "site");
  }
  testing::TestSshServer ssh_;
};

TEST_F(SftpCommandTest, UnknownHostKeyIsRefusedUntilTrustedThenThePublishGoesThrough) {
  const fs::path local = work_.path() / "local";
  WriteFile(local / "index.html", "top");
  Add({"shop", "--url",
       "sftp://" + testing::TestSshServer::User() + "@127.0.0.1:" + std::to_string(ssh_.port()) +
           (ssh_.root() / "site").string(),
       "--key-file", ssh_.clientKey()});
  ASSERT_EQ(Cli({"set", "shop", "--local", local.string()}).status, 0);
  const std::string fingerprint = ssh_.HostKeyFingerprint();

  const CliResult refused = Cli({"transfer", "shop"});
  EXPECT_EQ(refused.status, kExitNotConnected);
  EXPECT_NE(refused.err.find("to trust it: velmorix-cli set 'shop' --trust-host-key " +
                             fingerprint + "\n"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(ssh_.root() / "site" / "index.html"));

  ASSERT_EQ(Cli({"set", "shop", "--trust-host-key", fingerprint}).status, 0);
  const CliResult published = Cli({"transfer", "shop"});
  EXPECT_EQ(published.status, 0) << published.err;
  EXPECT_NE(published.out.find("Login to 127.0.0.1 by key file " + ssh_.clientKey() + "\n"),
            std::string::npos)
      << published.out;
  EXPECT_EQ(ReadFile(ssh_.root() / "site" / "index.html"), "top");
}

// A server that lets in two connections of a user at once.
class TestCommandTest : public CliRunTest {
 protected:
  TestCommandTest() : CliRunTest({.maxConnections = 2}) {}
};

// test prints a line per step, ends with the status a run would, keeps
// what a run would learn and changes nothing else, nor the log.
TEST_F(TestCommandTest, PrintsEachStepAndExitsAsARunWould) {
  AddSite();
  ASSERT_EQ(Cli({"set", "site", "--connections", "3", "--security", "none"}).status, 0);
  const std::string settings = ReadFile(storeFile());
  const auto server = Tree(server_.root());

  const CliResult result = Cli({"test", "site"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 11u) << result.out;
  EXPECT_EQ(lines.front(), "resolve: ok");
  EXPECT_EQ(lines[5], "list (passive): ok, 0 entries");
  EXPECT_EQ(lines[9], "clock: ok, MLSD lists times in UTC");
  EXPECT_EQ(lines.back(), "connections: the server allows 2 connections: 同時接続数 2");
  EXPECT_EQ(Tree(server_.root()), server);
  EXPECT_FALSE(fs::exists(logFile()));
  EXPECT_EQ(ReadFile(storeFile()), WithNamesFoundUtf8(settings));

  ASSERT_EQ(Cli({"update", "site", "--password-stdin"}, "wrong\n").status, 0);
  const CliResult refused = Cli({"test", "site"});
  EXPECT_EQ(refused.status, kExitNotConnected);
  EXPECT_TRUE(refused.out.ends_with(
      "login: 530 Authentication failed: check the login name and password\n"))
      << refused.out;
}

TEST_F(TransferCommandTest, DryRunPrintsOnlyTheChangesAndChangesNothing) {
  WriteFile(local_ / "index.html", "new page");
  WriteFile(local_ / "sub" / "page.txt", "page");
  WriteFile(server_.root() / "site" / "old.txt", "old");
  AddSite();
  const std::string settings = ReadFile(storeFile());
  const auto server = Tree(server_.root());

  const CliResult result = Cli({"transfer", "site", "--dry-run"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "Dry run : 1 directories to create, 2 files to upload (12 B), 1 entries to delete");
  // The changes in the walk's order, and none of the run's ordinary lines.
  lines.pop_back();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Copy file to FTP : /site/index.html  (new)",
                       "Copy file to FTP : /site/sub/page.txt  (new)",
                       "Create Directory on FTP : /site/sub  (new)",
                       "Delete file on FTP : /site/old.txt  (not on Local HDD)",
                   }));
  EXPECT_EQ(Tree(server_.root()), server);
  EXPECT_FALSE(fs::exists(logFile()));
  // The last choice included; only what the run learned of the server
  // (its names are UTF-8) is kept.
  EXPECT_EQ(ReadFile(storeFile()), WithNamesFoundUtf8(settings));
}

// An empty local folder over a site: without a terminal nothing is
// deleted and the status says why; --max-delete lets a script allow it.
TEST_F(TransferCommandTest, AMassDeletionStopsWithStatusFourUnlessMaxDeleteAllowsIt) {
  const fs::path site = server_.root() / "site";
  WriteFile(site / "index.html", "i");
  WriteFile(site / "about.html", "a");
  AddSite();
  ASSERT_EQ(Cli({"set", "site", "--delete-on-server", "on"}).status, 0);

  const CliResult stopped = Cli({"transfer", "site", "--yes"});
  EXPECT_EQ(stopped.status, 4) << stopped.err;
  EXPECT_NE(stopped.err.find("--max-delete 2"), std::string::npos) << stopped.err;
  EXPECT_EQ(ClosingLine(stopped.out), "Stopped before deleting 2 of 2 entries on FTP");
  EXPECT_TRUE(fs::exists(site / "index.html"));

  EXPECT_EQ(Cli({"transfer", "site", "--max-delete", "1"}).status, 4);
  EXPECT_TRUE(fs::exists(site / "index.html"));
  EXPECT_EQ(Cli({"transfer", "site", "--max-delete", "-1"}).status, 64);

  const CliResult allowed = Cli({"transfer", "site", "--yes", "--max-delete", "2"});
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_FALSE(fs::exists(site / "index.html"));
}

TEST_F(TransferCommandTest, ProgressReachesAPipeOnlyWhenAskedAndAsPlainLines) {
  WriteFile(local_ / "a.html", "a");
  WriteFile(local_ / "b.html", "b");
  AddSite();
  struct Case {
    const char* option;
    bool progress;
  };
  for (const Case& run :
       {Case{"", false}, Case{"--progress", true}, Case{"--no-progress", false}}) {
    std::vector<std::string> arguments = {"transfer", "site"};
    if (*run.option != '\0')
      arguments.push_back(run.option);
    // Each run has the two files to send.
    fs::remove_all(server_.root() / "site");
    fs::create_directories(server_.root() / "site");
    const CliResult result = Cli(arguments);
    ASSERT_EQ(result.status, 0) << run.option << ": " << result.err;
    if (!run.progress) {
      EXPECT_EQ(result.err, "") << run.option;
      continue;
    }
    // No redrawing where nobody sees it, and the end state however short the run.
    EXPECT_EQ(result.err.find_first_of("\r\x1b"), std::string::npos) << result.err;
    EXPECT_TRUE(result.err.ends_with("\n")) << result.err;
    EXPECT_TRUE(Lines(result.err).back().starts_with("2 / 2 ファイル  0.0 / 0.0 MB")) << result.err;
  }
}

// ---------------------------------------------------------------------------
// The pruning's questions.

class PruningQuestionsTest : public CliRunTest {
 protected:
  void SetUp() override {
    CliRunTest::SetUp();
    WriteFile(local_ / "keep.html", "local");
    // Pages on both sides, so that the deletions are no mass deletion.
    for (int page = 0; page < 5; ++page) {
      WriteFile(local_ / ("page" + std::to_string(page) + ".html"), "p");
      WriteFile(server_.root() / "site" / ("page" + std::to_string(page) + ".html"), "p");
    }
    WriteFile(server_.root() / "site" / "old.txt", "old");
    WriteFile(server_.root() / "site" / "stale.txt", "stale");
    WriteFile(server_.root() / "site" / "gone" / "deep.txt", "deep");
    AddSite();
  }
  fs::path Remote(const std::string& name) const { return server_.root() / "site" / name; }
};

TEST_F(PruningQuestionsTest, WithoutATerminalQuestionsAreAnsweredCancelAndNothingIsDeleted) {
  const CliResult result = Cli({"transfer", "site"});
  EXPECT_EQ(result.status, kExitCanceled);
  EXPECT_TRUE(fs::exists(Remote("old.txt")));
  EXPECT_TRUE(fs::exists(Remote("stale.txt")));
  EXPECT_TRUE(fs::exists(Remote("gone") / "deep.txt"));
  EXPECT_TRUE(fs::exists(Remote("keep.html")));  // uploads happen before the pruning
  EXPECT_TRUE(result.err.starts_with("VELMORIX: FTP : ")) << result.err;
  EXPECT_NE(result.err.find("answered Cancel"), std::string::npos) << result.err;
  EXPECT_EQ(ClosingLine(result.out), "Process is Terminated by User");
}

TEST_F(PruningQuestionsTest, YesAnswersEveryQuestion) {
  const CliResult result = Cli({"transfer", "site", "--yes"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(Remote("old.txt")));
  EXPECT_FALSE(fs::exists(Remote("stale.txt")));
  EXPECT_FALSE(fs::exists(Remote("gone")));
  EXPECT_TRUE(fs::exists(Remote("keep.html")));
}

TEST_F(PruningQuestionsTest, AnswersTypedOnTheTerminalAreFollowed) {
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"}, /*terminal=*/true);
  // Three questions, in the server's listing order: keep old.txt and the
  // folder, delete stale.txt; an answer that is no answer is asked again.
  size_t seen = 0;  // how much of the terminal's output has been dealt with
  auto waitForPrompt = [&](const std::string& prompt, std::string& before) {
    size_t at = std::string::npos;
    const bool found = process->WaitUntil([&] {
      at = process->terminal().find(prompt, seen);
      return at != std::string::npos;
    });
    if (found) {
      before = process->terminal().substr(seen, at - seen);
      seen = at + prompt.size();
    }
    return found;
  };
  for (int question = 0; question < 3; ++question) {
    std::string text;
    ASSERT_TRUE(waitForPrompt("[y/n/c] ", text)) << process->terminal();
    EXPECT_NE(text.find("VELMORIX: FTP : "), std::string::npos) << text;
    if (text.find("stale.txt") != std::string::npos) {
      process->Type("maybe\r");
      ASSERT_TRUE(waitForPrompt("y (yes), n (no) or c (cancel)? ", text)) << process->terminal();
      process->Type("y\r");
    } else {
      process->Type(" N \r");
    }
  }
  const CliResult result = process->Finish();
  EXPECT_EQ(result.status, 0) << result.err << process->terminal();
  EXPECT_TRUE(fs::exists(Remote("old.txt")));
  EXPECT_FALSE(fs::exists(Remote("stale.txt")));
  EXPECT_TRUE(fs::exists(Remote("gone") / "deep.txt"));
}

TEST_F(PruningQuestionsTest, EditsMadeWhileARunWaitsSurviveItsEnd) {
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"}, /*terminal=*/true);
  ASSERT_TRUE(process->WaitFor(&CliProcess::terminal, "[y/n/c] ")) << process->terminal();
  // Meanwhile another velmorix-cli changes the list and the run's destination.
  Add({"added meanwhile", "--url", "h"});
  ASSERT_EQ(Cli({"set", "site", "--only-newer", "off"}).status, 0);
  process->Type("c\r");

  EXPECT_EQ(process->Finish().status, kExitCanceled);
  const AppSettings settings = LoadSettings();
  ASSERT_GE(FindDestination(settings, "added meanwhile"), 0);
  EXPECT_EQ(settings.profiles[FindDestination(settings, "site")].options.onlyNewer, 0);
  EXPECT_EQ(ChosenDestination(settings), FindDestination(settings, "site"));
}

TEST_F(PruningQuestionsTest, CtrlCAtAQuestionCancelsTheRunAndDeletesNothing) {
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"}, /*terminal=*/true);
  ASSERT_TRUE(process->WaitFor(&CliProcess::terminal, "[y/n/c] ")) << process->terminal();
  process->Signal(SIGINT);

  const CliResult result = process->Finish();
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  EXPECT_EQ(ClosingLine(result.out), "Velmorix Canceled!");
  EXPECT_TRUE(fs::exists(Remote("old.txt")));
  EXPECT_TRUE(fs::exists(Remote("stale.txt")));
  EXPECT_TRUE(fs::exists(Remote("gone") / "deep.txt"));
}

// ---------------------------------------------------------------------------
// A program killed during an upload.

class KilledUploadTest : public CliRunTest {
 protected:
  KilledUploadTest() : CliRunTest({.uploadBytesPerSecond = 256 << 10}) {}
};

// Killed in the middle of a large upload, the program leaves the old page
// under its name and its part under a temporary one, which the next run
// removes as it sends the page whole.
TEST_F(KilledUploadTest, TheRealNameNeverHoldsPartOfAFile) {
  const fs::path page = server_.root() / "site" / "page.html";
  WriteFile(page, "old page");
  WriteFile(local_ / "page.html", std::string(1 << 20, 'n'));
  AddSite();
  ASSERT_EQ(Cli({"set", "site", "--connections", "1", "--only-newer", "off"}).status, 0);

  std::unique_ptr<CliProcess> process = Start({"transfer", "site"});
  ASSERT_TRUE(process->WaitFor(&CliProcess::out, "Copy file to FTP"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  process->Signal(SIGKILL);
  process->Finish();

  EXPECT_EQ(ReadFile(page), "old page");
  int temporary = 0;
  for (const auto& entry : fs::directory_iterator(page.parent_path()))
    temporary += entry.path().filename().string().starts_with(".page.html.velmorix-") ? 1 : 0;
  EXPECT_EQ(temporary, 1);

  const CliResult again = Cli({"transfer", "site"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(ReadFile(page), std::string(1 << 20, 'n'));
  EXPECT_EQ(std::distance(fs::directory_iterator(page.parent_path()), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------------------
// Ctrl-C.

class InterruptTest : public CliRunTest {
 protected:
  void SetUp() override {
    CliRunTest::SetUp();
    for (int i = 0; i < kFiles; ++i)
      WriteFile(local_ / ("file" + std::to_string(i)), "data");
    AddSite();
  }
  static constexpr int kFiles = 300;

  int UploadedFiles() const {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(server_.root() / "site")) {
      ++count;
    }
    return count;
  }
};

TEST_F(InterruptTest, FirstCtrlCCancelsTheRunAtTheNextStep) {
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"});
  ASSERT_TRUE(process->WaitFor(&CliProcess::out, "Copy file to FTP"));
  process->Signal(SIGINT);
  const CliResult result = process->Finish();
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  EXPECT_EQ(ClosingLine(result.out), "Velmorix Canceled!");
  EXPECT_NE(result.err.find("canceling"), std::string::npos);
  EXPECT_LT(UploadedFiles(), kFiles);
  // Every file the run announced reached the server, or is named as cut
  // short or never sent.
  for (const std::string& line : Lines(result.out)) {
    const std::string copy = "Copy file to FTP : /site/";
    if (line.starts_with(copy)) {
      const std::string name = line.substr(copy.size());
      EXPECT_TRUE(fs::exists(server_.root() / "site" / name) ||
                  result.out.find("Copy file to FTP canceled : /site/" + name) != std::string::npos)
          << name;
    }
  }
  EXPECT_EQ(LoadSettings().lastFtp, 0);  // a canceled run still saves the choice
}

TEST_F(InterruptTest, SecondCtrlCEndsTheProgramAtOnce) {
  // One connection, so that the run itself waits on the server (with more,
  // the others' uploads are broken off within a second of the first Ctrl-C).
  ASSERT_EQ(Cli({"set", "site", "--connections", "1"}).status, 0);
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"});
  ASSERT_TRUE(process->WaitFor(&CliProcess::out, "Copy file to FTP"));
  // A server that stops answering keeps the run from reaching its next step.
  server_.Pause();
  process->Signal(SIGINT);
  ASSERT_TRUE(process->WaitFor(&CliProcess::err, "canceling"));
  process->Signal(SIGINT);
  const auto start = std::chrono::steady_clock::now();
  const CliResult result = process->Finish(10s);
  server_.Resume();
  EXPECT_EQ(result.status, 130) << result.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // What was changed on the server before is in the log all the same.
  EXPECT_TRUE(ReadFile(logFile()).starts_with("Copy file to FTP : /site/file"))
      << ReadFile(logFile());
}

// A run long enough to be held up by its server.
using ProgressLineTest = InterruptTest;

TEST_F(ProgressLineTest, TerminalShowsOneLineThatGivesWayToOtherLinesAndIsWipedAtTheEnd) {
  CliProcess::Options options;
  options.terminal = true;
  options.outputOnTerminal = true;
  std::unique_ptr<CliProcess> process = Start({"transfer", "site"}, options);
  ASSERT_TRUE(process->WaitFor(&CliProcess::terminal, "Copy file to FTP"));
  server_.Pause();
  const bool drawn = process->WaitFor(&CliProcess::terminal, " / 300 ファイル  ");
  server_.Resume();
  EXPECT_TRUE(drawn) << process->terminal();
  ASSERT_EQ(process->Finish().status, 0) << process->terminal();

  // Each row is drawn over as "\r" + text + clear to its end; a line of the
  // run's own starts only on a row that was wiped ("\r" and clear), so what
  // remains visible of every row is that line alone.
  const std::string shown = process->terminal();
  const std::string clear = "\x1b[K";
  size_t start = 0;
  std::string visible;  // of the last row
  for (size_t end; (end = shown.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string row = shown.substr(start, end - start);
    const size_t lastClear = row.rfind(clear);
    visible = row;
    if (lastClear != std::string::npos) {
      EXPECT_TRUE(lastClear > 0 && row[lastClear - 1] == '\r') << row;
      visible = row.substr(lastClear + clear.size());
    }
  }
  EXPECT_TRUE(visible.starts_with(
      "Summary : 300 files uploaded (1.2 KB), 0 directories created, 0 entries deleted, "))
      << visible;
  EXPECT_EQ(start, shown.size());  // nothing drawn after the summary
}

// ---------------------------------------------------------------------------

using ListCommandTest = CliRunTest;

TEST_F(ListCommandTest, ListsTheRemoteFolderAndLeavesTheSettingsAlone) {
  WriteFile(server_.root() / "site" / "index.html", "x");
  fs::create_directories(server_.root() / "site" / "images");
  WriteFile(server_.root() / "site" / "images" / "inner.png", "not listed");
  AddSite();
  const std::string before = ReadFile(storeFile());

  const CliResult result = Cli({"list", "site"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "FTP ls command completed!");
  int entries = 0;
  for (const std::string& line : lines) {
    if (line.starts_with(" " + std::string(20, ' ') + "index.html   ") ||
        line.starts_with(" " + std::string(22, ' ') + "[images]   ")) {
      ++entries;
    }
    EXPECT_EQ(line.find("inner.png"), std::string::npos);
  }
  EXPECT_EQ(entries, 2) << result.out;
  EXPECT_EQ(Lines(ReadFile(logFile())).size(), 2u);
  // But for what the listing learned of the server: its names are UTF-8.
  EXPECT_EQ(ReadFile(storeFile()), WithNamesFoundUtf8(before));
}

}  // namespace
}  // namespace velmorix
