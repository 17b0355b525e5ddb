#!/usr/bin/env bash
# Times VELMORIX's publish against lftp's "mirror -R" on a generated
# web-site-like tree served by a local vsftpd. Installs vsftpd and lftp when
# they are missing, builds velmorix-cli, creates the FTP account vsftpd
# needs (a real user with a password and a login shell), and prints the
# figures. Runs as root, or through sudo.
#
#   bench/run_benchmark.sh [runs]        (default 5; BUILD_DIR=build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-5}"
build="${BUILD_DIR:-build-bench}"
user=velmorixbench
password=bench-pass-2024

. bench/bench_setup.sh
bench_install vsftpd lftp time openssl libssl-dev libssh2-1-dev nlohmann-json3-dev python3-pyftpdlib \
  cmake ninja-build g++
# The Debian package starts its own server on port 21; the benchmark runs its own.
"${bench_sudo[@]}" systemctl stop vsftpd 2>/dev/null || true

bench_build_cli "$build"

# vsftpd logs in real users only, through PAM, and wants a login shell.
# vsftpd enters the user's home before it moves to the served folder.
if ! id "$user" >/dev/null 2>&1; then
  "${bench_sudo[@]}" useradd --create-home --shell /bin/bash "$user"
fi
home="$(getent passwd "$user" | cut -d: -f6)"
"${bench_sudo[@]}" install -d -o "$user" "$home"
echo "$user:$password" | "${bench_sudo[@]}" chpasswd

exec "${bench_sudo[@]}" /usr/bin/python3 bench/benchmark.py --cli "$PWD/$build/bin/velmorix-cli" \
  --user "$user" --password "$password" --runs "$runs"
