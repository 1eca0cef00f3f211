#!/usr/bin/env python3
"""Opens the timeline.html pages of finished scenario runs in headless Chromium (Debian's
package): each page must load without a console error, and each gun's requested and
measured voltage and current curves must be drawn. Exits 77 (skipped) when Chromium is
not installed or a page is missing because its scenario was skipped.

Usage: sim/timeline_check.py RUN_DIR... [--screenshot RUN_DIR PNG]"""
import argparse
import html
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--disable-dev-shm-usage"]


def browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def run(chromium, page, extra, timeout=60):
    with tempfile.TemporaryDirectory(prefix="tcu-chromium-") as profile:
        cmd = [chromium] + FLAGS + ["--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0"] + extra + [
            "file://" + os.path.abspath(page)]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def check_page(chromium, page):
    """Problems found in one page (empty when it is sound)."""
    out = run(chromium, page, ["--dump-dom", "--virtual-time-budget=3000"])
    problems = []
    console = [line for line in out.stderr.splitlines() if ":CONSOLE" in line or "Uncaught" in line]
    problems += ["console: %s" % line.strip() for line in console]
    m = re.search(r'<body[^>]*data-found="([^"]*)"', out.stdout)
    if out.returncode != 0:
        problems.append("chromium exit status %d" % out.returncode)
    if not m:
        problems.append("the page's script did not run (no data-found on <body>)")
        return problems
    found = json.loads(html.unescape(m.group(1)))
    want = json.loads(html.unescape(re.search(r'data-expect="([^"]*)"', out.stdout).group(1)))
    for gun in "AB":
        for curve in ("req-V", "meas-V", "req-I", "meas-I"):
            data = want["guns"][gun]["req" if curve.startswith("req") else "meas"]
            if data and not found[gun][curve] > 0:
                problems.append("gun %s: curve %s not drawn (%d data points)" % (gun, curve, data))
    n_points = out.stdout.count('class="pt ')
    if n_points == 0:
        problems.append("no hoverable points")
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("runs", nargs="*", help="run directories holding timeline.html")
    ap.add_argument("--screenshot", nargs=2, metavar=("RUN_DIR", "PNG"))
    a = ap.parse_args()
    chromium = browser()
    if not chromium:
        print("timeline check: SKIPPED, chromium is not installed (scripts/deps.sh chromium installs it)")
        return 77
    pages = [os.path.join(r, "timeline.html") for r in a.runs]
    missing = [p for p in pages if not os.path.isfile(p)]
    if missing:
        print("timeline check: SKIPPED, no page at %s (was the scenario skipped?)" % ", ".join(missing))
        return 77
    status = 0
    for page in pages:
        problems = check_page(chromium, page)
        for p in problems:
            print("timeline check: %s: %s" % (page, p))
        if problems:
            status = 1
        else:
            print("timeline check: %s renders, both guns' curves present" % page)
    if a.screenshot:
        page = os.path.join(a.screenshot[0], "timeline.html")
        out = run(chromium, page, ["--screenshot=" + os.path.abspath(a.screenshot[1]), "--window-size=1220,1000",
                                   "--hide-scrollbars"])
        if out.returncode != 0 or not os.path.isfile(a.screenshot[1]):
            print("timeline check: no screenshot of %s: %s" % (page, out.stderr[-500:]))
            status = 1
        else:
            print("timeline check: screenshot %s" % a.screenshot[1])
    return status


if __name__ == "__main__":
    sys.exit(main())
