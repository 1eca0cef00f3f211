#!/usr/bin/env bash
# Runs app_ZQHW on a host-run tree with every peer absent (no interface, closed
# power-unit port, no serial device) and prints two figures: the time from process
# start until its five workers run (7 threads: main, logger, 5 workers) and the CPU
# it uses over 20 s of idling after that.
# Usage: scripts/idle_cpu.sh [build-dir] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
secs=${2:-20}
app="$build/app_ZQHW"
[ -x "$app" ] || { echo "no $app: build app_ZQHW first" >&2; exit 1; }

root=$(mktemp -d /tmp/tcu_idle_XXXXXX)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT
bash scripts/make_host_root.sh "$root" tcu-absent0 127.0.0.1 1 "$root/dev/none" >/dev/null

t0=$(date +%s%N)
TCU_ROOT="$root" "$app" >"$root/stdout.txt" 2>&1 &
pid=$!
threads=0
while [ "$threads" -lt 7 ]; do
    threads=$(ls "/proc/$pid/task" 2>/dev/null | wc -l)
    if ! kill -0 "$pid" 2>/dev/null; then echo "app_ZQHW ended early" >&2; exit 1; fi
    [ $(( ($(date +%s%N) - t0) / 1000000 )) -lt 30000 ] || { echo "workers not up in 30 s" >&2; exit 1; }
done
t1=$(date +%s%N)
printf 'start-up to five workers running: %d ms (%d threads)\n' $(( (t1 - t0) / 1000000 )) "$threads"

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
c0=$(ticks)
w0=$(date +%s%N)
sleep "$secs"
c1=$(ticks)
w1=$(date +%s%N)
awk -v c="$((c1 - c0))" -v hz="$hz" -v ns="$((w1 - w0))" 'BEGIN {
    s = c / hz; w = ns / 1e9;
    printf "CPU over %.1f s idle: %.2f s (%.2f%% of one core)\n", w, s, 100 * s / w }'
