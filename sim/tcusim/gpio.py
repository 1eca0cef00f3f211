"""The board's GPIO lines as a fake sysfs tree under TCU_ROOT: every line the
terminal uses is pre-exported (a plain directory creates nothing on a write to
"export"); contactor feedbacks follow the contactor outputs after a relay delay;
identity switches are set from the scenario."""
import os
import threading
import time

OUTPUTS = {405: "A K1", 401: "A K2", 400: "B K1", 399: "B K2"}
FEEDBACK = {405: 410, 401: 396, 400: 404, 399: 398}
LEDS = {408: "LED0", 409: "LED1", 407: "LED2", 397: "LED3"}
IDENTITY = (490, 406, 403, 402)   # bit 3 .. bit 0, a bit is 1 when its line reads 0
ALL_LINES = (432, 503, 504, 406, 402, 403, 490, 407, 408, 409, 397, 399, 400, 401, 405,
             410, 396, 398, 404)


class GpioView:
    """What the checks read of the board's lines: last values and changes, under lock."""

    def value(self, n):
        with self.lock:
            return self.values.get(n)

    def changes_since(self, t):
        with self.lock:
            return [c for c in self.changes if c[0] >= t]


class Gpio(GpioView):
    def __init__(self, ev, root, identity=0, relay_delay=0.05):
        self.ev = ev
        self.base = os.path.join(root, "sys/class/gpio")
        self.relay_delay = relay_delay
        self.values = {}
        self.changes = []           # (monotonic time, line, value)
        self.stuck = {}             # feedback line -> forced value
        self.feedback_changes = []  # (monotonic time, feedback line, value) as written
        self.lock = threading.Lock()
        self.quit = False
        os.makedirs(self.base, exist_ok=True)
        for name in ("export", "unexport"):
            open(os.path.join(self.base, name), "w").close()
        for n in ALL_LINES:
            d = os.path.join(self.base, "gpio%d" % n)
            os.makedirs(d, exist_ok=True)
            self.write_file(n, "direction", "in")
            self.write_file(n, "value", "1")
        for bit, n in enumerate(IDENTITY):
            self.write_file(n, "value", "0" if identity >> (3 - bit) & 1 else "1")
        self.thread = threading.Thread(target=self.run, name="gpio", daemon=True)

    def write_file(self, n, name, text):
        # Replaced whole, so that the terminal never reads a half-written value file.
        path = os.path.join(self.base, "gpio%d" % n, name)
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            f.write(text + "\n")
        os.rename(tmp, path)

    def read(self, n):
        try:
            with open(os.path.join(self.base, "gpio%d" % n, "value")) as f:
                t = f.read().strip()
            return int(t) if t else None
        except (OSError, ValueError):
            return None

    def start(self):
        self.thread.start()

    def stop(self):
        self.quit = True
        self.thread.join(1)

    def run(self):
        pending = []
        while not self.quit:
            now = time.monotonic()
            for n in list(OUTPUTS) + list(LEDS):
                v = self.read(n)
                if v is None:
                    continue
                with self.lock:
                    old = self.values.get(n)
                    if old == v:
                        continue
                    self.values[n] = v
                    self.changes.append((now, n, v))
                if n in OUTPUTS:
                    self.ev.log("GPIO", "contactor %s output %d -> %s" % (
                        OUTPUTS[n], n, "closed" if v == 0 else "open"), show=old is not None)
                    pending.append((now + self.relay_delay, FEEDBACK[n], v))
                else:
                    self.ev.log("GPIO", "gun %s %d -> %s" % (LEDS[n], n, "on" if v == 0 else "off"),
                                show=False)
            for item in [p for p in pending if p[0] <= now]:
                pending.remove(item)
                _, fb, v = item
                v = self.stuck.get(fb, v)
                self.write_file(fb, "value", str(v))
                with self.lock:
                    self.feedback_changes.append((now, fb, v))
                self.ev.log("GPIO", "feedback %d -> %d" % (fb, v), show=False)
            time.sleep(0.01)
