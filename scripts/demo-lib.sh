# Shared by scripts/demo.sh and scripts/screenshots.sh (source it, do not run
# it): a sample site, a local demo FTP server on 127.0.0.1 and a demo
# destination stored in a scratch $XDG_CONFIG_HOME.

readonly DEMO_USER=demo
readonly DEMO_PASSWORD='demo pass'

# make_sample_site DIR: a small web site with what the options act on: a
# Japanese-named page, an Images folder, a FrontPage "_vti_cnf" folder and an
# .exe file.
make_sample_site() {
  local site=$1
  mkdir -p "$site/css" "$site/Images" "$site/_vti_cnf" "$site/news/2024"
  cat >"$site/index.html" <<'HTML'
<!DOCTYPE html>
<html lang="ja"><head><meta charset="utf-8"><title>サンプル商店</title>
<link rel="stylesheet" href="css/style.css"></head>
<body><h1>サンプル商店へようこそ</h1>
<p><a href="会社案内.html">会社案内</a> | <a href="news/2024/spring.html">お知らせ</a></p>
<img src="Images/logo.png" alt="ロゴ"></body></html>
HTML
  cat >"$site/会社案内.html" <<'HTML'
<!DOCTYPE html>
<html lang="ja"><head><meta charset="utf-8"><title>会社案内</title></head>
<body><h1>会社案内</h1><p>創業 1998 年。</p></body></html>
HTML
  printf 'body { font-family: sans-serif; color: #333; }\nh1 { color: #2a4a8a; }\n' >"$site/css/style.css"
  printf '<!DOCTYPE html>\n<html lang="ja"><body><p>春の新商品のお知らせ</p></body></html>\n' \
    >"$site/news/2024/spring.html"
  printf 'not really a PNG, just the logo placeholder\n' >"$site/Images/logo.png"
  printf 'vti_author:SR|demo\n' >"$site/_vti_cnf/index.html"
  printf 'MZ placeholder installer\n' >"$site/setup.exe"
}

# start_demo_server ROOT LOGFILE [SERVER_OPTION...]: starts pyftpdlib on a
# free port of 127.0.0.1 serving ROOT, with further options of
# tests/support/ftp_server.py (--tls-cert PEM for FTPS); sets DEMO_PORT and
# DEMO_SERVER_PID. May be called again for another server.
DEMO_SERVER_PIDS=()
start_demo_server() {
  local root=$1 out=$2
  shift 2
  /usr/bin/python3 "$REPO/tests/support/ftp_server.py" --host 127.0.0.1 --root "$root" \
    --user "$DEMO_USER" --password "$DEMO_PASSWORD" "$@" >"$out" 2>&1 &
  DEMO_SERVER_PID=$!
  DEMO_SERVER_PIDS+=("$DEMO_SERVER_PID")
  DEMO_PORT=
  for _ in $(seq 100); do
    DEMO_PORT=$(sed -n 's/^LISTENING \([0-9]*\)$/\1/p' "$out")
    [ -n "$DEMO_PORT" ] && return 0
    kill -0 "$DEMO_SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "The demo FTP server did not start:" >&2
  cat "$out" >&2
  return 1
}

# Stops every server start_demo_server started.
stop_demo_server() {
  local pid
  for pid in "${DEMO_SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  DEMO_SERVER_PIDS=()
  DEMO_SERVER_PID=
}

# store_demo_destination CLI SITE: the destination "demo" for the server,
# publishing SITE into its folder "public_html". Needs XDG_CONFIG_HOME set.
store_demo_destination() {
  local cli=$1 site=$2
  printf '%s\n' "$DEMO_PASSWORD" |
    "$cli" add demo --url 127.0.0.1 --port "$DEMO_PORT" --user "$DEMO_USER" \
      --password-stdin --remote public_html >/dev/null
  "$cli" set demo --local "$site" >/dev/null
}

# show_tree DIR: every file and folder below DIR, one per line.
show_tree() {
  (cd "$1" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort | sed 's|^|  |')
}
