#!/usr/bin/env bash
# Main job: builds app_ZQHW and starts it on this machine under a host-run tree
# (TCU_ROOT=run/root) with a host configuration. Stops after SECONDS seconds
# (default: runs until Ctrl-C).
# Usage: scripts/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target app_ZQHW zq_update
root=$PWD/run/root
bash scripts/make_host_root.sh "$root"
echo "TCU_ROOT=$root; logs in $root/home/root/log"
if [ $# -gt 0 ]; then
    TCU_ROOT=$root timeout --preserve-status -s INT "$1" build/app_ZQHW || true
else
    exec env TCU_ROOT="$root" build/app_ZQHW
fi
