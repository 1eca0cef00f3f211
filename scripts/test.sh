#!/usr/bin/env bash
# Builds everything and passes every test (installs the Debian packages it misses):
#   1. the host build (preset default, -Werror) and the whole CTest suite: unit
#      tests, the simulated-dispenser scenarios and their fault injection;
#   2. a fuzz smoke run: every libFuzzer target for a few seconds (scripts/fuzz.sh);
#   3. the ARM64 target: programs and a representative set of unit tests built
#      with the cross toolchain, binary checks, install tree, tarball, and those
#      tests under qemu-aarch64 (scripts/cross_build.sh --subset).
# Usage: scripts/test.sh [preset]   preset: default (the default), asan or tsan
# TCU_TEST_STAGES (default "host fuzz target") picks stages; TCU_FUZZ_SECS (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
stages=${TCU_TEST_STAGES:-host fuzz target}
bash scripts/deps.sh
for stage in $stages; do
    case "$stage" in
    host)
        cmake --preset "$preset"
        cmake --build --preset "$preset"
        ctest --preset "$preset"
        ;;
    fuzz) bash scripts/fuzz.sh "${TCU_FUZZ_SECS:-5}" ;;
    target) bash scripts/cross_build.sh --subset ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
    esac
done
