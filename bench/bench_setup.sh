# What the benchmark scripts do before they measure; sourced, not run.

bench_sudo=()
[ "$(id -u)" -eq 0 ] || bench_sudo=(sudo)

# Installs the Debian packages named that are missing.
bench_install() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${bench_sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${bench_sudo[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Builds an optimised velmorix-cli, without tests or windows, in the folder $1,
# and the other targets named after it.
bench_build_cli() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORIX_BUILD_TESTS=OFF \
    -DVELMORIX_BUILD_UI=OFF >/dev/null
  cmake --build "$1" -j2 --target velmorix-cli "${@:2}" >/dev/null
}
