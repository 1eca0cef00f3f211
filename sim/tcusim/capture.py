"""Captures written beside goose.pcap, for Wireshark and the dissectors in
tools/wireshark/:

- line.pcap: every frame on the controller line, link type DLT_USER0 (147), one
  packet per frame behind a one-byte direction header (0 sent by the terminal,
  1 sent by a device, 2 unknown), time-stamped when its last byte crossed;
- modbus.pcap: the power unit's view of the Modbus TCP stream as plain TCP/IPv4
  packets (link type RAW, 101): a made-up three-way handshake per connection, the
  bytes as the power unit sent and received them (after TLS, so always readable),
  and the connection's end (FIN or RST).

Each writer also keeps what the simulator itself made of every packet, for the
dissector check (tcusim.dissect)."""
import socket
import struct
import threading
import time

LINKTYPE_RAW = 101
LINKTYPE_USER0 = 147
DIR_TERMINAL = 0
DIR_DEVICE = 1
DIR_UNKNOWN = 2


class Pcap:
    """A classic pcap file (microsecond time stamps), flushed after every packet
    so that a run cut short still leaves a readable file."""

    def __init__(self, path, linktype, snaplen=65535):
        self.f = open(path, "wb")
        self.f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, linktype))
        self.f.flush()
        self.lock = threading.Lock()
        self.count = 0

    def write(self, ts, data):
        with self.lock:
            self.write_locked(ts, data)

    def write_locked(self, ts, data):
        if self.f is None:
            return
        sec = int(ts)
        usec = int(round((ts - sec) * 1e6))
        if usec >= 1000000:
            sec, usec = sec + 1, usec - 1000000
        self.f.write(struct.pack("<IIII", sec, usec, len(data), len(data)) + data)
        self.f.flush()
        self.count += 1

    def close(self):
        with self.lock:
            if self.f is not None:
                self.f.close()
                self.f = None


class LineCapture:
    """line.pcap: the frames of the controller line in the order they crossed it."""

    def __init__(self, path):
        self.pcap = Pcap(path, LINKTYPE_USER0)
        self.frames = []     # (monotonic time, direction, bytes), in packet order

    def frame(self, direction, data, ts=None):
        with self.pcap.lock:
            self.pcap.write_locked(time.time() if ts is None else ts, bytes([direction]) + bytes(data))
            self.frames.append((time.monotonic(), direction, bytes(data)))

    def close(self):
        self.pcap.close()


def inet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10


class TcpStream:
    """One TCP connection as packets: the terminal (client) and the power unit
    (server) each with their own sequence numbers."""

    def __init__(self, cap, client, server):
        self.cap = cap
        self.ends = {True: client, False: server}    # from_terminal -> (ip, port)
        self.seq = {True: 0x10000000, False: 0x20000000}
        self.open = True
        self.ipid = 0

    def packet(self, from_terminal, flags, payload=b"", ts=None):
        src, dst = self.ends[from_terminal], self.ends[not from_terminal]
        seq, ack = self.seq[from_terminal], self.seq[not from_terminal]
        if not flags & ACK:
            ack = 0
        tcp = struct.pack("!HHIIBBHHH", src[1], dst[1], seq, ack, 5 << 4, flags, 65535, 0, 0)
        sip, dip = socket.inet_aton(src[0]), socket.inet_aton(dst[0])
        pseudo = sip + dip + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
        csum = inet_checksum(pseudo + tcp + payload)
        tcp = tcp[:16] + struct.pack("!H", csum) + tcp[18:]
        self.ipid = (self.ipid + 1) & 0xFFFF
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), self.ipid, 0x4000,
                         64, 6, 0, sip, dip)
        ip = ip[:10] + struct.pack("!H", inet_checksum(ip)) + ip[12:]
        self.cap.pcap.write_locked(time.time() if ts is None else ts, ip + tcp + payload)
        step = len(payload) + (1 if flags & (SYN | FIN) else 0)
        self.seq[from_terminal] = (seq + step) & 0xFFFFFFFF


class ModbusCapture:
    """modbus.pcap and the simulator's own list of the Modbus frames in it: requests
    (power unit), responses and 0x41 reports (terminal), as
    (from_terminal, transaction id, function, start address, count)."""

    def __init__(self, path):
        self.pcap = Pcap(path, LINKTYPE_RAW)
        self.stream = None
        self.adus = []

    def connect(self, client, server):
        """A new connection the terminal made (client address, server address)."""
        with self.pcap.lock:
            s = TcpStream(self, client, server)
            s.packet(True, SYN)
            s.packet(False, SYN | ACK)
            s.packet(True, ACK)
            self.stream = s

    def data(self, from_terminal, payload):
        with self.pcap.lock:
            s = self.stream
            if s is None or not s.open or not payload:
                return
            # One packet per segment of at most 1460 bytes, as on an Ethernet link.
            for i in range(0, len(payload), 1460):
                s.packet(from_terminal, PSH | ACK, payload[i:i + 1460])

    def close(self, by_terminal=False, reset=False):
        with self.pcap.lock:
            s = self.stream
            if s is None or not s.open:
                return
            s.open = False
            if reset:
                s.packet(by_terminal, RST | ACK)
            else:
                s.packet(by_terminal, FIN | ACK)
                s.packet(not by_terminal, FIN | ACK)
                s.packet(by_terminal, ACK)

    def adu(self, from_terminal, tid, func, start, count):
        with self.pcap.lock:
            self.adus.append((from_terminal, tid, func, start, count))

    def finish(self):
        self.close()
        self.pcap.close()
