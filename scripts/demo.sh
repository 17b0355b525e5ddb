#!/usr/bin/env bash
# Installs what is missing and builds. The publish to a local demo FTP server
# follows once the command-line front end and the window program exist.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
echo "Built. The program that publishes does not exist yet: only the tests can be run (scripts/test.sh)."
exit 1
