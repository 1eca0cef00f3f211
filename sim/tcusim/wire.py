"""Byte-level helpers shared by the simulated devices: CRC-16/MODBUS computed bit by
bit (deliberately not table driven, unlike the terminal), RS-485 frame building and
cutting, and the register encodings of the power unit's image."""
import struct


def crc16_modbus(data: bytes) -> int:
    """CRC-16/MODBUS: init 0xFFFF, reflected polynomial 0xA001, no final XOR."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def line_frame(addr: int, body: bytes) -> bytes:
    """One frame of the controller line: addr, ~addr, L, body, CRC low byte first."""
    head = bytes([addr & 0xFF, (~addr) & 0xFF, len(body)]) + body
    crc = crc16_modbus(head)
    return head + bytes([crc & 0xFF, crc >> 8])


def line_frame_ok(frame: bytes) -> bool:
    if len(frame) < 5 or frame[0] != (~frame[1]) & 0xFF or len(frame) != frame[2] + 5:
        return False
    crc = crc16_modbus(frame[:-2])
    return frame[-2] == crc & 0xFF and frame[-1] == crc >> 8


def float_regs(value: float) -> tuple:
    """IEEE-754 single, high 16 bits at the lower address."""
    return struct.unpack(">HH", struct.pack(">f", value))


def regs_float(hi: int, lo: int) -> float:
    return struct.unpack(">f", struct.pack(">HH", hi, lo))[0]


def double_regs(value: float) -> tuple:
    return struct.unpack(">HHHH", struct.pack(">d", value))


def regs_double(regs) -> float:
    return struct.unpack(">d", struct.pack(">HHHH", *regs))[0]


def bytes_regs(data: bytes) -> list:
    """Two bytes per register, first byte in the high half."""
    if len(data) % 2:
        data += b"\0"
    return [data[i] << 8 | data[i + 1] for i in range(0, len(data), 2)]


def regs_bytes(regs) -> bytes:
    return b"".join(struct.pack(">H", r) for r in regs)


def mac_text(mac: bytes) -> str:
    return ":".join("%02x" % b for b in mac)


def mac_bytes(text: str) -> bytes:
    return bytes(int(p, 16) for p in text.replace("-", ":").split(":"))


def hexs(data: bytes) -> str:
    return " ".join("%02X" % b for b in data)
