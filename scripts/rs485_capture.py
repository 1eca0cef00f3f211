#!/usr/bin/env python3
"""Capture the dispenser's RS-485 controller line from a USB RS-485 adapter into a pcap
that Wireshark reads with tools/wireshark/tcu_line.lua.

Usage: scripts/rs485_capture.py DEVICE OUTPUT.pcap [--duration SECONDS] [--baud 9600]

The adapter listens only (it never transmits); connect its A/B to the line's A/B.
Runs until Ctrl-C (or SIGTERM, or the given duration) and always leaves a complete
file: the header is written first and every packet is written whole and flushed.

Frames: the line carries address, complement, length L, body, CRC. A run of bytes
that starts like a frame (second byte the complement of the first) ends after its
L + 5 bytes, gap or not; anything else ends at the line's silent gap of 3.5
character times (3.6 ms at 9600 baud). A frame start that stops short is kept,
cut, when the line stays silent for longer than its missing bytes would take plus
the gap and 50 ms. Noise is cut off a sound frame (good CRC) that follows it in
the same burst. USB adapters deliver bytes in bursts (FTDI: every 16 ms unless
/sys/bus/usb-serial/devices/ttyUSB0/latency_timer is set to 1), which is why
frames are cut by their length first.

Noise that goes on for longer than any frame (128 bytes) without a frame in it
goes out as it is held, in packets of 128 bytes with a direction of their own, so
that a line full of noise for hours still makes a file of bounded packets and the
tool holds at most two frames' worth of bytes.

Packet format (link type DLT_USER0, 147, snapshot length 65535): one byte
direction (2, unknown: a passive tap cannot tell who sent; 3, a run of noise longer
than a frame), then the frame's bytes. Time stamp: when the packet's last byte
arrived, less the transmission time of the bytes read after it in the same burst.
Python standard library only (termios)."""
import argparse
import os
import select
import signal
import struct
import sys
import termios
import time

LINKTYPE_USER0 = 147
SNAPLEN = 65535
DIR_UNKNOWN = 2
DIR_NOISE = 3           # a run of noise longer than any frame, cut into packets
MAX_FRAME = 128         # address, complement, length, body, CRC: the longest frame
SPEEDS = {1200: termios.B1200, 2400: termios.B2400, 4800: termios.B4800, 9600: termios.B9600,
          19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600, 115200: termios.B115200}

stop = False


def on_signal(_sig, _frame):
    global stop
    stop = True


def open_line(path, baud):
    """Raw 8N1 at `baud`, receiver on, no modem control, non-blocking reads."""
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    attr = termios.tcgetattr(fd)
    iflag, oflag, cflag, lflag, _, _, cc = attr
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR |
               termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.INPCK)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | getattr(termios, "CRTSCTS", 0))
    cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
    cc[termios.VMIN] = 0
    cc[termios.VTIME] = 0
    speed = SPEEDS[baud]
    termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])
    termios.tcflush(fd, termios.TCIFLUSH)
    return fd


class Writer:
    def __init__(self, path):
        self.f = open(path, "wb")
        self.f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, SNAPLEN, LINKTYPE_USER0))
        self.f.flush()
        self.frames = 0
        self.bytes = 0

    def packet(self, ts, data, direction=DIR_UNKNOWN):
        # Readers refuse a whole file for one packet above the snapshot length; the
        # splitter never hands over that much, and this keeps it so.
        for start in range(0, max(len(data), 1), SNAPLEN - 1):
            rec = bytes([direction]) + bytes(data[start:start + SNAPLEN - 1])
            sec = int(ts)
            usec = min(int((ts - sec) * 1e6), 999999)
            # One write per packet: a capture stopped at any point holds whole packets only.
            self.f.write(struct.pack("<IIII", sec, usec, len(rec), len(rec)) + rec)
            self.f.flush()
            self.frames += 1
        self.bytes += len(data)

    def close(self):
        self.f.close()


def crc16(data):
    """CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001)."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


class Splitter:
    """Cuts the byte stream into frames; `emit(ts, bytes, direction)` for each."""

    def __init__(self, emit, char_time):
        self.emit = emit
        self.char = char_time
        self.gap = 3.5 * char_time
        self.buf = bytearray()
        self.last = 0.0          # arrival time of the newest byte held
        self.noise_run = False   # the held bytes continue noise longer than a frame

    def wanted(self):
        """Bytes the held frame needs in all, or None when it does not start like one."""
        b = self.buf
        if len(b) == 1:
            return 3                  # may be the first byte of a frame: wait for the header
        if len(b) >= 2 and b[0] == (~b[1]) & 0xFF:
            if len(b) < 3:
                return 3
            if b[2] + 5 <= 128:
                return b[2] + 5
        return None

    def feed(self, data, now):
        self.buf += data
        self.last = now
        self.cut_complete()

    def cut_complete(self):
        while True:
            n = self.wanted()
            if n is None:
                # Noise held: a sound frame behind it in the same burst is cut off it.
                i = self.frame_inside()
                if i is not None:
                    self.cut_noise(i)
                    self.noise_run = False
                    continue
                # No frame ends in it, and one still arriving starts in its last
                # MAX_FRAME - 1 bytes: whole packets of noise before those go out now,
                # so that gapless noise is neither held nor rescanned without end.
                spare = len(self.buf) - (MAX_FRAME - 1)
                if spare < MAX_FRAME:
                    return
                self.noise_run = True
                self.cut_noise(spare - spare % MAX_FRAME)
                continue
            if len(self.buf) < n or n < 5:
                return
            after = len(self.buf) - n
            self.emit(self.last - after * self.char, self.buf[:n], DIR_UNKNOWN)
            del self.buf[:n]
            self.noise_run = False

    def cut_noise(self, count):
        """The first `count` held bytes are noise: one packet as ever when it is no longer
        than a frame, else packets of MAX_FRAME bytes marked as noise."""
        run = self.noise_run or count > MAX_FRAME
        for start in range(0, count, MAX_FRAME):
            end = min(count, start + MAX_FRAME)
            self.emit(self.last - (len(self.buf) - end) * self.char, self.buf[start:end],
                      DIR_NOISE if run else DIR_UNKNOWN)
        del self.buf[:count]

    def frame_inside(self):
        """Offset of the first complete frame with a good CRC after the start, if any."""
        b = self.buf
        for i in range(1, len(b) - 4):
            if b[i] == (~b[i + 1]) & 0xFF:
                n = b[i + 2] + 5
                if n <= 128 and i + n <= len(b) and crc16(b[i:i + n - 2]) == b[i + n - 2] | b[i + n - 1] << 8:
                    return i
        return None

    def timeout(self):
        """Seconds of silence after which the held bytes are a frame of their own."""
        n = self.wanted()
        if n is None:
            return self.gap
        return (n - len(self.buf)) * self.char + self.gap + 0.050

    def idle(self, now):
        if self.buf and now - self.last >= self.timeout():
            self.flush()

    def flush(self):
        if self.buf:
            if self.wanted() is None:
                self.cut_noise(len(self.buf))
            else:
                self.emit(self.last, self.buf, DIR_UNKNOWN)
            self.buf = bytearray()
        self.noise_run = False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("device", help="serial device of the RS-485 adapter, e.g. /dev/ttyUSB0")
    ap.add_argument("output", help="pcap file to write")
    ap.add_argument("--duration", type=float, default=None, help="stop after this many seconds")
    ap.add_argument("--baud", type=int, default=9600, choices=sorted(SPEEDS))
    a = ap.parse_args()
    try:
        fd = open_line(a.device, a.baud)
    except (OSError, termios.error) as e:
        print("rs485_capture: cannot open %s: %s" % (a.device, e), file=sys.stderr)
        return 2
    try:
        out = Writer(a.output)
    except OSError as e:
        print("rs485_capture: cannot write %s: %s" % (a.output, e), file=sys.stderr)
        os.close(fd)
        return 2
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    split = Splitter(out.packet, 10.0 / a.baud)     # 8N1: 10 bits per character
    end = time.monotonic() + a.duration if a.duration is not None else None
    print("rs485_capture: %s at %d 8N1 -> %s%s; Ctrl-C stops" % (
        a.device, a.baud, a.output, "" if end is None else ", for %.1f s" % a.duration), file=sys.stderr)
    status = 0
    try:
        while not stop:
            now = time.monotonic()
            if end is not None and now >= end:
                break
            wait = split.timeout() - (time.time() - split.last) if split.buf else 0.2
            if end is not None:
                wait = min(wait, end - now)
            try:
                r, _, _ = select.select([fd], [], [], max(wait, 0.0005))
            except InterruptedError:
                continue
            if r:
                try:
                    data = os.read(fd, 4096)
                except BlockingIOError:
                    data = None
                except OSError as e:
                    print("rs485_capture: read from %s failed: %s" % (a.device, e), file=sys.stderr)
                    status = 1
                    break
                if data:
                    split.feed(data, time.time())
                    continue
                if data == b"":
                    # Nothing to read although select said so: the device has gone.
                    print("rs485_capture: %s closed" % a.device, file=sys.stderr)
                    status = 1
                    break
            split.idle(time.time())
        if status == 0:
            # What the adapter had received when the capture was stopped belongs in it.
            while True:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    break
                if not data:
                    break
                split.feed(data, time.time())
    finally:
        split.flush()
        out.close()
        os.close(fd)
    print("rs485_capture: %d frames, %d bytes written to %s" % (out.frames, out.bytes, a.output), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
