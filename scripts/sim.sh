#!/usr/bin/env bash
# Simulated dispenser: builds app_ZQHW and runs it, unchanged, against simulated
# equipment (charging controller and board on a pseudo-terminal, power unit over
# Modbus TCP, GOOSE subscriber on a veth pair, fake GPIO) inside a private network
# namespace, one scenario after another. Exits 0 only if every expectation held.
# Needs root, or an unprivileged user namespace (unshare -rn) when run as a user.
#
# Usage: scripts/sim.sh [--app PATH] [--run-dir DIR] [-v] [--skip-unavailable] [SCENARIO...]
#   SCENARIO   a file or a name under sim/scenarios (default: all of them)
#   --app      use this app_ZQHW binary instead of building one
#   --run-dir  where run/<scenario>/ directories go (default: run/sim)
#   -v         print every event, not only changes
#   --skip-unavailable  exit 77 (skipped) when no network namespace can be made
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

app="" run_dir="$top/run/sim" verbose="" skip77="" inside="" scenarios=()
while [ $# -gt 0 ]; do
    case "$1" in
        --app) app=$(realpath "$2"); shift 2 ;;
        --run-dir) run_dir=$(realpath -m "$2"); shift 2 ;;
        -v|--verbose) verbose=-v; shift ;;
        --skip-unavailable) skip77=1; shift ;;
        --inside) inside=1; shift ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        *) scenarios+=("$1"); shift ;;
    esac
done

if [ -z "$inside" ]; then
    if [ -z "$app" ]; then
        bash "$top/scripts/deps.sh"
        cmake --preset default >/dev/null
        cmake --build --preset default --target app_ZQHW
        app="$top/build/app_ZQHW"
    fi
    [ -x "$app" ] || { echo "sim: no app_ZQHW at $app" >&2; exit 2; }
    for tool in python3 ip unshare; do
        command -v $tool >/dev/null || { echo "sim: $tool is missing (scripts/deps.sh installs it)" >&2; exit 2; }
    done
    # A private network namespace of our own: the machine's network is never touched,
    # and the namespace vanishes with the last process in it.
    if [ "$(id -u)" -eq 0 ]; then
        ns=(unshare --net --)
    else
        ns=(unshare --user --map-root-user --net --)
    fi
    if ! "${ns[@]}" ip link add sim_probe0 type veth peer name sim_probe1 >/dev/null 2>&1; then
        echo "sim: cannot create a network namespace with a veth pair (needs root or unprivileged user namespaces)" >&2
        [ -n "$skip77" ] && exit 77
        exit 2
    fi
    args=(--app "$app" --run-dir "$run_dir" --inside)
    [ -n "$verbose" ] && args+=(-v)
    exec "${ns[@]}" bash "$0" "${args[@]}" "${scenarios[@]}"
fi

# ---- inside the private namespace ----
child=""
cleanup() {
    [ -n "$child" ] && kill -TERM "$child" 2>/dev/null && wait "$child" 2>/dev/null
    ip link del tcu0 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo "sim: interrupted" >&2; exit 130' INT TERM

sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 2>/dev/null || true
ip link set lo up
ip link add tcu0 type veth peer name pu0
ip link set tcu0 address 02:54:43:55:00:01
ip link set pu0 address 02:50:55:00:00:01
ip link set pu0 promisc on
ip link set tcu0 up
ip link set pu0 up

if [ ${#scenarios[@]} -eq 0 ]; then
    scenarios=("$top"/sim/scenarios/*.toml)
fi
declare -a results=() names=()
status=0
for s in "${scenarios[@]}"; do
    [ -f "$s" ] || s="$top/sim/scenarios/${s%.toml}.toml"
    name=$(basename "$s" .toml)
    names+=("$name")
    echo "==== $name"
    python3 "$top/sim/dispenser.py" "$s" --app "$app" --run-dir "$run_dir/$name" \
        --tcu-if tcu0 --pu-if pu0 ${verbose} &
    child=$!
    if wait "$child"; then results+=("PASS $name"); else results+=("FAIL $name"); status=1; fi
    child=""
done
python3 "$top/sim/fault_table.py" "$run_dir" "${names[@]}" || true
echo "==== summary"
printf '  %s\n' "${results[@]}"
if [ $status -eq 0 ]; then echo "sim: all ${#scenarios[@]} scenario(s) passed"; else echo "sim: FAILED"; fi
exit $status
