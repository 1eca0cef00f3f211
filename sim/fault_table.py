#!/usr/bin/env python3
"""Fault figures of a set of simulator runs, one line per kind of fault: faults
injected, recovery median and worst, and the descriptor and memory figures of the
connection faults. Reads <run-dir>/<scenario>/summary.json of the scenarios named
(all of them when none is): scripts/sim.sh calls it after its runs."""
import glob
import json
import os
import statistics
import sys


def main():
    run_dir = sys.argv[1] if len(sys.argv) > 1 else "run/sim"
    names = sys.argv[2:] or ["*"]
    rows = []
    paths = sorted({p for n in names for p in glob.glob(os.path.join(run_dir, n, "summary.json"))})
    for path in paths:
        with open(path) as f:
            figures = json.load(f).get("figures", {})
        for kind, fig in figures.get("faults", {}).items():
            rows.append((figures.get("scenario", "?"), kind, fig))
    if not rows:
        return 0
    print("==== faults")
    print("  %-24s %-20s %8s %12s %12s  %s" % ("scenario", "fault", "injected", "median s", "worst s", "more"))
    for scenario, kind, f in rows:
        more = []
        if "fds_before" in f:
            more.append("fds %s->%s" % (f["fds_before"], f["fds_after"]))
        if "vmrss_kb_before" in f:
            warm = f.get("vmrss_kb_after_warm_up")
            more.append("VmRSS %s%s->%s kB" % (f["vmrss_kb_before"], "(%s warm)" % warm if warm else "",
                                              f["vmrss_kb_after"]))
        if "attempts_per_s" in f:
            more.append("%s attempts %.2f/s" % (f["attempts"], f["attempts_per_s"]))
        if f.get("unrecovered"):
            more.append("%d NOT recovered" % f["unrecovered"])
        med = f.get("recovery_median_s")
        worst = f.get("recovery_worst_s")
        print("  %-24s %-20s %8d %12s %12s  %s" % (
            scenario, kind, f["injected"], "-" if med is None else "%.3f" % med,
            "-" if worst is None else "%.3f" % worst, ", ".join(more)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
