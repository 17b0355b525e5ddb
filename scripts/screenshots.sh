#!/usr/bin/env bash
# Saves PNG pictures of the windows, for anyone to look at: the main window,
# its Settings and Tools menus, the profile editor, the dry run's console,
# the progress console with its bar part way, during a run (while the run
# asks before a deletion) and after it, the question box and the about box.
# Runs the real windows under Xvfb against the demo FTP server of
# scripts/demo.sh, with a scratch settings folder.
#
# Usage: scripts/screenshots.sh [OUTPUT_FOLDER]   (default build/screenshots)
# The build folder can be changed with VELMORIX_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
BUILD=${VELMORIX_BUILD_DIR:-build}
OUT=$(realpath -m "${1:-$BUILD/screenshots}")
source scripts/demo-lib.sh

scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target velmorix-cli velmorix-screenshots

work="$REPO/$BUILD/screenshot-demo"
rm -rf "$work" "$OUT"
mkdir -p "$work/server/public_html" "$work/config" "$OUT"
make_sample_site "$work/site"
printf 'old page\n' >"$work/server/public_html/old-page.html"
# An older copy of the site's page beside it: the publish deletes one entry
# of two, which the run asks about one by one, not as a mass deletion.
printf 'old index\n' >"$work/server/public_html/index.html"

trap stop_demo_server EXIT
start_demo_server "$work/server" "$work/server.log"
export XDG_CONFIG_HOME="$work/config"
store_demo_destination "$BUILD/bin/velmorix-cli" "$work/site"
# A second destination, so the lists show that they are lists.
printf 'secret\n' | "$BUILD/bin/velmorix-cli" add "本番サーバー" --url ftp.example.jp \
  --user webmaster --password-stdin --remote /public_html >/dev/null

# Xvfb at the usual 96 dpi; the windows use the IPAPGothic font.
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -dpi 96" \
  "$BUILD/scripts/velmorix-screenshots" "$OUT"
echo "Screenshots are in $OUT"
