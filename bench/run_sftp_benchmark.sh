#!/usr/bin/env bash
# Times publishing over SFTP and FTP through one simulated line: a relay
# (velmorix-delay-relay) that holds every chunk DELAY_MS each way, in front
# of an sshd and a pyftpdlib server started for the run. Measures rclone's
# "sync --transfers 4" and lftp's "mirror -R -P 4" over SFTP, OpenSSH's sftp
# on one large file, VELMORIX over FTP with four connections, and VELMORIX
# over SFTP once velmorix-cli takes sftp:// destinations (until then its row
# says why it was skipped). Installs what is missing (through sudo when not
# root), builds velmorix-cli and the relay, and prints the figures and the
# goals.
#
#   bench/run_sftp_benchmark.sh [runs] [delay_ms] [large_mb]   (default 3, 20, 100)
#
# BUILD_DIR (default build-bench) is the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-3}"
delay_ms="${2:-20}"
large_mb="${3:-100}"
build="${BUILD_DIR:-build-bench}"

. bench/bench_setup.sh
bench_install lftp rclone time openssh-server openssh-client python3-pyftpdlib libssl-dev libssh2-1-dev \
  libicu-dev nlohmann-json3-dev cmake ninja-build g++

bench_build_cli "$build" velmorix-delay-relay

exec /usr/bin/python3 bench/sftp_benchmark.py --cli "$PWD/$build/bin/velmorix-cli" \
  --relay "$PWD/$build/bin/velmorix-delay-relay" --runs "$runs" --delay-ms "$delay_ms" \
  --large-mb "$large_mb"
