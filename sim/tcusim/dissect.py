"""The dissector check: tshark with the Lua dissectors of tools/wireshark/ reads the
run's three captures, and what they show must agree with what the simulator saw.

- line.pcap: one row per frame; no Lua error; every sound frame without an expert
  item of warning level or above, every faulty one (noise, cut, bad CRC) flagged;
  frame kind, address, sequence and command number as the simulator's own codec
  reads them; each controller reply that follows a poll matched to it.
- modbus.pcap: the Modbus frames (requests, responses, 0x41 reports) with their
  sender, transaction id, function, start register and count, as the power unit
  sent and cut them; nothing malformed.
- goose.pcap: stNum, sqNum, header CRC and HMAC verdict (under every key the power
  unit wrote, and the zero key) for each frame, as the subscriber checked it."""
import concurrent.futures
import os
import shutil
import subprocess

from .wire import crc16_modbus

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPTS = os.path.join(TOP, "tools", "wireshark")
WARN = 0x00600000          # _ws.expert.severity of a warning; errors are above


def tshark(pcap, script, fields, prefs=(), two_pass=False):
    """Rows of field values (each a list of occurrences) per packet, and the Lua errors
    seen (in the tree or on stderr)."""
    cmd = ["tshark", "-n", "-r", pcap, "-X", "lua_script:" + os.path.join(SCRIPTS, script),
           "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|", "-E", "separator=\t"]
    if two_pass:
        cmd.append("-2")
    for p in prefs:
        cmd += ["-o", p]
    for f in ("frame.number", "_ws.expert.severity", "_ws.expert.message") + tuple(fields):
        cmd += ["-e", f]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    errors = [line for line in out.stderr.splitlines()
              if line.strip() and "Running as user" not in line]
    rows = []
    for line in out.stdout.split("\n"):
        if not line.strip():
            continue
        cols = line.split("\t")
        cols += [""] * (3 + len(fields) - len(cols))
        row = [c.split("|") if c else [] for c in cols]
        if any("Lua Error" in m for m in row[2]):
            errors.append("frame %s: %s" % (row[0][0] if row[0] else "?", "; ".join(row[2])))
        rows.append(row)
    if out.returncode != 0:
        errors.append("tshark exit status %d" % out.returncode)
    return rows, errors


def severe(row):
    return [int(s, 0) for s in row[1] if s] and max(int(s, 0) for s in row[1] if s) >= WARN


def line_expect(direction, b):
    """What the simulator's own codec makes of one line frame: (kind, addr, seq, cmd,
    sound). Kinds as the dissector numbers them."""
    if len(b) < 3 or b[0] != (~b[1]) & 0xFF:
        return (0, None, None, None, False)
    n = b[2] + 5
    if len(b) < n or n > 128:
        return (None, b[0], None, None, False)
    crc = crc16_modbus(b[:n - 2])
    sound = b[n - 2] == crc & 0xFF and b[n - 1] == crc >> 8 and len(b) == n
    addr = b[0]
    if addr == 0x13:
        if direction == 0:
            return (6 if b[6] == 1 else 5, addr, None, None, sound)
        return (7, addr, None, None, sound)
    if direction == 0:
        if b[3] == 0:
            return (1, addr, None, None, sound)
        return (4 if b[2] == 6 else 3, addr, b[4], b[5], sound)
    return (2, addr, b[3], b[4], sound)


def check_line(sc, fail, log):
    frames = sc.line_cap.frames
    fields = ("tculine.kind", "tculine.addr", "tculine.seq", "tculine.cmd", "tculine.crc.status",
              "tculine.response_to")
    rows, errors = tshark(os.path.join(sc.run_dir, "line.pcap"), "tcu_line.lua", fields, two_pass=True)
    for e in errors[:5]:
        fail("line.pcap: %s" % e)
    if len(rows) != len(frames):
        fail("line.pcap: tshark shows %d frames, the simulator wrote %d" % (len(rows), len(frames)))
        return
    bad = []
    last_request = None
    for i, ((_, direction, b), row) in enumerate(zip(frames, rows), 1):
        kind, addr, seq, cmd, sound = line_expect(direction, b)
        got = lambda k: row[3 + k][0] if row[3 + k] else None
        flagged = severe(row)
        if sound and flagged:
            bad.append("frame %d %s flagged: %s" % (i, b.hex(), "; ".join(row[2])))
        elif not sound and not flagged:
            bad.append("frame %d %s (faulty) not flagged" % (i, b.hex()))
        if sound:
            want = (str(kind), "0x%02x" % addr, None if seq is None else str(seq), None if cmd is None else str(cmd))
            have = (got(0), got(1), got(2), got(3))
            if want != have or got(4) != "1":
                bad.append("frame %d %s: kind/addr/seq/cmd %s crc %s, expected %s" % (i, b.hex(), have, got(4), want))
            if kind in (1, 5, 6):
                last_request = i
            elif kind in (2, 7):
                if last_request is not None and got(5) != str(last_request):
                    bad.append("frame %d: answer to %s, expected frame %d" % (i, got(5), last_request))
                last_request = None
        elif kind == 0 or kind is None:
            pass
        if len(bad) >= 5:
            break
    for x in bad:
        fail("line.pcap: %s" % x)
    if not bad and not errors:
        log("tshark with tcu_line.lua agrees on all %d line frames (%d flagged as faulty)" % (
            len(frames), sum(1 for _, d, b in frames if not line_expect(d, b)[4])))


def check_modbus(sc, fail, log):
    fields = ("tcumb.sender", "tcumb.trans_id", "tcumb.func", "tcumb.start", "tcumb.count")
    rows, errors = tshark(os.path.join(sc.run_dir, "modbus.pcap"), "tcu_modbus.lua", fields,
                          prefs=("tcumb.port:%d" % sc.port,))
    for e in errors[:5]:
        fail("modbus.pcap: %s" % e)
    got = []
    bad = []
    for row in rows:
        cols = row[3:]
        n = len(cols[1])
        if any(len(c) != n for c in cols):
            bad.append("frame %s: fields %s do not pair up" % (row[0][0], cols))
            continue
        for k in range(n):
            got.append((cols[0][k] == "1", int(cols[1][k]), int(cols[2][k], 0), int(cols[3][k], 0),
                        int(cols[4][k])))
        # TCP's own notes (a reset, say) on packets without Modbus bytes are not ours.
        if n and severe(row):
            bad.append("frame %s flagged: %s" % (row[0][0], "; ".join(row[2])))
    want = list(sc.mb_cap.adus)
    if sorted(got) != sorted(want):
        missing = [w for w in want if w not in got][:3]
        extra = [g for g in got if g not in want][:3]
        bad.append("tshark shows %d Modbus frames, the power unit saw %d (missing %s, extra %s)" % (
            len(got), len(want), missing, extra))
    for x in bad[:5]:
        fail("modbus.pcap: %s" % x)
    if not bad and not errors:
        log("tshark with tcu_modbus.lua agrees on all %d Modbus frames (%d reports)" % (
            len(want), sum(1 for w in want if w[2] == 0x41)))


def check_goose(sc, fail, log):
    keys = ",".join("zero" if k == bytes(48) else k.hex() for k in sc.sub.all_keys)
    fields = ("goose.stNum", "goose.sqNum", "tcugoose.crc.status", "tcugoose.hmac.status")
    rows, errors = tshark(os.path.join(sc.run_dir, "goose.pcap"), "tcu_goose.lua", fields,
                          prefs=("tcugoose.keys:" + keys,))
    for e in errors[:5]:
        fail("goose.pcap: %s" % e)
    seen = sc.sub.seen
    if len(rows) != len(seen):
        fail("goose.pcap: tshark shows %d frames, the subscriber checked %d" % (len(rows), len(seen)))
        return
    bad = []
    for i, (s, row) in enumerate(zip(seen, rows), 1):
        if s is None:
            continue
        st, sq, verified = s
        have = tuple(c[0] if c else None for c in row[3:])
        want = (str(st), str(sq), "1", None if verified is None else ("1" if verified else "0"))
        if have[:3] != want[:3] or (verified is not None and have[3] != want[3]):
            bad.append("frame %d: stNum/sqNum/CRC/HMAC %s, the subscriber saw %s" % (i, have, want))
        elif verified and severe(row):
            bad.append("frame %d flagged: %s" % (i, "; ".join(row[2])))
        if len(bad) >= 5:
            break
    for x in bad:
        fail("goose.pcap: %s" % x)
    if not bad and not errors:
        log("tshark with tcu_goose.lua agrees on all %d GOOSE frames (stNum, sqNum, CRC, HMAC under %d keys)" % (
            len(seen), len(sc.sub.all_keys)))


def check(sc):
    ev = sc.ev
    if not shutil.which("tshark"):
        ev.warn("tshark not installed: the captures were not dissected")
        return
    def one(what):
        try:
            what(sc, ev.fail, lambda text: ev.log("PCAP", text))
        except (OSError, subprocess.TimeoutExpired, ValueError, IndexError) as e:
            ev.fail("dissector check %s: %s" % (what.__name__, e))
    # The three tshark runs side by side: most of each is tshark's own start-up.
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        list(pool.map(one, (check_line, check_modbus, check_goose)))
