"""The simulated power unit: a TCP server (plain or mutual TLS) that the terminal
connects to, acting as Modbus master on that connection. Frames are cut here from
the MBAP header; the terminal's unsolicited 0x41 register reports are told apart
from the responses to our own requests by function code, and responses are matched
to requests by transaction id."""
import select
import socket
import ssl
import struct
import threading
import time

from .wire import hexs, regs_float


class ModbusError(Exception):
    pass


class PowerUnit:
    def __init__(self, ev, port, tls=None, host="127.0.0.1", rcvbuf=None):
        self.ev = ev
        self.rcvbuf = rcvbuf        # a small receive buffer: a stalled reader fills it at once
        self.host = host
        self.port = port
        self.tls = tls              # (ca, cert, key) or None
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.conn = None
        self.connections = 0
        self.peer_cn = None
        self.tid = 0
        self.pending = {}           # tid -> response frame (None while waiting)
        self.view = {}              # register -> value as last reported or read
        self.written = {}           # register -> value this power unit wrote
        self.reports = []           # (monotonic time, address, values)
        self.report_tid = 0         # last report transaction id seen
        self.report_conn = 0        # the connection it came on
        self.reports_checked = 0
        self.listener = None
        self.quit = False
        self.up = threading.Event()
        self.thread = None
        self.send_lock = threading.Lock()
        # Fault injection: every connection attempt the terminal makes (time, outcome),
        # the time of the first report on each connection, a reset asked of the reader
        # thread, and resets right after each accepted handshake.
        self.attempts = []          # (monotonic time, "ok" | "reset" | "tls: ...")
        self.first_report = {}      # connection number -> monotonic time
        self.reset_req = False
        self.resets = []            # monotonic times of resets done
        self.reset_after_handshake = False
        self.handshake_resets = 0
        self.expect_tls_failures = False
        self.capture = None         # a capture.ModbusCapture: the stream as seen here
        self.requests = {}          # tid -> (function, start address, count), for the capture
        self.link_changes = []      # (monotonic time, True when a connection came up / False)
        # A stalled power unit stops reading; the answers to requests sent while it
        # stalled are not waited for by anyone and are dropped when read.
        self.stalled = False
        self.discard = set()

    # ---- server ----
    def listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.rcvbuf:
            # Set on the listener, before the handshake fixes the window scale.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, int(self.rcvbuf))
        s.bind((self.host, self.port))
        s.listen(4)
        self.listener = s
        self.quit = False
        self.thread = threading.Thread(target=self.serve, name="powerunit", daemon=True)
        self.thread.start()

    def context(self):
        """A fresh server context per connection: a fault scenario swaps the
        certificate files (expired, another CA) between two attempts."""
        if not self.tls:
            return None
        ca, cert, key = self.tls
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        ctx.load_verify_locations(ca)
        ctx.verify_mode = ssl.CERT_REQUIRED
        return ctx

    @staticmethod
    def rst_close(c):
        """Closes with a reset (RST), as a power unit that crashes or reboots does."""
        try:
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        try:
            c.close()
        except OSError:
            pass

    def serve(self):
        while not self.quit:
            r, _, _ = select.select([self.listener], [], [], 0.2)
            if not r or self.quit:
                continue
            try:
                c, addr = self.listener.accept()
            except OSError:
                continue
            # Attempts are timed at the accept: a slow handshake must not make two
            # attempts look closer than the terminal made them.
            t_acc = time.monotonic()
            ctx = self.context()
            if ctx:
                try:
                    c.settimeout(5)
                    c = ctx.wrap_socket(c, server_side=True)
                    cert = c.getpeercert()
                    self.peer_cn = dict(x[0] for x in cert["subject"]).get("commonName")
                except (ssl.SSLError, OSError) as e:
                    with self.lock:
                        self.attempts.append((t_acc, "tls: %s" % e))
                    if self.expect_tls_failures:
                        self.ev.log("PU", "TLS handshake failed as intended: %s" % e, show=False)
                    else:
                        self.ev.fail("PU TLS handshake with the terminal failed: %s" % e)
                    c.close()
                    continue
            if self.reset_after_handshake:
                if self.capture:
                    self.capture.connect(addr[:2], (self.host, self.port))
                    self.capture.close(reset=True)
                self.rst_close(c)
                with self.lock:
                    self.attempts.append((t_acc, "reset"))
                    self.handshake_resets += 1
                self.ev.log("PU", "connection reset right after the handshake (%d)" % self.handshake_resets,
                            show=False)
                self.ev.poke()
                continue
            c.settimeout(None)
            with self.lock:
                if self.conn is not None:
                    self.ev.fail("PU: terminal opened a second connection while one is up")
                    self.close_conn_locked()
                self.conn = c
                self.connections += 1
                self.attempts.append((t_acc, "ok"))
                self.reset_req = False
            self.ev.log("PU", "terminal connected from %s:%d%s (connection %d)" % (
                addr[0], addr[1], ", TLS, client certificate CN=%s" % self.peer_cn if ctx else "",
                self.connections))
            if self.capture:
                self.capture.connect(addr[:2], (self.host, self.port))
            self.link_changes.append((time.monotonic(), True))
            self.up.set()
            self.read(c)
            self.link_changes.append((time.monotonic(), False))

    def read(self, c):
        buf = b""
        while not self.quit:
            if self.reset_req:
                # The reset is done by this thread: no other thread closes a
                # descriptor this one may be waiting on.
                with self.lock:
                    self.reset_req = False
                    if self.conn is c:
                        self.conn = None
                        self.discard.clear()
                        for k in self.pending:
                            if self.pending[k] is None:
                                self.pending[k] = b""
                        self.cond.notify_all()
                    self.resets.append(time.monotonic())
                self.up.clear()
                if self.capture:
                    self.capture.close(reset=True)
                self.rst_close(c)
                self.ev.log("PU", "power unit reset the connection")
                return
            if self.stalled:
                time.sleep(0.02)
                continue
            try:
                if isinstance(c, ssl.SSLSocket) and c.pending():
                    r = [c]
                else:
                    r, _, _ = select.select([c], [], [], 0.05)
                if not r:
                    continue
                data = c.recv(4096)
            except (OSError, ValueError):
                data = b""
            if not data:
                if not self.quit:
                    self.ev.log("PU", "terminal closed the connection")
                if self.capture:
                    self.capture.close(by_terminal=not self.quit)
                break
            buf += data
            buf = self.cut(buf)
        if self.capture:
            self.capture.close()
        with self.lock:
            if self.conn is c:
                self.close_conn_locked()
        self.up.clear()

    def close_conn_locked(self):
        try:
            self.conn.close()
        except OSError:
            pass
        self.conn = None
        for k in self.pending:
            if self.pending[k] is None:
                self.pending[k] = b""
        self.discard.clear()
        self.cond.notify_all()

    def stop(self):
        self.quit = True
        with self.lock:
            if self.conn is not None:
                self.close_conn_locked()
        if self.listener:
            self.listener.close()
            self.listener = None
        if self.thread:
            self.thread.join(2)
        self.up.clear()

    def reset(self, within=2.0):
        """Resets the connection in force (RST); returns the time it was done, or
        None without a connection."""
        with self.lock:
            if self.conn is None:
                return None
            n = len(self.resets)
            self.reset_req = True
        end = time.monotonic() + within
        while time.monotonic() < end:
            with self.lock:
                if len(self.resets) > n:
                    return self.resets[-1]
            time.sleep(0.01)
        return None

    def restart(self, down):
        """The power unit goes away (listener closed, connection dropped) and comes
        back after `down` seconds: a new process that has lost its own state but
        not what it wrote into the terminal's image."""
        self.ev.log("PU", "power unit restarting, down for %.1f s" % down)
        self.stop()
        time.sleep(down)
        self.listen()

    # ---- frames ----
    def cut(self, buf):
        while len(buf) >= 8:
            tid, proto, length = struct.unpack(">HHH", buf[0:6])
            total = 6 + length
            if proto != 0 or length < 2 or length > 260:
                self.ev.fail("PU: garbage from the terminal: %s" % hexs(buf[:16]))
                if self.capture:
                    self.capture.data(True, buf[:1])
                buf = buf[1:]
                continue
            if len(buf) < total:
                break
            frame, buf = buf[:total], buf[total:]
            # Captured frame by frame: the answers to a stalled power unit's flood
            # of requests stay out of the capture, as the requests do.
            if self.capture and struct.unpack(">H", frame[0:2])[0] not in self.discard:
                self.capture.data(True, frame)
            if frame[7] == 0x41:
                self.report(frame)
            else:
                self.response(frame)
        return buf

    def report(self, fr):
        ev = self.ev
        ev.count("register_reports")
        n = fr[21] if len(fr) > 21 else -1
        tid = struct.unpack(">H", fr[0:2])[0]
        want_head = bytes([0, 0, 0, 16 + 2 * n, 0x01, 0x41, 0x91, 0x00, 11 + 2 * n,
                           0, 0, 1, 0, 1, 0, 1])
        if n < 1 or n > 3 or len(fr) != 22 + 2 * n or fr[2:18] != want_head or fr[20] != 0:
            ev.fail("PU: malformed register report %s" % hexs(fr))
            return
        addr = struct.unpack(">H", fr[18:20])[0]
        values = list(struct.unpack(">%dH" % n, fr[22:22 + 2 * n]))
        with self.lock:
            expect = (self.report_tid + 1) & 0xFFFF
            if not self.report_tid:
                if tid != 1 and self.connections == 1:
                    ev.fail("PU: first report carries transaction id %d, not 1" % tid)
            elif self.report_conn == self.connections:
                if tid != expect:
                    ev.fail("PU: report transaction id %d, expected %d" % (tid, expect))
            elif not 1 <= (tid - self.report_tid) & 0xFFFF <= 1000:
                # Reports sent while the old connection died are lost, never resent:
                # a gap is allowed across connections, a step back is not.
                ev.fail("PU: report transaction id %d on a new connection after %d" % (tid, self.report_tid))
            self.report_tid = tid
            self.report_conn = self.connections
            self.first_report.setdefault(self.connections, time.monotonic())
            changes = []
            for i, v in enumerate(values):
                a = addr + i
                old = self.view.get(a)
                if old != v:
                    changes.append("0x%04X %s -> %d" % (a, "?" if old is None else old, v))
                self.view[a] = v
            self.reports.append((time.monotonic(), addr, values))
            self.reports_checked += 1
        text = "report tid %d 0x%04X x%d = %s" % (tid, addr, n, " ".join("%04X" % v for v in values))
        if n == 2:
            text += " (%.1f)" % regs_float(values[0], values[1])
        ev.log("REG", text + ("  [%s]" % ", ".join(changes) if changes else ""), show=bool(changes))
        if self.capture:
            self.capture.adu(True, tid, 0x41, addr, n)

    def response(self, fr):
        tid = struct.unpack(">H", fr[0:2])[0]
        with self.lock:
            if tid in self.discard:
                self.discard.discard(tid)
                return
            if tid not in self.pending or self.pending[tid] is not None:
                self.ev.fail("PU: unexpected frame (function 0x%02X, tid %d): %s" %
                             (fr[7], tid, hexs(fr)))
                return
            self.pending[tid] = fr
            self.cond.notify_all()
            req = self.requests.pop(tid, None)
        if self.capture and req:
            self.capture.adu(True, tid, fr[7], req[1], req[2])

    def transact(self, pdu: bytes, timeout=10.0):
        """Sends one request PDU (function code first) and waits for its response;
        returns the response PDU. Raises ModbusError without a connection or answer."""
        with self.lock:
            if self.conn is None:
                raise ModbusError("not connected")
            self.tid = self.tid % 0xFFFF + 1
            tid = self.tid
            self.pending[tid] = None
            conn = self.conn
        req = struct.pack(">HHHB", tid, 0, len(pdu) + 1, 0xFF) + pdu
        try:
            with self.send_lock:
                if self.capture and len(pdu) >= 5:
                    # Recorded before the send: the answer may be read before sendall returns.
                    start, count = struct.unpack(">HH", pdu[1:5])
                    if pdu[0] == 6:
                        count = 1
                    with self.lock:
                        self.requests[tid] = (pdu[0], start, count)
                    self.capture.adu(False, tid, pdu[0], start, count)
                    self.capture.data(False, req)
                conn.sendall(req)
        except OSError as e:
            with self.lock:
                self.pending.pop(tid, None)
            raise ModbusError("send failed: %s" % e)
        end = time.monotonic() + timeout
        with self.lock:
            while self.pending.get(tid) is None:
                left = end - time.monotonic()
                if left <= 0:
                    self.pending.pop(tid, None)
                    raise ModbusError("no response to tid %d within %.1f s" % (tid, timeout))
                self.cond.wait(left)
            fr = self.pending.pop(tid)
        if not fr:
            raise ModbusError("connection lost while waiting for tid %d" % tid)
        if fr[2:4] != b"\0\0" or fr[6] != 0xFF or struct.unpack(">H", fr[4:6])[0] != len(fr) - 6:
            self.ev.fail("PU: response header %s does not match the request %s" % (hexs(fr[:8]), hexs(req[:8])))
        if fr[7] != pdu[0]:
            if fr[7] == pdu[0] | 0x80 and len(fr) == 9:
                raise ModbusError("exception %d" % fr[8])
            self.ev.fail("PU: response function 0x%02X to request 0x%02X" % (fr[7], pdu[0]))
        return fr[7:]

    def fill_window(self, stuck, addr=0x4000, count=125, quiet=0.3, limit=10.0):
        """While stalled: sends read requests at a steady pace, never reading the
        answers, until `stuck()` has held for `quiet` seconds (the terminal has
        stopped reading: its link thread is blocked in a send). Returns the number
        of requests sent, or None if that did not happen within `limit` seconds."""
        with self.lock:
            conn = self.conn
        if conn is None:
            return None
        sent = 0
        end = time.monotonic() + limit
        since = None
        while time.monotonic() < end:
            if not stuck():
                since = None
            elif since is None:
                since = time.monotonic()
            elif time.monotonic() - since >= quiet:
                return sent
            for _ in range(50):
                _, w, _ = select.select([], [conn], [], 0)
                if not w:
                    break
                with self.lock:
                    self.tid = self.tid % 0xFFFF + 1
                    tid = self.tid
                    self.discard.add(tid)
                req = struct.pack(">HHHBBHH", tid, 0, 6, 0xFF, 3, addr, count)
                try:
                    with self.send_lock:
                        conn.sendall(req)
                except OSError:
                    return sent
                sent += 1
            time.sleep(0.005)
        return None

    def end_stall(self):
        self.stalled = False

    # ---- Modbus master operations ----
    def read_regs(self, addr, count):
        rsp = self.transact(struct.pack(">BHH", 3, addr, count))
        if len(rsp) != 2 + 2 * count or rsp[1] != (2 * count) & 0xFF:
            self.ev.fail("PU: read 0x%04X x%d answered with %d bytes" % (addr, count, len(rsp)))
            raise ModbusError("bad read response")
        vals = list(struct.unpack(">%dH" % count, rsp[2:]))
        with self.lock:
            changes = []
            for i, v in enumerate(vals):
                old = self.view.get(addr + i)
                if old is not None and old != v:
                    changes.append("0x%04X %d -> %d" % (addr + i, old, v))
                self.view[addr + i] = v
        if changes:
            self.ev.log("REG", "read 0x%04X x%d: %s" % (addr, count, ", ".join(changes)), show=False)
        return vals

    def write_single(self, addr, value):
        rsp = self.transact(struct.pack(">BHH", 6, addr, value))
        if rsp != struct.pack(">BHH", 6, addr, value):
            self.ev.fail("PU: write 0x%04X answered %s" % (addr, hexs(rsp)))
        with self.lock:
            self.written[addr] = value
            self.view[addr] = value

    def write_multiple(self, addr, values):
        n = len(values)
        pdu = struct.pack(">BHHB", 16, addr, n, 2 * n) + struct.pack(">%dH" % n, *values)
        rsp = self.transact(pdu)
        if rsp != struct.pack(">BHH", 16, addr, n):
            self.ev.fail("PU: write 0x%04X x%d answered %s" % (addr, n, hexs(rsp)))
        with self.lock:
            for i, v in enumerate(values):
                self.written[addr + i] = v
                self.view[addr + i] = v

    def exception_of(self, pdu):
        try:
            self.transact(pdu)
        except ModbusError as e:
            text = str(e)
            if text.startswith("exception "):
                return int(text.split()[1])
            raise
        return None

    def reports_since(self, t):
        with self.lock:
            return [r for r in self.reports if r[0] >= t]
