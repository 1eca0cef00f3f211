#!/usr/bin/env python3
"""The real app_ZQHW under a stand-in service manager: a notification listener on an
abstract socket that reads READY, WATCHDOG and STATUS as systemd would, and restarts
the terminal as systemd's Restart=always would. Peers: a pseudo-terminal where the
controller line would be (only the polls are read), a TCP listener where the power
unit would be (connections counted), a host-run tree with fake GPIO.

Two faults, each followed by the listener's restart:
  hang   one contactor feedback value file becomes a named pipe nobody writes, so the
         co-processor's read never returns; the pings must stop, the log must name the
         co-processor worker, the watchdog expires and the restarted terminal polls again
  kill   SIGKILL while running; the restarted terminal polls and reconnects again

Prints the figures: start to READY, the ping interval, block to last ping, SIGKILL to
the first poll and to the power unit's new connection.
Usage: scripts/supervise.py [--app build/app_ZQHW] [--watchdog-s 4] [--check]
  --check  exit 1 when a fault was not handled (used by CTest); bounds are generous"""
import argparse
import os
import pty
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FEEDBACK_K0 = 410  # first contactor feedback line, read by the co-processor worker


class Manager:
    """The notification socket and what arrived on it, with monotonic times."""

    def __init__(self):
        self.name = "@tcu_supervise_%d" % os.getpid()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("\0" + self.name[1:])
        self.lock = threading.Lock()
        self.msgs = []  # (time, text)
        self.stop = False
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        self.sock.settimeout(0.2)
        while not self.stop:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            with self.lock:
                self.msgs.append((time.monotonic(), data.decode("utf-8", "replace")))

    def since(self, t0, prefix):
        with self.lock:
            return [t for t, m in self.msgs if t >= t0 and m.startswith(prefix)]

    def last_status(self):
        with self.lock:
            for _, m in reversed(self.msgs):
                for line in m.split("\n"):
                    if line.startswith("STATUS="):
                        return line[7:]
        return None


class PowerUnit:
    """Accepts the terminal's connections and reads whatever it sends."""

    def __init__(self):
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(4)
        self.port = self.srv.getsockname()[1]
        self.accepts = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        conns = []
        while True:
            r, _, _ = select.select([self.srv] + conns, [], [], 0.2)
            for s in r:
                if s is self.srv:
                    c, _ = s.accept()
                    self.accepts.append(time.monotonic())
                    conns.append(c)
                else:
                    try:
                        data = s.recv(4096)
                    except OSError:
                        data = b""
                    if not data:
                        conns.remove(s)
                        s.close()


class Line:
    """The controller line's far end: records when polls arrive."""

    def __init__(self, link):
        self.master, slave = pty.openpty()
        self.slave_name = os.ttyname(slave)
        self.slave = slave  # kept open so the master never reads EIO between runs
        os.symlink(self.slave_name, link)
        self.polls = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            r, _, _ = select.select([self.master], [], [], 0.2)
            if not r:
                continue
            try:
                data = os.read(self.master, 256)
            except OSError:
                time.sleep(0.05)
                continue
            # A poll of gun A starts with 0x11 and its complement.
            if b"\x11\xee" in data:
                self.polls.append(time.monotonic())


def wait_for(cond, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


class Run:
    def __init__(self, app, watchdog_s):
        self.app = app
        self.period = watchdog_s
        self.dir = tempfile.mkdtemp(prefix="tcu_supervise.")
        self.root = os.path.join(self.dir, "root")
        self.mgr = Manager()
        self.pu = PowerUnit()
        os.makedirs(os.path.join(self.root, "dev"))
        link = os.path.join(self.root, "dev", "ttyAST")
        self.line = Line(link)
        # No such interface: the GOOSE workers turn but nothing leaves the machine.
        subprocess.run(["bash", os.path.join(HERE, "make_host_root.sh"), self.root, "tcu_none0",
                        "127.0.0.1", str(self.pu.port), link], check=True)
        self.proc = None
        self.failures = []
        self.figures = []

    def start(self):
        env = dict(os.environ, TCU_ROOT=self.root, NOTIFY_SOCKET=self.mgr.name,
                   WATCHDOG_USEC=str(int(self.period * 1e6)))
        env.pop("WATCHDOG_PID", None)
        out = open(os.path.join(self.dir, "terminal.stdout"), "ab")
        t = time.monotonic()
        self.proc = subprocess.Popen([self.app], env=env, stdout=out, stderr=subprocess.STDOUT,
                                     cwd=self.dir, start_new_session=True)
        out.close()
        return t

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def log_text(self):
        text = ""
        logdir = os.path.join(self.root, "home/root/log")
        for name in sorted(os.listdir(logdir)):
            with open(os.path.join(logdir, name), "rb") as f:
                text += f.read().decode("utf-8", "replace")
        return text

    def fail(self, text):
        print("FAIL: " + text)
        self.failures.append(text)

    def figure(self, text):
        print("   " + text)
        self.figures.append(text)

    def ready_after(self, t0, what):
        if not wait_for(lambda: self.mgr.since(t0, "READY=1"), 20):
            self.fail("no READY=1 within 20 s of the %s" % what)
            return None
        return self.mgr.since(t0, "READY=1")[0] - t0

    def go(self):
        period = self.period
        print("== start (watchdog period %.1f s, pings expected every %.1f s)" % (period, period / 2))
        t0 = self.start()
        ready = self.ready_after(t0, "start")
        if ready is not None:
            self.figure("process start to READY=1: %.3f s" % ready)
        time.sleep(2 * period)
        pings = self.mgr.since(t0, "WATCHDOG=1")
        if len(pings) < 3:
            self.fail("only %d pings in %.1f s" % (len(pings), 2 * period))
        else:
            gaps = [b - a for a, b in zip(pings, pings[1:])]
            self.figure("ping interval: %.3f s mean, %.3f s longest (%d pings)" % (
                sum(gaps) / len(gaps), max(gaps), len(pings)))
        self.figure("status: %s" % self.mgr.last_status())

        print("== hang: the co-processor's feedback read never returns")
        value = os.path.join(self.root, "sys/class/gpio/gpio%d/value" % FEEDBACK_K0)
        os.unlink(value)
        os.mkfifo(value)
        t_block = time.monotonic()
        # The manager's view: the watchdog expires one period after the last ping.
        limit = 15 + period + 10  # the co-processor's longest wait + one period + margin
        expired = lambda: time.monotonic() - max(self.mgr.since(t0, "WATCHDOG=1") or [t0]) > period
        if not wait_for(lambda: expired() and time.monotonic() - t_block > period, limit):
            self.fail("the pings went on for %.0f s after the co-processor blocked" % limit)
        t_exp = time.monotonic()
        last = max(self.mgr.since(t0, "WATCHDOG=1"))
        self.figure("block to last ping: %.3f s; to watchdog expiry: %.3f s" % (
            last - t_block, t_exp - t_block))
        if "worker co-processor made no progress" not in self.log_text():
            self.fail("no log line names the co-processor worker")
        self.kill()
        os.unlink(value)
        with open(value, "w") as f:
            f.write("1\n")
        t1 = self.start()
        ready = self.ready_after(t1, "restart after the watchdog expired")
        polls = lambda: [t for t in self.line.polls if t > t1]
        if not wait_for(polls, 10):
            self.fail("the restarted terminal does not poll the controller")
        else:
            self.figure("restart to READY=1: %s s, to the first poll: %.3f s" % (
                "%.3f" % ready if ready is not None else "-", polls()[0] - t1))
        if not wait_for(lambda: self.mgr.since(t1, "WATCHDOG=1"), 10):
            self.fail("the restarted terminal does not ping")

        print("== kill: SIGKILL while running")
        time.sleep(1.0)
        n_acc = len(self.pu.accepts)
        t_kill = time.monotonic()
        self.kill()
        self.start()  # Restart=always, without RestartSec's pause
        if not wait_for(lambda: [t for t in self.line.polls if t > t_kill], 10):
            self.fail("no poll within 10 s of the SIGKILL")
        else:
            first = [t for t in self.line.polls if t > t_kill][0]
            self.figure("SIGKILL to the first poll of the new process: %.3f s" % (first - t_kill))
        if not wait_for(lambda: len(self.pu.accepts) > n_acc, 10):
            self.fail("the power unit saw no new connection within 10 s of the SIGKILL")
        else:
            self.figure("SIGKILL to the power unit's new connection: %.3f s" %
                        (self.pu.accepts[n_acc] - t_kill))
        self.kill()

    def close(self, keep):
        self.kill()
        self.mgr.stop = True
        if keep:
            print("run directory kept: %s" % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--app", default=os.path.join(HERE, "..", "build", "app_ZQHW"))
    ap.add_argument("--watchdog-s", type=float, default=4.0)
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    if not os.access(a.app, os.X_OK):
        print("no program at %s (build it first)" % a.app)
        return 2
    run = Run(os.path.abspath(a.app), a.watchdog_s)
    try:
        run.go()
    finally:
        run.close(keep=bool(run.failures))
    print("== %s" % ("all faults handled" if not run.failures else "%d failures" % len(run.failures)))
    return 1 if run.failures and a.check else 0


if __name__ == "__main__":
    sys.exit(main())
