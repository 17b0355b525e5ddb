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

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

missing=()
for package in vsftpd lftp time openssl libssl-dev python3-pyftpdlib cmake ninja-build g++; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
# The Debian package starts its own server on port 21; the benchmark runs its own.
"${sudo[@]}" systemctl stop vsftpd 2>/dev/null || true

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORIX_BUILD_TESTS=OFF \
  -DVELMORIX_BUILD_UI=OFF >/dev/null
cmake --build "$build" -j2 --target velmorix-cli >/dev/null

# vsftpd logs in real users only, through PAM, and wants a login shell.
# vsftpd enters the user's home before it moves to the served folder.
if ! id "$user" >/dev/null 2>&1; then
  "${sudo[@]}" useradd --create-home --shell /bin/bash "$user"
fi
home="$(getent passwd "$user" | cut -d: -f6)"
"${sudo[@]}" install -d -o "$user" "$home"
echo "$user:$password" | "${sudo[@]}" chpasswd

exec "${sudo[@]}" /usr/bin/python3 bench/benchmark.py --cli "$PWD/$build/bin/velmorix-cli" \
  --user "$user" --password "$password" --runs "$runs"
