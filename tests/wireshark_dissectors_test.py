#!/usr/bin/env python3
"""The Lua dissectors of tools/wireshark/ over hand-made bad frames: each decodes as far
as it is valid, is flagged with its expert item, and nothing raises a Lua error. The
sound frames of the same files are checked alongside so that a flag on everything
cannot pass. Skipped (77) without tshark. The simulator's scenarios run the same
dissectors over the real captures (sim/tcusim/dissect.py)."""
import hashlib
import hmac
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "sim"))
from tcusim.capture import ModbusCapture, Pcap  # noqa: E402
from tcusim.goose import decode_frame  # noqa: E402
from tcusim.wire import crc16_modbus, line_frame  # noqa: E402

SCRIPTS = os.path.join(TOP, "tools", "wireshark")


def tshark(pcap, script, fields, prefs=()):
    cmd = ["tshark", "-2", "-n", "-r", pcap, "-X", "lua_script:" + os.path.join(SCRIPTS, script),
           "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"]
    for p in prefs:
        cmd += ["-o", p]
    for f in ("_ws.expert.message",) + tuple(fields):
        cmd += ["-e", f]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    err = [x for x in out.stderr.splitlines() if x.strip() and "Running as user" not in x]
    rows = [r.split("\t") for r in out.stdout.split("\n") if r.strip()]
    return rows, err


class Dissectors(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wsdiss")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def assertNoLuaError(self, rows, err):
        self.assertEqual(err, [])
        for r in rows:
            self.assertNotIn("Lua Error", r[0])

    # ---- controller line ----
    def test_line_bad_frames(self):
        good = line_frame(0x11, bytes([7, 3]) + struct.pack(">HHB", 4000, 500, 0))
        bad_crc = bytearray(good)
        bad_crc[-1] ^= 0xFF
        frames = [
            (1, good),                                   # sound reply: no flag
            (1, good[:6]),                               # capture cut in the middle of a frame
            (1, good[:2]),                               # cut before the length byte
            (1, bytes([0x37, 0x99, 0x01, 0xFE, 0x42])),  # noise
            (1, bytes(bad_crc)),                         # bad CRC
            (1, bytes([0x11, 0xEE, 200]) + bytes(20)),   # impossible length (a frame holds 128 bytes)
            (1, good + b"\x00\x01"),                     # bytes after the frame
            (1, line_frame(0x12, bytes([9, 3, 0]))),     # set voltage/current without its parameters
            (0, line_frame(0x11, bytes([1, 4, 100, 1, 1, 1]))),  # response B, sound
            (1, line_frame(0x11, bytes([4, 77, 0]))),    # unsupported command: a note, not an error
        ]
        pcap = os.path.join(self.dir, "line.pcap")
        p = Pcap(pcap, 147)
        for i, (d, f) in enumerate(frames):
            p.write(1000 + i * 0.01, bytes([d]) + f)
        p.write(1001, b"")                               # an empty packet: no direction byte
        p.close()
        rows, err = tshark(pcap, "tcu_line.lua", ("tculine.cmd", "tculine.crc.status", "tculine.set_voltage",
                                                   "tculine.data"))
        self.assertNoLuaError(rows, err)
        self.assertEqual(len(rows), len(frames) + 1)
        msg = [r[0] for r in rows]
        self.assertEqual(msg[0], "")
        self.assertEqual((rows[0][1], rows[0][2], rows[0][3]), ("3", "1", "400"))
        self.assertIn("cut short", msg[1])
        self.assertEqual(rows[1][1], "3")                # decoded as far as it is valid
        self.assertIn("cut short", msg[2])
        self.assertIn("noise", msg[3])
        self.assertIn("Bad CRC", msg[4])
        self.assertEqual(rows[4][2], "0")
        self.assertIn("Impossible length", msg[5])
        self.assertIn("after the end", msg[6])
        self.assertIn("too short", msg[7])
        self.assertEqual((msg[8], rows[8][4]), ("", "0x0101"))
        self.assertIn("does not support", msg[9])
        self.assertIn("without the direction byte", msg[10])

    # ---- Modbus TCP ----
    def test_modbus_bad_frames(self):
        pcap = os.path.join(self.dir, "modbus.pcap")
        cap = ModbusCapture(pcap)
        cap.connect(("127.0.0.1", 40000), ("127.0.0.1", 1502))

        def mbap(tid, unit, pdu, length=None):
            return struct.pack(">HHHB", tid, 0, len(pdu) + 1 if length is None else length, unit) + pdu

        def report(tid, addr, regs, n=None):
            n = len(regs) if n is None else n
            body = bytes([0x91, 0, 11 + 2 * n, 0, 0, 1, 0, 1, 0, 1]) + struct.pack(">HBB", addr, 0, n)
            return mbap(tid, 1, bytes([0x41]) + body + b"".join(struct.pack(">H", r) for r in regs))

        key = bytes(range(1, 49))
        regs = [key[i] << 8 | key[i + 1] for i in range(0, 48, 2)]
        cap.data(False, mbap(1, 255, struct.pack(">BHHB", 16, 0x2115, 24, 48) + key))       # key write
        cap.data(True, mbap(1, 255, struct.pack(">BHH", 16, 0x2115, 24)))
        cap.data(False, mbap(2, 255, struct.pack(">BHH", 3, 0x1107, 2)))                     # read a float
        cap.data(True, mbap(2, 255, struct.pack(">BB", 3, 4) + struct.pack(">f", 399.5)))
        cap.data(True, report(3, 0x110B, [3]))                                               # sound report
        cap.data(True, report(4, 0x1113, [0x43C8], n=2))                                     # count > values
        cap.data(True, report(5, 0x110B, [3]).replace(b"\x41\x91", b"\x41\x92"))            # layout differs
        cap.data(True, mbap(6, 255, struct.pack(">BB", 3, 2) + b"\x00\x01"))                 # answer to nothing
        cap.data(False, mbap(7, 255, struct.pack(">BHHB", 16, 0x2100, 4, 8) + b"\x44\x7a"))  # count > values
        cap.data(True, mbap(8, 1, b"\x41\x91", length=1))                                    # impossible length
        cap.finish()
        rows, err = tshark(pcap, "tcu_modbus.lua", ("tcumb.func", "tcumb.start", "tcumb.reg.name",
                                                     "tcumb.reg.key", "tcumb.reg.float", "tcumb.reg.value"),
                           prefs=("tcumb.port:1502",))
        self.assertNoLuaError(rows, err)
        text = "\n".join("\t".join(r) for r in rows)
        data = [r for r in rows if len(r) > 1 and r[1]]
        # The key is shown as set, its bytes never.
        self.assertIn("gun A GOOSE authentication key", data[0][3])
        self.assertEqual(data[0][4], "set")
        self.assertNotIn("0x0102", data[0][6])
        self.assertIn("399.5", data[3][5])                                   # float named and decoded
        self.assertIn("gun A output voltage (V)", data[3][3])
        self.assertEqual(data[4][0], "")                                     # sound report: no flag
        self.assertIn("gun A work state", data[4][3])
        self.assertIn("Register count 2 needs 4 bytes", data[5][0])
        self.assertIn("fixed layout", data[6][0])
        self.assertIn("Answer to no request", data[7][0])
        self.assertIn("Register count 4 needs 8 bytes", data[8][0])
        self.assertIn("Impossible MBAP length", text)

    def test_modbus_cut_capture_without_reassembly(self):
        pcap = os.path.join(self.dir, "cut.pcap")
        cap = ModbusCapture(pcap)
        cap.connect(("127.0.0.1", 40001), ("127.0.0.1", 1502))
        cap.data(False, struct.pack(">HHHBBHH", 9, 0, 6, 255, 3, 0x1100, 10)[:9])
        cap.pcap.close()
        out = subprocess.run(["tshark", "-n", "-r", pcap, "-o", "tcp.desegment_tcp_streams:FALSE", "-X",
                              "lua_script:" + os.path.join(SCRIPTS, "tcu_modbus.lua"), "-o", "tcumb.port:1502",
                              "-T", "fields", "-e", "_ws.expert.message"], capture_output=True, text=True,
                             timeout=60)
        self.assertNotIn("Lua Error", out.stdout + out.stderr)
        self.assertIn("cut short", out.stdout)

    # ---- GOOSE ----
    @staticmethod
    def goose_frame(key, st=3, sq=7):
        def tlv(tag, value):
            n = len(value)
            return bytes([tag]) + (bytes([n]) if n < 128 else bytes([0x81, n])) + value
        name = b"CC/0$GO$ShutdownRequest\0"
        entries = b"".join(tlv(0x86, struct.pack(">H", v)) for v in (1, 0xFFFF, 4, 0xFFFF, 0xFFFF))
        body = (tlv(0x80, name) + tlv(0x81, struct.pack(">H", 10000)) + tlv(0x82, name) + tlv(0x83, name) +
                tlv(0x84, struct.pack(">I", int(time.time())) + b"\0\0\0\x0a") + tlv(0x85, struct.pack(">I", st)) +
                tlv(0x86, struct.pack(">I", sq)) + tlv(0x87, b"\0") + tlv(0x88, struct.pack(">I", 1)) +
                tlv(0x89, b"\0") + tlv(0x8A, struct.pack(">I", 5)) + tlv(0xAB, entries))
        pdu = tlv(0x61, body)
        head = struct.pack(">HHHH", 0x88B8, 0x3002, len(pdu) + 8, 35)
        head += struct.pack(">H", crc16_modbus(head))
        signed = head + pdu
        return bytes.fromhex("010ccd010001025443550001") + signed + b"\xad\x00\x20" + \
            hmac.new(key, signed, hashlib.sha256).digest()

    def test_goose_trailer(self):
        key = hashlib.sha384(b"bench").digest()
        good = self.goose_frame(key)
        decode_frame(good)                        # the simulator's own decoder accepts it
        bad_crc = bytearray(good)
        bad_crc[21] ^= 0x01
        frames = [good, self.goose_frame(bytes(48), 4, 1), good[:-35], good[:-25], bytes(bad_crc),
                  self.goose_frame(hashlib.sha384(b"other").digest()), good[:60], good[:-2]]
        pcap = os.path.join(self.dir, "goose.pcap")
        p = Pcap(pcap, 1)
        for i, f in enumerate(frames):
            p.write(1000 + i, f)
        p.close()
        rows, err = tshark(pcap, "tcu_goose.lua", ("goose.stNum", "tcugoose.crc.status", "tcugoose.hmac.status"),
                           prefs=("tcugoose.keys:" + key.hex() + ",zero",))
        self.assertNoLuaError(rows, err)
        self.assertEqual(len(rows), len(frames))
        self.assertEqual(rows[0], ["", "3", "1", "1"])              # verified under key 1
        self.assertEqual(rows[1], ["", "4", "1", "1"])              # verified under the zero key
        self.assertIn("No security trailer", rows[2][0])
        self.assertIn("cut short", rows[3][0])
        self.assertIn("Bad header CRC", rows[4][0])
        self.assertEqual(rows[4][2], "0")
        self.assertIn("HMAC does not verify", rows[5][0])
        self.assertEqual(rows[5][3], "0")
        self.assertIn("Length", rows[6][0])                        # Length beyond the frame
        self.assertIn("cut short", rows[7][0])
        # Without a key the HMAC is not checked, and nothing is flagged for it.
        rows, err = tshark(pcap, "tcu_goose.lua", ("tcugoose.hmac.status",))
        self.assertNoLuaError(rows, err)
        self.assertEqual(rows[0], ["", "2"])


if __name__ == "__main__":
    if not shutil.which("tshark"):
        print("tshark not installed: skipped (scripts/deps.sh installs it)")
        sys.exit(77)
    unittest.main(verbosity=2)
