// Figures for the SFTP client's uploads: sends one local file to an SFTP
// server with SftpConnection::PutFile, several times, and prints the
// seconds and the throughput of each run and their median.
//
//   velmorix-sftp-upload-bench HOST PORT USER KEY_FILE KNOWN_HOSTS LOCAL_FILE REMOTE_PATH [RUNS]
//
// KNOWN_HOSTS is a known_hosts file that holds the server's key.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sftp/sftp_connection.h"

int main(int argc, char** argv) {
  using namespace velmorix;
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: %s HOST PORT USER KEY_FILE KNOWN_HOSTS LOCAL_FILE REMOTE_PATH [RUNS]\n",
                 argv[0]);
    return 2;
  }
  const std::string local = argv[6];
  struct stat status;
  if (stat(local.c_str(), &status) != 0) {
    std::perror(local.c_str());
    return 2;
  }
  const int runs = argc > 8 ? std::atoi(argv[8]) : 3;
  sftp::SshConnectOptions options;
  options.knownHosts.readOnly = {argv[5]};
  options.knownHosts.own.clear();
  options.keyFiles = {argv[4]};
  options.useAgent = false;
  sftp::SftpConnection connection;
  const FtpStatus connected = connection.Connect(
      argv[1], static_cast<uint16_t>(std::atoi(argv[2])), argv[3], {}, options);
  if (!connected.ok()) {
    std::fprintf(stderr, "connect: %s\n", connected.text.c_str());
    return 1;
  }
  const double megabytes = static_cast<double>(status.st_size) / 1e6;
  std::vector<double> seconds;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const FtpStatus sent = connection.PutFile(local, argv[7]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!sent.ok()) {
      std::fprintf(stderr, "put: %s\n", sent.text.c_str());
      return 1;
    }
    seconds.push_back(took.count());
    std::printf("run %d: %.2f s, %.1f MB/s\n", run + 1, took.count(), megabytes / took.count());
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2];
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("velmorix SFTP median: %.2f s, %.1f MB/s; peak memory %.1f MB\n", median,
              megabytes / median, static_cast<double>(usage.ru_maxrss) / 1024);
  return 0;
}
