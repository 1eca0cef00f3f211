#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# in build-fuzz and runs each for the given time, starting from its seed corpus in
# fuzz/corpus/<target>/ (inputs found on the way go to build-fuzz/corpus/<target>/,
# never into the repository). Prints per target the executions run and the coverage
# reached (cov: edges, ft: features); fails when any target crashed, leaked, hung
# or broke an invariant (the input is kept in build-fuzz/artifacts/<target>/).
# Usage: scripts/fuzz.sh [seconds per target, default 60; 0 replays the corpus only] [target ...]
set -uo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
shift || true
bash scripts/deps.sh clang libclang-rt-14-dev || exit 1

dir=build-fuzz
if [ ! -f "$dir/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTCU_FUZZ=ON -DTCU_ASAN=ON -DTCU_BUILD_TESTS=OFF -DTCU_BUILD_BENCH=OFF >/dev/null || exit 1
fi
ninja -C "$dir" -j "${JOBS:-2}" fuzz_all || exit 1

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

# libFuzzer reads -max_total_time=0 as "no limit": 0 here means one pass over the corpus.
if [ "$secs" -gt 0 ] 2>/dev/null; then
    limit=(-max_total_time="$secs")
else
    limit=(-runs=0)
fi

status=0
rows=()
for t in "${targets[@]}"; do
    work=$dir/corpus/$t
    art=$dir/artifacts/$t
    log=$dir/logs/$t.log
    mkdir -p "$work" "$art" "$(dirname "$log")"
    seeds=fuzz/corpus/$t
    [ -d "$seeds" ] || seeds=""
    # detect_leaks: a leak per input would grow for months on the board.
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/fuzz/$t" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$art/" "$work" $seeds >"$log" 2>&1
    rc=$?
    execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1)
    last=$(grep -E '^#[0-9]+.*cov: [0-9]+' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
    ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
    corp=$(grep -oE 'corp: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
    result=ok
    if [ $rc -ne 0 ]; then
        result="FAILED (exit $rc)"
        status=1
        grep -E 'ERROR: |runtime error:|invariant failed|SUMMARY:' "$log" | head -5 | sed 's/^/    /'
        ls "$art" | sed 's/^/    artifact: /'
    fi
    rows+=("$(printf '%-22s %10s execs  cov %6s  ft %6s  corpus %5s  %s' "$t" "${execs:-?}" \
        "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result")")
    echo "${rows[-1]}"
done

echo "=== fuzzing, ${secs} s per target ==="
printf '%s\n' "${rows[@]}"
exit $status
