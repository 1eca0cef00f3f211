#!/usr/bin/env python3
"""scripts/rs485_capture.py against a pseudo-terminal pair: frames written at 9600-baud
pacing come out one packet each, whether silence or only their length separates them;
noise and a cut frame are their own packets; a minute of gapless noise and a frame
broken by a noise burst make packets no longer than a frame; Ctrl-C and the duration
both leave a complete file; tshark with tools/wireshark/tcu_line.lua reads it without a
Lua error. Wherever the tool must have seen silence before the next bytes, the test
waits for the packet in the file rather than for the clock."""
import os
import signal
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "sim"))
from tcusim.wire import line_frame  # noqa: E402  (the simulator's own codec)

TOOL = os.path.join(TOP, "scripts", "rs485_capture.py")
BYTE_TIME = 0.00104       # one character at 9600 baud, 8N1

POLL_A = line_frame(0x11, bytes([0, 3, 4, 0]))
STATUS_A = line_frame(0x11, bytes([5, 0]) + struct.pack(">HHHIIBB", 2500, 500, 4000, 1000, 20, 7, 1))
RESP_A = line_frame(0x11, bytes([1, 5, 0, 1]))
BOARD_READ = line_frame(0x13, bytes([0x42, 0, 4, 0, 0, 0, 0, 0]))
BOARD_REPLY = line_frame(0x13, bytes([25, 26, 27, 28, 29, 30, 0, 0, 1, 1, 1, 1, 1]))
NOISE = bytes([0x5A, 0x13, 0x77, 0x00, 0xC3])
MAX_FRAME = 128
DIR_NOISE = 3


def gapless_noise(n, seed, after=None):
    """n bytes in which no byte is followed by its complement (so nothing in them, nor
    at the seam after `after`, starts a frame), from a fixed seed."""
    out, x, prev = bytearray(), seed, after
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        b = (x >> 16) & 0xFF
        if prev is not None and b == (~prev) & 0xFF:
            continue
        out.append(b)
        prev = b
    return bytes(out)


def read_pcap(path, partial=False):
    """Header fields and packets; a cut last packet fails, or with `partial` (a file
    still being written) is left out."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _, _, _, snaplen, linktype = struct.unpack("<IHHiIII", data[:24])
    if snaplen != 65535:
        raise AssertionError("snapshot length %d" % snaplen)
    pos, packets = 24, []
    while pos < len(data):
        if pos + 16 > len(data) and partial:
            break
        sec, usec, incl, orig = struct.unpack("<IIII", data[pos:pos + 16])
        if incl > snaplen or incl != orig:
            raise AssertionError("packet of %d bytes (%d on the wire) in %s" % (incl, orig, path))
        if pos + 16 + incl > len(data):
            if partial:
                break
            raise AssertionError("last packet of %s is cut" % path)
        packets.append((sec + usec / 1e6, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    return magic, linktype, packets


def run_tshark(pcap):
    """Kind, CRC status and first expert message of each packet, or None without tshark."""
    if not shutil.which("tshark"):
        print("tshark not installed: the dissector part is skipped")
        return None
    out = subprocess.run(["tshark", "-2", "-r", pcap, "-X", "lua_script:" + os.path.join(
        TOP, "tools", "wireshark", "tcu_line.lua"), "-T", "fields", "-e", "tculine.kind",
        "-e", "tculine.crc.status", "-e", "_ws.expert.message", "-E", "occurrence=f"],
        capture_output=True, text=True, timeout=60)
    if "Lua Error" in out.stdout + out.stderr or out.returncode != 0:
        raise AssertionError("tshark: %s" % (out.stdout + out.stderr)[-2000:])
    return [r.split("\t") for r in out.stdout.splitlines() if r.strip()]


class Capture:
    def __init__(self, *extra):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.dir = tempfile.mkdtemp(prefix="rs485cap")
        self.out = os.path.join(self.dir, "line.pcap")
        self.proc = subprocess.Popen([sys.executable, TOOL, os.ttyname(self.slave), self.out] + list(extra),
                                     stderr=subprocess.PIPE, text=True)
        # The tool says it listens once the port is set up and the file header written.
        line = self.proc.stderr.readline()
        assert "Ctrl-C stops" in line, line

    def send(self, data, pace=True):
        """As on the line: the bytes take their transmission time, then arrive."""
        if pace:
            time.sleep(len(data) * BYTE_TIME)
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view):]

    def wait_packets(self, n, timeout=20):
        """The packets once the file holds at least n: the tool has cut what came so far."""
        end = time.monotonic() + timeout
        while True:
            _, _, packets = read_pcap(self.out, partial=True)
            if len(packets) >= n or time.monotonic() > end:
                return packets
            time.sleep(0.005)

    def wait_bytes(self, n, timeout=20):
        """The packets once they carry n bytes of the line in all."""
        end = time.monotonic() + timeout
        while True:
            _, _, packets = read_pcap(self.out, partial=True)
            if sum(len(p) - 1 for _, p in packets) >= n or time.monotonic() > end:
                return packets
            time.sleep(0.005)

    def finish(self, sig=signal.SIGINT, timeout=10):
        if sig is not None:
            self.proc.send_signal(sig)
        rc = self.proc.wait(timeout)
        self.tail = self.proc.stderr.read()
        self.proc.stderr.close()
        os.close(self.master)
        os.close(self.slave)
        return rc

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class FramesOfTheLine(unittest.TestCase):
    def test_frames_split_by_gap_and_by_length(self):
        c = Capture()
        self.addCleanup(c.cleanup)
        c.send(POLL_A)
        c.wait_packets(1)             # stamped before the reply is even sent
        time.sleep(0.010)
        c.send(STATUS_A)
        time.sleep(0.008)
        c.send(RESP_A)
        time.sleep(0.020)
        # A board request and its reply in one burst, as a USB adapter delivers them.
        c.send(BOARD_READ + BOARD_REPLY)
        time.sleep(0.030)
        c.send(NOISE)
        # Noise ends at the silence after it: the tool must have seen that silence
        # (however late a loaded machine lets it run) before more noise comes.
        c.wait_packets(6)
        time.sleep(0.030)
        c.send(NOISE + RESP_A, pace=False)  # noise and a frame in one burst
        time.sleep(0.030)
        # A frame in two bursts, the second after a pause: its length holds it together.
        c.send(STATUS_A[:9])
        time.sleep(0.002)
        c.send(STATUS_A[9:])
        time.sleep(0.030)
        c.send(STATUS_A[:6])          # cut short: the rest never comes
        c.wait_packets(10)            # given up on after its silence
        c.send(POLL_A)
        c.wait_packets(11)
        self.assertEqual(c.finish(), 0, c.tail)
        magic, linktype, packets = read_pcap(c.out)
        self.assertEqual((magic, linktype), (0xA1B2C3D4, 147))
        self.assertTrue(all(p[0] == 2 for _, p in packets), "direction byte 2 (unknown) on every packet")
        got = [p[1:] for _, p in packets]
        want = [POLL_A, STATUS_A, RESP_A, BOARD_READ, BOARD_REPLY, NOISE, NOISE, RESP_A, STATUS_A, STATUS_A[:6],
                POLL_A]
        self.assertEqual([g.hex() for g in got], [w.hex() for w in want])
        stamps = [t for t, _ in packets]
        self.assertEqual(stamps, sorted(stamps))
        # The reply came 10 ms after the poll and took 23 characters: its stamp shows it.
        self.assertGreater(stamps[1] - stamps[0], 0.030)
        self.assertIn("11 frames", c.tail)
        self.check_dissector(c.out, len(want))

    def check_dissector(self, pcap, n):
        rows = run_tshark(pcap)
        if rows is None:
            return
        self.assertEqual(len(rows), n)
        # Direction told from content and order: poll, reply, response A, board read,
        # board reply, noise, noise, a frame with no command awaiting it (a reply),
        # reply, cut reply, poll.
        self.assertEqual([r[0] for r in rows], ["1", "2", "3", "5", "7", "0", "0", "2", "2", "2", "1"])
        self.assertEqual([r[1] for r in rows], ["1", "1", "1", "1", "1", "", "", "1", "1", "2", "1"])
        self.assertIn("noise", rows[5][2])
        self.assertIn("cut short", rows[9][2])


class NoiseOfTheLine(unittest.TestCase):
    def test_a_minute_of_gapless_noise_makes_packets_no_longer_than_a_frame(self):
        # 60 s of 9600-baud bytes, handed over as fast as the tool takes them.
        noise = gapless_noise(60 * 960, 7)
        c = Capture()
        self.addCleanup(c.cleanup)
        c.send(noise, pace=False)
        c.wait_bytes(len(noise))      # the last bytes go out after the silence
        self.assertEqual(c.finish(), 0, c.tail)
        _, _, packets = read_pcap(c.out)
        self.assertEqual(b"".join(p[1:] for _, p in packets), noise)
        self.assertLessEqual(max(len(p) - 1 for _, p in packets), MAX_FRAME)
        self.assertEqual({p[0] for _, p in packets}, {DIR_NOISE})
        rows = run_tshark(c.out)
        if rows is not None:
            self.assertEqual(len(rows), len(packets))
            self.assertEqual({r[0] for r in rows}, {"0"})
            self.assertIn("noise", rows[0][2].lower())

    def test_a_frame_broken_by_a_noise_burst(self):
        # Gapless: a reply's first ten bytes, a burst of noise, then a sound poll.
        burst = gapless_noise(300, 11, after=STATUS_A[9])
        c = Capture()
        self.addCleanup(c.cleanup)
        c.send(STATUS_A[:10] + burst + POLL_A, pace=False)
        c.wait_packets(5)
        self.assertEqual(c.finish(), 0, c.tail)
        _, _, packets = read_pcap(c.out)
        # The reply is cut at its length, noise and all; the rest of the burst, longer
        # than any frame, goes out in frame-sized noise packets; the poll is whole.
        taken = len(STATUS_A) - 10
        rest = burst[taken:]
        want = [(2, STATUS_A[:10] + burst[:taken]), (3, rest[:128]), (3, rest[128:256]), (3, rest[256:]),
                (2, POLL_A)]
        self.assertEqual([(p[0], p[1:].hex()) for _, p in packets], [(d, w.hex()) for d, w in want])
        rows = run_tshark(c.out)
        if rows is not None:
            self.assertEqual([r[0] for r in rows], ["2", "0", "0", "0", "1"])
            self.assertEqual([r[1] for r in rows], ["0", "", "", "", "1"])


class AlwaysACleanFile(unittest.TestCase):
    def test_ctrl_c_in_the_middle_of_a_frame_keeps_what_arrived(self):
        c = Capture()
        self.addCleanup(c.cleanup)
        c.send(POLL_A)
        time.sleep(0.010)
        c.send(STATUS_A[:10])
        self.assertEqual(c.finish(signal.SIGINT), 0, c.tail)
        _, _, packets = read_pcap(c.out)
        self.assertEqual([p[1:].hex() for _, p in packets], [POLL_A.hex(), STATUS_A[:10].hex()])

    def test_duration_ends_the_capture_by_itself(self):
        c = Capture("--duration", "0.6")
        self.addCleanup(c.cleanup)
        c.send(POLL_A)
        t0 = time.monotonic()
        self.assertEqual(c.finish(sig=None), 0, c.tail)
        self.assertLess(time.monotonic() - t0, 5.0)
        _, _, packets = read_pcap(c.out)
        self.assertEqual([p[1:] for _, p in packets], [POLL_A])

    def test_a_capture_without_traffic_is_an_empty_valid_file(self):
        c = Capture()
        self.addCleanup(c.cleanup)
        time.sleep(0.1)
        self.assertEqual(c.finish(signal.SIGTERM), 0, c.tail)
        magic, linktype, packets = read_pcap(c.out)
        self.assertEqual((magic, linktype, packets), (0xA1B2C3D4, 147, []))

    def test_a_missing_device_is_refused(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        out = subprocess.run([sys.executable, TOOL, os.path.join(d, "ttyNONE"), os.path.join(d, "x.pcap")],
                             capture_output=True, text=True, timeout=10)
        self.assertEqual(out.returncode, 2)
        self.assertIn("cannot open", out.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
