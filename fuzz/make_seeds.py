#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/: small,
valid inputs taken from the unit tests' frames, plus a few typical broken ones.
Run again after changing a target's input format; the files are kept in git."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rec(sel, data):
    """One record of the record-framed targets: selector, length, bytes."""
    assert len(data) <= 255
    return bytes([sel, len(data)]) + bytes(data)


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


# ---- controller line: addr, ~addr, L, body, CRC low, CRC high
def frame(addr, body):
    f = bytes([addr, (~addr) & 0xFF, len(body)]) + bytes(body)
    c = crc16(f)
    return f + bytes([c & 0xFF, c >> 8])


def reply(addr, seq, cmd, params=b""):
    return frame(addr, bytes([seq, cmd]) + bytes(params))


def status(addr, seq, stage, gun_type):
    p = struct.pack(">HHHII", 2500, 1200, 7500, 123456, 789) + bytes([stage, gun_type])
    return reply(addr, seq, 0, p)


def board(addr=0x13, emg=0, link=(1, 1), lock=(1, 1), aux=(1, 1)):
    return frame(addr, bytes([20, 21, 22, 23, 24, 25, emg, *link, *lock, *aux]))


t = "fuzz_ast_controller"
write(t, "noop_both", rec(0, reply(0x11, 0, 14, [0])) + rec(1, reply(0x12, 0, 14, [0])))
write(t, "status_charge", rec(0, status(0x11, 1, 4, 1)) + rec(0, status(0x11, 2, 7, 1)) +
      rec(0, status(0x11, 3, 8, 1)))
write(t, "allocate_setvi", rec(0, reply(0x11, 1, 1, [0x03, 0xE8, 0])) +
      rec(0, reply(0x11, 2, 3, [0x13, 0x88, 0x00, 0x7D, 0])) + rec(1, reply(0x12, 3, 2, [0])))
write(t, "contactors", rec(0, reply(0x11, 1, 4, [0])) + rec(0, reply(0x11, 2, 6, [0])) +
      rec(0, reply(0x11, 3, 7, [0])) + rec(0, reply(0x11, 4, 5, [0])))
write(t, "board_controls", rec(0, reply(0x11, 1, 8, [0])) + rec(1, reply(0x12, 2, 9, [0])) +
      rec(0, reply(0x11, 3, 10, [0, 0])) + rec(1, reply(0x12, 4, 11, [0, 1])) +
      rec(0, reply(0x11, 5, 15, [1, 0])))
write(t, "queries", b"".join(rec(0, reply(0x11, 20 + i, c, [0]))
                              for i, c in enumerate([100, 101, 102, 103, 104, 105])))
write(t, "board_exchange", rec(2, board()) + rec(0x04 | 0x08 | 2, board(lock=(0, 1))) +
      rec(2, board(emg=0x7F, link=(0, 0))))
write(t, "board_17_bytes", rec(2, board()[1:]))
write(t, "cycle", rec(3, reply(0x11, 0, 14, [0]) + reply(0x12, 0, 14, [0]) + board()))
write(t, "bad_frames", rec(0, reply(0x11, 1, 1, [0x03])) + rec(0, b"\x11\x11\x04\x01") +
      rec(0, reply(0x11, 1, 12, [0])) + rec(0, b"\x11\xEE\xFF" + b"\x00" * 20))

# ---- board reply in the receive buffer: lock controls byte, then records
t = "fuzz_ast_board"
write(t, "idle", bytes([8]) + rec(0, board()))
write(t, "plug_lock_emg", bytes([3]) + rec(0, board(link=(0, 1), lock=(0, 1))) +
      rec(0, board(emg=0x7F, link=(1, 0), lock=(1, 0), aux=(0, 0))))
write(t, "missing_address", bytes([8]) + rec(0, board()[1:]))
write(t, "bad_crc", bytes([0]) + rec(0, board()[:-1] + b"\x00"))


# ---- Modbus TCP: MBAP (tid, proto 0, length, unit) + PDU; records are reads
def mbap(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + bytes(pdu)


def read_regs(tid, addr, n):
    return mbap(tid, 1, struct.pack(">BHH", 3, addr, n))


def write_one(tid, addr, v):
    return mbap(tid, 1, struct.pack(">BHH", 6, addr, v))


def write_many(tid, addr, values):
    return mbap(tid, 1, struct.pack(">BHHB", 16, addr, len(values), 2 * len(values)) +
                b"".join(struct.pack(">H", v) for v in values))


t = "fuzz_modbus_tcp"
write(t, "read_id", rec(0, read_regs(1, 0x0000, 3)) + rec(0, read_regs(2, 0x1100, 16)))
write(t, "write_limits", rec(0, write_many(3, 0x2100, [0x4422, 0x8000])) +
      rec(0, write_one(4, 0x2D03, 0x1234)) + rec(0, write_one(5, 0x2006, 7)))
write(t, "write_mac_key", rec(0, write_many(6, 0x2110, [0x0102, 0x0304, 0x0506, 0x0708])) +
      rec(0, write_many(7, 0x2D2C, [0x4142] * 4)) + rec(0, write_one(8, 0x212E, 0x4344)))
write(t, "refused", rec(0, write_one(9, 0x1100, 5)) + rec(0, read_regs(10, 0x5000, 1)) +
      rec(0, mbap(11, 1, b"\x41\x00\x00")) + rec(0, mbap(12, 1, b"\x67\x00")))
two = read_regs(13, 0x4000, 4) + write_one(14, 0x4001, 9)
write(t, "split_and_joined", rec(0, two[:5]) + rec(0, two[5:]) + rec(1, b""))
write(t, "garbage_resync", rec(0, b"\x00\x01\x02" + read_regs(15, 0x0100, 2)) +
      rec(0, struct.pack(">HHHB", 16, 0, 0xFFFA, 1) + b"\x03"))


# ---- GOOSE reply goosePdu
def tlv(tag, value):
    value = bytes(value)
    n = len(value)
    if n < 0x80:
        head = bytes([tag, n])
    elif n < 0x100:
        head = bytes([tag, 0x81, n])
    else:
        head = bytes([tag, 0x82, n >> 8, n & 0xFF])
    return head + value


def text(tag, s):
    return tlv(tag, s.encode() + b"\x00")


def u16(tag, v):
    return tlv(tag, struct.pack(">H", v))


def u32(tag, v):
    return tlv(tag, struct.pack(">I", v))


def flt(tag, v):
    return tlv(tag, struct.pack(">f", v))


def goose_reply(go_id, count, entries, count_bytes=4):
    body = (text(0x80, "CC/0$GO$Reply") + u16(0x81, 10000) + text(0x82, "CC/0$DS$Reply") +
            text(0x83, go_id) + tlv(0x84, struct.pack(">IBBBB", 100, 0, 0, 0, 0x0A)) +
            u32(0x85, 3) + u32(0x86, 9) + tlv(0x87, b"\x00") + u32(0x88, 1) + tlv(0x89, b"\x00") +
            tlv(0x8A, count.to_bytes(count_bytes, "big")) + tlv(0xAB, entries))
    return tlv(0x61, body)


power = (b"".join(u16(0x86, v) for v in (5, 0x1234, 3, 1, 1)) + flt(0x87, 650.0) +
         flt(0x87, 42.5) + u16(0x86, 0xFFFF) + u16(0x86, 0xFFFE))
shutdown = b"".join(u16(0x86, v) for v in (5, 0x1234, 2, 1, 0))
t = "fuzz_goose_reply"
write(t, "power_reply", goose_reply("CC/0$GO$PowerRequestReply", 9, power))
write(t, "power_reply_count1", goose_reply("CC/0$GO$PowerRequestReply", 9, power, 1))
write(t, "shutdown_reply", goose_reply("CC/0$GO$ShutdownRequestReply", 5, shutdown))
write(t, "unknown_id", goose_reply("CC/0$GO$Other", 5, shutdown))
write(t, "cut", goose_reply("CC/0$GO$PowerRequestReply", 9, power)[:60])

# ---- configuration file
t = "fuzz_config"
good = """{
\t"tcu_id":\t"-1",
\t"enable_modbus_hw":\t"1",
\t"enable_hmi":\t"0",
\t"enable_ocpp":\t"0",
\t"ast_tty":\t"/dev/ttyS2",
\t"ifname":\t"eth1",
\t"zqlog_ip":\t"192.168.1.20",
\t"zqlog_port":\t"9000",
\t"modbus_hw":\t{
\t\t"serverip":\t"192.168.1.10",
\t\t"port":\t"502",
\t\t"enable_ssl":\t"1",
\t\t"maxI_GUNA":\t"250",
\t\t"maxI_GUNB":\t"250"
\t}
}
"""
write(t, "example", good.encode())
write(t, "numbers_not_strings", b'{"tcu_id": 3, "zqlog_port": null, "modbus_hw": {"port": 502}}')
write(t, "wide_values", b'{"tcu_id": "70000", "zqlog_port": "99999999999", "ast_tty": "\\u00e9\\n",'
      b' "modbus_hw": {"maxI_GUNA": "-40000"}}')
write(t, "trailing_text", good.encode() + b"{}")
write(t, "not_object", b'["tcu_id", "1"]')

# ---- Modbus RTU: function, quantity (LE), reply
t = "fuzz_modbus_rtu"


def rtu(body):
    body = bytes(body)
    c = crc16(body)
    return body + bytes([c & 0xFF, c >> 8])


def rtu_seed(fn, nb, reply_body):
    return bytes([fn, nb & 0xFF, nb >> 8]) + rtu(reply_body)


write(t, "read_coils", rtu_seed(0, 10, [1, 1, 2, 0xCD, 0x01]))
write(t, "read_holding", rtu_seed(2, 2, [1, 3, 4, 0x12, 0x34, 0x56, 0x78]))
write(t, "read_input_exception", rtu_seed(3, 2, [1, 0x84, 2]))
write(t, "write_single_register", rtu_seed(5, 0x0102, [1, 6, 0x00, 0x10, 0x01, 0x02]))
write(t, "exception_status", rtu_seed(6, 0, [1, 7, 0x6D]))
write(t, "write_multiple_registers", rtu_seed(8, 3, [1, 0x10, 0x00, 0x10, 0x00, 0x03]))
write(t, "report_slave_id", rtu_seed(9, 0, [1, 0x11, 3, 0x0A, 0xFF, 0x01]))
write(t, "mask_write", rtu_seed(10, 0, [1, 0x16, 0x00, 0x10, 0x00, 0xF2, 0x00, 0x25]))
write(t, "read_write", rtu_seed(11, 0x0102, [1, 0x17, 4, 0, 1, 0, 2]))
write(t, "bad_crc", bytes([2, 1, 0]) + b"\x01\x03\x02\x00\x01\x00\x00")

# ---- updater: what the HMI sends
t = "fuzz_update"
write(t, "query", b"Event=GetFirmwareVersion,Type=HW\n")
write(t, "offer", b"Event=NotifyUpdateFirmware,Type=HW,Size=2500,Version=2.0.0\n")
write(t, "offer_bad", b"Event=NotifyUpdateFirmware,Type=HW,Size=99999999999,Version=2.-1.0\n")
write(t, "mixed", b"\r\nxxEvenEvent=GetFirmwareVersion,Type=HW,Extra=1\n"
      b"Event=NotifyUpdateFirmwareResult,Type=HW,Status=OK\nEvent=Heartbeat,Type=HW\n")
write(t, "long_line", b"Event=GetFirmwareVersion,Type=HW" + b"x" * 1000 + b"\n")
# the end of a signed image (program of 16 bytes, version 2.0.0) and a public-key file
write(t, "trailer", b"\x7fELF" + b"\0" * 12 + b"TCUSIG01" + (16).to_bytes(8, "little") +
      bytes([2, 0, 0, 0, 0, 0]) + b"\0" * 42 + b"\x5a" * 64)
write(t, "public_key", b"-----BEGIN PUBLIC KEY-----\n"
      b"MCowBQYDK2VwAyEAlBxuZT5mRR44v+AJkPu1c8mKGa04+66VMmvhBLDg080=\n"
      b"-----END PUBLIC KEY-----\n")
