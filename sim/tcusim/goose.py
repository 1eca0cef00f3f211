"""GOOSE subscriber of the simulated power unit: captures the terminal's request
streams on its veth end, writes them to a pcap, checks every frame (header, CRC,
goosePdu, data set, HMAC-SHA256 trailer under the key the power unit wrote,
destination address) and follows stNum/sqNum and the retransmission schedule."""
import hashlib
import hmac
import socket
import struct
import threading
import time

from .wire import crc16_modbus, mac_text

ETH_P_ALL = 0x0003
ETHERTYPE_GOOSE = 0x88B8
PACKET_OUTGOING = 4
SO_TIMESTAMPNS = 35

TYPE_NAMES = {1: "PRT_ACDC_PLACEHOLDER", 2: "PRT_INSLUATION_DETECTION_START",
              3: "PRT_INSLUATION_DETECTION_STOP", 4: "PRT_PRECHARGING", 5: "PRT_CHARGING"}
REASON_NAMES = {0: "SRR_NORMAL", 1: "SRR_GUN_FALLOFF", 2: "SRR_GUN_OFFLINE",
                3: "SRR_GUN_INSULTION_ERR", 4: "SRR_GUN_EMGSTOP", 5: "SRR_GUN_PARAM_ERR",
                6: "SRR_GUN_SECC_ERR", 7: "SRR_GUN_EVCC_ERR", 8: "SRR_GUN_COMM_ERR",
                9: "SRR_GUN_HOST_ERR"}
POWER_FIELDS = ("connect_id", "serialnumb", "type", "mode", "V", "I", "resv0", "resv1")
SHUTDOWN_FIELDS = ("connect_id", "serialnumb", "reason", "resv0", "resv1")


class FrameError(Exception):
    pass


def ber_length(buf, pos):
    """BER definite length at pos; returns (length, position after it)."""
    if pos >= len(buf):
        raise FrameError("length runs past the frame")
    first = buf[pos]
    if first < 0x80:
        return first, pos + 1
    n = first & 0x7F
    if n == 0 or n > 3 or pos + 1 + n > len(buf):
        raise FrameError("bad BER length form 0x%02x" % first)
    return int.from_bytes(buf[pos + 1:pos + 1 + n], "big"), pos + 1 + n


def decode_frame(frame: bytes) -> dict:
    """Decodes one request frame strictly; raises FrameError on any deviation from the
    wire format (no VLAN tag, reserved words, header CRC, element order and sizes)."""
    if len(frame) < 60:
        raise FrameError("short frame (%d bytes)" % len(frame))
    f = {"dst": frame[0:6], "src": frame[6:12], "size": len(frame)}
    etype, appid, length, res1, res2 = struct.unpack(">HHHHH", frame[12:22])
    if etype != ETHERTYPE_GOOSE:
        raise FrameError("EtherType 0x%04x" % etype)
    f["appid"] = appid
    if res1 != 35:
        raise FrameError("Reserved 1 is %d, not the trailer length 35" % res1)
    crc = crc16_modbus(frame[12:20])
    if res2 != crc:
        raise FrameError("Reserved 2 0x%04x, header CRC is 0x%04x" % (res2, crc))
    pdu_len = length - 8
    if 22 + pdu_len + 35 != len(frame):
        raise FrameError("Length field %d does not fit a %d-byte frame" % (length, len(frame)))
    pdu = frame[22:22 + pdu_len]
    trailer = frame[22 + pdu_len:]
    if trailer[0:3] != b"\xad\x00\x20":
        raise FrameError("trailer header %s" % trailer[0:3].hex())
    f["auth"] = trailer[3:35]
    f["signed"] = frame[12:22 + pdu_len]
    if pdu[0] != 0x61:
        raise FrameError("goosePdu tag 0x%02x" % pdu[0])
    blen, pos = ber_length(pdu, 1)
    if pos + blen != len(pdu):
        raise FrameError("goosePdu length %d, %d bytes present" % (blen, len(pdu) - pos))

    def element(tag, size=None):
        nonlocal pos
        if pos >= len(pdu) or pdu[pos] != tag:
            raise FrameError("element 0x%02x expected at %d" % (tag, pos))
        n, p = ber_length(pdu, pos + 1)
        if size is not None and n != size:
            raise FrameError("element 0x%02x has %d bytes, not %d" % (tag, n, size))
        if p + n > len(pdu):
            raise FrameError("element 0x%02x runs past the goosePdu" % tag)
        pos = p + n
        return pdu[p:p + n]

    def text(tag):
        v = element(tag)
        if not v or v[-1] != 0:
            raise FrameError("text 0x%02x without its terminating zero byte" % tag)
        return v[:-1].decode("latin-1")

    f["gocbRef"] = text(0x80)
    f["tal"] = int.from_bytes(element(0x81, 2), "big")
    f["datSet"] = text(0x82)
    f["goID"] = text(0x83)
    t = element(0x84, 8)
    f["t_sec"] = int.from_bytes(t[0:4], "big")
    frac = int.from_bytes(t[4:7], "big")
    ms = (frac * 1000) >> 24
    while ms * 16777 + (ms * 216) // 1000 < frac and ms < 999:
        ms += 1
    if ms * 16777 + (ms * 216) // 1000 != frac:
        raise FrameError("time fraction 0x%06x is not a whole millisecond" % frac)
    if t[7] != 0x0A:
        raise FrameError("time quality 0x%02x" % t[7])
    f["t"] = f["t_sec"] + ms / 1000.0
    f["stNum"] = int.from_bytes(element(0x85, 4), "big")
    f["sqNum"] = int.from_bytes(element(0x86, 4), "big")
    f["simulation"] = element(0x87, 1)[0]
    f["confRev"] = int.from_bytes(element(0x88, 4), "big")
    f["ndsCom"] = element(0x89, 1)[0]
    f["entries"] = int.from_bytes(element(0x8A, 4), "big")
    data = element(0xAB)
    if pos != len(pdu):
        raise FrameError("%d bytes after allData" % (len(pdu) - pos))
    values = []
    p = 0
    while p < len(data):
        tag = data[p]
        n, q = ber_length(data, p + 1)
        v = data[q:q + n]
        if tag == 0x86 and n == 2:
            values.append(int.from_bytes(v, "big"))
        elif tag == 0x87 and n == 4:
            values.append(round(struct.unpack(">f", v)[0], 4))
        else:
            raise FrameError("data-set entry tag 0x%02x length %d" % (tag, n))
        p = q + n
    if f["goID"] == "CC/0$GO$PowerRequest":
        f["kind"] = "power"
        names = POWER_FIELDS
        kinds = (int, int, int, int, float, float, int, int)
    elif f["goID"] == "CC/0$GO$ShutdownRequest":
        f["kind"] = "shutdown"
        names = SHUTDOWN_FIELDS
        kinds = (int,) * 5
    else:
        raise FrameError("unknown goID %r" % f["goID"])
    if len(values) != len(names) or f["entries"] != len(names):
        raise FrameError("%d entries (numDatSetEntries %d) in a %s request" %
                         (len(values), f["entries"], f["kind"]))
    for v, k, name in zip(values, kinds, names):
        if not isinstance(v, k):
            raise FrameError("entry %s has the wrong type" % name)
    f["data"] = dict(zip(names, values))
    return f


def describe(f) -> str:
    d = f["data"]
    if f["kind"] == "power":
        return "PowerRequest type %d %s mode %d %.1f V %.1f A" % (
            d["type"], TYPE_NAMES.get(d["type"], "?"), d["mode"], d["V"], d["I"])
    return "ShutdownRequest reason %d %s" % (d["reason"], REASON_NAMES.get(d["reason"], "?"))


class PcapWriter:
    def __init__(self, path):
        self.f = open(path, "wb")
        self.f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        self.lock = threading.Lock()

    def write(self, ts, frame):
        with self.lock:
            sec = int(ts)
            self.f.write(struct.pack("<IIII", sec, int((ts - sec) * 1e6), len(frame), len(frame)))
            self.f.write(frame)
            self.f.flush()

    def close(self):
        self.f.close()


class Stream:
    """One gun's publisher as the subscriber follows it."""

    def __init__(self, gun):
        self.gun = gun
        self.st = None
        self.sq = None
        self.data = None
        self.kind = None
        self.times = []      # kernel receive time stamps of the current stNum's frames
        self.requests = []   # (time, frame) of every first frame of a new state
        self.frames = 0


class Subscriber:
    """Keys and destination addresses: the power unit announces a write before it
    sends it (pending) and confirms it when the terminal's response arrives; frames
    in between may carry either, frames after the confirmation only the new one."""

    def __init__(self, ev, ifname, pcap_path, connect_ids, schedule_tolerance=0.5,
                 dst_default=None, udp_port=None):
        self.ev = ev
        self.ifname = ifname
        self.pcap = PcapWriter(pcap_path)
        self.gun_of = {connect_ids[0]: "A", connect_ids[1]: "B"}
        self.streams = {"A": Stream("A"), "B": Stream("B")}
        self.keys = {"A": [bytes(48), None], "B": [bytes(48), None]}
        self.dst = [dst_default, None]   # None before any write: any unicast address
        # A frame the terminal sent just before the power unit's write took effect may be
        # read here only after the write was acknowledged: the key and destination replaced
        # stay good for frames the kernel received before that acknowledgement.
        self.retired_key = {"A": None, "B": None}   # (key, wall time of the acknowledgement)
        self.retired_dst = None
        self.src = None
        self.tol = schedule_tolerance
        self.lock = threading.Lock()
        self.quit = False
        self.checked = 0
        self.last_key = {"A": bytes(48), "B": bytes(48)}   # key of the last frame verified
        # While the link is down frames are lost, not late: the first frame of a gun
        # after an outage may skip sqNum (and stNum, forward only) and is not timed.
        self.outage = {"A": False, "B": False}
        # Per frame of goose.pcap, in order: (stNum, sqNum, HMAC verified) or None for a
        # frame that did not decode; and every key announced, for the dissector check.
        self.seen = []
        self.all_keys = [bytes(48)]
        self.first_after = {"A": None, "B": None}   # (monotonic time, stNum, sqNum)
        # A virtual machine's NIC (qemu -netdev socket,udp=...) hands over each Ethernet
        # frame it sends as one UDP datagram on loopback instead.
        self.udp = udp_port is not None
        if self.udp:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            self.sock.bind(("127.0.0.1", udp_port))
        else:
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
            self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            self.sock.bind((ifname, ETH_P_ALL))
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self.run, name="goose", daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.quit = True
        self.thread.join(2)
        self.pcap.close()

    # Announcements from the power unit.
    def key_pending(self, gun, key):
        with self.lock:
            self.keys[gun][1] = key
            if self.all_keys is not None and key not in self.all_keys:
                self.all_keys.append(key)

    def key_confirmed(self, gun):
        with self.lock:
            if self.keys[gun][1] is not None:
                self.retired_key[gun] = (self.keys[gun][0], time.time())
                self.keys[gun] = [self.keys[gun][1], None]

    def dst_pending(self, mac):
        with self.lock:
            self.dst[1] = mac

    def dst_confirmed(self):
        with self.lock:
            if self.dst[1] is not None:
                if self.dst[0] is not None:
                    self.retired_dst = (self.dst[0], time.time())
                self.dst = [self.dst[1], None]

    def outage_begin(self):
        with self.lock:
            self.outage = {"A": True, "B": True}
            self.first_after = {"A": None, "B": None}

    def outage_frame(self, f, gun, mono, stamp):
        """First frame of a gun after an outage: the state goes on where it was."""
        ev = self.ev
        s = self.streams[gun]
        st, sq = f["stNum"], f["sqNum"]
        sig = (f["kind"], tuple(sorted(f["data"].items())))
        self.outage[gun] = False
        self.first_after[gun] = (mono, st, sq)
        if s.st is not None and (st < s.st or (st == s.st and sq <= s.sq)):
            ev.fail("GOOSE %s: st %d sq %d after the outage, before it st %d sq %d" % (gun, st, sq, s.st, s.sq))
        elif st == s.st and sig != s.data:
            ev.fail("GOOSE %s st %d: request content changed across the outage (%s)" % (gun, st, describe(f)))
        new = s.st is None or st != s.st
        ev.log("GOOSE", "%s st %d sq %d first frame after the outage (before it: st %s sq %s) %s" % (
            gun, st, sq, s.st, s.sq, describe(f)))
        s.st, s.sq, s.data, s.kind = st, sq, sig, f["kind"]
        # As many time stamps as frames of this state were sent: the schedule check
        # goes on from the right position.
        s.times = [stamp] * max(1, sq)
        s.frames += 1
        if new:
            s.requests.append((mono, f))
            ev.count("goose_requests")

    def run(self):
        while not self.quit:
            try:
                data, anc, _flags, addr = self.sock.recvmsg(2048, 64)
            except socket.timeout:
                continue
            except OSError as e:
                self.ev.fail("GOOSE capture on %s: %s" % (self.ifname, e))
                return
            if (not self.udp and addr[2] == PACKET_OUTGOING) or len(data) < 14:
                continue
            if struct.unpack(">H", data[12:14])[0] not in (ETHERTYPE_GOOSE, 0x8100):
                continue
            ts = time.time()
            for level, typ, val in anc:
                if level == socket.SOL_SOCKET and typ == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", val[:16])
                    ts = sec + nsec / 1e9
            self.pcap.write(ts, data)
            self.frame(data, ts, time.monotonic())

    seen = None     # lists once the subscriber captures (not for a bare checker)
    all_keys = None

    def record(self, verdict):
        if self.seen is not None:
            self.seen.append(verdict)

    def frame(self, raw, wall, mono):
        ev = self.ev
        try:
            f = decode_frame(raw)
        except FrameError as e:
            self.record(None)
            ev.fail("GOOSE frame rejected: %s" % e)
            return
        with self.lock:
            self.checked += 1
            ev.count("goose_frames")
            gun = self.gun_of.get(f["data"]["connect_id"])
            if gun is None:
                self.record((f["stNum"], f["sqNum"], None))
                ev.fail("GOOSE frame with connect_id %d, neither gun's" % f["data"]["connect_id"])
                return
            self.check_header(f, gun, wall)
            verified = self.check_auth(f, gun, wall)
            self.record((f["stNum"], f["sqNum"], verified))
            self.check_sequence(f, gun, mono, wall)

    def check_header(self, f, gun, wall):
        ev = self.ev
        want_app = 0x0001 if f["kind"] == "power" else 0x3002
        want_size = 211 if f["kind"] == "power" else 204
        name = "CC/0$GO$PowerRequest" if f["kind"] == "power" else "CC/0$GO$ShutdownRequest"
        problems = []
        if f["appid"] != want_app:
            problems.append("APPID 0x%04x" % f["appid"])
        if f["size"] != want_size:
            problems.append("%d bytes instead of %d" % (f["size"], want_size))
        if f["gocbRef"] != name or f["datSet"] != name:
            problems.append("gocbRef/datSet %r/%r" % (f["gocbRef"], f["datSet"]))
        if f["tal"] != 10000 or f["confRev"] != 1 or f["simulation"] or f["ndsCom"]:
            problems.append("timeAllowedtoLive %d confRev %d simulation %d ndsCom %d" %
                            (f["tal"], f["confRev"], f["simulation"], f["ndsCom"]))
        if abs(f["t"] - wall) > 2.0:
            problems.append("time stamp %.3f is %.1f s off the clock" % (f["t"], f["t"] - wall))
        if self.src is None:
            self.src = f["src"]
        elif f["src"] != self.src:
            problems.append("source MAC %s changed" % mac_text(f["src"]))
        cur, pend = self.dst
        if cur is None and pend is None:
            if f["dst"][0] & 1:
                problems.append("default destination %s is not unicast" % mac_text(f["dst"]))
        elif f["dst"] == pend:
            self.dst = [pend, None]
        elif f["dst"] != cur and not (self.retired_dst is not None and
                                      f["dst"] == self.retired_dst[0] and
                                      wall < self.retired_dst[1]):
            problems.append("destination %s, power unit wrote %s" %
                            (mac_text(f["dst"]), mac_text(pend or cur)))
        d = f["data"]
        fill = [d["serialnumb"], d["resv0"], d["resv1"]]
        if f["stNum"] == 0:
            if fill != [0, 0xFFFF, 0xFFFF]:
                problems.append("start-up request serial/resv %s" % fill)
        elif fill != [0xFFFF] * 3:
            problems.append("serial/resv %s instead of 0xFFFF" % fill)
        if problems:
            ev.fail("GOOSE %s st %d sq %d: %s" % (gun, f["stNum"], f["sqNum"], "; ".join(problems)))

    def check_auth(self, f, gun, wall):
        cur, pend = self.keys[gun]
        if hmac.compare_digest(hmac.new(cur, f["signed"], hashlib.sha256).digest(), f["auth"]):
            self.last_key[gun] = cur
            return True
        if pend is not None and hmac.compare_digest(
                hmac.new(pend, f["signed"], hashlib.sha256).digest(), f["auth"]):
            self.keys[gun] = [pend, None]
            self.last_key[gun] = pend
            self.ev.log("GOOSE", "%s st %d sq %d: first frame under the new key %s..." % (
                gun, f["stNum"], f["sqNum"], pend[:6].hex()))
            return True
        old = self.retired_key[gun]
        if old is not None and wall < old[1] and hmac.compare_digest(
                hmac.new(old[0], f["signed"], hashlib.sha256).digest(), f["auth"]):
            self.ev.log("GOOSE", "%s st %d sq %d: sent under the old key %s... before the write "
                        "was acknowledged" % (gun, f["stNum"], f["sqNum"], old[0][:6].hex()))
            return True
        self.ev.fail("GOOSE %s st %d sq %d: HMAC does not verify under the key %s..." %
                     (gun, f["stNum"], f["sqNum"], (pend or cur)[:4].hex()))
        return False

    def check_sequence(self, f, gun, mono, stamp):
        # Intervals from the kernel's receive time stamps: this thread may run late.
        ev = self.ev
        if self.outage[gun]:
            self.outage_frame(f, gun, mono, stamp)
            return
        s = self.streams[gun]
        s.frames += 1
        st, sq = f["stNum"], f["sqNum"]
        sig = (f["kind"], tuple(sorted(f["data"].items())))
        if s.st is not None and st == s.st:
            if sq != s.sq + 1:
                ev.fail("GOOSE %s st %d: sqNum %d after %d" % (gun, st, sq, s.sq))
            if sig != s.data:
                ev.warn("GOOSE %s st %d sq %d: request content changed without a new stNum (%s)" %
                        (gun, st, sq, describe(f)))
            gap = stamp - s.times[-1]
            n = len(s.times)  # index of this frame in the current state
            want = None
            if st == 0:
                want = (None, 2.0, 2.0, 4.0)[n] if n < 4 else 5.0
            elif n >= 2:
                want = (None, None, 1.0, 2.0, 4.0)[n] if n < 5 else 5.0
            elif gap > 5.0 + self.tol:
                ev.fail("GOOSE %s st %d: first repetition %.2f s after the request" % (gun, st, gap))
            if want is not None and abs(gap - want) > self.tol:
                ev.fail("GOOSE %s st %d sq %d: repeated after %.2f s, schedule says %.1f s" %
                        (gun, st, sq, gap, want))
            s.times.append(stamp)
            s.sq = sq
            s.data = sig
            ev.count("goose_repetitions")
            ev.log("GOOSE", "%s st %d sq %d repeat %s" % (gun, st, sq, describe(f)), show=False)
            return
        if s.st is None:
            if sq != 1:
                ev.fail("GOOSE %s: first frame seen has sqNum %d" % (gun, sq))
        elif st != s.st + 1:
            ev.fail("GOOSE %s: stNum %d after %d" % (gun, st, s.st))
        elif sq != 1:
            ev.fail("GOOSE %s: new stNum %d starts with sqNum %d" % (gun, st, sq))
        s.st, s.sq, s.data, s.kind = st, sq, sig, f["kind"]
        s.times = [stamp]
        s.requests.append((mono, f))
        ev.count("goose_requests")
        ev.log("GOOSE", "%s st %d sq %d %s -> %s" % (gun, st, sq, describe(f), mac_text(f["dst"])))

    def requests_since(self, gun, t):
        with self.lock:
            return [f for (mt, f) in self.streams[gun].requests if mt >= t]

    def frames_of(self, gun):
        with self.lock:
            s = self.streams[gun]
            return s.st, s.sq, len(s.times)
