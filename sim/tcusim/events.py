"""The run's timeline and verdict book: every device thread records what it saw
here; failures and warnings are counted for the verdict. Lines go to the terminal
(only the interesting ones unless verbose) and all of them to events.log."""
import sys
import threading
import time


class Events:
    def __init__(self, path, verbose=False, color=None):
        self.t0 = time.monotonic()
        self.lock = threading.Lock()
        self.file = open(path, "w", buffering=1)
        self.verbose = verbose
        self.color = sys.stdout.isatty() if color is None else color
        self.failures = []
        self.warnings = []
        self.counts = {}
        self.cond = threading.Condition(self.lock)
        self.gen = 0  # bumped on every record; waiters re-check their conditions

    def now(self):
        return time.monotonic() - self.t0

    def count(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def log(self, kind, text, show=True):
        colors = {"FAIL": "31;1", "WARN": "33", "STEP": "1", "GOOSE": "35", "REG": "36",
                  "CTRL": "32", "BOARD": "32", "GPIO": "34", "PU": "36", "APP": "37"}
        line = "%8.3f %-5s %s" % (self.now(), kind, text)
        with self.lock:
            self.file.write(line + "\n")
            if show or self.verbose or kind in ("FAIL", "WARN", "STEP"):
                if self.color and kind in colors:
                    sys.stdout.write("\033[%sm%s\033[0m\n" % (colors[kind], line))
                else:
                    sys.stdout.write(line + "\n")
                sys.stdout.flush()
            self.gen += 1
            self.cond.notify_all()

    def fail(self, text):
        with self.lock:
            self.failures.append("%.3f %s" % (self.now(), text))
        self.log("FAIL", text)

    def warn(self, text):
        with self.lock:
            self.warnings.append("%.3f %s" % (self.now(), text))
        self.log("WARN", text)

    def poke(self):
        with self.lock:
            self.gen += 1
            self.cond.notify_all()

    def wait_until(self, pred, timeout):
        """Re-evaluates pred (without the lock held) whenever something is recorded,
        at least every 50 ms, until it is true or the time-out passes."""
        end = time.monotonic() + timeout
        while True:
            if pred():
                return True
            left = end - time.monotonic()
            if left <= 0:
                return pred()
            with self.lock:
                self.cond.wait(min(left, 0.05))

    def close(self):
        self.file.close()
