#!/usr/bin/env python3
"""Simulated dispenser: runs app_ZQHW against simulated equipment for one scenario.
Meant to be started inside a network namespace by scripts/sim.sh, which creates the
veth pair named by --tcu-if (the terminal's end) and --pu-if (the power unit's)."""
import argparse
import ctypes
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tcusim.runner import Scenario  # noqa: E402


def die_with_parent(sig):
    """Ask the kernel for `sig` when the parent process ends, so that nothing of a
    run survives its driver (Ctrl-C, a CTest time-out)."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, sig, 0, 0, 0)   # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def stop_on_term(_sig, _frame):
    raise KeyboardInterrupt


def main():
    die_with_parent(signal.SIGTERM)
    signal.signal(signal.SIGTERM, stop_on_term)
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("scenario", help="scenario file (TOML)")
    ap.add_argument("--app", required=True, help="path of the app_ZQHW binary")
    ap.add_argument("--run-dir", required=True, help="where logs, pcap and the host-run tree go")
    ap.add_argument("--tcu-if", default="tcu0")
    ap.add_argument("--pu-if", default="pu0")
    ap.add_argument("--port", type=int, default=1502)
    ap.add_argument("-v", "--verbose", action="store_true", help="print every event, not only changes")
    a = ap.parse_args()
    try:
        scenario = Scenario(a.scenario, a.app, a.run_dir, a.tcu_if, a.pu_if, a.verbose, a.port)
    except (OSError, ValueError) as e:   # tomllib.TOMLDecodeError is a ValueError
        print("sim: cannot read scenario %s: %s" % (a.scenario, e), file=sys.stderr)
        sys.exit(2)
    try:
        sys.exit(scenario.run())
    except KeyboardInterrupt:
        print("sim: interrupted; the terminal was stopped", file=sys.stderr)
        sys.exit(130)


if __name__ == "__main__":
    main()
