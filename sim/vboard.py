#!/usr/bin/env python3
"""Scenarios of the virtual board (started by scripts/vboard.sh, which builds the
kernel, the initramfs and the root disk first). Each scenario boots its own guest
under a hard time limit and ends with a verdict line; exit 0 only if all passed."""
import argparse
import ctypes
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tcusim.vboard import BoardScenario  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CHARGE = os.path.join(HERE, "vboard", "charge.toml")
K1, K2 = 405, 401          # gun A's contactor outputs
LINES = (432, 503, 504, 406, 402, 403, 490, 407, 408, 409, 397, 399, 400, 401, 405, 410, 396, 398, 404)
# The outputs' start values once start-up has switched LEDs and contactors off.
# (The gun LEDs follow the guns' modes from the co-processor's first refresh on.)
START = {405: 1, 401: 1, 400: 1, 399: 1, 503: 1, 504: 0}
WATCHDOG_S = 20.0          # app_ZQHW.service WatchdogSec
PING_S = 10.0              # the program's ping interval
# The co-processor worker counts as hung once its heartbeat stood still for its limit
# (src/tc_watch.h, 15 s) after its last turn (1 s cycle); the pings stop then, and the
# abort comes at most WatchdogSec after the last ping, which may be just before. Four
# seconds more for the main thread's tick and systemd's timer under TCG.
STALL_S = 15.0 + 1.0 + 4.0
RESTART_S = 1.0            # app_ZQHW.service RestartSec
BOOT_LIMIT = 120           # boot to READY under TCG, generous


def die_with_parent():
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def bring_up(sc, charge=True):
    """Boot, READY with a status line, the nineteen lines at their start values, the
    simulator's start-up checks, then (charge) gun A brought to charging."""
    ev = sc.ev
    if not sc.wait_agent(90):
        return False
    sc.pu.listen()
    sc.sub.start()
    sc.line.start()
    sc.start_app()
    u = sc.wait_active(BOOT_LIMIT)
    if u is None:
        ev.fail("app_ZQHW.service did not become active (READY) within %d s of the guest's start" % BOOT_LIMIT)
        return False
    sc.figures["boot_to_ready_s"] = round(time.monotonic() - sc.guest.started, 1)
    ev.log("APP", "app_ZQHW.service active, pid %s, status: %s" % (u.get("MainPID"), u.get("StatusText")))
    if not u.get("StatusText"):
        ev.fail("the service shows no status line")
    if not ev.wait_until(lambda: all(sc.agent.exported.get(n) == 1 for n in LINES), 20):
        ev.fail("lines not exported: %s" % [n for n in LINES if sc.agent.exported.get(n) != 1])
    if not ev.wait_until(lambda: all(sc.agent.values.get(n) == v for n, v in START.items()), 20):
        ev.fail("start values at gpio-sim: %s, expected %s" % (
            {n: sc.agent.values.get(n) for n in START}, START))
    sc.startup_checks()
    if not charge or ev.failures:
        return not ev.failures
    import tomllib
    with open(CHARGE, "rb") as f:
        steps = tomllib.load(f)["step"]
    for i, st in enumerate(steps, 1):
        sc.step(i, st)
        if ev.failures or not sc.guest.alive():
            return False
    sc.steps_done = len(steps)
    sc.pu_setup = [a for a in steps[0].get("pu", []) if not a.startswith("limits")]
    return not ev.failures


def opened_after(sc, gms, lines=(K1, K2)):
    """Guest time at which every one of lines read open (1) after gms, or None."""
    last = None
    for n in lines:
        ch = [g for g, v in sc.agent.changes(n, gms) if v == 1]
        if not ch:
            return None
        last = max(last or 0, ch[0])
    return last


def s_boot(sc):
    bring_up(sc)
    if not sc.ev.failures:
        for n in (K1, K2):
            if sc.agent.values.get(n) != 0:
                sc.ev.fail("gun A's contactor %d is not closed at gpio-sim while charging" % n)


def s_stop(sc):
    ev, ag = sc.ev, sc.agent
    if not bring_up(sc):
        return
    rc, before = ag.sh("md5sum /home/root/etc/tcu_config.json")
    pid = sc.main_pid()
    t0 = time.monotonic()
    g0 = ag.guest_ms()
    rc, out = ag.sh("systemctl stop app_ZQHW", 60)
    took = time.monotonic() - t0
    sc.figures["stop_s"] = round(took, 2)
    ev.log("APP", "systemctl stop returned %s after %.2f s" % (rc, took))
    if rc != 0:
        ev.fail("systemctl stop app_ZQHW: status %s %s" % (rc, out))
    shut = [f for f in sc.sub.requests_since("A", t0) if f["kind"] == "shutdown"]
    if not shut:
        ev.fail("no GOOSE shutdown request of gun A on the wire after the stop")
    rc, ps = ag.sh("test -d /proc/%d && echo alive || echo gone" % pid)
    if ps != ["gone"]:
        ev.fail("the program's process %d is still there after the stop" % pid)
    time.sleep(2.0)   # the lines must stay driven, not merely not yet released
    for n in (K1, K2):
        if ag.values.get(n) != 1:
            ev.fail("contactor output %d reads %s at gpio-sim after the stop, expected driven open (1)" % (
                n, ag.values.get(n)))
        if ag.exported.get(n) != 1:
            ev.fail("contactor output %d was released (unexported) by the stop" % n)
    opened = opened_after(sc, g0)
    if opened is not None:
        sc.figures["stop_to_contactors_open_ms"] = opened - g0
    rc, after = ag.sh("md5sum /home/root/etc/tcu_config.json")
    if before != after:
        ev.fail("the configuration file changed on the stop: %s -> %s" % (before, after))
    u = sc.unit()
    if u.get("ActiveState") != "inactive":
        ev.fail("app_ZQHW.service is %s after the stop, expected inactive" % u.get("ActiveState"))
    j = "\n".join(sc.journal())
    if "SIGKILL" in j or "Killing process" in j:
        ev.fail("the journal shows a SIGKILL on the stop")


def s_crash(sc):
    ev, ag = sc.ev, sc.agent
    if not bring_up(sc):
        return
    for sig, name in ((signal.SIGSEGV, "sigsegv"), (signal.SIGKILL, "sigkill")):
        pid = sc.main_pid()
        if ag.values.get(K1) != 0:
            # The restarted program starts with the contactors open: the controller closes them again.
            sc.step(sc.steps_done + 1, {"say": "Controller closes gun A's contactors again",
                                        "send": {"A": ["close_contactors"]},
                                        "expect": {"gpio": {str(K1): 0, str(K2): 0}}})
        t0 = time.monotonic()
        sc.process_gone()
        gsig = ag.kill(int(sig), pid)
        if gsig is None:
            ev.fail("%s could not be sent inside the guest" % sig.name)
            return
        ev.log("APP", "%s sent to app_ZQHW (pid %d) at guest %s ms" % (sig.name, pid, gsig))
        bound = 0.1 if sig == signal.SIGSEGV else RESTART_S + 15.0
        ok = ev.wait_until(lambda: opened_after(sc, gsig) is not None, bound + 30)
        if not ok:
            ev.fail("%s: contactors still closed at gpio-sim %.0f s after the signal" % (sig.name, bound + 30))
        else:
            ms = opened_after(sc, gsig) - gsig
            sc.figures["%s_contactors_closed_ms" % name] = ms
            sc.figures["%s_bound_ms" % name] = int(bound * 1000)
            ev.log("APP", "%s: contactors read open at gpio-sim %d ms after the signal (bound %d ms)" % (
                sig.name, ms, bound * 1000))
            if ms > bound * 1000:
                ev.fail("%s: contactors opened %d ms after the signal, bound %d ms" % (sig.name, ms, bound * 1000))
        u = sc.wait_active(60, since_pid=pid)
        if u is None:
            ev.fail("%s: app_ZQHW was not restarted (active again) within 60 s" % sig.name)
            return
        sc.figures["%s_restart_s" % name] = round(time.monotonic() - t0, 1)
        sc.process_back(sc.pu_setup)
        if not sc.pu.up.wait(20):
            ev.fail("%s: the restarted terminal did not reconnect to the power unit" % sig.name)


def s_watchdog(sc):
    ev, ag = sc.ev, sc.agent
    if not bring_up(sc):
        return
    pid = sc.main_pid()
    # The co-processor worker hangs on a feedback read nobody answers; the other
    # workers and the main thread go on.
    rc, out = ag.sh("mkfifo /run/vb_hang && mount --bind /run/vb_hang /sys/class/gpio/gpio410/value && "
                    "cat /proc/uptime")
    if rc != 0:
        ev.fail("hanging the co-processor worker failed: %s" % out)
        return
    ghang = ag.events[-1][1]
    for _, g, w in reversed(ag.events):
        if w and w[0] == "rc":
            ghang = g
            break
    t0 = time.monotonic()
    ev.log("APP", "feedback 410's value file is now a FIFO nobody writes (guest %d ms)" % ghang)
    limit = STALL_S + WATCHDOG_S
    sc.figures["watchdog_abort_bound_s"] = limit
    ok = False
    end = time.monotonic() + limit + 40
    while time.monotonic() < end and sc.guest.alive():
        if opened_after(sc, ghang) is not None or sc.main_pid() != pid:
            ok = True
            break
        time.sleep(1.0)
    sc.process_gone()
    ag.sh("umount /sys/class/gpio/gpio410/value")
    j = sc.journal()
    wd = [l for l in j if "Watchdog timeout" in l]
    if not wd:
        ev.fail("the journal shows no watchdog timeout after the hang")
    else:
        try:
            gwd = int(float(wd[0].split("]")[0].strip("[ ")) * 1000)
            sc.figures["hang_to_watchdog_abort_s"] = round((gwd - ghang) / 1000.0, 1)
            if gwd - ghang > limit * 1000:
                ev.fail("watchdog abort %.1f s after the hang, bound %.0f s" % ((gwd - ghang) / 1000.0, limit))
        except ValueError:
            ev.warn("journal line not understood: %s" % wd[0])
    if not ok:
        ev.fail("neither the contactors opened nor the program was restarted within %.0f s of the hang" % (limit + 40))
    u = sc.wait_active(60, since_pid=pid)
    if u is None:
        ev.fail("app_ZQHW was not restarted after the watchdog's abort")
    else:
        sc.figures["hang_to_restart_s"] = round(time.monotonic() - t0, 1)
        sc.process_back(sc.pu_setup)
    o = opened_after(sc, ghang)
    if o is not None:
        sc.figures["watchdog_contactors_closed_s"] = round((o - ghang) / 1000.0, 2)
    else:
        ev.fail("contactors never read open after the hang")


def s_can(sc):
    ev, ag = sc.ev, sc.agent
    if not sc.wait_agent(90):
        return
    rc, out = ag.sh("modprobe vcan && ip link add vcan0 type vcan && ip link set vcan0 up && "
                    "/opt/vboard/com_can_test 2>&1", 120)
    with open(os.path.join(sc.run_dir, "com_can_test.out"), "w") as f:
        f.write("\n".join(out) + "\n")
    summary = [l for l in out if l.startswith("[  PASSED  ]") or l.startswith("[  FAILED  ]")
               or "SKIPPED" in l]
    for l in summary:
        ev.log("APP", l)
    if rc != 0:
        ev.fail("com_can_test inside the guest: status %s" % rc)
    if any("SKIPPED" in l for l in out):
        ev.fail("a CAN test was skipped inside the guest")
    if not any("CanKernel.SecondFilterReplacesFirst" in l and "OK" in l for l in out):
        ev.fail("CanKernel.SecondFilterReplacesFirst did not run and pass")
    n = [l for l in out if l.startswith("[  PASSED  ]")]
    if n:
        sc.figures["can_tests"] = n[0]


def installed_version(opts):
    """(a, b, c) of the install tree's program, from its link's target."""
    target = os.readlink(os.path.join(opts.programs, "home/root/bin/app_ZQHW"))
    return tuple(int(x) for x in os.path.basename(target).split("_")[2:5])


def signed_image(sc, program, version):
    out = os.path.join(sc.run_dir, "image_%s.bin" % version.replace(".", "_"))
    import subprocess
    subprocess.run(["bash", os.path.join(HERE, "..", "scripts", "sign_image.sh"),
                    os.path.join(sc.opts.img, "zq_update.key"), program, version, out],
                   check=True, stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        return f.read()


def wait_boot(sc, hellos, timeout):
    """Waits for the guest's agent to greet again: the guest has rebooted."""
    return sc.ev.wait_until(lambda: sc.agent.hellos > hellos, timeout)


def exe_of_main(sc):
    pid = sc.main_pid()
    rc, out = sc.agent.sh("readlink /proc/%d/exe" % pid)
    return out[0] if rc == 0 and out else None


def install(sc, image, version, what):
    """The HMI's version query and offer, up to the reboot the installation ends with.
    The monotonic time the guest went down, or None."""
    ev = sc.ev
    old = sc.hmi.query_version(90)
    v0 = "%d.%d.%d" % installed_version(sc.opts)
    if old != v0:
        ev.fail("the HMI got version %s before the update, expected %s" % (old, v0))
        return None
    hellos = sc.agent.hellos
    t0 = time.monotonic()
    sc.process_gone()   # the installation stops the terminal; the next boot starts a new one
    res = sc.hmi.offer(image, version, 120)
    sc.figures["%s_install_s" % what] = round(time.monotonic() - t0, 1)
    if res != "Success":
        ev.fail("the updater answered the offer of %s with %s" % (version, res))
        return None
    ev.log("APP", "%s installed; waiting for the reboot" % version)
    if not wait_boot(sc, hellos, 150):
        ev.fail("the guest did not reboot within 150 s of the installation")
        return None
    return t0


def s_update(sc):
    ev = sc.ev
    if not bring_up(sc, charge=False):
        return
    a, b, c = installed_version(sc.opts)
    new = "%d.%d.%d" % (a, b, c + 1)
    prog = os.path.realpath(os.path.join(sc.opts.programs, "home/root/bin",
                                         os.path.basename(os.readlink(os.path.join(sc.opts.programs,
                                                                                  "home/root/bin/app_ZQHW")))))
    t0 = install(sc, signed_image(sc, prog, new), new, "update")
    if t0 is None:
        return
    u = sc.wait_active(BOOT_LIMIT)
    if u is None:
        ev.fail("app_ZQHW.service not active after the reboot")
        return
    prev = sc.journal(since="-b -1")
    for line in prev[-4:]:
        ev.log("APP", "previous boot: %s" % line)
    j = "\n".join(prev)
    if not any("app_ZQHW" in l for l in prev):
        ev.fail("the journal of the boot before the update shows nothing of app_ZQHW")
    if "SIGKILL" in j or "core-dump" in j:
        ev.fail("the terminal's stop before the reboot was not orderly:\n%s" % j[-2000:])
    sc.figures["update_install_to_ready_s"] = round(time.monotonic() - t0, 1)
    sc.process_back()
    want = "/home/root/bin/app_ZQHW_%s" % new.replace(".", "_")
    exe = exe_of_main(sc)
    if exe != want:
        ev.fail("the running program is %s, expected the new file %s" % (exe, want))
    t_ready = time.monotonic()
    end = t_ready + sc.opts.trial_wait_ms / 1000.0 + 60
    confirmed = None
    while time.monotonic() < end and sc.guest.alive():
        rc, out = sc.agent.sh("test -e /home/root/etc/zq_update.trial && echo trial || echo none")
        if out == ["none"]:
            confirmed = time.monotonic()
            break
        time.sleep(2.0)
    if confirmed is None:
        ev.fail("the trial was not confirmed")
        return
    sc.figures["update_ready_to_confirmed_s"] = round(confirmed - t_ready, 1)
    ver = sc.hmi.query_version(sc.opts.trial_wait_ms / 1000.0 + 60)
    sc.figures["update_total_s"] = round(time.monotonic() - t0, 1)
    if ver != new:
        ev.fail("the HMI got version %s after the update, expected %s" % (ver, new))
    if exe_of_main(sc) != want:
        ev.fail("after the trial the running program is not %s" % want)


def s_rollback(sc):
    ev = sc.ev
    if not bring_up(sc, charge=False):
        return
    a, b, c = installed_version(sc.opts)
    old = "%d.%d.%d" % (a, b, c)
    bad = "%d.%d.%d" % (a, b, c + 2)
    # A valid program for the machine that exits at once: the guest agent without arguments.
    t0 = install(sc, signed_image(sc, os.path.join(sc.opts.img, "vboard-agent"), bad), bad, "rollback")
    if t0 is None:
        return
    t_boot = time.monotonic()
    hellos = sc.agent.hellos
    rc, out = sc.agent.sh("readlink /home/root/bin/app_ZQHW")
    ev.log("APP", "after the reboot the link names %s" % out)
    window = sc.opts.trial_wait_ms / 1000.0
    if not wait_boot(sc, hellos, window + 150):
        ev.fail("the guest did not reboot into the previous version within %.0f s" % (window + 150))
        return
    sc.figures["rollback_boot_to_reboot_s"] = round(time.monotonic() - t_boot, 1)
    u = sc.wait_active(BOOT_LIMIT)
    if u is None:
        ev.fail("app_ZQHW.service not active after the rollback")
        return
    sc.process_back()
    want = "/home/root/bin/app_ZQHW_%s" % old.replace(".", "_")
    exe = exe_of_main(sc)
    if exe != want:
        ev.fail("after the rollback the running program is %s, expected %s" % (exe, want))
    ver = sc.hmi.query_version(90)
    sc.figures["rollback_total_s"] = round(time.monotonic() - t0, 1)
    if ver != old:
        ev.fail("the HMI got version %s after the rollback, expected %s" % (ver, old))
    rc, out = sc.agent.sh("ls /home/root/bin/")
    ev.log("APP", "/home/root/bin: %s" % " ".join(out))
    if "app_ZQHW_%s" % old.replace(".", "_") not in out:
        ev.fail("the previous version's file is gone after the rollback")


SCENARIOS = {
    # name: (function, the guest's hard time limit in s (about 3 times a run on a busy
    # 2-core machine), whether the guest may reboot)
    "boot": (s_boot, 150, False),
    "stop": (s_stop, 150, False),
    "crash": (s_crash, 180, False),
    "watchdog": (s_watchdog, 240, False),
    "can": (s_can, 120, False),
    "update": (s_update, 360, True),
    "rollback": (s_rollback, 480, True),
}


def main():
    die_with_parent()
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--arch", default="amd64")
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--disk")
    ap.add_argument("--programs", required=True, help="the install tree (stage)")
    ap.add_argument("--build", required=True)
    ap.add_argument("--img", required=True, help="images and the updater's signing key")
    ap.add_argument("--trial-confirm-ms", type=int, default=60000)
    ap.add_argument("--trial-wait-ms", type=int, default=180000)
    ap.add_argument("--run-dir", required=True)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("-v", "--verbose", action="store_true")
    ap.add_argument("scenario", nargs="+")
    o = ap.parse_args()
    results = []
    status = 0
    for name in o.scenario:
        if name not in SCENARIOS:
            print("vboard: unknown scenario %s (known: %s)" % (name, " ".join(SCENARIOS)), file=sys.stderr)
            return 2
    for name in o.scenario:
        fn, limit, reboot = SCENARIOS[name]
        run_dir = os.path.join(o.run_dir, name)
        print("==== vboard %s (%s, time limit %d s)" % (name, o.arch, limit), flush=True)
        sc = BoardScenario(CHARGE, o, run_dir, name, limit, reboot, o.verbose)
        started = time.monotonic()
        try:
            sc.prepare()
            fn(sc)
        except KeyboardInterrupt:
            sc.ev.fail("interrupted")
            sc.guest.stop()
            raise
        except Exception as e:   # a peer's fault is this scenario's failure, not the stage's end
            import traceback
            sc.ev.fail("vboard error: %s\n%s" % (e, traceback.format_exc()))
        if sc.guest.hung:
            sc.ev.fail("scenario %s hung: the guest was stopped at its time limit" % name)
        try:
            sc.shutdown_guest()
        except Exception as e:
            sc.ev.warn("guest shut-down: %s" % e)
        rc = sc.finish(started)
        took = time.monotonic() - started
        results.append(("PASS" if rc == 0 else "FAIL", name, took))
        if rc:
            status = 1
        elif not o.keep:
            for f in ("goose.pcap", "eth1.pcap", "line.pcap", "modbus.pcap"):
                p = os.path.join(run_dir, f)
                if os.path.exists(p) and os.path.getsize(p) > 1 << 20:
                    os.unlink(p)
    print("==== vboard summary (%s)" % o.arch)
    for v, name, took in results:
        print("  %s %-9s %5.0f s" % (v, name, took))
    print("vboard: %s" % ("all %d scenario(s) passed" % len(results) if status == 0 else "FAILED"))
    return status


if __name__ == "__main__":
    sys.exit(main())
