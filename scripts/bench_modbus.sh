#!/usr/bin/env bash
# Figures of the power-unit link, one run:
#  - read-holding-registers round trips per second on loopback (10 registers, one
#    request in flight) answered by the terminal's link (app_ZQHW on a host-run tree
#    whose configuration points at the bench master) and by libmodbus's own server
#    code (modbus_receive + modbus_reply) connecting to the same master, and their ratio;
#  - CPU use of app_ZQHW over 20 s with the power unit absent (closed port).
# Usage: scripts/bench_modbus.sh [build-dir] [seconds-per-rtt-run] [cpu-seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
secs=${2:-5}
cpu_secs=${3:-20}
app="$build/app_ZQHW"
[ -x "$app" ] || { echo "no $app: build app_ZQHW first" >&2; exit 1; }

work=$(mktemp -d /tmp/bench_modbus_XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

client="$work/modbus_rtt_client"
g++ -O2 -std=c++20 bench/modbus_rtt_client.cpp -o "$client" -lmodbus

# Starts the master in the background (master_pid) and sets port once it listens.
start_master() {
    local out=$1
    "$client" master "$secs" >"$out" 2>&1 &
    master_pid=$!
    pids+=("$master_pid")
    for _ in $(seq 100); do
        grep -q '^port ' "$out" 2>/dev/null && break
        sleep 0.05
    done
    port=$(awk '/^port /{print $2}' "$out")
}
rate_of() { awk '/^rtt_per_s /{print $2}' "$1"; }

# 1. The terminal's link.
out="$work/master_link.txt"
start_master "$out"
root="$work/root_link"
bash scripts/make_host_root.sh "$root" tcu-absent0 127.0.0.1 "$port" "$root/dev/none" >/dev/null
TCU_ROOT="$root" "$app" >"$work/app_link.txt" 2>&1 &
app_pid=$!
pids+=("$app_pid")
wait "$master_pid" || { echo "link run failed:" >&2; cat "$out" >&2; exit 1; }
kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
link_rate=$(rate_of "$out")

# 2. libmodbus's server code over the same kind of connection.
out="$work/master_libmodbus.txt"
start_master "$out"
"$client" lmserver "$port" >/dev/null 2>&1 &
lm_pid=$!
pids+=("$lm_pid")
wait "$master_pid" || { echo "libmodbus run failed:" >&2; cat "$out" >&2; exit 1; }
kill "$lm_pid" 2>/dev/null || true
wait "$lm_pid" 2>/dev/null || true
lm_rate=$(rate_of "$out")

printf 'read holding registers (10 regs, 1 in flight, loopback, %s s each):\n' "$secs"
printf '  terminal link (app_ZQHW):         %8s round trips/s\n' "$link_rate"
printf '  libmodbus modbus_receive+reply:   %8s round trips/s\n' "$lm_rate"
awk -v a="$link_rate" -v b="$lm_rate" 'BEGIN { printf "  ratio link / libmodbus:           %8.3f (goal >= 1.0)\n", a / b }'

# 3. CPU with the power unit absent: the configured port is closed.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
root="$work/root_absent"
bash scripts/make_host_root.sh "$root" tcu-absent0 127.0.0.1 "$closed" "$root/dev/none" >/dev/null
TCU_ROOT="$root" "$app" >"$work/app_absent.txt" 2>&1 &
app_pid=$!
pids+=("$app_pid")
sleep 2
ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
hz=$(getconf CLK_TCK)
c0=$(ticks); w0=$(date +%s%N)
sleep "$cpu_secs"
c1=$(ticks); w1=$(date +%s%N)
awk -v c="$((c1 - c0))" -v hz="$hz" -v ns="$((w1 - w0))" 'BEGIN {
    s = c / hz; w = ns / 1e9;
    printf "app_ZQHW with the power unit absent: %.2f s CPU over %.1f s (%.2f%% of one core)\n", s, w, 100 * s / w }'
fails=$(grep -c 'connect(127.0.0.1:' "$work/app_absent.txt" || true)
printf '  connection-failure log lines in that time: %s\n' "$fails"
