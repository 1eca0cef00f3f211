#!/bin/sh
# Controller link turnaround on a pseudo-terminal: last byte of a controller reply to
# first byte of the terminal's response, median and 99th percentile over 1000
# exchanges each, for command 14 (no work), command 0 with measurements (register
# report over TCP) and command 3 in the charging stage (GOOSE post with HMAC on lo).
# One character at 9600 baud lasts 1.04 ms: the goal is a 99th percentile below it.
#   BUILD_DIR=build-x scripts/turnaround.sh      (default build-turnaround)
#   TURNAROUND_RT=0 scripts/turnaround.sh        (no real-time priority)
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-turnaround}
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
ninja -C "$BUILD_DIR" -j2 ast_turnaround_bench >/dev/null
out=$(mktemp /tmp/turnaround.XXXXXX.json)
trap 'rm -f "$out"' EXIT

# On a shared, loaded host the scheduler decides the tail; SCHED_FIFO (root only)
# shows what the program itself costs.
run=""
if [ "${TURNAROUND_RT:-1}" = 1 ] && [ "$(id -u)" = 0 ] && command -v chrt >/dev/null; then
    run="chrt -f 10"
fi
# The hub prints its register dump and status lines on standard output: discarded.
$run "$BUILD_DIR/bench/ast_turnaround_bench" --benchmark_out="$out" \
    --benchmark_out_format=json >/dev/null 2>&1

echo "turnaround on a pseudo-terminal (${run:-normal priority}), load: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
for b in d["benchmarks"]:
    name = b["name"].split("/")[0].replace("BM_", "")
    if "error_message" in b:
        print(f"  {name:20s} error: {b['error_message']}")
        continue
    extra = ""
    if name != "Cmd14Baseline":
        extra = f"  tcp_report={int(b['tcp_report'])} goose_sent={int(b['goose_sent'])}"
    print(f"  {name:20s} n={int(b['n'])}  median={b['median_us']/1000:.3f} ms  "
          f"p99={b['p99_us']/1000:.3f} ms  max={b['max_us']/1000:.3f} ms{extra}")
PY
