// Figures for our FTP client alone: what the listing parser costs per line,
// and what listing and uploading cost this process against the test server
// (pyftpdlib on loopback, started here). CPU time is this process's user +
// system time, so the server's own work is not counted.
//
//   velmorix-ftp-client-bench [--entries N] [--files N] [--big-mb N]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ftp/ftp_listing_parser.h"
#include "ftp/ftp_session.h"

namespace {

namespace fs = std::filesystem;
using velmorix::FtpConnection;
using velmorix::FtpErrorKind;
using velmorix::FtpListing;
using velmorix::FtpSession;
using velmorix::FtpStatus;
using velmorix::RemoteEntry;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pass";

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Wall and CPU time of one measured stretch.
struct Stopwatch {
  double wall = WallSeconds();
  double cpu = CpuSeconds();
  void Stop() {
    wall = WallSeconds() - wall;
    cpu = CpuSeconds() - cpu;
  }
};

// pyftpdlib serving `root`, for as long as this object lives.
class Server {
 public:
  Server(const fs::path& root, bool mlsd) {
    int out[2];
    if (pipe(out) != 0)
      std::exit(1);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      std::vector<std::string> args = {"/usr/bin/python3", VELMORIX_FTP_SERVER_SCRIPT,
                                       "--host",           "127.0.0.1",
                                       "--root",           root.string(),
                                       "--user",           kUser,
                                       "--password",       kPassword};
      if (!mlsd)
        args.push_back("--no-mlsd");
      std::vector<char*> argv;
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
      line.push_back(c);
    close(out[0]);
    if (!line.starts_with("LISTENING ")) {
      std::fprintf(stderr, "the FTP server did not start (python3-pyftpdlib missing?)\n");
      std::exit(1);
    }
    port_ = static_cast<uint16_t>(std::stoi(line.substr(10)));
  }
  ~Server() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

void Check(const FtpStatus& status, const char* what) {
  if (!status.ok() && status.kind != FtpErrorKind::kNoMoreFiles) {
    std::fprintf(stderr, "%s failed: %s\n", what, status.text.c_str());
    std::exit(1);
  }
}

void BenchParser() {
  const std::vector<std::pair<const char*, std::string>> forms = {
      {"MLSD",
       "modify=20261208175638;perm=radfwMT;size=4;type=file;unique=fe00ga7780a; "
       "item-0042.html"},
      {"Unix ls -l", "-rw-r--r--    1 1001     1001        18234 Dec 08 17:56 item-0042.html"},
      {"DOS/IIS", "12-08-26  05:56PM                18234 item-0042.html"},
  };
  constexpr int kLines = 2000000;
  std::printf("listing parser, %d lines each\n", kLines);
  for (const auto& [name, line] : forms) {
    const auto format = std::strcmp(name, "MLSD") == 0 ? velmorix::ftp::ListingFormat::kMlsd
                                                       : velmorix::ftp::ListingFormat::kList;
    RemoteEntry entry;
    int parsed = 0;
    Stopwatch watch;
    for (int i = 0; i < kLines; ++i) {
      parsed += velmorix::ftp::ParseListingLine(line, format, 1796753400, entry) ? 1 : 0;
    }
    watch.Stop();
    std::printf("  %-12s %7.1f ns/line CPU   (%d parsed, time %lld)\n", name,
                watch.cpu * 1e9 / kLines, parsed, static_cast<long long>(entry.lastWriteTime));
  }
}

void BenchServer(bool mlsd, int entries, int files, int bigMegabytes) {
  char pattern[] = "/tmp/velmorix-ftp-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    std::exit(1);
  const fs::path work = pattern;
  const fs::path root = work / "root";
  const fs::path local = work / "local";
  fs::create_directories(root / "many");
  fs::create_directories(root / "up");
  fs::create_directories(local);
  for (int i = 0; i < entries; ++i) {
    std::ofstream(root / "many" / ("entry-" + std::to_string(i) + ".html")) << "x";
  }
  const std::string small(16 << 10, 's');
  for (int i = 0; i < files; ++i) {
    std::ofstream(local / ("page-" + std::to_string(i) + ".html")) << small;
  }
  {
    std::ofstream(local / "big.bin").close();
    fs::resize_file(local / "big.bin", uintmax_t(bigMegabytes) << 20);
  }

  Server server(root, mlsd);
  FtpSession session("VELMORIX");
  FtpConnection connection;
  std::printf("%s server (pyftpdlib)\n", mlsd ? "MLSD" : "LIST-only");

  Stopwatch login;
  Check(session.Connect("127.0.0.1", server.port(), kUser, kPassword, connection), "connect");
  login.Stop();
  std::printf("  connect + login        %8.1f ms wall %8.2f ms CPU\n", login.wall * 1e3,
              login.cpu * 1e3);

  Stopwatch listingWatch;
  FtpListing listing;
  RemoteEntry entry;
  int listed = 0;
  FtpStatus status = connection.FindFirst("many", listing, entry);
  while (status.ok()) {
    ++listed;
    status = listing.Next(entry);
  }
  Check(status, "listing");
  listingWatch.Stop();
  std::printf("  list %6d entries    %8.1f ms wall %8.2f ms CPU  %6.2f us CPU/entry\n", listed,
              listingWatch.wall * 1e3, listingWatch.cpu * 1e3, listingWatch.cpu * 1e6 / listed);

  Check(connection.ChangeFolder("up"), "cwd");
  Stopwatch smallWatch;
  for (int i = 0; i < files; ++i) {
    const std::string name = "page-" + std::to_string(i) + ".html";
    Check(connection.PutFile((local / name).string(), name), "upload");
  }
  smallWatch.Stop();
  std::printf("  upload %4d x 16 KiB   %8.1f ms wall %8.2f ms CPU  %6.1f us CPU/file\n", files,
              smallWatch.wall * 1e3, smallWatch.cpu * 1e3, smallWatch.cpu * 1e6 / files);

  Stopwatch bigWatch;
  Check(connection.PutFile((local / "big.bin").string(), "big.bin"), "big upload");
  bigWatch.Stop();
  std::printf("  upload %4d MiB        %8.1f ms wall %8.2f ms CPU  %6.1f MB/s wall\n", bigMegabytes,
              bigWatch.wall * 1e3, bigWatch.cpu * 1e3, bigMegabytes * 1.048576 / bigWatch.wall);
  connection.Close();
  std::error_code ignored;
  fs::remove_all(work, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  int entries = 20000;
  int files = 300;
  int bigMegabytes = 256;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (option == "--entries")
      entries = value;
    if (option == "--files")
      files = value;
    if (option == "--big-mb")
      bigMegabytes = value;
  }
  BenchParser();
  BenchServer(true, entries, files, bigMegabytes);
  BenchServer(false, entries, files, bigMegabytes);
  return 0;
}
