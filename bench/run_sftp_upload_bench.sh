#!/usr/bin/env bash
# Times one large upload over SFTP: VELMORIX's SFTP client against OpenSSH's
# sftp, to the same sshd (started here on a free port of 127.0.0.1 with its
# own keys, in a scratch folder), straight over loopback and through
# bench/delay_relay.py, which holds each chunk DELAY_MS each way.
#
#   bench/run_sftp_upload_bench.sh [size_mb] [delay_ms] [runs]   (default 100, 20, 3)
#
# BUILD_DIR (default build) is the build folder with velmorix-sftp-upload-bench.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb="${1:-100}"
delay_ms="${2:-20}"
runs="${3:-3}"
build="${BUILD_DIR:-build}"
bench="$build/bin/velmorix-sftp-upload-bench"
cmake --build "$build" --target velmorix-sftp-upload-bench >/dev/null

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

mkdir -p "$work/root"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
port="$(free_port)"
cat > "$work/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
StrictModes no
UsePAM no
Subsystem sftp internal-sftp -d $work/root
CONFIG
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
pids+=($!)
relay_port="$(free_port)"
/usr/bin/python3 bench/delay_relay.py --listen-port "$relay_port" --target-port "$port" \
  --delay-ms "$delay_ms" >"$work/relay.out" &
pids+=($!)
sleep 1

user="$(id -un)"
key_line="$(cut -d' ' -f1,2 "$work/host_key.pub")"
printf '[127.0.0.1]:%s %s\n[127.0.0.1]:%s %s\n' "$port" "$key_line" "$relay_port" "$key_line" \
  >"$work/known_hosts"
head -c "${size_mb}M" /dev/urandom >"$work/upload.bin"

openssh_put() {
  local through_port="$1"
  local start end
  start=$(date +%s.%N)
  sftp -q -b - -i "$work/client_key" -o UserKnownHostsFile="$work/known_hosts" \
    -o StrictHostKeyChecking=yes -P "$through_port" "$user@127.0.0.1" >/dev/null <<BATCH
put $work/upload.bin openssh.bin
BATCH
  end=$(date +%s.%N)
  echo "$start $end"
}

for line in "loopback $port" "relay ${delay_ms}ms $relay_port"; do
  name="${line% *}"
  through="${line##* }"
  echo "== $name: ${size_mb} MB"
  "$bench" 127.0.0.1 "$through" "$user" "$work/client_key" "$work/known_hosts" \
    "$work/upload.bin" velmorix.bin "$runs"
  times=()
  for ((run = 1; run <= runs; run++)); do
    read -r start end < <(openssh_put "$through")
    seconds=$(echo "$end - $start" | bc -l)
    times+=("$seconds")
    printf 'OpenSSH sftp run %d: %.2f s, %.1f MB/s\n' "$run" "$seconds" \
      "$(echo "$size_mb * 1.048576 / $seconds" | bc -l)"
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  printf 'OpenSSH sftp median: %.2f s, %.1f MB/s\n' "$median" \
    "$(echo "$size_mb * 1.048576 / $median" | bc -l)"
done
