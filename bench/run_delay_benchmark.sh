#!/usr/bin/env bash
# Times VELMORIX's publish over a slow line: a local pyftpdlib server that
# holds back every control reply by DELAY_MS, as a round trip would, serves
# a small generated web site to velmorix-cli (one and four connections),
# lftp's "mirror -R" (one connection and --parallel=4) and rclone's "sync"
# (--transfers 4). Installs lftp, rclone and pyftpdlib when they are
# missing (through sudo when not root), builds velmorix-cli, and prints the
# figures and the goals.
#
#   bench/run_delay_benchmark.sh [runs] [delay_ms]   (default 5 runs, 20 ms)
#
# BUILD_DIR (default build-bench) is the build folder. BASELINE_ONE_FIRST
# and BASELINE_ONE_AGAIN, earlier median wall seconds of VELMORIX with one
# connection (first publish, re-run), add a comparison with them.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-5}"
delay_ms="${2:-20}"
build="${BUILD_DIR:-build-bench}"

. bench/bench_setup.sh
bench_install lftp rclone time python3-pyftpdlib libssl-dev libssh2-1-dev nlohmann-json3-dev \
  cmake ninja-build g++

bench_build_cli "$build"

baselines=()
[ -z "${BASELINE_ONE_FIRST:-}" ] || baselines+=(--baseline-one-first "$BASELINE_ONE_FIRST")
[ -z "${BASELINE_ONE_AGAIN:-}" ] || baselines+=(--baseline-one-again "$BASELINE_ONE_AGAIN")

exec /usr/bin/python3 bench/delay_benchmark.py --cli "$PWD/$build/bin/velmorix-cli" \
  --runs "$runs" --delay-ms "$delay_ms" "${baselines[@]}"
