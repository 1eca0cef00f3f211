"""The host side of the virtual board: the simulator's own peers (controller line,
power unit, GOOSE subscriber, the scenario steps and their checks) put against a qemu
guest instead of a process on the host. The guest's agent (vboard/agent.c) is the
board's side of the GPIO lines and reports every change on a UART of its own; it also
runs shell commands inside the guest for the checks."""
import os
import socket
import subprocess
import threading
import time

from .capture import LineCapture, ModbusCapture
from .events import Events
from .faults import Faults
from .goose import Subscriber
from .hmi import Hmi
from .gpio import OUTPUTS, GpioView
from .line import Line
from .powerunit import PowerUnit
from .runner import Scenario

GUEST_MAC = "02:54:43:55:00:01"


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect_unix(path, timeout=20.0):
    end = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class Agent:
    """The guest agent's channel: line changes with the guest's monotonic time, and
    shell commands run inside."""

    def __init__(self, ev, path, log_path):
        self.ev = ev
        self.sock = connect_unix(path)
        self.log = open(log_path, "w", buffering=1)
        self.lock = threading.Lock()
        self.events = []            # (host monotonic, guest ms, words)
        self.values = {}            # line -> value the output drives
        self.exported = {}
        self.hellos = 0
        self.next_id = 0
        self.jobs = {}              # id -> [lines, rc]
        self.listeners = []
        self.quit = False
        self.thread = threading.Thread(target=self.run, name="agent", daemon=True)
        self.thread.start()

    closed = False

    def run(self):
        try:
            self.read_loop()
        finally:
            self.closed = True      # the guest is gone: nobody waits for it any longer
            self.ev.poke()

    def read_loop(self):
        buf = b""
        self.sock.settimeout(0.2)
        while not self.quit:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                self.handle(line.decode("utf-8", "replace").rstrip("\r"))

    def handle(self, line):
        now = time.monotonic()
        self.log.write("%.3f %s\n" % (now, line))
        parts = line.split(" ", 3)
        try:
            gms = int(parts[0])
        except (ValueError, IndexError):
            return      # boot noise before the agent took the line
        words = parts[1:]
        with self.lock:
            self.events.append((now, gms, words))
            kind = words[0] if words else ""
            if kind == "hello":
                self.hellos += 1
            elif kind == "gpio":
                self.values[int(words[1])] = int(words[2])
            elif kind == "exp":
                self.exported[int(words[1])] = int(words[2])
            elif kind == "out":
                rest = line.split(" ", 3)
                jid = int(rest[2])
                if jid in self.jobs:
                    self.jobs[jid][0].append(rest[3] if len(rest) > 3 else "")
            elif kind == "rc":
                jid = int(words[1])
                if jid in self.jobs:
                    self.jobs[jid][1] = int(words[2])
        for fn in self.listeners:
            fn(now, gms, words)
        self.ev.poke()

    def send(self, text):
        self.sock.sendall(text.encode() + b"\n")

    def sh(self, cmd, timeout=30.0):
        """Runs cmd inside the guest: (status, output lines); status None on time-out."""
        with self.lock:
            self.next_id += 1
            jid = self.next_id
            self.jobs[jid] = [[], None]
        try:
            self.send("sh %d %s" % (jid, cmd))
        except OSError:
            pass
        self.ev.wait_until(lambda: self.jobs[jid][1] is not None or self.closed, timeout)
        with self.lock:
            out, rc = self.jobs.pop(jid)
        return rc, out

    def guest_ms(self, timeout=10.0):
        """The guest's monotonic clock now (a round trip through the agent)."""
        n = len(self.events)
        with self.lock:
            self.hellos_before = self.hellos
        try:
            self.send("ping")
        except OSError:
            return None
        self.ev.wait_until(lambda: self.hellos > self.hellos_before or self.closed, timeout)
        with self.lock:
            for _, gms, w in reversed(self.events[n:]):
                if w and w[0] == "hello":
                    return gms
        return None

    def kill(self, sig, pid, timeout=10.0):
        """Sends a signal from inside the guest; the guest time it went, or None."""
        n = len(self.events)
        try:
            self.send("kill %d %d" % (sig, pid))
        except OSError:
            return None
        found = []

        def sent():
            with self.lock:
                found[:] = [e for e in self.events[n:] if e[2] and e[2][0] == "sig"]
            return bool(found)
        self.ev.wait_until(sent, timeout)
        return found[0][1] if found else None

    def changes(self, line, since_gms=0):
        """(guest ms, value) of an output line's changes since a guest time."""
        with self.lock:
            return [(g, int(w[2])) for _, g, w in self.events
                    if w and w[0] == "gpio" and int(w[1]) == line and g >= since_gms]

    def stop(self):
        self.quit = True
        try:
            self.sock.close()
        except OSError:
            pass
        self.thread.join(1)
        self.log.close()


class BoardGpio(GpioView):
    """The simulator's GPIO view (tcusim.gpio.Gpio's interface), fed by the agent."""

    def __init__(self, ev, agent):
        self.ev = ev
        self.agent = agent
        self.lock = threading.Lock()
        self.values = {}
        self.changes = []
        self.stuck = {}
        self.feedback_changes = []
        agent.listeners.append(self.event)

    def event(self, now, gms, words):
        if not words:
            return
        if words[0] == "gpio":
            n, v = int(words[1]), int(words[2])
            with self.lock:
                old = self.values.get(n)
                self.values[n] = v
                self.changes.append((now, n, v))
            if n in OUTPUTS:
                self.ev.log("GPIO", "contactor %s output %d -> %s (gpio-sim, guest %d ms)" % (
                    OUTPUTS[n], n, "closed" if v == 0 else "open", gms), show=old is not None)
        elif words[0] == "fb":
            with self.lock:
                self.feedback_changes.append((now, int(words[1]), int(words[2])))

    def start(self):
        pass

    def stop(self):
        pass


class SocketLine(Line):
    """The controller line on the guest's 16550: qemu's chardev socket instead of a
    pseudo-terminal."""

    def __init__(self, ev, sock_path, **kw):
        self.sock_path = sock_path
        super().__init__(ev, link="/dev/ttyS2", **kw)

    def open_pty(self):
        self.sock = connect_unix(self.sock_path)
        self.master = self.sock.fileno()
        self.slave = None

    def terminal_restarted(self):
        """A new terminal process knows nothing of the old one's exchanges: its polls
        start again from the start values, as after the line came back."""
        with self.lock:
            for g in self.guns.values():
                g.allocated = 3
        self.last_kind = self.prev_kind = None
        self.expect_write = False
        self.ctrl = [2, 2, 2, 2]
        if self.awaiting is not None:
            self.drop_awaiting("the terminal process ended")

    def pty_vanish(self):
        pass

    def pty_return(self):
        pass


class LogServer:
    """The log server: the terminal mirrors every log line as a UDP datagram "HW|..."."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.sock.settimeout(0.2)
        self.file = open(path, "wb")
        self.lock = threading.Lock()
        self.text = ""
        self.quit = False
        self.thread = threading.Thread(target=self.run, name="logserver", daemon=True)
        self.thread.start()

    def run(self):
        while not self.quit:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            self.file.write(data + (b"" if data.endswith(b"\n") else b"\n"))
            with self.lock:
                self.text += data.decode("utf-8", "replace")

    def stop(self):
        self.quit = True
        self.thread.join(1)
        self.file.close()


class Guest:
    """One qemu process: its command line, its console file and its hard time limit."""

    def __init__(self, ev, opts, run_dir, name, limit, reboot=False):
        self.ev = ev
        self.run_dir = run_dir
        self.name = name
        self.limit = limit
        self.agent_sock = os.path.join(run_dir, "agent.sock")
        self.line_sock = os.path.join(run_dir, "line.sock")
        self.pu_port = free_port()
        self.log_port = 0
        self.hmi_port = free_port()
        self.goose_port = free_port(socket.SOCK_DGRAM)
        self.opts = opts
        self.reboot = reboot
        self.proc = None
        self.timer = None
        self.hung = False
        self.started = None

    def command(self):
        o = self.opts
        root = "ram" if o.arch == "arm64" else "disk"
        append = ("console=%s net.ifnames=0 panic=-1 vb.root=%s vb.pu=%d vb.log=%d vb.hmi=%d vb.agent=%s vb.line=%s vb.arch=%s"
                  % ("ttyAMA0" if o.arch == "arm64" else "ttyS0", root, self.pu_port, self.log_port,
                     self.hmi_port, "hvc0" if o.arch == "arm64" else "ttyS1",
                     "hvc1" if o.arch == "arm64" else "ttyS2", o.arch))
        if o.arch == "amd64":
            append += " systemd.show_status=0 loglevel=4 rootwait"
            cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", "768", "-smp", "1"]
        else:
            cmd = ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53", "-accel", "tcg",
                   "-m", "512", "-smp", "1"]
        cmd += ["-nographic", "-nodefaults", "-no-user-config",
                "-kernel", o.kernel, "-initrd", o.initrd, "-append", append,
                "-serial", "file:" + os.path.join(self.run_dir, "console.log")]
        agent = ["-chardev", "socket,id=agent,path=%s,server=on,wait=off" % self.agent_sock]
        line = ["-chardev", "socket,id=line,path=%s,server=on,wait=off" % self.line_sock]
        if o.arch == "amd64":
            cmd += agent + ["-serial", "chardev:agent"] + line + ["-serial", "chardev:line"]
        else:
            cmd += agent + line + ["-device", "virtio-serial-device",
                                   "-device", "virtconsole,chardev=agent",
                                   "-device", "virtconsole,chardev=line"]
        nic = "virtio-net-pci" if o.arch == "amd64" else "virtio-net-device"
        cmd += ["-netdev", "user,id=n0", "-device", "%s,netdev=n0" % nic,
                "-netdev", "socket,id=n1,udp=127.0.0.1:%d,localaddr=127.0.0.1:%d" % (
                    self.goose_port, free_port(socket.SOCK_DGRAM)),
                "-device", "%s,netdev=n1,mac=%s" % (nic, GUEST_MAC),
                "-object", "filter-dump,id=d1,netdev=n1,file=%s" % os.path.join(self.run_dir, "eth1.pcap")]
        if o.disk:
            cmd += ["-drive", "file=%s,if=virtio,format=raw,snapshot=on" % o.disk]
        if not self.reboot:
            cmd += ["-no-reboot"]
        return cmd

    def start(self):
        self.out = open(os.path.join(self.run_dir, "qemu.stderr"), "wb")
        cmd = self.command()
        with open(os.path.join(self.run_dir, "qemu.cmd"), "w") as f:
            f.write(" ".join(cmd) + "\n")
        from .runner import kill_with_parent
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT,
                                     start_new_session=True, preexec_fn=kill_with_parent)
        self.started = time.monotonic()
        self.timer = threading.Timer(self.limit, self.expire)
        self.timer.daemon = True
        self.timer.start()
        self.ev.log("APP", "qemu started (pid %d), time limit %d s" % (self.proc.pid, self.limit))

    def expire(self):
        if self.proc.poll() is None:
            self.hung = True
            self.ev.fail("scenario %s: the guest did not finish within its time limit of %d s; stopped" % (
                self.name, self.limit))
            self.proc.kill()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, grace=0.0):
        if self.timer:
            self.timer.cancel()
        if self.proc is None:
            return
        if grace:
            try:
                self.proc.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.out.close()

    def console(self):
        try:
            with open(os.path.join(self.run_dir, "console.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""


class NotHere:
    """The terminal's process as the host-side checks see it: it runs in the guest, so it
    has no host pid (the checks that read /proc/PID on the host find nothing to judge)."""
    pid = -1
    returncode = None

    def poll(self):
        return None


class BoardScenario(Scenario):
    """A simulator scenario whose terminal runs on the virtual board."""

    def __init__(self, path, opts, run_dir, name, limit, reboot=False, verbose=False):
        super().__init__(path, "/nonexistent", run_dir, "eth1", "eth1", verbose)
        self.name = name
        self.opts = opts
        self.limit = limit
        self.reboot = reboot

    def prepare(self):
        import shutil
        if os.path.isdir(self.run_dir):
            shutil.rmtree(self.run_dir)
        os.makedirs(self.run_dir)
        self.root = os.path.join(self.run_dir, "root")
        os.makedirs(self.root)
        self.etc = self.root
        self.ev = Events(os.path.join(self.run_dir, "events.log"), self.verbose)
        s = self.setup
        self.tls = False
        self.tcu_id_text = "0"
        self.identity = 0
        self.tcu_id = 0
        self.connect_ids = (1, 2)
        self.logs = LogServer(os.path.join(self.run_dir, "terminal.udplog"))
        self.guest = Guest(self.ev, self.opts, self.run_dir, self.name, self.limit, self.reboot)
        self.guest.log_port = self.logs.port
        self.sub = Subscriber(self.ev, "eth1", os.path.join(self.run_dir, "goose.pcap"), self.connect_ids,
                              s.get("schedule_tolerance", 0.5), udp_port=self.guest.goose_port)
        self.hmi = Hmi(self.ev, self.guest.hmi_port)
        self.guest.start()
        self.agent = Agent(self.ev, self.guest.agent_sock, os.path.join(self.run_dir, "agent.log"))
        self.gpio = BoardGpio(self.ev, self.agent)
        self.line = SocketLine(self.ev, self.guest.line_sock, full_speed=s.get("line", "9600") == "full",
                               board_delay=s.get("board_delay", 0.3))
        self.line.resume = s.get("resume", "cycle")
        self.pu = PowerUnit(self.ev, self.guest.pu_port, None)
        self.line_cap = LineCapture(os.path.join(self.run_dir, "line.pcap"))
        self.line.capture = self.line_cap
        self.mb_cap = ModbusCapture(os.path.join(self.run_dir, "modbus.pcap"))
        self.pu.capture = self.mb_cap
        self.step_marks = []
        self.tcu_mac = GUEST_MAC
        self.proc = NotHere()
        self.faults = Faults(self)

    def log_text(self):
        with self.logs.lock:
            return self.logs.text

    def start_app(self):
        self.cpu0 = None
        self.wall0 = time.monotonic()

    def stop_app(self):
        pass

    def app_alive(self):
        if not self.guest.alive():
            if not self.expect_poweroff:
                self.ev.fail("the guest has ended")
            return False
        return True

    expect_poweroff = False

    # ---- the service inside ----
    def unit(self, name="app_ZQHW"):
        rc, out = self.agent.sh("systemctl show -p ActiveState,SubState,MainPID,StatusText,NRestarts,"
                                "ExecMainStartTimestampMonotonic %s" % name, 20)
        d = {}
        for line in out:
            k, _, v = line.partition("=")
            d[k] = v
        return d

    def wait_agent(self, timeout):
        if not self.ev.wait_until(lambda: self.agent.hellos > 0 or not self.guest.alive(), timeout):
            self.ev.fail("the guest agent did not report within %d s of the start (see console.log)" % timeout)
            return False
        if not self.guest.alive():
            self.ev.fail("the guest ended before its agent reported (see console.log)")
            return False
        return True

    def wait_active(self, timeout, since_pid=None):
        """Waits for the service's READY (active) with a main process other than since_pid;
        with the initramfs root (no service manager), for the program's process."""
        end = time.monotonic() + timeout
        while time.monotonic() < end and self.guest.alive():
            if self.opts.arch == "arm64":
                rc, out = self.agent.sh("pidof app_ZQHW")
                if rc == 0 and out and out[0].split()[0] != str(since_pid):
                    return {"ActiveState": "active", "MainPID": out[0].split()[0],
                            "StatusText": "(initramfs root: no service manager)"}
                time.sleep(0.5)
                continue
            u = self.unit()
            if u.get("ActiveState") == "active" and u.get("MainPID", "0") not in ("0", str(since_pid)):
                return u
            time.sleep(0.5)
        return None

    def main_pid(self):
        return int(self.unit().get("MainPID", "0") or 0)

    def journal(self, unit="app_ZQHW", since=""):
        rc, out = self.agent.sh("journalctl -q --no-pager -o short-monotonic -u %s %s" % (unit, since), 30)
        return out

    def process_gone(self):
        """The terminal's process ended (a signal, the watchdog): from here to its successor's
        READY, what the line and power-unit peers saw of an exchange cut short is not the new
        process's fault."""
        self.gone_mark = len(self.ev.failures)
        self.line.terminal_restarted()

    def process_back(self, pu_setup=()):
        """The new process is READY: the power unit finds it connected again and writes the
        GOOSE destination and keys anew (a new process starts from the zero key and the
        default destination, and from stNum 0); the subscriber starts afresh with it."""
        self.pu.up.wait(20)
        from .goose import Stream
        with self.sub.lock:
            self.sub.streams = {"A": Stream("A"), "B": Stream("B")}
            self.sub.keys = {"A": [bytes(48), None], "B": [bytes(48), None]}
            self.sub.retired_key = {"A": None, "B": None}
            self.sub.last_key = {"A": bytes(48), "B": bytes(48)}
            self.sub.dst = [None, None]
            self.sub.retired_dst = None
            # Its first frames went out before READY: the next one seen of each gun is
            # taken as the first after an outage (its sqNum may be past 1, its timing not judged).
            self.sub.outage = {"A": True, "B": True}
            self.sub.first_after = {"A": None, "B": None}
        with self.ev.lock:
            kept = self.ev.failures[:self.gone_mark]
            cut = [f for f in self.ev.failures[self.gone_mark:]
                   if f.split(" ", 1)[1].startswith(("LINE:", "PU: report transaction", "GOOSE"))]
            self.ev.failures = kept + [f for f in self.ev.failures[self.gone_mark:] if f not in cut]
        if cut:
            self.ev.log("APP", "%d line, report and GOOSE complaints between the old process's end and the "
                        "new one's READY set aside (exchanges cut short, GOOSE state of the old process)"
                        % len(cut))
        self.expect_logs = []
        for action in pu_setup:
            self.pu_action(action)

    def shutdown_guest(self):
        self.expect_poweroff = True
        if self.guest.alive():
            self.agent.send("sh 0 systemctl poweroff --force --force")
        self.guest.stop(grace=10)

    def finish(self, started):
        for name in ("line", "sub", "pu", "agent", "logs", "hmi"):
            peer = getattr(self, name, None)
            if peer is None or getattr(peer, "thread", None) is None or not peer.thread.is_alive():
                if name not in ("agent", "logs", "hmi") or peer is None:
                    continue
            try:
                peer.stop()
            except Exception as e:   # a peer that does not stop cleanly must not hide the verdict
                self.ev.warn("stopping the %s peer: %s" % (name, e))
        try:
            self.line_cap.close()
            self.mb_cap.finish()
        except Exception as e:
            self.ev.warn("closing the captures: %s" % e)
        self.guest.stop()
        ev = self.ev
        wall = time.monotonic() - started
        for k, v in self.figures.items():
            print("-- %s: %s = %s" % (self.name, k, v))
        for w in ev.warnings:
            print("   warning: %s" % w)
        for x in ev.failures:
            print("   failed: %s" % x)
        verdict = "PASS" if not ev.failures else "FAIL"
        print("VERDICT %s %s (%.0f s, %d failures, %d warnings) run directory %s" % (
            verdict, self.name, wall, len(ev.failures), len(ev.warnings), self.run_dir))
        ev.close()
        return 0 if not ev.failures else 1
