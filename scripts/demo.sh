#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds, starts a
# local demo FTP server on 127.0.0.1 with a sample site beside it, and stores
# a destination "demo" for it in a scratch settings folder (your own settings
# stay untouched). With a display it opens the window, ready to press 転  送;
# without one it publishes with velmorix-cli and shows what arrived.
#
# Everything it makes lives in build/demo/ and is made afresh each time. The
# build folder can be changed with VELMORIX_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
BUILD=${VELMORIX_BUILD_DIR:-build}
source scripts/demo-lib.sh

scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target velmorix velmorix-cli

demo="$REPO/$BUILD/demo"
rm -rf "$demo" "$BUILD/bin/VELMORIX.LOG"
mkdir -p "$demo/server/public_html" "$demo/config"
make_sample_site "$demo/site"
# A page that no longer exists locally, for the deletion on the server.
printf 'old page\n' >"$demo/server/public_html/old-page.html"

trap stop_demo_server EXIT
start_demo_server "$demo/server" "$demo/server.log"
export XDG_CONFIG_HOME="$demo/config"
store_demo_destination "$BUILD/bin/velmorix-cli" "$demo/site"

cat <<TEXT

Demo FTP server: ftp://127.0.0.1:$DEMO_PORT/  (user "$DEMO_USER", password "$DEMO_PASSWORD")
Sample site:     $demo/site
Server folder:   $demo/server/public_html
Settings:        $XDG_CONFIG_HOME (scratch)
TEXT

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  cat <<'TEXT'

The window opens with the destination "demo" selected: press 転  送 (or Enter)
to publish, LOG to read the log, ﾂｰﾙ > ﾃﾞｨﾚｸﾄﾘ to list the server folder.
The server stops when you close the window.
TEXT
  "$BUILD/bin/velmorix"
else
  echo
  echo "No display: publishing with velmorix-cli instead."
  echo
  "$BUILD/bin/velmorix-cli" transfer demo --yes || echo "(velmorix-cli ended with status $?)"
fi

echo
echo "Server folder now:"
show_tree "$demo/server/public_html"
echo
echo "Log ($BUILD/bin/VELMORIX.LOG):"
sed 's/\r$//; s/^/  /' "$BUILD/bin/VELMORIX.LOG" 2>/dev/null || echo "  (none)"
