#!/usr/bin/env bash
# Installs what building, testing and running VELMORIX needs, from Debian's
# packages, when it is missing. Usage: scripts/install-deps.sh [extra packages]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev
  qt6-base-dev libgl-dev
  libssl-dev openssl         # TLS (FTPS); the tests make their certificates with openssl
  libicu-dev                 # Unicode's composed form (NFC) of names that cannot be written
  nlohmann-json3-dev         # velmorix-cli --json, and its test
  libssh2-1-dev              # SSH and SFTP for SFTP destinations
  openssh-server             # sshd: the SFTP server of the tests (ssh-keygen, ssh-agent come with it)
  libcrypt-dev               # crypt(3): the password the tests' sshd takes
  qt6-translations-l10n      # Qt's own texts (はい, いいえ, キャンセル, ...) in Japanese
  python3-pyftpdlib          # the FTP server of the tests and the demo
  python3-openssl            # its TLS handler, for the FTPS tests
  vsftpd                     # a server that lists in its own zone, for the clock tests
  fonts-ipafont-gothic       # the windows' Japanese font
  xvfb xauth                 # windows without a display
  xdg-utils                  # LOG and help open with the desktop's viewer
  qt6-svg-dev                # the build draws the installed SVG icon
  help2man                   # the build makes velmorix-cli(1) from --help
  man-db                     # ... whose pages the tests read with man
  dpkg-dev                   # the Debian package: its dependencies (dpkg-shlibdeps)
  lintian                    # ... checked by the package test
  desktop-file-utils appstream  # ... whose desktop entry and metainfo are validated
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
