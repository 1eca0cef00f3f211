#!/usr/bin/env bash
# Runs the whole test suite under AddressSanitizer+UndefinedBehaviorSanitizer
# (preset asan, build-asan) and under ThreadSanitizer (preset tsan, build-tsan).
# Every sanitizer report, from the tests and from the programs they start, is
# written to build-<preset>/san-logs/; the script prints per run the tests
# run, passed and failed, the reports found by kind and place, and the wall time.
# Usage: scripts/sanitize.sh [asan|tsan ...]   (default: asan tsan)
# Exit status: 0 when every run passed with no report, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)
jobs=${JOBS:-2}
status=0
summary=()

for preset in "${presets[@]}"; do
    case "$preset" in
    asan | tsan) ;;
    *) echo "unknown preset: $preset" >&2; exit 2 ;;
    esac
    dir=build-$preset
    logs=$PWD/$dir/san-logs
    start=$(date +%s)
    cmake --preset "$preset" >/dev/null || exit 1
    if ! cmake --build --preset "$preset" -j "$jobs"; then
        echo "$preset: build failed" >&2
        exit 1
    fi
    built=$(date +%s)
    rm -rf "$logs" && mkdir -p "$logs"
    # Reports go to files (one per process) so none is lost in a passing test's
    # output; leaks are reported at exit; halt keeps the first report readable.
    export ASAN_OPTIONS="log_path=$logs/asan:log_exe_name=1:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="log_path=$logs/ubsan:log_exe_name=1:print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="log_path=$logs/lsan:log_exe_name=1"
    export TSAN_OPTIONS="log_path=$logs/tsan:log_exe_name=1:halt_on_error=0:second_deadlock_stack=1"
    out=$dir/sanitize-ctest.log
    ctest --preset "$preset" -j "$jobs" >"$out" 2>&1
    rc=$?
    end=$(date +%s)
    unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS

    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    failed=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    skipped=$(grep -c 'Skipped' "$out" || true)
    reports=0
    echo "=== $preset ==="
    for f in "$logs"/*; do
        [ -e "$f" ] || continue
        # One file per process; a file may hold several reports (TSan, LSan).
        while IFS= read -r head; do
            reports=$((reports + 1))
            kind=$(sed -E 's/.*(ERROR|WARNING): ([A-Za-z]+Sanitizer:? ?[^(]*).*/\2/; s/runtime error:.*/runtime error/' <<<"$head")
            echo "  report: $kind"
            echo "    $head" | cut -c1-200
        done < <(grep -hE '^(==[0-9]+==)?(ERROR|WARNING): [A-Za-z]+Sanitizer|runtime error:' "$f")
        echo "    in: $(basename "$f")"
        # First frame in the project's own code names the place.
        grep -hE '#[0-9]+ .*(/src/|/update/|/ptimer/|/tests/|/sim/)' "$f" | head -3 | sed 's/^/      /'
    done
    [ "$rc" -ne 0 ] && grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)' "$out" | sed 's/^/  failed: /'
    echo "  tests run: ${total:-?}, failed: ${failed:-?}, skipped: $skipped, sanitizer reports: $reports"
    echo "  wall time: build $((built - start)) s, tests $((end - built)) s, total $((end - start)) s"
    echo "  ctest log: $out; reports: $logs"
    summary+=("$preset: ${total:-?} tests, ${failed:-?} failed, $reports reports, tests $((end - built)) s (build $((built - start)) s)")
    { [ "$rc" -ne 0 ] || [ "$reports" -ne 0 ]; } && status=1
done

echo "=== summary ==="
printf '  %s\n' "${summary[@]}"
exit $status
