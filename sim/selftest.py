#!/usr/bin/env python3
"""Checks the simulator's own protocol code against published vectors, so that a
fault in the simulator is not mistaken for one in the terminal: CRC-16/MODBUS, line
frames, register encodings and the GOOSE decoder (incl. its refusals)."""
import hashlib
import hmac
import os
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tcusim import goose, wire  # noqa: E402


def ber(n):
    if n < 0x80:
        return bytes([n])
    if n < 0x100:
        return bytes([0x81, n])
    return bytes([0x82]) + n.to_bytes(2, "big")


def tlv(tag, value):
    return bytes([tag]) + ber(len(value)) + value


def build_frame(key=bytes(48), st=3, sq=1, ms=999, reason=None, serial=0xFFFF, dst="010ccd010001",
                sec=1700000000):
    name = b"CC/0$GO$PowerRequest\0" if reason is None else b"CC/0$GO$ShutdownRequest\0"
    frac = ms * 16777 + ms * 216 // 1000
    t = struct.pack(">I", sec) + frac.to_bytes(3, "big") + b"\x0a"
    if reason is None:
        data = b"".join(tlv(0x86, struct.pack(">H", v)) for v in (1, serial, 5, 2))
        data += tlv(0x87, struct.pack(">f", 400.0)) + tlv(0x87, struct.pack(">f", 125.0))
        data += tlv(0x86, b"\xff\xff") * 2
        n = 8
    else:
        data = b"".join(tlv(0x86, struct.pack(">H", v)) for v in (1, 0xFFFF, reason, 0xFFFF, 0xFFFF))
        n = 5
    body = (tlv(0x80, name) + tlv(0x81, struct.pack(">H", 10000)) + tlv(0x82, name) + tlv(0x83, name) +
            tlv(0x84, t) + tlv(0x85, struct.pack(">I", st)) + tlv(0x86, struct.pack(">I", sq)) +
            tlv(0x87, b"\0") + tlv(0x88, struct.pack(">I", 1)) + tlv(0x89, b"\0") +
            tlv(0x8A, struct.pack(">I", n)) + tlv(0xAB, data))
    pdu = tlv(0x61, body)
    head = struct.pack(">HHHH", 0x88B8, 1 if reason is None else 0x3002, len(pdu) + 8, 35)
    head += struct.pack(">H", wire.crc16_modbus(head))
    signed = head + pdu
    mac = hmac.new(key, signed, hashlib.sha256).digest()
    return bytes.fromhex(dst) + bytes.fromhex("025443550001") + signed + b"\xad\x00\x20" + mac


class Vectors(unittest.TestCase):
    def test_crc(self):
        self.assertEqual(wire.crc16_modbus(b"123456789"), 0x4B37)
        self.assertEqual(wire.crc16_modbus(bytes.fromhex("01030000000A")), 0xCDC5)
        self.assertEqual(wire.crc16_modbus(b""), 0xFFFF)

    def test_line_frames(self):
        self.assertEqual(wire.line_frame(0x11, bytes([0, 3, 4, 0])).hex(" "), "11 ee 04 00 03 04 00 0e 4f")
        self.assertEqual(wire.line_frame(0x12, bytes([0, 3, 4, 0])).hex(" "), "12 ed 04 00 03 04 00 3d 7c")
        self.assertEqual(wire.line_frame(0x11, bytes([1, 5, 0, 1])).hex(" "), "11 ee 04 01 05 00 01 2c b2")
        self.assertEqual(wire.line_frame(0x11, bytes([1, 7, 102, 1, 0xFF, 1])).hex(" "),
                         "11 ee 06 01 07 66 01 ff 01 58 0d")
        self.assertEqual(wire.line_frame(0x13, bytes([0x42, 0, 4, 0, 0, 0, 0, 0])).hex(" "),
                         "13 ec 08 42 00 04 00 00 00 00 00 7a a4")
        self.assertEqual(wire.line_frame(0x13, bytes([0x42, 0, 4, 1, 0, 2, 2, 2])).hex(" "),
                         "13 ec 08 42 00 04 01 00 02 02 02 66 05")
        self.assertTrue(wire.line_frame_ok(wire.line_frame(0x13, b"\x01\x02\x03")))
        self.assertFalse(wire.line_frame_ok(b"\x13\xec\x03\x01\x02\x03\x00\x00"))

    def test_register_encodings(self):
        self.assertEqual(wire.float_regs(220.5), (0x435C, 0x8000))
        self.assertEqual(wire.float_regs(32.0), (0x4200, 0x0000))
        self.assertEqual(wire.double_regs(123.456), (0x405E, 0xDD2F, 0x1A9F, 0xBE77))
        self.assertEqual(wire.bytes_regs(b"AB"), [0x4142])
        self.assertEqual(wire.regs_bytes(wire.bytes_regs(bytes.fromhex("025443550001"))).hex(), "025443550001")


class Goose(unittest.TestCase):
    def test_power_request(self):
        f = goose.decode_frame(build_frame())
        self.assertEqual(f["size"], 211)
        self.assertEqual(f["kind"], "power")
        self.assertEqual((f["stNum"], f["sqNum"], f["tal"], f["confRev"]), (3, 1, 10000, 1))
        self.assertEqual(f["data"]["V"], 400.0)
        self.assertEqual(f["data"]["type"], 5)
        self.assertAlmostEqual(f["t"] % 1, 0.999, places=6)
        self.assertTrue(hmac.compare_digest(hmac.new(bytes(48), f["signed"], hashlib.sha256).digest(), f["auth"]))

    def test_shutdown_request(self):
        f = goose.decode_frame(build_frame(reason=4))
        self.assertEqual((f["size"], f["kind"], f["appid"], f["data"]["reason"]), (204, "shutdown", 0x3002, 4))

    def test_hmac_covers_pdu_not_destination(self):
        key = hashlib.sha384(b"k").digest()
        raw = bytearray(build_frame(key))
        raw[0] ^= 1
        f = goose.decode_frame(bytes(raw))
        self.assertEqual(hmac.new(key, f["signed"], hashlib.sha256).digest(), f["auth"])
        raw[100] ^= 1
        f = goose.decode_frame(bytes(raw))
        self.assertNotEqual(hmac.new(key, f["signed"], hashlib.sha256).digest(), f["auth"])

    def test_refusals(self):
        good = build_frame()
        bad_crc = bytearray(good)
        bad_crc[21] ^= 1
        with self.assertRaises(goose.FrameError):
            goose.decode_frame(bytes(bad_crc))
        with self.assertRaises(goose.FrameError):
            goose.decode_frame(good[:-1])
        bad_trailer = bytearray(good)
        bad_trailer[22 + 154] = 0xAE
        with self.assertRaises(goose.FrameError):
            goose.decode_frame(bytes(bad_trailer))

    def test_ber_lengths(self):
        self.assertEqual(goose.ber_length(bytes([0x7F]), 0), (127, 1))
        self.assertEqual(goose.ber_length(bytes([0x81, 0x80]), 0), (128, 2))
        self.assertEqual(goose.ber_length(bytes([0x82, 1, 0]), 0), (256, 3))
        with self.assertRaises(goose.FrameError):
            goose.ber_length(bytes([0x80]), 0)


class Book:
    """Stands in for the run's event book: collects failures and warnings."""

    def __init__(self):
        self.failures, self.warnings = [], []

    def fail(self, text):
        self.failures.append(text)

    def warn(self, text):
        self.warnings.append(text)

    def log(self, *a, **k):
        pass

    def count(self, *a):
        pass


def subscriber():
    """A subscriber without its capture socket: frames are handed in directly."""
    import threading
    sub = goose.Subscriber.__new__(goose.Subscriber)
    sub.ev = Book()
    sub.gun_of = {1: "A", 2: "B"}
    sub.streams = {"A": goose.Stream("A"), "B": goose.Stream("B")}
    sub.keys = {"A": [bytes(48), None], "B": [bytes(48), None]}
    sub.last_key = {"A": bytes(48), "B": bytes(48)}
    sub.dst = [None, None]
    sub.retired_key = {"A": None, "B": None}
    sub.retired_dst = None
    sub.src = None
    sub.tol = 0.5
    sub.lock = threading.Lock()
    sub.checked = 0
    sub.outage = {"A": False, "B": False}
    sub.first_after = {"A": None, "B": None}
    return sub


T = 1700000000.0


def feed(sub, at, **kw):
    """Hands one frame to the subscriber as if received `at` seconds into the run."""
    kw.setdefault("dst", "020000000001")
    kw.setdefault("serial", 0 if kw.get("st", 3) == 0 else 0xFFFF)
    sub.frame(build_frame(sec=int(T + at), ms=int(round((at % 1) * 1000)), **kw), T + at, at)


def has(texts, part):
    return any(part in t for t in texts)


class SubscriberChecks(unittest.TestCase):
    def test_start_up_schedule_and_new_state(self):
        sub = subscriber()
        for sq, at in ((1, 0), (2, 2), (3, 4), (4, 8), (5, 13)):
            feed(sub, at, st=0, sq=sq)
        feed(sub, 13.5, st=1, sq=1)
        self.assertEqual(sub.ev.failures, [])
        self.assertEqual(sub.frames_of("A")[:2], (1, 1))

    def test_schedule_deviation_and_sequence_faults(self):
        sub = subscriber()
        feed(sub, 0, st=0, sq=1)
        feed(sub, 3, st=0, sq=2)
        self.assertTrue(has(sub.ev.failures, "schedule says 2.0"))
        feed(sub, 5, st=0, sq=4)
        self.assertTrue(has(sub.ev.failures, "sqNum 4 after 2"))
        feed(sub, 5.1, st=2, sq=1)
        self.assertTrue(has(sub.ev.failures, "stNum 2 after 0"))

    def test_destination_must_be_the_one_written(self):
        sub = subscriber()
        feed(sub, 0, st=1, sq=1, dst="010ccd010001")
        self.assertTrue(has(sub.ev.failures, "not unicast"))
        sub.ev.failures.clear()
        sub.dst_pending(bytes.fromhex("010ccd010001"))
        sub.dst_confirmed()
        feed(sub, 1, st=1, sq=2, dst="020000000001")
        self.assertTrue(has(sub.ev.failures, "power unit wrote 01:0c:cd:01:00:01"))

    def test_keys(self):
        sub = subscriber()
        new = hashlib.sha384(b"new").digest()
        feed(sub, 0, st=1, sq=1, key=new)
        self.assertTrue(has(sub.ev.failures, "HMAC"))
        sub.ev.failures.clear()
        sub.key_pending("A", new)
        feed(sub, 1, st=1, sq=2)                 # still the old key: allowed while pending
        feed(sub, 2, st=1, sq=3, key=new)
        self.assertEqual(sub.ev.failures, [])
        feed(sub, 4, st=1, sq=4)                 # back to the old one: refused
        self.assertTrue(has(sub.ev.failures, "HMAC"))

    def test_frame_on_its_way_during_the_write(self):
        # Signed and sent before the write was acknowledged, read after: still good.
        sub = subscriber()
        new = hashlib.sha384(b"new").digest()
        feed(sub, 0, st=1, sq=1, dst="010ccd010001")
        sub.ev.failures.clear()
        sub.dst_pending(bytes.fromhex("010ccd010001"))
        sub.dst_confirmed()
        sub.dst_pending(bytes.fromhex("010ccd010099"))
        sub.key_pending("A", new)
        sub.key_confirmed("A")
        sub.dst_confirmed()
        ack = time.time() - T
        feed(sub, ack - 0.01, st=1, sq=2, dst="010ccd010001")
        self.assertFalse(has(sub.ev.failures, "HMAC"))      # (its schedule is not this test's)
        self.assertFalse(has(sub.ev.failures, "power unit wrote"))
        feed(sub, ack + 1, st=1, sq=3, dst="010ccd010001")
        self.assertTrue(has(sub.ev.failures, "HMAC"))
        self.assertTrue(has(sub.ev.failures, "power unit wrote 01:0c:cd:01:00:99"))

    def test_content_change_without_new_state_is_flagged(self):
        sub = subscriber()
        feed(sub, 0, st=1, sq=1)
        feed(sub, 0.5, st=1, sq=2, reason=0)
        self.assertTrue(sub.ev.warnings)


class OutageChecks(unittest.TestCase):
    """Frames lost while the GOOSE link is down: the stream goes on where it was."""

    def test_lost_frames_and_a_new_request_during_the_outage(self):
        sub = subscriber()
        feed(sub, 0, st=3, sq=1)
        sub.outage_begin()
        feed(sub, 3, st=4, sq=3)                 # sq 1 and 2 were lost
        self.assertEqual(sub.ev.failures, [])
        self.assertEqual(sub.first_after["A"][1:], (4, 3))
        feed(sub, 5, st=4, sq=4)                 # then the schedule goes on: 2 s after sq 3
        self.assertEqual(sub.ev.failures, [])
        self.assertEqual(len(sub.requests_since("A", 0)), 2)

    def test_a_stream_that_starts_again_is_refused(self):
        sub = subscriber()
        feed(sub, 0, st=3, sq=1)
        feed(sub, 1, st=3, sq=2)
        sub.outage_begin()
        feed(sub, 9, st=3, sq=2)
        self.assertTrue(has(sub.ev.failures, "after the outage"))
        sub.ev.failures.clear()
        sub.outage_begin()
        feed(sub, 12, st=1, sq=1)
        self.assertTrue(has(sub.ev.failures, "after the outage"))


class FaultPieces(unittest.TestCase):
    def test_noise_never_starts_like_a_frame(self):
        from tcusim.line import Line
        line = Line.__new__(Line)
        line.rng = __import__("random").Random(7)
        line.faulty_replies = 0
        line.ev = Book()
        sent = []
        line.send = sent.append
        for _ in range(2000):
            line.fault_reply("noise", b"")
        self.assertTrue(all(len(b) >= 3 and b[1] != (~b[0]) & 0xFF for b in sent))
        frame = wire.line_frame(0x11, bytes(18))
        sent.clear()
        for _ in range(200):
            line.fault_reply("truncated", frame)
        self.assertTrue(all(0 < len(b) < len(frame) and frame.startswith(b) for b in sent))

    def test_fault_book_figures(self):
        from tcusim.faults import Book as FaultBook
        b = FaultBook()
        b.injected("pu_reset", 3)
        for r in (0.2, 0.05, 0.1):
            b.recovered("pu_reset", r)
        b.injected("log_full")
        b.unrecovered("log_full")
        f = b.figures()
        self.assertEqual((f["pu_reset"]["injected"], f["pu_reset"]["recovery_median_s"],
                          f["pu_reset"]["recovery_worst_s"]), (3, 0.1, 0.2))
        self.assertEqual((f["log_full"]["unrecovered"], f["log_full"]["recovery_median_s"]), (1, None))
        self.assertTrue(any("NOT recovered" in t for t in b.lines()))


if __name__ == "__main__":
    unittest.main(verbosity=1)
