"""wire.pcap: the terminal's Modbus TCP stream and its GOOSE frames in one capture,
with one clock, so that their order can be judged.

Both links run inside the simulator's network namespace: the Modbus TCP connection
on `lo`, the GOOSE streams on the veth pair. One AF_PACKET socket bound to no
interface sees every device of the namespace; a socket filter keeps only what the
terminal transmits (PACKET_OUTGOING copies): its TCP segments to the power unit's
port on `lo`, and the GOOSE frames on its veth end. The outgoing copy
is taken in the sending thread's system call, before the frame is handed to the
device, so the kernel time stamp (SO_TIMESTAMPNS, CLOCK_REALTIME, nanoseconds) is
the moment the frame went onto the wire, whenever this thread gets to read it.

The file is a nanosecond pcap of link type LINUX_SLL (Wireshark opens it as is; the
Modbus stream dissects with "Decode As" TCP port 1502 -> Modbus/TCP). Reading it
back (read_pcap) gives the same events the live capture recorded, which is what
scripts/perf_tools.py uses for the order figure."""
import ctypes
import socket
import statistics
import struct
import threading
import time

from .goose import FrameError, decode_frame

ETH_P_ALL = 0x0003
ETHERTYPE_IP = 0x0800
ETHERTYPE_GOOSE = 0x88B8
PACKET_OUTGOING = 4
SO_TIMESTAMPNS = 35
SO_ATTACH_FILTER = 26
SOL_PACKET = 263
PACKET_STATISTICS = 6
LINKTYPE_LINUX_SLL = 113
PCAP_MAGIC_NS = 0xA1B23C4D
ARPHRD_ETHER = 1
ARPHRD_LOOPBACK = 772

# Work-state register of each gun, and the value the command that posts a request
# writes just before it (gun B's precharge writes none).
WORK_STATE = {"A": 0x110B, "B": 0x1D0B}
GUN_OF_WORK_STATE = {v: k for k, v in WORK_STATE.items()}


def request_work_state(gun, f):
    """The work state a controller command writes before posting request f, or None
    for a request that comes without one (insulation stop, emergency or terminal stop,
    gun B's precharge)."""
    d = f["data"]
    if f["kind"] == "power":
        return {1: 1, 2: 8, 4: 8 if gun == "A" else None, 5: 3}.get(d["type"])
    return {0: 4, 1: 4, 6: 5}.get(d["reason"])


def bpf_program(port):
    """Classic BPF: outgoing copies only; GOOSE frames, and IPv4 TCP to `port` (the
    terminal's side of the connection). Everything else (the log mirror's UDP, the
    power unit's own transmissions, the received copies) stays in the kernel."""
    ld_w_abs, ld_h_abs, ld_b_abs, ld_h_ind, ldx_msh = 0x20, 0x28, 0x30, 0x48, 0xB1
    jeq, jset, ret = 0x15, 0x45, 0x06
    skf_ad_pkttype = (-0x1000 + 4) & 0xFFFFFFFF
    # (code, true label, false label, k); labels "A" accept, "D" drop, None next.
    prog = [
        (ld_w_abs, None, None, skf_ad_pkttype),
        (jeq, None, "D", PACKET_OUTGOING),
        (ld_h_abs, None, None, 12),             # EtherType
        (jeq, "A", None, ETHERTYPE_GOOSE),
        (jeq, None, "D", ETHERTYPE_IP),
        (ld_b_abs, None, None, 23),             # IP protocol
        (jeq, None, "D", 6),
        (ld_h_abs, None, None, 20),             # fragment offset: first fragments only
        (jset, "D", None, 0x1FFF),
        (ldx_msh, None, None, 14),              # X = IP header length
        (ld_h_ind, None, None, 16),             # TCP destination port
        (jeq, "A", "D", port),
    ]
    where = {"A": len(prog), "D": len(prog) + 1}
    out = []
    for i, (code, jt, jf, k) in enumerate(prog):
        rel = lambda label: 0 if label is None else where[label] - i - 1
        out.append((code, rel(jt), rel(jf), k))
    return out + [(ret, 0, 0, 0x40000), (ret, 0, 0, 0)]


def attach_filter(sock, prog):
    buf = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *ins) for ins in prog))
    fprog = struct.pack("HL", len(prog), ctypes.addressof(buf))
    sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
    return buf   # kept alive by the caller until the call returned; the kernel copies it


class Decoder:
    """Turns captured frames into events: ("report", t_ns, n, register, values) for
    each 0x41 register report of the terminal, completed by the segment that carried
    its last byte, and ("goose", t_ns, n, gun, frame) for the first frame of each new
    GOOSE state (stNum) of a gun. n is the capture's packet number: the order of two
    events with the same time stamp."""

    def __init__(self, port, connect_ids, reports=True):
        self.port = port if reports else None
        self.gun_of = {connect_ids[0]: "A", connect_ids[1]: "B"} if connect_ids else None
        self.streams = {}       # terminal's source port -> [next sequence number, buffer]
        self.last_st = {}       # gun -> stNum of the last frame
        self.gaps = 0           # stream bytes missing from the capture

    def frame(self, t_ns, n, frame):
        etype = struct.unpack(">H", frame[12:14])[0]
        if etype == ETHERTYPE_GOOSE:
            return self.goose(t_ns, n, frame)
        if etype == ETHERTYPE_IP:
            return self.tcp(t_ns, n, frame[14:])
        return []

    def goose(self, t_ns, n, frame):
        try:
            f = decode_frame(frame)
        except FrameError:
            return []
        cid = f["data"]["connect_id"]
        if self.gun_of is not None:
            gun = self.gun_of.get(cid)
        else:
            # Read back without the run's settings: connect ids come in pairs, gun A odd.
            gun = "A" if cid % 2 else "B"
        if gun is None or self.last_st.get(gun) == f["stNum"]:
            return []
        self.last_st[gun] = f["stNum"]
        return [("goose", t_ns, n, gun, f)]

    def tcp(self, t_ns, n, ip):
        if len(ip) < 20 or ip[9] != 6:
            return []
        ihl = (ip[0] & 0x0F) * 4
        total = struct.unpack(">H", ip[2:4])[0]
        seg = ip[ihl:total]
        if len(seg) < 20:
            return []
        sport, dport, seq = struct.unpack(">HHI", seg[0:8])
        flags = seg[13]
        payload = seg[(seg[12] >> 4) * 4:]
        if dport != self.port:
            return []       # the power unit's side: its requests are not judged here
        if flags & 0x02:    # SYN: a new connection from this port
            self.streams[sport] = [(seq + 1) & 0xFFFFFFFF, b""]
            return []
        st = self.streams.get(sport)
        if st is None:
            st = self.streams[sport] = [seq, b""]
        if not payload:
            return []
        end = (seq + len(payload)) & 0xFFFFFFFF
        off = (st[0] - seq) & 0xFFFFFFFF        # bytes of this segment already seen
        if off < 0x80000000:
            if off >= len(payload):
                return []       # a retransmission of bytes already seen
            payload = payload[off:]
        else:
            # Bytes missing: frames restart at this segment (the terminal writes whole frames).
            self.gaps += 1
            st[1] = b""
        st[0] = end
        buf = st[1] + payload
        out = []
        while len(buf) >= 8:
            length = struct.unpack(">H", buf[4:6])[0]
            if buf[2:4] != b"\0\0" or length < 2 or length > 260:
                buf = b""
                self.gaps += 1
                break
            if len(buf) < 6 + length:
                break
            fr, buf = buf[:6 + length], buf[6 + length:]
            if fr[7] == 0x41 and len(fr) >= 22:
                cnt = fr[21]
                if len(fr) == 22 + 2 * cnt:
                    addr = struct.unpack(">H", fr[18:20])[0]
                    vals = list(struct.unpack(">%dH" % cnt, fr[22:22 + 2 * cnt]))
                    out.append(("report", t_ns, n, addr, vals))
        st[1] = buf
        return out


class WireCapture:
    """Live capture for a scenario run: writes wire.pcap and keeps the decoded
    events for the order expectations."""

    def __init__(self, ev, path, port, connect_ids, reports=True):
        self.ev = ev
        # Behind TLS the reports cannot be read: the capture is still written.
        self.decoder = Decoder(port, connect_ids, reports)
        self.lock = threading.Lock()
        self.events = []
        self.packets = 0
        self.quit = False
        self.f = open(path, "wb")
        self.f.write(struct.pack("<IHHiIII", PCAP_MAGIC_NS, 2, 4, 0, 0, 65535, LINKTYPE_LINUX_SLL))
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        attach_filter(self.sock, bpf_program(port))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        # As large as the namespace allows: a late reader must not lose frames.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self.run, name="wire", daemon=True)

    def start(self):
        # Whatever queued before the filter was attached is dropped with it.
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recv(65536)
        except BlockingIOError:
            pass
        self.sock.settimeout(0.2)
        self.thread.start()

    def run(self):
        while not self.quit:
            try:
                data, anc, _flags, addr = self.sock.recvmsg(65536, 64)
            except socket.timeout:
                continue
            except OSError as e:
                self.ev.fail("wire capture: %s" % e)
                return
            if addr[2] != PACKET_OUTGOING or len(data) < 14:
                continue
            t_ns = None
            for level, typ, val in anc:
                if level == socket.SOL_SOCKET and typ == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", val[:16])
                    t_ns = sec * 1000000000 + nsec
            if t_ns is None:
                t_ns = time.time_ns()
            self.write(t_ns, addr[3], data)
            with self.lock:
                self.packets += 1
                self.events += self.decoder.frame(t_ns, self.packets, data)
            self.ev.poke()

    def write(self, t_ns, hatype, frame):
        sll = struct.pack(">HHH8sH", PACKET_OUTGOING, hatype, 6, frame[6:12] + b"\0\0", struct.unpack(">H", frame[12:14])[0])
        rec = sll + frame[14:]
        self.f.write(struct.pack("<IIII", t_ns // 1000000000, t_ns % 1000000000, len(rec), len(rec)) + rec)
        self.f.flush()

    def drops(self):
        try:
            _packets, dropped = struct.unpack("II", self.sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8))
            return dropped
        except OSError:
            return 0

    def stop(self):
        self.quit = True
        self.thread.join(2)
        dropped = self.drops()
        self.sock.close()
        self.f.close()
        return dropped

    def since(self, t_ns):
        with self.lock:
            return [e for e in self.events if e[1] >= t_ns]

    def all(self):
        with self.lock:
            return list(self.events)


def read_pcap(path, port=1502, connect_ids=None):
    """The events of a wire.pcap written by WireCapture, in packet order."""
    dec = Decoder(port, connect_ids)
    out = []
    with open(path, "rb") as f:
        head = f.read(24)
        if len(head) < 24 or struct.unpack("<I", head[:4])[0] != PCAP_MAGIC_NS:
            raise ValueError("%s is not a nanosecond pcap" % path)
        n = 0
        while True:
            rh = f.read(16)
            if len(rh) < 16:
                break
            sec, nsec, incl, _orig = struct.unpack("<IIII", rh)
            rec = f.read(incl)
            if len(rec) < incl or incl < 16:
                break
            n += 1
            _pt, _ha, _alen, src, proto = struct.unpack(">HHH8sH", rec[:16])
            frame = b"\0" * 6 + src[:6] + struct.pack(">H", proto) + rec[16:]
            out += dec.frame(sec * 1000000000 + nsec, n, frame)
    return out


def key(e):
    return (e[1], e[2])


def pairs(events, window_ns=250000000):
    """Each new GOOSE request that a controller command posts after writing a work
    state, with that report: the report of the same gun's work-state register with
    the value the command writes, nearest in time on either side (each report used
    once). Returns [(gun, request frame, lead_ns or None)]: lead_ns > 0 when the
    report went out first, None when no such report lies within window_ns (the
    window only finds the partner; the verdict is the order)."""
    reports = [e for e in events if e[0] == "report"]
    used = set()
    out = []
    for e in sorted((e for e in events if e[0] == "goose"), key=key):
        _, t, n, gun, f = e
        if f["stNum"] == 0:
            continue
        want = request_work_state(gun, f)
        if want is None:
            continue
        reg = WORK_STATE[gun]
        best = None
        for i, r in enumerate(reports):
            _, rt, rn, addr, vals = r
            if i in used or not addr <= reg < addr + len(vals) or vals[reg - addr] != want:
                continue
            if abs(rt - t) > window_ns:
                continue
            if best is None or abs(rt - t) < abs(reports[best][1] - t):
                best = i
        if best is None:
            out.append((gun, f, None))
            continue
        used.add(best)
        r = reports[best]
        lead = t - r[1]
        if lead == 0:
            lead = 1 if (r[1], r[2]) < (t, n) else -1
        out.append((gun, f, lead))
    return out


def order_figures(prs):
    """(k in order, n, min lead ms, median lead ms, unpaired) of pairs()."""
    leads = [p[2] for p in prs if p[2] is not None]
    k = sum(1 for x in leads if x > 0)
    n = len(prs)
    unpaired = n - len(leads)
    if not leads:
        return k, n, None, None, unpaired
    return k, n, min(leads) / 1e6, statistics.median(leads) / 1e6, unpaired
