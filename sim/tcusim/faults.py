"""Fault injection for the simulated dispenser: the power unit resetting its
connection (now and then, or right after every handshake), TLS handshakes that
must fail, a controller line delivering noise, cut frames or nothing, the
pseudo-terminal vanishing, the GOOSE interface going down and the log directory
full or unwritable. Every fault is counted and the time from its end to the first
good exchange on the faulted link (report, controller exchange, GOOSE frame, log
line) is measured; the terminal's descriptors and resident memory are compared
before and after the faults that could leak them."""
import ctypes
import errno
import os
import shutil
import statistics
import subprocess
import time


def proc_fds(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def inheritable_fds(pid):
    """Descriptors above 2 that an exec would pass on, each with what it points at."""
    found = []
    try:
        names = sorted(os.listdir("/proc/%d/fd" % pid), key=int)
    except OSError:
        return found
    for n in names:
        if int(n) <= 2:
            continue
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, n)) as f:
                flags = next(int(l.split()[1], 8) for l in f if l.startswith("flags:"))
            target = os.readlink("/proc/%d/fd/%s" % (pid, n))
        except (OSError, StopIteration, ValueError):
            continue  # closed meanwhile
        if not flags & os.O_CLOEXEC:
            found.append("%s -> %s" % (n, target))
    return found


def proc_rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


# ---- a private mount namespace for the log directory faults ----
CLONE_NEWNS = 0x00020000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18


def private_mounts():
    """Moves this process (and the terminal it will start) into a mount namespace of
    its own whose mounts never propagate back: a tmpfs mounted here is invisible to
    the machine and vanishes with the run. Must be called before any thread starts.
    Returns None or the reason it cannot be done."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return "unshare(CLONE_NEWNS): %s" % os.strerror(ctypes.get_errno())
    if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        return "mount --make-rprivate /: %s" % os.strerror(ctypes.get_errno())
    return None


def terminal_queues(port):
    """Send and receive queue (bytes) of the terminal's established connection to
    the power unit's port, from /proc/net/tcp of this namespace."""
    try:
        with open("/proc/net/tcp") as f:
            rows = f.read().split("\n")[1:]
    except OSError:
        return None, None
    for r in rows:
        c = r.split()
        if len(c) > 4 and c[2].endswith(":%04X" % port) and c[3] == "01":
            tx, rx = c[4].split(":")
            return int(tx, 16), int(rx, 16)
    return None, None


def mount_tmpfs(path, size):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(b"tmpfs", path.encode(), b"tmpfs", 0, ("size=%s,mode=0755" % size).encode()) != 0:
        return "mount tmpfs on %s: %s" % (path, os.strerror(ctypes.get_errno()))
    return None


def umount(path):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.umount2(path.encode(), 2)   # MNT_DETACH


class Book:
    """Per kind of fault: how many were injected, the recovery times measured and
    any extra figures (descriptors, memory, attempt rates)."""

    def __init__(self):
        self.kinds = {}
        self.order = []

    def kind(self, kind):
        if kind not in self.kinds:
            self.kinds[kind] = {"injected": 0, "recovery_s": [], "unrecovered": 0, "extra": {}}
            self.order.append(kind)
        return self.kinds[kind]

    def injected(self, kind, n=1):
        self.kind(kind)["injected"] += n

    def recovered(self, kind, seconds):
        self.kind(kind)["recovery_s"].append(round(seconds, 3))

    def unrecovered(self, kind):
        self.kind(kind)["unrecovered"] += 1

    def extra(self, kind, **kw):
        self.kind(kind)["extra"].update(kw)

    def figures(self):
        out = {}
        for k in self.order:
            d = self.kinds[k]
            r = d["recovery_s"]
            out[k] = {"injected": d["injected"], "recovered": len(r), "unrecovered": d["unrecovered"],
                      "recovery_median_s": round(statistics.median(r), 3) if r else None,
                      "recovery_worst_s": max(r) if r else None}
            out[k].update(d["extra"])
        return out

    def lines(self):
        text = []
        for k, f in self.figures().items():
            if f["recovery_median_s"] is None:
                rec = "no recovery measured"
            else:
                rec = "recovery median %.3f s, worst %.3f s (%d measured)" % (
                    f["recovery_median_s"], f["recovery_worst_s"], f["recovered"])
            more = ", ".join("%s %s" % (x, f[x]) for x in f if x not in (
                "injected", "recovered", "unrecovered", "recovery_median_s", "recovery_worst_s"))
            text.append("%-20s %4d injected; %s%s%s" % (
                k, f["injected"], rec, "; %d NOT recovered" % f["unrecovered"] if f["unrecovered"] else "",
                "; " + more if more else ""))
        return text


class Faults:
    def __init__(self, sc):
        self.sc = sc
        self.ev = sc.ev
        self.book = Book()
        # AddressSanitizer keeps freed memory in quarantine and ThreadSanitizer grows
        # its shadow and history: under either, resident memory says nothing about
        # leaks, and only descriptors are held to account.
        try:
            with open(sc.app, "rb") as f:
                image = f.read()
                self.asan = b"__asan_init" in image or b"__tsan_init" in image
        except OSError:
            self.asan = False

    @property
    def pid(self):
        return self.sc.proc.pid

    def snapshot(self, settle=False):
        return (self.settled_fds() if settle else proc_fds(self.pid)), proc_rss_kb(self.pid)

    def settled_fds(self, baseline=None, limit=10.0):
        """The terminal's descriptor count once it has settled. Its threads hold a
        file open for a moment now and then (a GPIO value read, a certificate, a
        log file), and on a loaded machine one reading may catch one. Without a
        baseline: the lowest reading over a second. With one: readings go on until
        the count is back at it (a leak never comes back), at most `limit` s."""
        seen = []

        def back():
            fds = proc_fds(self.pid)
            if fds is not None:
                seen.append(fds)
            return fds is not None and fds == baseline

        self.ev.wait_until(back, 1.0 if baseline is None else limit)
        if not seen:
            return None
        return min(seen) if baseline is None else seen[-1]

    def run(self, params):
        kind = params.get("kind")
        fn = getattr(self, "fault_" + str(kind), None)
        if fn is None:
            raise ValueError("unknown fault kind %r" % kind)
        fn(params)

    # ---- helpers ----
    def wait_report_on(self, conn, limit):
        """Time of the first register report on connection `conn`, or None."""
        pu = self.sc.pu
        if not self.ev.wait_until(lambda: conn in pu.first_report, limit):
            return None
        return pu.first_report[conn]

    def settle_connected(self, limit=10.0):
        """Waits for a connection that carries reports; returns its number or None."""
        pu = self.sc.pu
        ok = self.ev.wait_until(lambda: pu.conn is not None and pu.connections in pu.first_report, limit)
        return pu.connections if ok else None

    def leak_check(self, kind, before, after, rss_slack_kb):
        (fd0, rss0), (fd1, rss1) = before, after
        if fd0 is not None and fd1 != fd0:
            fd1 = self.settled_fds(baseline=fd0)
        self.book.extra(kind, fds_before=fd0, fds_after=fd1, vmrss_kb_before=rss0, vmrss_kb_after=rss1)
        self.ev.log("PU", "%s: terminal descriptors %s -> %s, VmRSS %s -> %s kB" % (kind, fd0, fd1, rss0, rss1))
        if None in (fd0, fd1, rss0, rss1):
            self.ev.fail("%s: cannot read /proc of the terminal" % kind)
            return
        if fd1 != fd0:
            self.ev.fail("%s: the terminal holds %d descriptors after the faults, %d before" % (kind, fd1, fd0))
        if rss1 - rss0 > rss_slack_kb and self.asan:
            self.ev.log("PU", "%s: VmRSS grew by %d kB under a sanitizer: not judged" % (
                kind, rss1 - rss0))
        elif rss1 - rss0 > rss_slack_kb:
            self.ev.fail("%s: the terminal's VmRSS grew by %d kB (more than %d kB)" % (kind, rss1 - rss0, rss_slack_kb))

    def pacing_check(self, kind, attempts, window, max_rate=1.1, min_gap=0.9):
        """Connection attempts seen at the power unit during a fault: the terminal
        must keep trying, at most about one attempt a second."""
        times = [t for t, _ in attempts]
        n = len(times)
        gaps = [b - a for a, b in zip(times, times[1:])]
        # Rate between the first and the last attempt: a window of w seconds holds
        # up to w + 1 attempts a second apart.
        rate = (n - 1) / (times[-1] - times[0]) if n > 1 and times[-1] > times[0] else 0.0
        self.book.extra(kind, attempts=n, attempts_per_s=round(rate, 2),
                        min_attempt_gap_s=round(min(gaps), 3) if gaps else None)
        if n < max(1, int(window) - 2):
            self.ev.fail("%s: %d connection attempts in %.1f s: the terminal stopped retrying" % (kind, n, window))
        if rate > max_rate or (gaps and min(gaps) < min_gap):
            self.ev.fail("%s: %d attempts in %.1f s (%.2f/s, closest %.3f s apart): not paced" % (
                kind, n, window, rate, min(gaps) if gaps else 0))

    # ---- power unit: resets every few seconds ----
    def fault_pu_reset(self, params):
        kind = "pu_reset"
        pu, ev = self.sc.pu, self.ev
        every = float(params.get("every", 3.0))
        duration = float(params.get("for", 60.0))
        limit = float(params.get("recover", 5.0))
        slack = int(params.get("rss_slack_kb", 256))
        self.book.kind(kind)
        if self.settle_connected(limit) is not None:
            time.sleep(0.5)
        before = self.snapshot(settle=True)
        end = time.monotonic() + duration
        last = time.monotonic()
        while time.monotonic() < end and self.sc.app_alive():
            conn = self.settle_connected(limit)
            if conn is None:
                ev.fail("%s: no connection with reports" % kind)
                return
            # The image is served intact on every new connection.
            self.sc.verify_written(quiet=True)
            time.sleep(max(0.0, last + every - time.monotonic()))
            t = pu.reset()
            if t is None:
                continue
            last = t
            self.book.injected(kind)
            first = self.wait_report_on(conn + 1, limit)
            if first is None:
                self.book.unrecovered(kind)
                ev.fail("%s: no register report within %.1f s of reset %d" % (kind, limit, len(pu.resets)))
                continue
            self.book.recovered(kind, first - t)
        self.settle_connected(limit)
        self.sc.verify_written()
        time.sleep(0.5)
        self.leak_check(kind, before, self.snapshot(), slack)

    # ---- power unit: reset right after every handshake ----
    def fault_pu_handshake_reset(self, params):
        kind = "pu_handshake_reset"
        pu, ev = self.sc.pu, self.ev
        count = int(params.get("count", 100))
        slack = int(params.get("rss_slack_kb", 128))
        # Allocator arenas and OpenSSL's one-time tables grow over the first
        # handshakes: memory is compared from the warm state on, reported from the start.
        warm_n = int(params.get("warm_up", max(10, count // 10)))
        warm = None
        if self.settle_connected() is None:
            ev.fail("%s: no connection to start from" % kind)
            return
        time.sleep(1.0)
        before = self.snapshot(settle=True)
        n0 = len(pu.attempts)
        h0 = pu.handshake_resets
        fds_max = before[0]
        pu.reset_after_handshake = True
        t0 = pu.reset()
        ev.log("PU", "%s: every connection is reset right after its handshake, %d times" % (kind, count))
        limit = time.monotonic() + count * 1.6 + 20
        shown = 0
        while pu.handshake_resets - h0 < count and time.monotonic() < limit and self.sc.app_alive():
            time.sleep(0.2)
            fds = proc_fds(self.pid)
            if fds is not None:
                fds_max = max(fds_max, fds)
            done = pu.handshake_resets - h0
            if warm is None and done >= warm_n:
                warm = self.snapshot()
            if done >= shown + max(10, count // 10):
                shown = done
                ev.log("PU", "%s: %d of %d reconnects, descriptors %s, VmRSS %s kB" % (
                    kind, done, count, fds, proc_rss_kb(self.pid)))
        pu.reset_after_handshake = False
        t_end = time.monotonic()
        storm = pu.attempts[n0:]
        done = pu.handshake_resets - h0
        self.book.injected(kind, done)
        if done < count:
            ev.fail("%s: only %d reconnects in %.0f s" % (kind, done, t_end - t0))
        # Per reset: how long until the terminal connected again.
        times = [t for t, _ in storm]
        for a, b in zip([t0] + times, times):
            self.book.recovered(kind, b - a)
        conn = pu.connections + 1
        first = self.wait_report_on(conn, 10.0)
        if first is None:
            ev.fail("%s: no register report within 10 s of the last reset" % kind)
        else:
            self.book.extra(kind, first_report_after_storm_s=round(first - t_end, 3))
        self.pacing_check(kind, storm, t_end - t0)
        time.sleep(1.0)
        after = self.snapshot()
        self.book.extra(kind, fds_max_during=fds_max)
        if warm is not None:
            self.book.extra(kind, vmrss_kb_after_warm_up=warm[1], warm_up_reconnects=warm_n)
            self.leak_check(kind, (before[0], warm[1]), after, slack)
            self.book.extra(kind, vmrss_kb_before=before[1])
        else:
            self.leak_check(kind, before, after, slack)
        self.sc.verify_written()

    # ---- power unit connected and not reading ----
    def fault_pu_stall(self, params):
        """The power unit stops reading with its receive window full, so the
        terminal's link thread is stuck in a send. With `emergency`, the board's
        emergency button is pressed `press_after` seconds into the stall: both guns'
        shutdown requests must reach the GOOSE wire without waiting for the link
        (measured from the board reply carrying 0x7F). The controller's poll gaps
        during the stall are compared with the gaps before it. Then the power unit
        reads again and register reports resume."""
        kind = "pu_stall"
        sc, pu, ev, line = self.sc, self.sc.pu, self.ev, self.sc.line
        duration = float(params.get("for", 4.0))
        press_after = float(params.get("press_after", 1.0))
        limit = float(params.get("recover", 10.0))
        self.book.kind(kind)
        if self.settle_connected(limit) is None:
            ev.fail("%s: no connection to start from" % kind)
            return
        t_before = time.monotonic()
        pu.stalled = True
        # Stuck: the terminal has answers it cannot send and requests it does not read.
        sent = pu.fill_window(lambda: all(terminal_queues(sc.port)))
        if sent is None:
            ev.fail("%s: the connection still takes requests after 10 s: the window never filled" % kind)
            pu.end_stall()
            return
        t0 = time.monotonic()
        self.book.injected(kind)
        tx, rx = terminal_queues(sc.port)
        ev.log("PU", "%s: power unit stopped reading; %d requests sent, window full; the terminal's "
               "socket holds %s bytes unsent and %s bytes unread" % (kind, sent, tx, rx))
        if not tx:
            ev.fail("%s: the terminal has nothing unsent: its link is not stuck in a send" % kind)
        latency = None
        if params.get("emergency", False):
            time.sleep(press_after)
            n0 = len(line.emg_replies)
            line.set_board("emg", 0x7F)
            ok = ev.wait_until(lambda: len(line.emg_replies) > n0 and all(
                len(sc.sub.requests_since(g, line.emg_replies[n0])) > 0 for g in "AB"), limit)
            if not ok:
                ev.fail("%s: emergency stop: no shutdown request on both GOOSE streams within %.0f s" % (
                    kind, limit))
            else:
                t_reply = line.emg_replies[n0]
                firsts = []
                for g in "AB":
                    with sc.sub.lock:
                        got = [(mt, f) for (mt, f) in sc.sub.streams[g].requests if mt >= t_reply]
                    mt, f = got[0]
                    if f["kind"] != "shutdown" or f["data"].get("reason") != 4:
                        ev.fail("%s: gun %s: first request after the emergency reply is %s" % (
                            kind, g, sc.describe(f)))
                    firsts.append(mt)
                latency = max(firsts) - t_reply
                self.book.extra(kind, emergency_to_both_shutdowns_ms=round(1000 * latency, 2))
                ev.log("PU", "%s: emergency reply to both shutdown requests on the wire: %.2f ms" % (
                    kind, 1000 * latency))
        time.sleep(max(0.0, t0 + duration - time.monotonic()))
        t_end = time.monotonic()
        for g in "AB":
            before = [t for t in line.poll_times[g] if t_before - 5.0 <= t < t_before]
            during = [t for t in line.poll_times[g] if t0 <= t <= t_end]
            gaps_b = [b - a for a, b in zip(before, before[1:])]
            gaps_d = [b - a for a, b in zip(during, during[1:])]
            if len(gaps_d) < 2:
                ev.fail("%s: gun %s polled %d times while the power unit stalled" % (kind, g, len(during)))
                continue
            normal = statistics.median(gaps_b) if gaps_b else None
            worst = max(gaps_d)
            self.book.extra(kind, **{"poll_gap_%s_normal_s" % g: round(normal, 3) if normal else None,
                                     "poll_gap_%s_max_stalled_s" % g: round(worst, 3)})
            # A bound against a stuck poller, not a timing requirement.
            if normal and worst > 2 * normal + 0.5:
                ev.fail("%s: gun %s: %.3f s between two polls while the power unit stalled "
                        "(%.3f s normally)" % (kind, g, worst, normal))
        conn = pu.connections
        pu.end_stall()
        ev.log("PU", "%s: power unit reads again after %.1f s" % (kind, t_end - t0))
        first = None
        end = time.monotonic() + limit
        while first is None and time.monotonic() < end:
            with pu.lock:
                recent = [r[0] for r in pu.reports if r[0] >= t_end]
                if recent:
                    first = recent[0]
                elif pu.connections > conn and pu.connections in pu.first_report:
                    first = pu.first_report[pu.connections]
            if first is None:
                time.sleep(0.05)
        if first is None:
            self.book.unrecovered(kind)
            ev.fail("%s: no register report within %.0f s of the power unit reading again" % (kind, limit))
        else:
            self.book.recovered(kind, first - t_end)
        self.book.extra(kind, connections_after=pu.connections - conn)

    # ---- TLS handshakes that fail ----
    def fault_tls(self, params):
        mode = params.get("mode")
        kind = "tls_" + str(mode)
        sc, pu, ev = self.sc, self.sc.pu, self.ev
        if not sc.tls or not getattr(sc, "pki", None):
            raise ValueError("fault tls needs [setup] tls = true")
        duration = float(params.get("for", 6.0))
        limit = float(params.get("recover", 5.0))
        slack = int(params.get("rss_slack_kb", 256))
        pki, etc = sc.pki, sc.etc
        if self.settle_connected() is None:
            ev.fail("%s: no connection to start from" % kind)
            return
        time.sleep(0.5)
        before = self.snapshot(settle=True)
        good = pu.tls
        undo = None
        if mode == "wrong_ca":
            pu.tls = (good[0], os.path.join(pki, "rogue_server.crt"), os.path.join(pki, "rogue_server.key"))
        elif mode == "expired":
            pu.tls = (good[0], os.path.join(pki, "server_expired.crt"), good[2])
        elif mode == "expired_client":
            shutil.copy(os.path.join(pki, "client_expired.crt"), os.path.join(etc, "client.crt"))
            undo = lambda: shutil.copy(os.path.join(pki, "client.crt"), os.path.join(etc, "client.crt"))
        elif mode == "no_client_key":
            os.rename(os.path.join(etc, "client.keyp"), os.path.join(pki, "client.keyp.away"))
            undo = lambda: os.rename(os.path.join(pki, "client.keyp.away"), os.path.join(etc, "client.keyp"))
        else:
            raise ValueError("unknown TLS fault %r" % mode)
        pu.expect_tls_failures = True
        conns = pu.connections
        n0 = len(pu.attempts)
        t0 = pu.reset()
        ev.log("PU", "%s: connection reset; every handshake must now fail" % kind)
        time.sleep(duration)
        t_fix = time.monotonic()
        window = [a for a in pu.attempts[n0:] if a[0] <= t_fix]
        if undo:
            undo()
        pu.tls = good
        ok = [a for a in window if a[1] == "ok"]
        if ok or pu.connections != conns:
            ev.fail("%s: %d handshakes succeeded during the fault" % (kind, len(ok)))
        self.book.injected(kind, len(window))
        self.pacing_check(kind, window, t_fix - (t0 or t_fix - duration))
        reasons = sorted({a[1][:90] for a in window})
        ev.log("PU", "%s: %d attempts refused (%s)" % (kind, len(window), "; ".join(reasons)))
        first = self.wait_report_on(conns + 1, limit + 1.0)
        pu.expect_tls_failures = False
        if first is None:
            self.book.unrecovered(kind)
            ev.fail("%s: no register report within %.1f s of the certificates being put right" % (kind, limit + 1))
            return
        self.book.recovered(kind, first - t_fix)
        time.sleep(1.0)
        self.leak_check(kind, before, self.snapshot(), slack)

    # ---- controller line ----
    def fault_line(self, params):
        mode = params.get("mode")
        kind = "line_" + str(mode)
        sc, line, ev = self.sc, self.sc.line, self.ev
        devices = params.get("devices", ["A", "B", "board"])
        duration = float(params.get("for", 2.0))
        times = int(params.get("times", 3))
        gap = float(params.get("gap", 2.0))
        limit = float(params.get("recover", 5.0))
        replies0 = line.faulty_replies
        for i in range(times):
            ev.log("CTRL", "%s %d of %d on %s for %.1f s" % (kind, i + 1, times, "+".join(devices), duration))
            for d in devices:
                if mode == "silence":
                    sc.set_silent(d, True)
                else:
                    line.set_fault(d, mode)
            self.book.injected(kind)
            time.sleep(duration)
            t_end = time.monotonic()
            for d in devices:
                if mode == "silence":
                    sc.set_silent(d, False)
                else:
                    line.set_fault(d, None)
            if ev.wait_until(lambda: all(line.good[d] > t_end for d in devices), limit):
                self.book.recovered(kind, max(line.good[d] for d in devices) - t_end)
            else:
                self.book.unrecovered(kind)
                ev.fail("%s: %s without a good exchange %.1f s after the fault ended" % (
                    kind, [d for d in devices if line.good[d] <= t_end], limit))
            if i + 1 < times:
                time.sleep(gap)
        more = self.book.kind(kind)["extra"].get("faulty_replies", 0)
        self.book.extra(kind, faulty_replies=more + line.faulty_replies - replies0)

    # ---- the pseudo-terminal vanishing ----
    def fault_pty(self, params):
        kind = "pty_vanish"
        line, ev = self.sc.line, self.ev
        if not line.link:
            raise ValueError("fault pty needs [setup] tty_link = true")
        down = float(params.get("down", 1.0))
        times = int(params.get("times", 3))
        gap = float(params.get("gap", 2.0))
        limit = float(params.get("recover", 5.0))
        for i in range(times):
            line.pty_req = "vanish"
            self.book.injected(kind)
            time.sleep(down)
            line.pty_returned.clear()
            line.pty_req = "return"
            if not line.pty_returned.wait(10):  # the simulator's own thread, maybe descheduled
                ev.fail("%s: the line simulator did not re-create the pseudo-terminal" % kind)
                return
            t_back = time.monotonic()
            devs = ("A", "B", "board")
            if ev.wait_until(lambda: all(line.good[d] > t_back for d in devs), limit):
                self.book.recovered(kind, max(line.good[d] for d in devs) - t_back)
            else:
                self.book.unrecovered(kind)
                ev.fail("%s: %s without a good exchange %.1f s after the pseudo-terminal came back" % (
                    kind, [d for d in devs if line.good[d] <= t_back], limit))
            if i + 1 < times:
                time.sleep(gap)

    # ---- the GOOSE interface down and up ----
    def ip_link(self, state):
        r = subprocess.run(["ip", "link", "set", self.sc.tcu_if, state], capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError("ip link set %s %s: %s" % (self.sc.tcu_if, state, r.stderr.strip()))

    def fault_goose_link(self, params):
        kind = "goose_link_down"
        sc, sub, ev = self.sc, self.sc.sub, self.ev
        down = float(params.get("down", 2.0))
        times = int(params.get("times", 2))
        gap = float(params.get("gap", 3.0))
        limit = float(params.get("recover", 7.0))
        during = params.get("during", {})      # gun -> controller commands sent while down
        for i in range(times):
            st0 = {g: sub.streams[g].st for g in "AB"}
            sub.outage_begin()
            self.ip_link("down")
            self.book.injected(kind)
            ev.log("GOOSE", "%s %d of %d: ip link set %s down for %.1f s" % (kind, i + 1, times, sc.tcu_if, down))
            t_down = time.monotonic()
            cmds = [sc.line.queue(g, text) for g, texts in (during.items() if i == 0 else ()) for text in texts]
            for c in cmds:
                if not c.done.wait(down + 3):
                    ev.fail("%s: controller command %s %s not polled for while GOOSE was down" % (kind, c.gun, c.text))
            time.sleep(max(0.0, t_down + down - time.monotonic()))
            self.ip_link("up")
            t_up = time.monotonic()
            if not ev.wait_until(lambda: all(sub.first_after[g] is not None for g in "AB"), limit):
                self.book.unrecovered(kind)
                ev.fail("%s: no GOOSE frame from gun(s) %s within %.1f s of the link coming up" % (
                    kind, [g for g in "AB" if sub.first_after[g] is None], limit))
            for g in "AB":
                fa = sub.first_after[g]
                if fa is None:
                    continue
                self.book.recovered(kind, fa[0] - t_up)
                new = 1 if (i == 0 and g in during) else 0
                if st0[g] is not None and fa[1] != st0[g] + new:
                    ev.fail("%s: gun %s stNum %d after the outage, %d before it and %d new request(s)" % (
                        kind, g, fa[1], st0[g], new))
            if i + 1 < times:
                time.sleep(gap)

    # ---- the log directory full or unwritable ----
    def log_bytes(self):
        total = 0
        d = self.sc.logfs
        for name in os.listdir(d):
            if name.endswith(".log"):
                try:
                    total += os.path.getsize(os.path.join(d, name))
                except OSError:
                    pass
        return total

    @staticmethod
    def write_until_full(path, fill_byte=b"\0"):
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            for size in (65536, 4096, 512, 1):
                while True:
                    try:
                        os.write(fd, fill_byte * size)
                    except OSError as e:
                        if e.errno != errno.ENOSPC:
                            raise
                        break
        finally:
            os.close(fd)

    def fill(self):
        """Fills the tmpfs to the last byte: a filler file, then the unused end of
        the last page of each log file (newlines), which a full tmpfs still takes."""
        path = os.path.join(self.sc.logfs, "filler")
        self.write_until_full(path)
        for name in os.listdir(self.sc.logfs):
            if name.endswith(".log"):
                self.write_until_full(os.path.join(self.sc.logfs, name), b"\n")
        return path

    def fault_log(self, params):
        mode = params.get("mode")
        kind = "log_" + str(mode)
        sc, ev, line, pu = self.sc, self.ev, self.sc.line, self.sc.pu
        if not getattr(sc, "logfs", None):
            ev.warn("%s skipped: no private mount namespace for a tmpfs log directory (%s)" % (
                kind, getattr(sc, "logfs_error", "not asked for")))
            return
        duration = float(params.get("for", 4.0))
        limit = float(params.get("recover", 15.0))
        logdir = os.path.join(sc.root, "home/root/log")
        # The logger reports its own failures on the console only.
        why = {"full": "No space left on device", "unwritable": "Not a directory"}.get(mode)
        said0 = self.console_text().count(why or "")
        filler = self.fill()
        t0 = time.monotonic()
        ev.log("APP", "%s: log directory tmpfs filled" % kind)
        if mode == "unwritable":
            # Once a write has failed the logger holds no file: the directory is then
            # replaced by a plain file, so every reopen fails, and the space freed.
            time.sleep(1.5)
            tmp = logdir + ".file"
            with open(tmp, "w") as f:
                f.write("not a directory\n")
            os.replace(tmp, logdir)
            os.unlink(filler)
            ev.log("APP", "%s: log directory replaced by a plain file" % kind)
        elif mode != "full":
            raise ValueError("unknown log fault %r" % mode)
        self.book.injected(kind)
        ex0 = ev.counts.get("controller_exchanges", 0)
        rep0 = len(pu.reports_since(t0))
        time.sleep(max(0.0, t0 + duration - time.monotonic()))
        ex = ev.counts.get("controller_exchanges", 0) - ex0
        rep = len(pu.reports_since(t0)) - rep0
        self.book.extra(kind, exchanges_during=ex, reports_during=rep)
        if ex < duration or rep < duration / 2 or not sc.app_alive():
            ev.fail("%s: %d controller exchanges and %d register reports during %.1f s of the fault" % (
                kind, ex, rep, duration))
        if mode == "unwritable":
            tmp = logdir + ".link"
            os.symlink(sc.logfs, tmp)
            os.replace(tmp, logdir)
        else:
            os.unlink(filler)
        size0 = self.log_bytes()
        t_fix = time.monotonic()
        if ev.wait_until(lambda: self.log_bytes() > size0, limit):
            self.book.recovered(kind, time.monotonic() - t_fix)
        else:
            self.book.unrecovered(kind)
            ev.fail("%s: no log line written within %.1f s of the directory being usable again" % (kind, limit))
        if self.console_text().count(why) <= said0:
            ev.fail("%s: the terminal's console shows no new line with %r: the fault did not bite" % (kind, why))

    def console_text(self):
        try:
            with open(os.path.join(self.sc.run_dir, "terminal.stdout"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""
