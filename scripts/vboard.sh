#!/usr/bin/env bash
# The virtual board: Debian 12's own kernel and systemd in qemu (TCG), the board's GPIO
# banks on gpio-sim, the controller line on an emulated 16550, the power unit, log
# server and HMI on the host over user networking, GOOSE on a second NIC. The host side
# is the simulator's own peers and checks (sim/); a small agent inside the guest plays
# the board's side of the GPIO lines. Builds what it needs, runs the scenarios, prints
# each one's verdict and time; exits 0 only if all passed. See docs/virtual_board.md.
#
# Usage: scripts/vboard.sh [--arch amd64|arm64] [--keep] [SCENARIO...]
#   SCENARIO  boot stop crash watchdog can update rollback (default: the default list)
#   --arch    arm64 runs the boot scenario on the arm64 kernel from an initramfs root
#   --keep    leave each run's directory even when it passed (always left on failure)
# Cache:  $TCU_VBOARD_CACHE (default ~/.cache/tcu-vboard): kernel, gpio-sim, Debian root
# Build:  $TCU_VBOARD_BUILD (default build-vboard): programs, initramfs, disk image
# Runs:   run/vboard/<arch>/<scenario>/ (console.log, agent.log, events.log, pcaps)
# Limits: each guest its own (sim/vboard.py); the whole run $TCU_VBOARD_LIMIT s (default 1200)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${TCU_VBOARD_CACHE:-$HOME/.cache/tcu-vboard}
build=${TCU_VBOARD_BUILD:-$top/build-vboard}
case "$build" in /*) ;; *) build=$top/$build ;; esac
arch=amd64
keep=""
scenarios=()
default_amd64=(boot stop crash watchdog can update rollback)
default_arm64=(boot)
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=${2:?--arch needs amd64 or arm64}; shift ;;
    --keep) keep=--keep ;;
    -h | --help) sed -n '2,19p' "$0"; exit 0 ;;
    -*) echo "vboard: unknown option $1" >&2; exit 2 ;;
    *) scenarios+=("$1") ;;
    esac
    shift
done
case "$arch" in amd64 | arm64) ;; *) echo "vboard: --arch amd64 or arm64" >&2; exit 2 ;; esac
if [ ${#scenarios[@]} -eq 0 ]; then
    if [ "$arch" = amd64 ]; then scenarios=("${default_amd64[@]}"); else scenarios=("${default_arm64[@]}"); fi
fi

vb_die() { echo "vboard: $*" >&2; exit 1; }
vb_note() { echo "vboard: $*"; }
vb_hash() { cat "$@" | sha256sum | cut -c1-16; }
t_start=$SECONDS
mkdir -p "$cache" "$build"
. "$top/vboard/kernel.sh"
. "$top/vboard/images.sh"

echo "== vboard: dependencies"
vb_deps "$arch"
echo "== vboard: kernel ($arch)"
vb_kernel "$arch"
echo "== vboard: programs ($arch)"
vb_programs "$arch"
echo "== vboard: images ($arch)"
vb_images "$arch"
vb_note "ready in $((SECONDS - t_start)) s"

echo "== vboard: scenarios (${scenarios[*]})"
set +e
# Every guest has its own time limit; this one keeps the whole run within the test
# command's budget even if every guest ran into its own.
limit=${TCU_VBOARD_LIMIT:-1200}
timeout --kill-after=30 "$limit" python3 "$top/sim/vboard.py" --arch "$arch" --kernel "$KIMAGE" --initrd "$VB_INITRD" \
    ${VB_DISK:+--disk "$VB_DISK"} --programs "$VB_STAGE" --build "$VB_BUILD" --img "$build/img-$arch" \
    --trial-confirm-ms "$((VB_TRIAL_CONFIRM_S * 1000))" --trial-wait-ms "$((VB_TRIAL_WINDOW_S * 1000))" \
    --run-dir "$top/run/vboard/$arch" $keep "${scenarios[@]}"
rc=$?
set -e
[ $rc -eq 124 ] && echo "vboard: the scenarios ran past $limit s (TCU_VBOARD_LIMIT) and were stopped" >&2
vb_note "stage time $((SECONDS - t_start)) s"
exit $rc
