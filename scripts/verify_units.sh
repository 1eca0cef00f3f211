#!/usr/bin/env bash
# Checks the service units of the install tree with systemd-analyze verify, on the
# tree as it is staged (the programs they start must be there and executable).
# Usage: scripts/verify_units.sh BUILD_DIR
# Exit 0: every unit is clean (no message at all); 1: a unit has a fault;
# 77: systemd-analyze is not there or cannot run here (reported, counted as skipped).
set -uo pipefail
build=${1:?usage: verify_units.sh BUILD_DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
# After its pkill the updater waits for the terminal's orderly stop (STOP_WAIT_MS in
# update/update.cpp); that wait must cover the stop time the terminal's unit allows.
stop_s=$(sed -n 's/^TimeoutStopSec=\([0-9][0-9]*\)s\{0,1\}[[:space:]]*$/\1/p' "$src/cmake/systemd/app_ZQHW.service")
wait_ms=$(sed -n 's/^constexpr int STOP_WAIT_MS = \([0-9][0-9]*\);.*/\1/p' "$src/update/update.cpp")
if [ -z "$stop_s" ] || [ -z "$wait_ms" ]; then
    echo "FAIL: no TimeoutStopSec=Ns in app_ZQHW.service or no STOP_WAIT_MS in update/update.cpp"
    exit 1
fi
if [ "$wait_ms" -lt $((stop_s * 1000)) ]; then
    echo "FAIL: zq_update waits $wait_ms ms after pkill, less than app_ZQHW.service's TimeoutStopSec=${stop_s}s"
    exit 1
fi
echo "ok: zq_update waits $wait_ms ms after pkill, app_ZQHW.service stops within ${stop_s} s"
if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze not installed (Debian package systemd)"
    exit 77
fi
root=$(mktemp -d /tmp/tcu_units.XXXXXX)
trap 'rm -rf "$root"' EXIT
if ! cmake --install "$build" --prefix "$root" >/dev/null; then
    echo "FAIL: cmake --install $build"
    exit 1
fi
# verify resolves every dependency inside the root: give it the system's targets.
mkdir -p "$root/lib/systemd/system"
targets=(/lib/systemd/system/*.target)
if [ ! -e "${targets[0]}" ]; then
    echo "SKIP: no systemd targets under /lib/systemd/system to verify against"
    exit 77
fi
cp -a "${targets[@]}" "$root/lib/systemd/system/"
units=("$root"/etc/systemd/system/*.service)
if [ ! -e "${units[0]}" ]; then
    echo "FAIL: the install tree holds no service unit"
    exit 1
fi
status=0
for u in "${units[@]}"; do
    out=$(systemd-analyze verify --man=no --root="$root" "$u" 2>&1)
    rc=$?
    # A unit it cannot check at all (no manager support in this environment) is a
    # skip, not a pass: it says so before anything else.
    if [ $rc -ne 0 ] && grep -q 'Failed to initialize manager\|Operation not permitted' <<<"$out"; then
        echo "SKIP: systemd-analyze cannot run here: $out"
        exit 77
    fi
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        echo "FAIL: $(basename "$u") (exit $rc):"
        echo "$out" | sed "s|$root||g; s/^/   /"
        status=1
    else
        echo "ok: $(basename "$u")"
    fi
done
exit $status
