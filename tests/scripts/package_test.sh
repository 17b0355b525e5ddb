#!/usr/bin/env bash
# The Debian package: cpack builds it from the build folder; it holds what an
# installation needs, says what it depends on, carries the programs' version,
# and lintian finds no error in it.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$1
REPO=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

(cd "$BUILD" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
  cat "$out/cpack.log" >&2
  exit 1
}
version=$("$BUILD/bin/velmorix-cli" --version | sed 's/^velmorix-cli //')
deb=$(ls "$out"/velmorix_*.deb)
[ "$(basename "$deb")" = "velmorix_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package named $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
[ "$(sed -n '1s/^velmorix (\([^)]*\)).*/\1/p' "$REPO/packaging/changelog")" = "$version" ] ||
  fail "the changelog's latest entry is not version $version"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
expected=(
  ./usr/bin/velmorix-cli
  ./usr/share/man/man1/velmorix-cli.1.gz
  ./usr/share/bash-completion/completions/velmorix-cli
  ./usr/share/doc/velmorix/copyright
  ./usr/share/doc/velmorix/changelog.gz
)
if [ -x "$BUILD/bin/velmorix" ]; then
  expected+=(
    ./usr/bin/velmorix
    ./usr/share/velmorix/velmorix.html
    ./usr/share/man/man1/velmorix.1.gz
    ./usr/share/applications/jp.quenzari.velmorix.desktop
    ./usr/share/metainfo/jp.quenzari.velmorix.metainfo.xml
    ./usr/share/icons/hicolor/scalable/apps/velmorix.svg
  )
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/velmorix.png")
  done
fi
for file in "${expected[@]}"; do
  grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done

depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
needed=(libc6 libssl3 libstdc++6)
[ -x "$BUILD/bin/velmorix" ] && needed+=(libqt6widgets6 fonts-ipafont-gothic qt6-translations-l10n qt6-qpa-plugins)
for package in "${needed[@]}"; do
  grep -qxF "$package" <<<"$names" || fail "Depends lacks $package: $depends"
done

# Errors fail; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors or could not check"

[ "$failures" -eq 0 ] && echo "package test passed"
exit $((failures > 0))
