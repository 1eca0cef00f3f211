"""The RS-485 line on the far end of a pseudo-terminal: the charging controller at
0x11 (gun A) and 0x12 (gun B) and the lock/aux/temperature board at 0x13. Every
frame the terminal sends is checked byte for byte against what the protocol makes
of the state known here; a pseudo-terminal carries bytes instantly, so each frame
is paced as if on a 9600 baud line (n bytes take n x 1.04 ms) unless full speed is
asked for."""
import collections
import os
import random
import select
import struct
import threading
import time
import tty

from .wire import crc16_modbus, hexs, line_frame

BYTE_TIME = 0.00104

STAGES = {"IDLE": 0, "FAULT": 1, "PLUGIN": 2, "FAULT_PLUGIN": 3, "START": 4,
          "INSULATION_CHECK": 5, "PRECHARGE": 6, "CHARGING": 7, "END": 8}
COMMANDS = {"status": 0, "allocate": 1, "deallocate": 2, "set_vc": 3, "startup": 4,
            "poweroff": 5, "close_contactors": 6, "open_contactors": 7, "lock": 8,
            "unlock": 9, "aux_on": 10, "aux_off": 11, "nop": 14, "volt_mode": 15,
            "query_contactors": 100, "query_alloc": 101, "query_lock": 102,
            "query_aux": 103, "query_voltage": 104, "query_volt_mode": 105}
CMD_NAMES = {v: k for k, v in COMMANDS.items()}


class Gun:
    def __init__(self, name, addr):
        self.name = name
        self.addr = addr
        self.seq = 0
        self.queue = collections.deque()
        self.silent = False
        self.fault = None           # None, "noise" or "truncated": what a poll gets
        self.allocated = 3          # the terminal's start value, sent as /5 -> 0
        # status report content, controller units
        self.maxI = 2500
        self.currI = 0
        self.currV = 0
        self.totalE = 0
        self.currE = 0
        self.stage = 0
        self.type = 1
        self.last_status = None
        self.status_version = 0     # bumped by the scenario on every status change
        self.status_acked = 0       # the last version the terminal acknowledged


class Command:
    def __init__(self, gun, text):
        parts = text.split()
        self.text = text
        self.name = parts[0]
        if self.name not in COMMANDS and self.name not in ("bad_crc", "unsupported"):
            raise ValueError("unknown controller command %r" % text)
        self.args = []
        self.expect = None
        for p in parts[1:]:
            if p.startswith("expect="):
                self.expect = int(p[7:], 0)
            else:
                self.args.append(float(p) if "." in p else int(p, 0))
        self.gun = gun
        self.done = threading.Event()
        self.ok = False


class Line:
    def __init__(self, ev, full_speed=False, turnaround=0.002, board_delay=0.3, link=None, seed=1):
        self.ev = ev
        self.full_speed = full_speed
        self.turnaround = turnaround
        # With a link, the terminal is given a fixed path (a symbolic link to the
        # pseudo-terminal) that survives the pseudo-terminal vanishing and coming back.
        self.link = link
        self.open_pty()
        self.path = link if link else os.ttyname(self.slave)
        self.rng = random.Random(seed)
        self.pty_req = None         # "vanish" / "return", done by the line thread
        self.pty_returned = threading.Event()
        self.board_fault = None
        self.good = {"A": 0.0, "B": 0.0, "board": 0.0}   # last good exchange per device
        self.exch_start = 0.0       # when the terminal's current exchange began
        self.last_send_late = False
        self.awaiting_late = False
        self.faulty_replies = 0
        self.guns = {0x11: Gun("A", 0x11), 0x12: Gun("B", 0x12)}
        self.board_silent = False
        # A device that comes back answers from its first poll that is not a repeat:
        # a repeat is a retransmission the terminal sends with almost none of its
        # 500 ms left and no longer waits for, so its reply would be read by the
        # next exchange. "any" answers every poll at once (shows that effect).
        self.resume = "cycle"
        self.resuming = set()
        self.board = {"temp": [25, 26, 27, 28, 29, 30], "emg": 0, "link": [1, 1],
                      "lock": [1, 1], "aux": [1, 1]}
        self.board_delay = board_delay
        self.board_auto = True
        self.board_events = []      # (due time, key, index, value)
        self.ctrl = [2, 2, 2, 2]    # controls the terminal should write next
        self.ctrl_due = False
        self.awaiting = None        # (command, expected response) after a command reply
        self.last_kind = None
        self.prev_kind = None
        self.expect_write = False
        self.lock = threading.Lock()
        self.quit = False
        self.exchanges = 0
        self.frames_checked = 0
        self.poll_times = {"A": [], "B": []}   # monotonic start of every exchange with a gun
        self.emg_replies = []       # monotonic end of each board reply that first carried 0x7F
        self.emg_last = 0
        self.capture = None         # a capture.LineCapture: every frame as it crossed
        self.thread = threading.Thread(target=self.run, name="line", daemon=True)

    def open_pty(self):
        self.master, self.slave = os.openpty()
        # Keep our own slave descriptor open (raw, no echo): the terminal closes and
        # reopens the device after every time-out, and a master whose slave side is
        # closed reads EIO.
        tty.setraw(self.slave)
        if self.link:
            tmp = self.link + ".new"
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(os.ttyname(self.slave), tmp)
            os.replace(tmp, self.link)

    def pty_vanish(self):
        """Pseudo-terminal and its path disappear, as a USB adapter pulled out."""
        if self.master is None:
            return
        if self.link and os.path.lexists(self.link):
            os.unlink(self.link)
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None
        self.ev.log("CTRL", "pseudo-terminal closed and its path %s removed" % self.path)

    def pty_return(self):
        self.open_pty()
        # Nothing of the last exchange survives: any device order is right again.
        self.last_kind = self.prev_kind = None
        self.expect_write = False
        if self.awaiting is not None:
            self.drop_awaiting("the line vanished")
        self.ev.log("CTRL", "pseudo-terminal back at %s -> %s" % (self.path, os.ttyname(self.slave)))

    def set_fault(self, dev, fault):
        """What a device's replies become: None (sound), "noise", "truncated"."""
        if dev in ("A", "B"):
            self.gun(dev).fault = fault
        elif dev == "board":
            self.board_fault = fault
        else:
            raise ValueError("unknown line device %r" % dev)
        if fault is None:
            self.resuming.add(dev)

    def fault_reply(self, fault, frame):
        """Noise that never starts like a frame (address, complement), or a frame cut short."""
        if fault == "noise":
            n = self.rng.randint(3, 40)
            b = bytearray(self.rng.getrandbits(8) for _ in range(n))
            if b[1] == (~b[0]) & 0xFF:
                b[1] ^= 0x01
            out = bytes(b)
        else:
            out = frame[:self.rng.randint(1, len(frame) - 1)]
        self.faulty_replies += 1
        self.ev.count("faulty_replies")
        self.ev.log("LINE", "tx %s reply: %s" % (fault, hexs(out)), show=False)
        self.send(out)

    def drop_awaiting(self, why):
        """A reply the terminal legitimately never answers: its command (not a status
        report) goes back to the front of the queue, as a controller resends it."""
        cmd, _ = self.awaiting
        self.awaiting = None
        self.ev.count("late_replies")
        self.ev.log("CTRL", "%s: no response to %s %s (%s)" % (cmd.gun, cmd.gun, cmd.text, why))
        if cmd.name != "status":
            with self.lock:
                self.gun(cmd.gun).queue.appendleft(cmd)

    def start(self):
        self.thread.start()

    def stop(self):
        self.quit = True
        self.thread.join(2)

    def gun(self, name):
        return self.guns[0x11 if name == "A" else 0x12]

    def queue(self, gun, text):
        c = Command(gun, text)
        with self.lock:
            self.gun(gun).queue.append(c)
        return c

    def set_board(self, key, value, index=None):
        with self.lock:
            if index is None:
                self.board[key] = value
            else:
                self.board[key][index] = value

    # ---- line I/O ----
    def pace(self, nbytes):
        if not self.full_speed:
            time.sleep(nbytes * BYTE_TIME)

    def send(self, frame):
        self.pace(len(frame))
        # The terminal gives up an exchange AST_TIMEOUT_MS after its first request;
        # a reply completed in its last 30 ms or later may find nobody waiting.
        self.last_send_late = time.monotonic() >= self.exch_start + 0.47
        if self.master is None:
            return
        if self.capture:
            self.capture.frame(1, frame)
        self.ev.log("LINE", "tx %s%s" % (hexs(frame), " (late)" if self.last_send_late else ""), show=False)
        try:
            os.write(self.master, frame)
        except OSError as e:
            self.ev.log("CTRL", "write to the pseudo-terminal failed: %s" % e, show=False)

    def run(self):
        buf = b""
        first = 0.0
        while not self.quit:
            if self.pty_req is not None:
                req, self.pty_req = self.pty_req, None
                buf = b""
                if req == "vanish":
                    self.pty_vanish()
                else:
                    self.pty_return()
                    self.pty_returned.set()
            if self.master is None:
                time.sleep(0.02)
                continue
            r, _, _ = select.select([self.master], [], [], 0.05)
            self.board_tick()
            if not r:
                if buf and time.monotonic() - first > 0.2:
                    if self.capture:
                        self.capture.frame(0, buf)
                    self.ev.fail("LINE: incomplete frame from the terminal dropped: %s" % hexs(buf))
                    buf = b""
                continue
            try:
                data = os.read(self.master, 256)
            except OSError:
                time.sleep(0.01)
                continue
            if not buf:
                first = time.monotonic()
            buf += data
            while len(buf) >= 3:
                if buf[0] != (~buf[1]) & 0xFF or buf[2] > 123:
                    if self.capture:
                        self.capture.frame(0, buf[:1])
                    self.ev.fail("LINE: garbage byte 0x%02X from the terminal" % buf[0])
                    buf = buf[1:]
                    continue
                n = buf[2] + 5
                if len(buf) < n:
                    break
                frame, buf = buf[:n], buf[n:]
                # The frame's last byte reaches the devices only after n byte times.
                if not self.full_speed:
                    left = first + n * BYTE_TIME - time.monotonic()
                    if left > 0:
                        time.sleep(left)
                first = time.monotonic()
                self.handle(frame)

    def check_crc(self, frame):
        crc = crc16_modbus(frame[:-2])
        if frame[-2] != crc & 0xFF or frame[-1] != crc >> 8:
            self.ev.fail("LINE: CRC of %s should be %02X %02X" % (hexs(frame), crc & 0xFF, crc >> 8))
            return False
        return True

    def handle(self, frame):
        if self.capture:
            self.capture.frame(0, frame)
        self.ev.log("LINE", "rx %s" % hexs(frame), show=False)
        self.frames_checked += 1
        self.ev.count("line_frames")
        if not self.check_crc(frame):
            return
        addr = frame[0]
        if addr in self.guns and frame[2] == 4 and frame[3] == 0:
            self.poll(self.guns[addr], frame)
        elif addr in self.guns and frame[3] == 1:
            self.response(self.guns[addr], frame)
        elif addr == 0x13 and frame[2] == 8 and frame[3:6] == b"\x42\x00\x04":
            self.board_request(frame)
        else:
            self.ev.fail("LINE: unexpected frame %s" % hexs(frame))

    def order(self, kind):
        """Polling order: A, B, board read, board write when due; a kind may repeat
        (retransmission after a time-out or a bad reply)."""
        allowed = {None: "ABRW", "A": "AB", "B": "BR", "R": "RAW", "W": "WA"}
        if self.expect_write and kind != "W":
            self.ev.fail("LINE: board write with controls %s was due, got %s" % (self.ctrl, kind))
        elif kind not in allowed[self.last_kind]:
            self.ev.fail("LINE: %s after %s breaks the polling cycle" % (kind, self.last_kind))
        self.expect_write = False
        self.prev_kind = self.last_kind
        self.last_kind = kind

    # ---- controller ----
    def poll(self, gun, frame):
        echo = False
        if self.last_kind != gun.name:
            self.exch_start = time.monotonic()
            self.poll_times[gun.name].append(self.exch_start)
        if self.awaiting is not None and self.awaiting_late:
            self.drop_awaiting("reply sent after the terminal had given up")
        if self.awaiting is not None:
            cmd, _ = self.awaiting
            if cmd.name == "unsupported":
                # The terminal answers an unsupported code by sending its poll again
                # and does not read a reply to it: the controller stays quiet.
                echo = True
                cmd.ok = True
                self.ev.log("CTRL", "%s   <- the poll again (unsupported command)" % gun.name)
            else:
                self.ev.fail("LINE: no response to %s %s; the terminal polled again" % (gun.name, cmd.text))
            cmd.done.set()
            self.awaiting = None
        self.order(gun.name)
        want = line_frame(gun.addr, bytes([0, 3, 4, (gun.allocated // 5) & 0xFF]))
        if frame != want:
            self.ev.fail("LINE: poll %s, expected %s" % (hexs(frame), hexs(want)))
        if gun.silent or echo:
            return
        fault = gun.fault
        if fault:
            time.sleep(self.turnaround)
            self.fault_reply(fault, line_frame(gun.addr, self.status_body(gun)))
            return
        if gun.name in self.resuming:
            if self.resume == "cycle" and self.prev_kind == gun.name:
                return
            self.resuming.discard(gun.name)
        time.sleep(self.turnaround)
        with self.lock:
            cmd = gun.queue.popleft() if gun.queue else None
        gun.seq = (gun.seq + 1) & 0xFF
        if cmd is None:
            body = self.status_body(gun)
            reply = line_frame(gun.addr, body)
            status = Command(gun.name, "status")
            status.version = gun.status_version
            self.awaiting = (status, line_frame(gun.addr, bytes([1, gun.seq, 0, 1])))
            key = body[2:]
            if key != gun.last_status:
                gun.last_status = key
                self.ev.log("CTRL", "%s seq %d status: stage %d type %d, %.1f V %.1f A, %d Wh" % (
                    gun.name, gun.seq, gun.stage, gun.type, gun.currV / 10, gun.currI / 10, gun.totalE))
        else:
            reply, resp = self.command_frame(gun, cmd)
            self.awaiting = (cmd, resp)
            self.ev.log("CTRL", "%s seq %d cmd %d %s" % (gun.name, gun.seq, COMMANDS.get(cmd.name, -1), cmd.text))
            if resp is None:
                cmd.ok = True
                cmd.done.set()
                self.awaiting = None
        self.send(reply)
        self.awaiting_late = self.last_send_late

    def status_body(self, gun):
        return bytes([gun.seq, 0]) + struct.pack(">HHHIIBB", gun.maxI, gun.currI, gun.currV,
                                                   gun.totalE, gun.currE, gun.stage, gun.type)

    def command_frame(self, gun, cmd):
        a = cmd.args
        more = 0
        n = cmd.name
        if n == "bad_crc":
            f = bytearray(line_frame(gun.addr, self.status_body(gun)))
            f[-1] ^= 0x5A
            return bytes(f), None
        if n == "unsupported":
            code = a[0] if a else 12
            return line_frame(gun.addr, bytes([gun.seq, code, more])), b""
        code = COMMANDS[n]
        if code == 1:
            params = struct.pack(">HB", a[0], more)
        elif code == 3:
            params = struct.pack(">HHB", round(a[0] * 10), round(a[1] * 10), more)
        elif code in (10, 11, 15):
            params = bytes([a[0] if a else 0, more])
        else:
            params = bytes([more])
        reply = line_frame(gun.addr, bytes([gun.seq, code]) + params)
        if code >= 100:
            data = cmd.expect if cmd.expect is not None else 0
            resp = line_frame(gun.addr, bytes([1, gun.seq, code, 1, data >> 8, data & 0xFF]))
        else:
            resp = line_frame(gun.addr, bytes([1, gun.seq, code, 1]))
        return reply, resp

    def response(self, gun, frame):
        if self.awaiting is None:
            self.ev.fail("LINE: response %s without a command" % hexs(frame))
            return
        cmd, want = self.awaiting
        self.awaiting = None
        if cmd.gun != gun.name:
            self.ev.fail("LINE: response %s to gun %s while gun %s's reply to %s was awaited: "
                         "the terminal acted on a reply from a device it had not polled" % (
                             hexs(frame), gun.name, cmd.gun, cmd.text))
            if cmd.name != "status":
                with self.lock:
                    self.gun(cmd.gun).queue.appendleft(cmd)
            return
        if cmd.name == "unsupported":
            self.ev.fail("LINE: unsupported command answered with %s instead of the poll" % hexs(frame))
            cmd.done.set()
            return
        self.exchanges += 1
        self.ev.count("controller_exchanges")
        code = COMMANDS[cmd.name]
        if code >= 100 and cmd.expect is None and len(frame) == 11 and frame[:7] == want[:7]:
            want = frame   # a query without an expected value: any data accepted
        if frame != want:
            self.ev.fail("LINE: %s %s answered %s, expected %s" % (gun.name, cmd.text, hexs(frame), hexs(want)))
        else:
            cmd.ok = True
        if code != 0:
            extra = " data 0x%02X%02X" % (frame[7], frame[8]) if len(frame) == 11 else ""
            self.ev.log("CTRL", "%s   <- response seq %d cmd %d res %d%s %s" % (
                gun.name, frame[4], frame[5], frame[6], extra, "ok" if cmd.ok else "WRONG"))
        # The terminal has executed the command: follow its effects on the line.
        if cmd.ok:
            self.good[gun.name] = time.monotonic()
            idx = 0 if gun.name == "A" else 1
            if code == 0:
                gun.status_acked = max(gun.status_acked, getattr(cmd, "version", 0))
            elif code == 1:
                gun.allocated = cmd.args[0]
            elif code in (8, 9):
                self.ctrl[idx] = 0 if code == 8 else 1
                self.ctrl_due = True
            elif code in (10, 11):
                self.ctrl[2 + idx] = 0 if code == 10 else 1
                self.ctrl_due = True
        cmd.done.set()

    # ---- board ----
    def board_request(self, frame):
        rw = frame[6]
        kind = "W" if rw else "R"
        if self.last_kind != kind:
            self.exch_start = time.monotonic()
        if self.awaiting is not None and self.awaiting_late:
            self.drop_awaiting("reply sent after the terminal had given up")
        if self.awaiting is not None:
            self.poll_missing_response()
        if rw == 0:
            self.order("R")
            want = line_frame(0x13, bytes([0x42, 0, 4, 0, 0, 0, 0, 0]))
            if frame != want:
                self.ev.fail("LINE: board read %s, expected %s" % (hexs(frame), hexs(want)))
        else:
            self.order("W")
            want = line_frame(0x13, bytes([0x42, 0, 4, 1] + self.ctrl))
            if frame != want:
                self.ev.fail("LINE: board write %s, expected %s" % (hexs(frame), hexs(want)))
            self.ev.log("BOARD", "write lock A %d B %d aux A %d B %d" % tuple(frame[7:11]))
            self.ctrl_due = False
            if self.board_auto:
                now = time.monotonic()
                with self.lock:
                    for i in range(2):
                        if frame[7 + i] in (0, 1):
                            self.board_events.append((now + self.board_delay, "lock", i, frame[7 + i]))
                        if frame[9 + i] in (0, 1):
                            self.board_events.append((now + self.board_delay, "aux", i, frame[9 + i]))
        if self.board_silent:
            return
        fault = self.board_fault
        if fault:
            time.sleep(self.turnaround)
            with self.lock:
                b = self.board
                body = bytes(b["temp"] + [b["emg"]] + b["link"] + b["lock"] + b["aux"])
            self.fault_reply(fault, line_frame(0x13, body))
            return
        if "board" in self.resuming:
            if self.resume == "cycle" and self.prev_kind == "R" and rw == 0:
                return
            self.resuming.discard("board")
        time.sleep(self.turnaround)
        with self.lock:
            b = self.board
            body = bytes(b["temp"] + [b["emg"]] + b["link"] + b["lock"] + b["aux"])
        reply = line_frame(0x13, body)
        # The terminal withdraws a lock command once the board reports it done.
        for i in range(2):
            if self.ctrl[i] in (0, 1) and body[9 + i] == self.ctrl[i]:
                self.ctrl[i] = 2
                self.ctrl_due = True
        self.send(reply)
        self.good["board"] = time.monotonic()
        emg = body[6]
        if emg == 0x7F and self.emg_last != 0x7F:
            self.emg_replies.append(self.good["board"])
        self.emg_last = emg
        self.ev.count("board_exchanges")
        if rw == 0 and self.ctrl_due:
            self.expect_write = True

    def poll_missing_response(self):
        cmd, _ = self.awaiting
        self.ev.fail("LINE: no response to %s %s before the board exchange" % (cmd.gun, cmd.text))
        cmd.done.set()
        self.awaiting = None

    def board_tick(self):
        now = time.monotonic()
        with self.lock:
            due = [e for e in self.board_events if e[0] <= now]
            self.board_events = [e for e in self.board_events if e[0] > now]
            for _, key, i, v in due:
                if self.board[key][i] != v:
                    self.board[key][i] = v
                    self.ev.log("BOARD", "gun %s %s state -> %d" % ("AB"[i], key, v))
