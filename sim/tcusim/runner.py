"""Runs one scenario: builds the host-run tree, starts the simulated equipment and
the real app_ZQHW, performs the scenario's steps, checks every expectation and
prints the verdict. Must run inside the network namespace that holds the veth pair
(scripts/sim.sh arranges that)."""
import glob
import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import threading
import time
import tomllib

from .capture import LineCapture, ModbusCapture
from .events import Events
from .faults import Faults, inheritable_fds, mount_tmpfs, private_mounts, umount
from .goose import Subscriber, TYPE_NAMES, REASON_NAMES
from .gpio import Gpio, OUTPUTS
from .line import Line, STAGES
from .powerunit import ModbusError, PowerUnit
from .wirecap import WireCapture, order_figures, pairs
from . import dissect, timeline
from .wire import (bytes_regs, double_regs, float_regs, mac_bytes, mac_text, regs_bytes,
                   regs_double, regs_float)

TYPE_VALUES = {v: k for k, v in TYPE_NAMES.items()}
REASON_VALUES = {v: k for k, v in REASON_NAMES.items()}
LIMIT_OFFSETS = {"maxV": 0x00, "maxI": 0x02, "minV": 0x05, "minI": 0x07, "fixedP": 0x09}
LIMIT_LOGS = {"maxV": "maxV", "maxI": "maxI", "minV": "minV", "minI": "minI", "fixedP": "fixedP.KW"}


def parse_reg_key(key):
    """'0x1113:f' -> (0x1113, 'f'); kinds: u (one register), f (float), d (double),
    mac (3 registers), text:N (N characters)."""
    if ":" in key:
        a, kind = key.split(":", 1)
    else:
        a, kind = key, "u"
    return int(a, 0), kind


def reg_count(kind):
    if kind == "u":
        return 1
    if kind == "f":
        return 2
    if kind == "d":
        return 4
    if kind == "mac":
        return 3
    if kind.startswith("text"):
        return (int(kind.split(":")[1]) + 1) // 2
    raise ValueError("register kind %r" % kind)


def reg_value(kind, regs):
    if kind == "u":
        return regs[0]
    if kind == "f":
        return round(regs_float(*regs), 4)
    if kind == "d":
        return round(regs_double(regs), 6)
    if kind == "mac":
        return mac_text(regs_bytes(regs))
    return regs_bytes(regs)[:int(kind.split(":")[1])].decode("latin-1")


def same(kind, got, want):
    if got is None:
        return False
    if kind in ("f", "d"):
        return abs(got - float(want)) < 1e-3
    if kind == "mac":
        return got == mac_text(mac_bytes(want))
    return got == want


def kill_with_parent():
    """In the terminal's child process before exec: SIGKILL when the simulator ends."""
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGKILL, 0, 0, 0)


def interface_mac(ifname):
    """Hardware address by SIOCGIFHWADDR (/sys shows the host's interfaces inside a
    namespace made by unshare without a fresh sysfs mount)."""
    import fcntl
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        info = fcntl.ioctl(s.fileno(), 0x8927, struct.pack("256s", ifname[:15].encode()))
    return mac_text(info[18:24])


class Scenario:
    def __init__(self, path, app, run_dir, tcu_if, pu_if, verbose=False, port=1502):
        with open(path, "rb") as f:
            self.doc = tomllib.load(f)
        self.name = os.path.splitext(os.path.basename(path))[0]
        self.app = os.path.abspath(app)
        self.run_dir = os.path.abspath(run_dir)
        self.tcu_if = tcu_if
        self.pu_if = pu_if
        self.verbose = verbose
        self.port = port
        self.setup = self.doc.get("setup", {})
        self.proc = None
        self.stop_sent = None       # monotonic time a scenario step signalled the terminal to stop
        self.figures = {}
        self.logfs = None
        self.pki = None

    # ---- preparation ----
    def prepare(self):
        if os.path.isdir(self.run_dir):
            shutil.rmtree(self.run_dir)
        os.makedirs(self.run_dir)
        self.root = os.path.join(self.run_dir, "root")
        etc = os.path.join(self.root, "home/root/etc")
        self.etc = etc
        for d in (etc, os.path.join(self.root, "home/root/log"), os.path.join(self.root, "home/root/bin")):
            os.makedirs(d)
        self.ev = Events(os.path.join(self.run_dir, "events.log"), self.verbose)
        s = self.setup
        if s.get("log_fs", False):
            self.prepare_logfs()
        self.tls = bool(s.get("tls", False))
        self.tcu_id_text = str(s.get("tcu_id", "0"))
        self.identity = int(s.get("identity", 0))
        tcu_id = int(self.tcu_id_text)
        if tcu_id == -1:
            tcu_id = self.identity
        self.tcu_id = tcu_id
        self.connect_ids = ((tcu_id * 2 + 1) & 0xFFFF, (tcu_id * 2 + 2) & 0xFFFF)
        self.gpio = Gpio(self.ev, self.root, self.identity, s.get("relay_delay", 0.05))
        self.line = Line(self.ev, s.get("line", "9600") == "full", board_delay=s.get("board_delay", 0.3),
                         link=os.path.join(self.run_dir, "ttyAST") if s.get("tty_link", False) else None)
        self.line.resume = s.get("resume", "cycle")
        tls_files = None
        if self.tls:
            tls_files = self.make_certs(etc)
        self.pu = PowerUnit(self.ev, self.port, tls_files, rcvbuf=s.get("pu_rcvbuf"))
        # line.pcap and modbus.pcap beside goose.pcap, read back by the dissector check.
        self.line_cap = LineCapture(os.path.join(self.run_dir, "line.pcap"))
        self.line.capture = self.line_cap
        self.mb_cap = ModbusCapture(os.path.join(self.run_dir, "modbus.pcap"))
        self.pu.capture = self.mb_cap
        self.step_marks = []        # (monotonic time, step number, title), for the timeline
        self.tcu_mac = interface_mac(self.tcu_if)
        self.sub = Subscriber(self.ev, self.pu_if, os.path.join(self.run_dir, "goose.pcap"),
                              self.connect_ids, s.get("schedule_tolerance", 0.5))
        # The Modbus stream and the GOOSE frames as the terminal put them on the wire,
        # in one capture: what the order expectations are judged on.
        self.wire = WireCapture(self.ev, os.path.join(self.run_dir, "wire.pcap"), self.port,
                                self.connect_ids, reports=not self.tls)
        self.wire_drops = 0
        config = {
            "tcu_id": self.tcu_id_text, "enable_modbus_hw": "1", "enable_hmi": "0",
            "enable_ocpp": "0", "ast_tty": self.line.path, "ifname": self.tcu_if,
            "zqlog_ip": "127.0.0.1", "zqlog_port": "5140",
            "modbus_hw": {"serverip": "127.0.0.1", "port": str(self.port),
                          "enable_ssl": "1" if self.tls else "0",
                          "maxI_GUNA": str(s.get("maxI_GUNA", 250)),
                          "maxI_GUNB": str(s.get("maxI_GUNB", 250))}}
        with open(os.path.join(etc, "tcu_config.json"), "w") as f:
            json.dump(config, f, indent="\t")
        self.faults = Faults(self)

    def prepare_logfs(self):
        """The log directory on a small tmpfs of its own (a private mount namespace,
        so the machine never sees it), reached through a symbolic link that a fault
        can replace by a plain file."""
        err = private_mounts()
        logfs = os.path.join(self.run_dir, "logfs")
        os.makedirs(logfs)
        if err is None:
            err = mount_tmpfs(logfs, self.setup.get("log_fs_size", "2m"))
        if err is not None:
            self.logfs_error = err
            self.ev.warn("log directory stays on disk: %s" % err)
            return
        logdir = os.path.join(self.root, "home/root/log")
        os.rmdir(logdir)
        os.symlink(logfs, logdir)
        self.logfs = logfs

    def keep_logfs(self):
        """The tmpfs vanishes with the run: its log files are copied to the run
        directory's usual place first."""
        if not self.logfs:
            return
        logdir = os.path.join(self.root, "home/root/log")
        if os.path.lexists(logdir) and not os.path.isdir(logdir) or os.path.islink(logdir):
            os.unlink(logdir)
        os.makedirs(logdir, exist_ok=True)
        for name in os.listdir(self.logfs):
            if name != "filler":
                shutil.copy2(os.path.join(self.logfs, name), logdir)
        umount(self.logfs)
        self.logfs = None

    def make_certs(self, etc):
        d = os.path.join(self.run_dir, "pki")
        os.makedirs(d)

        def ossl(*args):
            subprocess.run(("openssl",) + args, cwd=d, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ec = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
        ossl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
             "-subj", "/CN=sim power unit CA")
        for who, cn in (("server", "127.0.0.1"), ("client", "tcu-terminal")):
            ossl("req", *ec, "-keyout", who + ".key", "-out", who + ".csr", "-subj", "/CN=" + cn)
            ossl("x509", "-req", "-in", who + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", who + ".crt", "-days", "2")
        if self.setup.get("tls_faults", False):
            # Certificates for the handshakes that must fail: a power unit whose
            # certificate comes from another CA, and expired ones on both sides.
            ossl("req", "-x509", *ec, "-keyout", "rogue_ca.key", "-out", "rogue_ca.crt", "-days", "2",
                 "-subj", "/CN=rogue CA")
            ossl("req", *ec, "-keyout", "rogue_server.key", "-out", "rogue_server.csr", "-subj", "/CN=127.0.0.1")
            ossl("x509", "-req", "-in", "rogue_server.csr", "-CA", "rogue_ca.crt", "-CAkey", "rogue_ca.key",
                 "-CAcreateserial", "-out", "rogue_server.crt", "-days", "2")
            with open(os.path.join(d, "ca.cnf"), "w") as f:
                f.write("[ca]\ndefault_ca = sim\n[sim]\ndatabase = index.txt\nnew_certs_dir = .\n"
                        "serial = serial\ndefault_md = sha256\npolicy = pol\nunique_subject = no\n"
                        "[pol]\ncommonName = supplied\n")
            open(os.path.join(d, "index.txt"), "w").close()
            with open(os.path.join(d, "serial"), "w") as f:
                f.write("1000\n")
            for who in ("server", "client"):
                ossl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.crt", "-keyfile", "ca.key",
                     "-in", who + ".csr", "-out", who + "_expired.crt", "-notext",
                     "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")
        self.pki = d
        shutil.copy(os.path.join(d, "ca.crt"), os.path.join(etc, "ca.crt"))
        shutil.copy(os.path.join(d, "client.crt"), os.path.join(etc, "client.crt"))
        shutil.copy(os.path.join(d, "client.key"), os.path.join(etc, "client.keyp"))
        return (os.path.join(d, "ca.crt"), os.path.join(d, "server.crt"), os.path.join(d, "server.key"))

    # ---- the terminal process ----
    def start_app(self):
        env = dict(os.environ, TCU_ROOT=self.root)
        self.app_out = open(os.path.join(self.run_dir, "terminal.stdout"), "wb")
        self.proc = subprocess.Popen([self.app], env=env, cwd=self.run_dir, stdout=self.app_out,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=kill_with_parent)
        self.cpu0 = self.cpu_ticks()
        self.wall0 = time.monotonic()
        self.ev.log("APP", "app_ZQHW started, pid %d, TCU_ROOT=%s" % (self.proc.pid, self.root))

    def cpu_ticks(self):
        try:
            with open("/proc/%d/stat" % self.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            # utime + stime, plus cutime + cstime: the shells started for GPIO writes
            return int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])
        except (OSError, IndexError, ValueError):
            return None

    def stop_app(self):
        if self.proc is None:
            return
        ticks = self.cpu_ticks()
        wall = time.monotonic() - self.wall0
        if ticks is None and self.stop_sent is not None:
            ticks, wall = self.cpu_at_stop, self.stop_sent - self.wall0
        if ticks is not None and self.cpu0 is not None:
            cpu = (ticks - self.cpu0) / os.sysconf("SC_CLK_TCK")
            self.figures["terminal_cpu_s"] = round(cpu, 2)
            self.figures["terminal_cpu_percent"] = round(100 * cpu / wall, 1)
        self.figures["terminal_wall_s"] = round(wall, 1)
        if self.proc.poll() is not None:
            if self.stop_sent is None:
                self.ev.fail("app_ZQHW exited during the run with status %s" % self.proc.returncode)
        elif self.stop_sent is not None:
            self.ev.fail("app_ZQHW was told to stop and is still running")
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        else:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.app_out.close()

    def app_alive(self):
        if self.proc.poll() is not None:
            if self.stop_sent is not None:
                return False
            self.ev.fail("app_ZQHW has exited with status %s" % self.proc.returncode)
            return False
        return True

    # ---- log files ----
    def log_text(self):
        text = ""
        for p in sorted(glob.glob(os.path.join(self.root, "home/root/log/*.log"))):
            with open(p, "rb") as f:
                text += f.read().decode("utf-8", "replace")
        return text

    # ---- start-up ----
    def startup_checks(self):
        ev = self.ev
        ev.log("STEP", "start-up: connection, thread-start reports, start-up image, first GOOSE frames")
        # Bounds against hanging on a loaded machine, not timing requirements.
        if not self.pu.up.wait(20):
            ev.fail("the terminal did not connect to the power unit within 20 s")
            return
        if self.tls and self.pu.peer_cn != "tcu-terminal":
            ev.fail("TLS client certificate CN %r, expected the terminal's" % self.pu.peer_cn)
        mac = mac_bytes(self.tcu_mac)
        want = [(0x0000, [2, 0x0080, 0x0100]), (0x114D, bytes_regs(mac)), (0x1D4D, bytes_regs(mac))]
        got = lambda: [(a, v) for (_, a, v) in self.pu.reports_since(0) if a in (0x0000, 0x114D, 0x1D4D)]
        ev.wait_until(lambda: len(got()) >= 3, 10)
        if got()[:3] != want:
            ev.fail("thread-start reports %s, expected %s" % (
                [(hex(a), v) for a, v in got()[:3]], [(hex(a), v) for a, v in want]))
        ident = ("TC20241120-ASTZQ%2d" % self.tcu_id)[:18]
        image = {"0x0000": 2, "0x0001": 0x0080, "0x0002": 0x0100, "0x0004": 0x4142,
                 "0x0013:text:10": "SW20241128", "0x1015": 2, "0x1016:text:18": ident,
                 "0x110E": self.connect_ids[0], "0x1D0E": self.connect_ids[1],
                 "0x212F": 1, "0x2D2F": 1, "0x114D:mac": self.tcu_mac, "0x1D4D:mac": self.tcu_mac,
                 "0x110B": 0, "0x110D": 0, "0x1D0B": 0, "0x1D0D": 0, "0x1104": 4, "0x1D04": 4,
                 "0x2111:mac": "00:00:00:00:00:00", "0x2115": 0, "0x1024": 0}
        self.check_regs(image, 0)
        for pdu, what in ((struct.pack(">BHH", 3, 0x1D80, 1), "read of 0x1D80"),
                          (struct.pack(">BHH", 6, 0x0001, 5), "write of 0x0001"),
                          (struct.pack(">BHH", 3, 0x0FFF, 2), "read of 0x0FFF-0x1000")):
            try:
                code = self.pu.exception_of(pdu)
            except ModbusError as e:
                ev.fail("%s: %s" % (what, e))
                continue
            if code != 2:
                ev.fail("%s answered with %s, expected exception 2" % (what, code))
        for gun in "AB":
            ok = ev.wait_until(lambda: self.sub.streams[gun].st is not None, 10)
            if not ok:
                ev.fail("no GOOSE frame from gun %s within 10 s of start-up" % gun)
                continue
            f = self.sub.streams[gun].requests[0][1]
            d = f["data"]
            if (f["kind"], f["stNum"], d["type"], d["mode"], d["V"], d["I"]) != ("power", 0, 1, 2, 1000.0, 100.0):
                ev.fail("gun %s start-up GOOSE frame: %s st %d %s" % (gun, f["kind"], f["stNum"], d))
        # Every link is open now. The board I/O shells the terminal starts must not
        # inherit its sockets, its lines or its log file.
        leaked = inheritable_fds(self.proc.pid)
        if leaked:
            ev.fail("descriptors an exec would pass on: %s" % "; ".join(leaked))

    # ---- register checks ----
    def read_reg(self, key):
        addr, kind = parse_reg_key(key)
        return reg_value(kind, self.pu.read_regs(addr, reg_count(kind)))

    def check_regs(self, regs, within):
        """Reads each register until it holds the wanted value or the time runs out."""
        end = time.monotonic() + within
        for key, want in regs.items():
            kind = parse_reg_key(key)[1]
            while True:
                try:
                    got = self.read_reg(key)
                except ModbusError as e:
                    got = "(%s)" % e
                if same(kind, got, want) or time.monotonic() >= end:
                    break
                time.sleep(0.1)
            if not same(kind, got, want):
                self.ev.fail("register %s reads %r, expected %r" % (key, got, want))

    def report_seen(self, since, key, want):
        addr, kind = parse_reg_key(key)
        n = reg_count(kind)
        for _, a, vals in self.pu.reports_since(since):
            if a <= addr and addr + n <= a + len(vals):
                if same(kind, reg_value(kind, vals[addr - a:addr - a + n]), want):
                    return True
        return False

    # ---- power unit actions ----
    def key_bytes(self, params):
        if params.startswith("seed="):
            return hashlib.sha384(params[5:].encode()).digest()
        if params == "zero":
            return bytes(48)
        k = bytes.fromhex(params)
        if len(k) != 48:
            raise ValueError("a key has 48 bytes")
        return k

    def pu_action(self, text):
        ev, pu = self.ev, self.pu
        p = text.split()
        op = p[0]
        try:
            if op == "mac":
                gun, mac = p[1], mac_bytes(p[2])
                base = 0x2111 if gun == "A" else 0x2D11
                self.sub.dst_pending(mac)
                pu.write_multiple(base, bytes_regs(mac))
                self.sub.dst_confirmed()
                ev.log("PU", "wrote GOOSE destination %s into gun %s's registers 0x%04X-0x%04X" %
                       (mac_text(mac), gun, base, base + 2))
            elif op == "key":
                gun, key = p[1], self.key_bytes(p[2])
                via = p[3] if len(p) > 3 else "multiple"
                base = 0x2115 if gun == "A" else 0x2D15
                regs = bytes_regs(key)
                if via == "single":
                    for i, v in enumerate(regs):
                        pu.write_single(base + i, v)
                    self.sub.key_pending(gun, key)
                    pu.write_single(base + 0x19, 1)     # trigger register 0x212E / 0x2D2E
                else:
                    self.sub.key_pending(gun, key)
                    pu.write_multiple(base, regs)
                self.sub.key_confirmed(gun)
                ev.log("PU", "wrote gun %s GOOSE key %s... with %s" % (
                    gun, key[:6].hex(), "24 single writes and the trigger 0x%04X" % (base + 0x19)
                    if via == "single" else "one write of 0x%04X-0x%04X" % (base, base + 23)))
            elif op == "limits":
                gun = p[1]
                base = 0x2100 if gun == "A" else 0x2D00
                for item in p[2:]:
                    name, val = item.split("=")
                    pu.write_multiple(base + LIMIT_OFFSETS[name], list(float_regs(float(val))))
                    self.expect_logs.append("--GUN%s.%s:%f" % (gun, LIMIT_LOGS[name], float(val)))
                ev.log("PU", "wrote gun %s limits %s" % (gun, " ".join(p[2:])))
            elif op == "write":
                addr = int(p[1], 0)
                vals = [int(v, 0) for v in p[2:]]
                pu.write_multiple(addr, vals)
            elif op == "restart":
                pu.restart(float(p[1]) if len(p) > 1 else 1.0)
                if not pu.up.wait(10):
                    ev.fail("the terminal did not reconnect within 10 s of the power unit's restart")
            elif op == "drop":
                pu.stop()
                pu.listen()
                if not pu.up.wait(10):
                    ev.fail("the terminal did not reconnect within 10 s")
            elif op == "verify_written":
                self.verify_written()
            else:
                raise ValueError("unknown power-unit action %r" % text)
        except ModbusError as e:
            ev.fail("power unit: %s: %s" % (text, e))

    def verify_written(self, quiet=False):
        """Every register this power unit ever wrote still holds its value."""
        written = dict(self.pu.written)
        addrs = sorted(written)
        lost = []
        i = 0
        while i < len(addrs):
            j = i
            while j + 1 < len(addrs) and addrs[j + 1] == addrs[j] + 1 and j - i < 100:
                j += 1
            try:
                vals = self.pu.read_regs(addrs[i], j - i + 1)
            except ModbusError as e:
                self.ev.fail("read-back of 0x%04X: %s" % (addrs[i], e))
                return
            for k, v in enumerate(vals):
                if v != written[addrs[i] + k]:
                    lost.append("0x%04X %d (wrote %d)" % (addrs[i] + k, v, written[addrs[i] + k]))
            i = j + 1
        if lost:
            self.ev.fail("registers lost: %s" % ", ".join(lost))
        else:
            self.ev.log("PU", "all %d registers written so far read back intact" % len(addrs), show=not quiet)

    # ---- steps ----
    def apply_status(self, gun, st):
        g = self.line.gun(gun)
        with self.line.lock:
            for k, v in st.items():
                if k == "stage":
                    g.stage = STAGES[v] if isinstance(v, str) else int(v)
                elif k == "type":
                    g.type = int(v)
                elif k == "current":
                    g.currI = round(float(v) * 10)
                elif k == "voltage":
                    g.currV = round(float(v) * 10)
                elif k == "max_current":
                    g.maxI = round(float(v) * 10)
                elif k == "energy":
                    g.totalE = int(v)
                elif k == "session_energy":
                    g.currE = int(v)
                else:
                    raise ValueError("unknown status field %r" % k)
            g.status_version += 1

    def apply_board(self, b):
        for k, v in b.items():
            if k == "emergency":
                self.line.set_board("emg", 0x7F if v is True else (0 if v is False else int(v)))
            elif k == "auto":
                self.line.board_auto = bool(v)
            elif k.startswith(("link_", "lock_", "aux_")):
                key, gun = k.split("_")
                self.line.set_board(key, int(v), "AB".index(gun))
            else:
                raise ValueError("unknown board field %r" % k)

    def goose_match(self, f, want):
        d = f["data"]
        for k, v in want.items():
            if k == "kind":
                if f["kind"] != v:
                    return False
            elif k == "type":
                if d.get("type") != (TYPE_VALUES[v] if isinstance(v, str) else v):
                    return False
            elif k == "reason":
                if d.get("reason") != (REASON_VALUES[v] if isinstance(v, str) else v):
                    return False
            elif k in ("V", "I"):
                if abs(d.get(k, -1e9) - float(v)) > 1e-3:
                    return False
            elif d.get(k) != v:
                return False
        return True

    def step(self, n, st):
        ev = self.ev
        title = st.get("say", "step %d" % n)
        ev.log("STEP", "%d. %s" % (n, title))
        self.step_marks.append((time.monotonic(), n, title))
        t0 = time.monotonic()
        t0_ns = time.time_ns()
        log0 = self.log_text()
        self.expect_logs = []
        cmds = []
        for gun in ("A", "B"):
            if gun in st.get("status", {}):
                self.apply_status(gun, st["status"][gun])
        for gun in ("A", "B"):
            if gun in st.get("status", {}):
                # Commands of the step go out only once the terminal has taken the
                # new status: their effect depends on the last stage reported.
                g = self.line.gun(gun)
                if not g.silent and not ev.wait_until(lambda: g.status_acked >= g.status_version, 10):
                    ev.fail("gun %s: the new status report was not acknowledged" % gun)
        if "board" in st:
            self.apply_board(st["board"])
        for dev in st.get("silent", []):
            self.set_silent(dev, True)
        for dev in st.get("speak", []):
            self.set_silent(dev, False)
        if "stuck_feedback" in st:
            self.gpio.stuck = {int(k): int(v) for k, v in st["stuck_feedback"].items()}
        for action in st.get("pu", []):
            self.pu_action(action)
        # Faults come first; the step's commands and expectations follow them.
        faults = st.get("fault", [])
        for params in [faults] if isinstance(faults, dict) else faults:
            self.faults.run(params)
        if st.get("fault"):
            t0 = time.monotonic()
            t0_ns = time.time_ns()
            log0 = self.log_text()
        if "stop" in st:
            # The signal goes to the terminal alone, as a service manager's stop
            # does; the shells it starts for GPIO writes are its own business.
            sig = getattr(signal, str(st["stop"]))
            self.cpu_at_stop = self.cpu_ticks()
            t0 = self.stop_sent = time.monotonic()
            t0_ns = time.time_ns()
            log0 = self.log_text()
            os.kill(self.proc.pid, sig)
            self.ev.log("APP", "%s sent to app_ZQHW" % signal.Signals(sig).name)
        sends = st.get("send", {})
        for gun in ("A", "B"):
            for text in sends.get(gun, []):
                cmds.append(self.line.queue(gun, text))
        if st.get("wait"):
            time.sleep(float(st["wait"]))
        within = float(st.get("within", 5.0))
        end = t0 + within + float(st.get("wait", 0))
        for c in cmds:
            if not c.done.wait(max(0.1, end - time.monotonic())):
                ev.fail("controller command %s %s was never polled for or answered" % (c.gun, c.text))
        exp = st.get("expect", {})
        self.expect_logs += exp.get("log", [])
        left = lambda: max(0.1, end - time.monotonic())
        # A terminal told to stop is waited for first: what it sends on its way out
        # is all on the wire by then, so "nothing new" below is a real observation.
        if "exit" in exp:
            try:
                code = self.proc.wait(left())
            except subprocess.TimeoutExpired:
                code = None
            if code is None:
                self.ev.fail("app_ZQHW has not exited within %.1f s of the signal" % (time.monotonic() - t0))
            else:
                took = time.monotonic() - t0
                self.figures["stop_to_exit_s"] = round(took, 3)
                self.ev.log("APP", "app_ZQHW exited with status %d, %.3f s after the signal" % (code, took))
                if code != int(exp["exit"]):
                    self.ev.fail("app_ZQHW exited with status %d, expected %d" % (code, int(exp["exit"])))
        for key, want in exp.get("report", {}).items():
            if not ev.wait_until(lambda: self.report_seen(t0, key, want), left()):
                ev.fail("no register report of %s = %r" % (key, want))
        for gun, wants in exp.get("goose", {}).items():
            if isinstance(wants, dict):
                wants = [wants]
            self.check_goose(gun, wants, t0, left())
        for line, want in exp.get("gpio", {}).items():
            n_ = int(line)
            if not ev.wait_until(lambda: self.gpio.value(n_) == want, left()):
                ev.fail("GPIO %d (%s) is %s, expected %d" % (n_, OUTPUTS.get(n_, "?"), self.gpio.value(n_), want))
        if exp.get("regs"):
            self.check_regs(exp["regs"], left())
        for text in self.expect_logs:
            if not ev.wait_until(lambda: self.log_text().count(text) > log0.count(text), left()):
                ev.fail("the terminal's log has no new line with %r" % text)
        for gun, sq in exp.get("goose_sq", {}).items():
            if not ev.wait_until(lambda: (self.sub.frames_of(gun)[1] or 0) >= sq, left()):
                ev.fail("gun %s GOOSE stream at st %s sq %s, expected sqNum %d by now" % (
                    (gun,) + self.sub.frames_of(gun)[:2] + (sq,)))
        for gun, params in exp.get("goose_key", {}).items():
            key = self.key_bytes(params)
            if not ev.wait_until(lambda: self.sub.last_key[gun] == key, left()):
                ev.fail("gun %s: no GOOSE frame verified under the key %s" % (gun, params))
        if "order" in exp:
            self.check_order(exp["order"], t0)
        if "wire_order" in exp:
            self.check_wire_order(exp["wire_order"], t0_ns, left)
        if "connections" in exp and self.pu.connections != exp["connections"]:
            ev.fail("the terminal connected %d times, expected %d" % (self.pu.connections, exp["connections"]))
        if "no_report" in exp:
            for key in exp["no_report"]:
                addr = parse_reg_key(key)[0]
                if any(a == addr for _, a, _ in self.pu.reports_since(t0)):
                    ev.fail("register %s was reported, none expected" % key)
        self.app_alive()

    def check_order(self, items, t0):
        """Events of the step in the order given: "goose A" is the first new GOOSE
        request of gun A, a number the first time that GPIO output went to 1 (open,
        off). The GPIO lines are sampled every 10 ms: two changes seen in the same
        sample are taken as in order."""
        times = []
        for it in items:
            if isinstance(it, str) and it.startswith("goose "):
                gun = it.split()[1]
                with self.sub.lock:
                    got = [mt for (mt, _) in self.sub.streams[gun].requests if mt >= t0]
            else:
                got = [t for (t, n, v) in self.gpio.changes_since(t0) if n == int(it) and v == 1]
            if not got:
                self.ev.fail("order: %s did not happen" % it)
                return
            times.append((got[0], it))
        for (ta, a), (tb, b) in zip(times, times[1:]):
            if tb < ta:
                self.ev.fail("order: %s came %.1f ms before %s" % (b, 1000 * (ta - tb), a))
        self.ev.log("STEP", "in order: " + ", ".join("%s at +%.0f ms" % (it, 1000 * (t - t0)) for t, it in times))

    @staticmethod
    def wire_item(text):
        """'goose A' -> ("goose", "A", None); '0x110B' -> ("report", 0x110B, None);
        '0x110B=4' -> ("report", 0x110B, 4)."""
        if text.startswith("goose "):
            return ("goose", text.split()[1], None)
        reg, _, value = text.partition("=")
        return ("report", int(reg, 0), int(value, 0) if value else None)

    @staticmethod
    def wire_matches(item, e):
        if item[0] != e[0]:
            return False
        if e[0] == "goose":
            return e[3] == item[1]
        addr, vals = e[3], e[4]
        if not addr <= item[1] < addr + len(vals):
            return False
        return item[2] is None or vals[item[1] - addr] == item[2]

    LATE_LINE = b"request sent before its work-state report"

    def late_order_logged(self):
        """True once the terminal has logged one more late request than those already
        accepted (its log lines reach its standard output within a batch)."""
        used = getattr(self, "late_accepted", 0)
        path = os.path.join(self.run_dir, "terminal.stdout")
        for _ in range(20):
            try:
                with open(path, "rb") as f:
                    n = f.read().count(self.LATE_LINE)
            except OSError:
                n = 0
            if n > used:
                self.late_accepted = used + 1
                return True
            time.sleep(0.05)
        return False

    @staticmethod
    def wire_text(e):
        if e[0] == "goose":
            return "goose %s st %d" % (e[3], e[4]["stNum"])
        return "0x%04X=%s" % (e[3], "/".join(str(v) for v in e[4]))

    def check_wire_order(self, wanted, t0_ns, left):
        """The step's register reports and new GOOSE requests of the kinds named, in
        wire.pcap: the first ones since the step began must be exactly these, in this
        order. The order is that of the kernel's transmit time stamps in the one
        capture; durations are printed, never judged."""
        seqs = wanted if wanted and isinstance(wanted[0], list) else [wanted]
        for seq in seqs:
            items = [self.wire_item(t) for t in seq]
            # A report counts when it carries a register named, and one of the values
            # named for it: the link state's report of another value is not the command's.
            pick = lambda: sorted((e for e in self.wire.since(t0_ns)
                                   if any(self.wire_matches(it, e) for it in items)),
                                  key=lambda e: (e[1], e[2]))
            self.ev.wait_until(lambda: len(pick()) >= len(items), left())
            got = pick()[:len(items)]
            ok = len(got) == len(items) and all(self.wire_matches(it, e) for it, e in zip(items, got))
            shown = ", ".join("%s at %+.3f ms" % (self.wire_text(e), (e[1] - got[0][1]) / 1e6) for e in got)
            if not ok and len(got) == len(items) and self.late_order_logged():
                # The terminal gave the report its few milliseconds and then sent the
                # request anyway (a loaded machine): its own count and line say so. A
                # terminal that never waited writes no such line and fails.
                self.ev.log("STEP", "late order, counted and logged by the terminal: " + shown)
            elif not ok:
                self.ev.fail("wire order: expected %s; on the wire: %s" % (", ".join(seq), shown or "nothing"))
            else:
                self.ev.log("STEP", "on the wire in order: " + shown)

    def check_goose(self, gun, wants, t0, within):
        ev = self.ev
        ok = ev.wait_until(lambda: len(self.sub.requests_since(gun, t0)) >= len(wants), within)
        if not wants:
            # No new request expected: watch for the whole step time.
            pass
        got = self.sub.requests_since(gun, t0)
        if len(got) != len(wants) or not ok:
            ev.fail("gun %s: %d new GOOSE requests (%s), expected %d" % (
                gun, len(got), "; ".join(self.describe(f) for f in got), len(wants)))
            return
        for f, w in zip(got, wants):
            if not self.goose_match(f, w):
                ev.fail("gun %s GOOSE request %s, expected %s" % (gun, self.describe(f), w))

    def describe(self, f):
        from .goose import describe
        return "st %d %s" % (f["stNum"], describe(f))

    def set_silent(self, dev, silent):
        if dev in ("A", "B"):
            self.line.gun(dev).silent = silent
        elif dev == "board":
            self.line.board_silent = silent
        else:
            raise ValueError("unknown line device %r" % dev)
        if not silent:
            self.line.resuming.add(dev)
        self.ev.log("CTRL", "%s %s" % (dev, "goes silent" if silent else "answers again"))

    # ---- the whole run ----
    def run(self):
        self.prepare()
        ev = self.ev
        title = self.doc.get("title", self.name)
        ev.log("STEP", "scenario %s: %s (%s, line %s)" % (
            self.name, title, "TLS" if self.tls else "plain TCP", self.setup.get("line", "9600")))
        started = time.monotonic()
        try:
            self.gpio.start()
            self.pu.listen()
            self.sub.start()
            self.wire.start()
            self.line.start()
            self.start_app()
            if self.setup.get("startup_checks", True):
                self.startup_checks()
            for i, st in enumerate(self.doc.get("step", []), 1):
                if not self.app_alive():
                    if self.stop_sent is not None:
                        ev.fail("steps after the terminal stopped are not run")
                    break
                self.step(i, st)
                if ev.failures and self.setup.get("stop_on_failure", False):
                    break
        except Exception as e:   # a broken scenario file or simulator fault is a failure too
            import traceback
            ev.fail("simulator error: %s\n%s" % (e, traceback.format_exc()))
        finally:
            self.stop_app()
            try:
                self.keep_logfs()
            except OSError as e:
                ev.warn("log files of the tmpfs not kept: %s" % e)
            self.line.stop()
            self.sub.stop()
            self.wire_drops = self.wire.stop()
            self.pu.stop()
            self.gpio.stop()
            self.line_cap.close()
            self.mb_cap.finish()
        self.tshark_check()
        dissect.check(self)
        try:
            timeline.write(self, os.path.join(self.run_dir, "timeline.html"))
        except Exception as e:   # the page is a view; a fault in it must not hide the verdict
            import traceback
            ev.fail("timeline.html not written: %s\n%s" % (e, traceback.format_exc()))
        order_line = self.wire_order_figures()   # before the counts: it may warn
        wall = time.monotonic() - started
        c = ev.counts
        self.figures.update({
            "scenario": self.name, "wall_s": round(wall, 1),
            "controller_exchanges": c.get("controller_exchanges", 0),
            "board_exchanges": c.get("board_exchanges", 0),
            "line_frames_checked": c.get("line_frames", 0),
            "goose_frames_checked": c.get("goose_frames", 0),
            "goose_requests": c.get("goose_requests", 0),
            "register_reports_checked": c.get("register_reports", 0),
            "power_unit_connections": self.pu.connections,
            "failures": len(ev.failures), "warnings": len(ev.warnings)})
        if self.faults.book.order:
            self.figures["faults"] = self.faults.book.figures()
        with open(os.path.join(self.run_dir, "summary.json"), "w") as f:
            json.dump({"figures": self.figures, "failures": ev.failures, "warnings": ev.warnings}, f, indent=2)
        f = self.figures
        print("\n-- %s: %d controller exchanges, %d board exchanges, %d line frames, %d GOOSE frames "
              "(%d requests), %d register reports checked; %.1f s wall; terminal CPU %s s (%s %%)" % (
                  self.name, f["controller_exchanges"], f["board_exchanges"], f["line_frames_checked"],
                  f["goose_frames_checked"], f["goose_requests"], f["register_reports_checked"],
                  f["wall_s"], f.get("terminal_cpu_s"), f.get("terminal_cpu_percent")))
        for text in self.faults.book.lines():
            print("-- fault %s" % text)
        if order_line:
            print("-- wire order: %s" % order_line)
        print("-- run directory %s: events.log, goose.pcap, line.pcap, modbus.pcap, wire.pcap, timeline.html, "
              "terminal.stdout, root/home/root/log/" % self.run_dir)
        for w in ev.warnings:
            print("   warning: %s" % w)
        for x in ev.failures:
            print("   failed: %s" % x)
        verdict = "PASS" if not ev.failures else "FAIL"
        print("VERDICT %s %s (%d failures, %d warnings)" % (verdict, self.name, len(ev.failures), len(ev.warnings)))
        ev.close()
        return 0 if not ev.failures else 1

    def wire_order_figures(self):
        """Every GOOSE request a controller command posted after writing a work state,
        against that report, in wire.pcap: how many went out after it and by how much
        the report led. A figure, not a verdict (the steps' wire_order expectations are)."""
        if self.wire_drops:
            self.ev.warn("wire capture: the kernel dropped %d frames" % self.wire_drops)
        if self.tls:
            return None
        k, n, lead_min, lead_med, unpaired = order_figures(pairs(self.wire.all()))
        if not n:
            return None
        self.figures["wire_order"] = {"in_order": k, "requests": n, "unpaired": unpaired,
                                      "lead_min_ms": lead_min, "lead_median_ms": lead_med}
        text = "%d of %d GOOSE requests after their work-state report" % (k, n)
        if lead_min is not None:
            text += "; report lead min %.3f ms, median %.3f ms" % (lead_min, lead_med)
        if unpaired:
            text += "; %d without a report near them" % unpaired
        return text

    def tshark_check(self):
        """The pcap must open in Wireshark's dissector and hold every frame checked."""
        pcap = os.path.join(self.run_dir, "goose.pcap")
        if not shutil.which("tshark"):
            self.ev.warn("tshark not installed: goose.pcap not cross-checked")
            return
        try:
            out = subprocess.run(["tshark", "-r", pcap, "-Y", "goose", "-T", "fields",
                                  "-e", "goose.goID", "-e", "goose.stNum", "-e", "goose.sqNum"],
                                 capture_output=True, text=True, timeout=60).stdout.split("\n")
        except (OSError, subprocess.TimeoutExpired) as e:
            self.ev.fail("tshark on goose.pcap: %s" % e)
            return
        rows = [r.split("\t") for r in out if r.strip()]
        n = self.ev.counts.get("goose_frames", 0)
        ids = {r[0] for r in rows}
        if len(rows) != n or not ids <= {"CC/0$GO$PowerRequest", "CC/0$GO$ShutdownRequest"}:
            self.ev.fail("tshark dissects %d GOOSE frames (goIDs %s) in goose.pcap, %d were checked" % (
                len(rows), sorted(ids), n))
        else:
            self.ev.log("GOOSE", "tshark dissects all %d frames of goose.pcap as GOOSE" % n)
