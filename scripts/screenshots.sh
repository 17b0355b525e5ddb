#!/usr/bin/env bash
# Saves PNG pictures of the windows, for anyone to look at: the main window,
# its Settings and Tools menus, the profile editor, the dry run's console,
# the progress console with its bar part way, during a run (while the run
# asks before a deletion) and after it, the question box, a run that fails
# (its box and its console), the question about a server certificate signed
# by itself, and the about box. Runs the real windows under Xvfb against the
# demo FTP server of scripts/demo.sh, and a second one that speaks TLS, with a
# scratch settings folder.
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
# A destination whose password the server no longer takes: its run fails.
printf 'old pass\n' | "$BUILD/bin/velmorix-cli" add "demo (古いパスワード)" --url 127.0.0.1 \
  --port "$DEMO_PORT" --user "$DEMO_USER" --password-stdin --remote public_html >/dev/null
"$BUILD/bin/velmorix-cli" set "demo (古いパスワード)" --local "$work/site" >/dev/null

# An FTPS server whose certificate is signed by itself, for the question
# whether to trust it. The names are a hosting company's, with the hyphens
# and dots that must not break a line.
mkdir -p "$work/tls-server/public_html"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 365 \
  -keyout "$work/tls.key" -out "$work/tls.crt" \
  -subj "/C=JP/O=Sample-Shop Web-Hosting Co., Ltd./CN=ftp.sample-shop.example.jp" \
  -addext "subjectAltName=DNS:ftp.sample-shop.example.jp" 2>/dev/null
cat "$work/tls.crt" "$work/tls.key" >"$work/tls.pem"
start_demo_server "$work/tls-server" "$work/tls-server.log" --tls-cert "$work/tls.pem"
printf '%s\n' "$DEMO_PASSWORD" | "$BUILD/bin/velmorix-cli" add "demo (FTPS)" \
  --url "ftps://$DEMO_USER@127.0.0.1:$DEMO_PORT/public_html" --password-stdin >/dev/null
"$BUILD/bin/velmorix-cli" set "demo (FTPS)" --local "$work/site" >/dev/null
# One more, on a server of another name, so the lists show that they are lists.
printf 'secret\n' | "$BUILD/bin/velmorix-cli" add "本番サーバー" --url ftp.example.jp \
  --user webmaster --password-stdin --remote /public_html >/dev/null

# Xvfb at the usual 96 dpi; the windows use the IPAPGothic font.
xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24 -dpi 96" \
  "$BUILD/scripts/velmorix-screenshots" "$OUT"
echo "Screenshots are in $OUT"
