#!/usr/bin/env bash
# Publishes with velmorix-cli over explicit FTPS to four real servers on
# 127.0.0.1 (pyftpdlib, vsftpd, proftpd with mod_tls, pure-ftpd) and prints
# a table of pass/fail per server and case. For each server, with 1 and 4
# connections and temporary uploads on and off: a first publish of a small
# tree, an unchanged re-run that must upload nothing, a re-run after local
# changes and deletions with deletion on the server, and a listing; after
# each run the server's folder must equal the local one (diff -r). Once per
# server the certificate is accepted by --trust-fingerprint instead of the
# test CA, and interop_probe.py records close_notify and renames.
#
# Usage, as root: scripts/interop.sh PATH/TO/velmorix-cli [SERVER...]
# It installs or extracts what it needs (servers go to $PKG), adds the
# account $FTP_USER for the servers' logins and removes it at the end.
# KEEP=1 keeps the work folder with every run's output.
set -u
readonly SERVERS_ALL="pyftpdlib vsftpd proftpd proftpd-keep proftpd-norename pure-ftpd"
readonly FTP_USER=vxinterop FTP_PASSWORD='Interop-pass-1'
readonly PKG=/var/cache/velmorix-interop
readonly PY=/usr/bin/python3
readonly HERE=$(cd "$(dirname "$0")" && pwd)

[ $# -ge 1 ] || { echo "usage: $0 VELMORIX-CLI [$SERVERS_ALL]" >&2; exit 64; }
[ "$(id -u)" = 0 ] || { echo "$0: run it as root" >&2; exit 1; }
CLI=$(realpath "$1")
shift
SERVERS=${*:-$SERVERS_ALL}
WORK=$(mktemp -d /tmp/velmorix-interop.XXXXXX)
chmod 755 "$WORK"
export XDG_CONFIG_HOME=$WORK/config SSL_CERT_FILE=$WORK/ca.pem
SERVER_PID= USER_ADDED= FAILED=0

cleanup() {
  stop_server
  [ -n "$USER_ADDED" ] && userdel "$FTP_USER"
  if [ "${KEEP:-0}" = 1 ]; then echo "Kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# --- What the servers need ------------------------------------------------------
prepare() {
  local libs="python3-pyftpdlib python3-openssl openssl libwrap0 libhiredis0.14
    libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 libpam-modules"
  apt-get install -y -qq $libs >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get install -y -qq $libs >/dev/null; } || return 1
  # The three conflict as packages (Conflicts: ftp-server): extract them.
  if [ ! -x "$PKG/usr/sbin/pure-ftpd" ]; then
    mkdir -p "$PKG/debs" && (cd "$PKG/debs" &&
      apt-get download vsftpd proftpd-core proftpd-mod-crypto pure-ftpd 2>/dev/null) || return 1
    for deb in "$PKG"/debs/*.deb; do dpkg-deb -x "$deb" "$PKG"; done
  fi
  for service in vsftpd pure-ftpd; do
    [ -e /etc/pam.d/$service ] || cp "$PKG/etc/pam.d/$service" /etc/pam.d/
  done
  mkdir -p /var/run/vsftpd/empty
  if ! id "$FTP_USER" >/dev/null 2>&1; then
    useradd -M -d "$WORK" -s /bin/bash "$FTP_USER" && USER_ADDED=1 || return 1
  fi
  echo "$FTP_USER:$FTP_PASSWORD" | chpasswd
  # A test CA (trusted through SSL_CERT_FILE) and the servers' certificate.
  (cd "$WORK" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
      -subj "/CN=VELMORIX interop CA" &&
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr \
      -subj "/CN=127.0.0.1" &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
      -extfile <(echo "subjectAltName=IP:127.0.0.1") -out server.pem &&
    cat server.pem server.key >server-both.pem) >/dev/null 2>&1
}

free_port() {
  $PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- Servers: start_NAME ROOT starts one serving ROOT as / on $PORT ---------------
start_pyftpdlib() {
  $PY "$HERE/../tests/support/ftp_server.py" --root "$1" --user "$FTP_USER" \
    --password "$FTP_PASSWORD" --tls-cert "$WORK/server-both.pem" --tls-required \
    --tls-require-reuse --log "$WORK/$NAME.log" >"$WORK/$NAME.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 50); do
    PORT=$(sed -n 's/^LISTENING //p' "$WORK/$NAME.out")
    [ -n "$PORT" ] && return
    sleep 0.1
  done
}

start_vsftpd() {
  cat >"$WORK/$NAME.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$PORT
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
pam_service_name=vsftpd
secure_chroot_dir=/var/run/vsftpd/empty
utf8_filesystem=YES
chroot_local_user=YES
allow_writeable_chroot=YES
local_root=$1
ssl_enable=YES
rsa_cert_file=$WORK/server.pem
rsa_private_key_file=$WORK/server.key
ssl_ciphers=HIGH
require_ssl_reuse=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$WORK/$NAME.log
EOF
  "$PKG/usr/sbin/vsftpd" "$WORK/$NAME.conf" >"$WORK/$NAME.out" 2>&1 &
  SERVER_PID=$!
}

# proftpd-keep: a host that refuses to overwrite (RNTO onto a file: 550), so
# temporary uploads must delete the old copy first. proftpd-norename: one
# that refuses every RNTO (550), so they must go under their real names.
start_proftpd-keep() { OVERWRITE=off start_proftpd "$@"; }
start_proftpd-norename() { LIMITS='<Limit RNTO>
    DenyAll
  </Limit>' start_proftpd "$@"; }

start_proftpd() {
  mkdir -p "$WORK/$NAME"
  cat >"$WORK/$NAME.conf" <<EOF
ServerType standalone
Port $PORT
DefaultAddress 127.0.0.1
UseIPv6 off
User nobody
Group nogroup
Umask 022
AuthOrder mod_auth_unix.c
RequireValidShell off
UseReverseDNS off
WtmpLog off
ScoreboardFile $WORK/$NAME/scoreboard
PidFile $WORK/$NAME/pid
DelayTable none
UseEncoding UTF-8 UTF-8
DefaultRoot $1
ModulePath $PKG/usr/lib/proftpd
LoadModule mod_tls.c
TLSEngine on
TLSRequired on
TLSRSACertificateFile $WORK/server.pem
TLSRSACertificateKeyFile $WORK/server.key
ExtendedLog $WORK/$NAME.log ALL
<Directory />
  AllowOverwrite ${OVERWRITE:-on}
  ${LIMITS:-}
</Directory>
EOF
  "$PKG/usr/sbin/proftpd" -n -c "$WORK/$NAME.conf" >"$WORK/$NAME.out" 2>&1 &
  SERVER_PID=$!
}

start_pure-ftpd() {
  # It serves the account's home folder (-A: as its root).
  usermod -d "$1" "$FTP_USER"
  "$PKG/usr/sbin/pure-ftpd" -S "127.0.0.1,$PORT" -l unix -A -E -H -Y 2 \
    -2 "$WORK/server.pem,$WORK/server.key" >"$WORK/$NAME.out" 2>&1 &
  SERVER_PID=$!
}

start_server() {
  NAME=$1
  local root=$WORK/$1-root
  mkdir -p "$root" && chown "$FTP_USER" "$root"
  PORT=$(free_port)
  "start_$NAME" "$root"
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "$NAME did not start:" >&2
  cat "$WORK/$NAME.out" >&2
  return 1
}

stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  kill "$SERVER_PID" 2>/dev/null
  wait "$SERVER_PID" 2>/dev/null
  SERVER_PID=
}

# --- The local tree and its changes ---------------------------------------------
make_tree() {
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir/css" "$dir/news/2024" "$dir/news/2025" "$dir/old/deep"
  for i in $(seq 1 12); do echo "page $i" >"$dir/page$i.html"; done
  for i in $(seq 1 12); do echo "news $i" >"$dir/news/2024/item$i.html"; done
  for i in $(seq 1 12); do echo "news $i" >"$dir/news/2025/item$i.html"; done
  for i in $(seq 1 6); do echo "old $i" >"$dir/old/deep/old$i.txt"; done
  for i in $(seq 1 4); do echo "body { color: #$i$i$i; }" >"$dir/css/style$i.css"; done
  echo '<p>会社案内</p>' >"$dir/会社案内.html"
  : >"$dir/empty.txt"
  head -c 2097152 /dev/urandom >"$dir/big.bin"
  # Edited before the publish, as sites are: a listing that gives only
  # minutes (vsftpd's LIST) makes a file changed in the minute of its upload
  # look newer than the server's copy for the rest of that minute.
  find "$dir" -exec touch -d '1 hour ago' {} +
}

change_tree() {
  local dir=$1
  sleep 1  # a change in the same second as the upload looks unchanged
  echo "page 1, changed" >"$dir/page1.html"
  echo '<p>会社案内 (改)</p>' >"$dir/会社案内.html"
  head -c 2097152 /dev/urandom >"$dir/big.bin"
  rm -r "$dir/page2.html" "$dir/news/2024/item3.html" "$dir/old"
  echo new >"$dir/news/new.html"
}

# The first message of a failed run and the line after it (the reply).
reason() { grep -m 1 -A 1 -E '^(VELMORIX|velmorix-cli):' "$1" | tr '\n' ' '; }

# --- The cases ----------------------------------------------------------------------
# check NAME COMMAND...: runs velmorix-cli; the case passes when it exits 0
# and the server's folder equals the local one. Sets RESULT.
check() {
  local what=$1 out=$WORK/out/$ROW.$1
  shift
  timeout 300 "$CLI" "$@" --yes --no-progress >"$out" 2>&1 </dev/null
  local status=$?
  if [ $status != 0 ]; then
    RESULT=FAIL
    NOTES+=("$ROW $what: exit $status: $(reason "$out")")
  elif ! diff -r "$LOCAL" "$ROOT" >"$out.diff" 2>&1; then
    RESULT=FAIL
    NOTES+=("$ROW $what: the server differs: $(head -3 "$out.diff" | tr '\n' ' ')")
  else
    RESULT=pass
  fi
}

# The listing must name every entry of the local folder.
check_list() {
  local out=$WORK/out/$ROW.$1 name
  shift
  RESULT=pass
  if ! timeout 120 "$CLI" list "$@" >"$out" 2>&1 </dev/null; then
    RESULT=FAIL
    NOTES+=("$ROW list: $(reason "$out")")
    return
  fi
  local missing=()
  for name in $(ls "$LOCAL"); do grep -q -- "$name" "$out" || missing+=("$name"); done
  [ ${#missing[@]} = 0 ] || { RESULT=FAIL; NOTES+=("$ROW list: missing ${missing[*]:0:5}"); }
}

run_server() {
  local server=$1 connections temp
  start_server "$server" || { FAILED=1; return; }
  ROOT=$WORK/$server-root LOCAL=$WORK/local
  $PY "$HERE/interop_probe.py" 127.0.0.1 "$PORT" "$FTP_USER" "$FTP_PASSWORD" "$SSL_CERT_FILE" / \
    2>&1 | sed "s/^/$server: /" >>"$WORK/probe.txt"
  for connections in 1 4; do
    # Without temporary names proftpd-keep refuses every upload that replaces.
    for temp in on $([ "$server" = proftpd-keep ] || echo off); do
      ROW="$server-c$connections-temp-$temp"
      rm -rf "$ROOT"/* "$ROOT"/.[!.]*
      make_tree "$LOCAL"
      "$CLI" delete "$server" >/dev/null 2>&1
      echo "$FTP_PASSWORD" | "$CLI" add "$server" --url 127.0.0.1 --port "$PORT" \
        --user "$FTP_USER" --password-stdin --remote / --security tls \
        --connections "$connections" --temp-upload "$temp" >/dev/null &&
        "$CLI" set "$server" --local "$LOCAL" --delete-on-server on >/dev/null
      local row=("$server" "$connections" "$temp")
      check publish transfer "$server"
      row+=("$RESULT")
      check rerun transfer "$server"
      if [ "$RESULT" = pass ] && ! grep -q "Summary : 0 files uploaded" "$WORK/out/$ROW.rerun"; then
        RESULT=FAIL
        NOTES+=("$ROW rerun: $(grep -m 1 Summary "$WORK/out/$ROW.rerun")")
      fi
      row+=("$RESULT")
      change_tree "$LOCAL"
      check prune transfer "$server"
      row+=("$RESULT")
      check_list list "$server"
      row+=("$RESULT")
      # The same listing with the certificate accepted by its fingerprint.
      local fingerprint
      fingerprint=$(openssl x509 -in "$WORK/server.pem" -noout -fingerprint -sha256 | cut -d= -f2)
      "$CLI" set "$server" --trust-fingerprint "SHA256:$fingerprint" >/dev/null
      SSL_CERT_FILE=/nonexistent check_list fingerprint "$server"
      row+=("$RESULT")
      printf '%-16s %5s %4s | %-7s %-7s %-7s %-7s %-7s\n' "${row[@]}" >>"$WORK/table.txt"
      [[ " ${row[*]} " == *" FAIL "* ]] && FAILED=1
    done
  done
  stop_server
}

mkdir -p "$WORK/out"
prepare || { echo "$0: could not prepare the servers" >&2; exit 1; }
NOTES=()
for server in $SERVERS; do run_server "$server"; done

printf '%-16s %5s %4s | %-7s %-7s %-7s %-7s %-7s\n' server conns temp publish rerun prune list fingerpr
cat "$WORK/table.txt"
echo
cat "$WORK/probe.txt"
[ ${#NOTES[@]} = 0 ] || { echo; printf '%s\n' "${NOTES[@]}"; }
exit $FAILED
