#!/usr/bin/env bash
# An installation as Linux programs are installed: into a prefix the user
# cannot write. The installed velmorix-cli publishes to the test FTP server
# and must keep its log in the user's state folder and find the installed
# help page; a copy of it in a folder of the user's keeps its log beside it.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$1
REPO=$2
source "$REPO/scripts/demo-lib.sh"

scratch=$(mktemp -d)
cleanup() {
  stop_demo_server
  chmod -R u+w "$scratch" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
chmod 755 "$scratch"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

prefix=$scratch/prefix
cmake --install "$BUILD" --prefix "$prefix" >/dev/null
home=$scratch/home
mkdir -p "$home" "$scratch/server/public_html"
make_sample_site "$scratch/site"

# The user: as root, nobody (root may write anywhere); else the prefix is
# made read-only.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
else
  chmod -R a-w "$prefix"
fi
run_as_user() {
  "${as_user[@]}" env HOME="$home" XDG_CONFIG_HOME="$home/config" "$@"
}

start_demo_server "$scratch/server" "$scratch/server.log"
cli=$prefix/bin/velmorix-cli
printf '%s\n' "$DEMO_PASSWORD" | run_as_user "$cli" add demo --url 127.0.0.1 --port "$DEMO_PORT" \
  --user "$DEMO_USER" --password-stdin --remote public_html --security none >/dev/null
run_as_user "$cli" set demo --local "$scratch/site" >/dev/null

# This copy's files, as --help names them.
this_copy() { sed -n "s/^  $2 *//p" <<<"$1"; }

# Installed: the log in the state folder ($XDG_STATE_HOME, else ~/.local/state).
for state in "$home/state" ""; do
  expected=${state:-$home/.local/state}/Quenzari/VELMORIX.LOG
  help=$(run_as_user env ${state:+XDG_STATE_HOME=$state} "$cli" --help)
  [ "$(this_copy "$help" log)" = "$expected" ] || fail "--help names the log $(this_copy "$help" log), not $expected"
  [ "$(this_copy "$help" 'help page')" = "$prefix/share/velmorix/velmorix.html" ] ||
    fail "--help names the help page $(this_copy "$help" 'help page')"
done

run_as_user env XDG_STATE_HOME="$home/state" "$cli" transfer demo --yes >"$scratch/run.out" 2>&1 ||
  fail "the transfer failed: $(cat "$scratch/run.out")"
log=$home/state/Quenzari/VELMORIX.LOG
if [ -f "$log" ]; then
  grep -q '^Copy file to FTP : public_html/index.html' "$log" || fail "the log lacks the upload: $(cat "$log")"
  [ "$(stat -c %a "$home/state/Quenzari")" = 700 ] || fail "the state folder is not the user's alone"
else
  fail "no log in the state folder"
fi
[ ! -e "$prefix/bin/VELMORIX.LOG" ] || fail "a log was written into the installation"
[ -f "$scratch/server/public_html/index.html" ] || fail "index.html did not reach the server"

# A copy of the program in a folder of the user's keeps its log beside it.
portable=$home/portable
"${as_user[@]}" mkdir "$portable"
"${as_user[@]}" cp "$cli" "$portable/"
help=$(run_as_user env XDG_STATE_HOME="$home/state" "$portable/velmorix-cli" --help)
[ "$(this_copy "$help" log)" = "$portable/VELMORIX.LOG" ] ||
  fail "a portable copy names the log $(this_copy "$help" log)"

[ "$failures" -eq 0 ] && echo "install test passed"
exit $((failures > 0))
