#!/usr/bin/env bash
# Builds everything and passes every test (installs the Debian packages it misses):
#   1. the host build (preset default, -Werror) and the whole CTest suite: unit
#      tests, the simulated-dispenser scenarios and their fault injection;
#   2. a fuzz smoke run: every libFuzzer target for a few seconds (scripts/fuzz.sh);
#   3. the ARM64 target: programs and a representative set of unit tests built
#      with the cross toolchain, binary checks, install tree, tarball, and those
#      tests under qemu-aarch64 (scripts/cross_build.sh --subset);
#   4. the virtual board: Debian 12's kernel and systemd under qemu judge the programs
#      on real sysfs GPIO (gpio-sim), a real UART, SocketCAN, systemd's stop, restart
#      and watchdog, reboots and the updater's trial (scripts/vboard.sh).
# Usage: scripts/test.sh [preset]   preset: default (the default), asan or tsan
# TCU_TEST_STAGES (default "host fuzz target vboard") picks stages; TCU_FUZZ_SECS (default 5);
# TCU_VBOARD_SCENARIOS picks the virtual board's amd64 scenarios (default: its default list),
# TCU_VBOARD_ARCHS its architectures (default "amd64 arm64"; arm64 runs boot).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
stages=${TCU_TEST_STAGES:-host fuzz target vboard}
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
    vboard)
        for arch in ${TCU_VBOARD_ARCHS:-amd64 arm64}; do
            # shellcheck disable=SC2086
            if [ "$arch" = amd64 ]; then
                bash scripts/vboard.sh ${TCU_VBOARD_SCENARIOS:-}
            else
                bash scripts/vboard.sh --arch "$arch"
            fi
        done
        ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
    esac
done
