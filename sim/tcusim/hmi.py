"""The HMI board as the updater sees it: a TCP server that the updater connects to,
asks for the installed version and offers a program image. Text lines end with one
line feed; the image follows the updater's transfer request raw."""
import socket
import threading
import time


class Hmi:
    def __init__(self, ev, port, host="127.0.0.1"):
        self.ev = ev
        self.srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind((host, port))
        self.srv.listen(2)
        self.srv.settimeout(0.2)
        self.lock = threading.Lock()
        self.conn = None
        self.connections = 0
        self.lines = []             # (monotonic time, connection number, text) from the updater
        self.buf = b""
        self.quit = False
        self.thread = threading.Thread(target=self.run, name="hmi", daemon=True)
        self.thread.start()

    def run(self):
        while not self.quit:
            conn = None
            with self.lock:
                conn = self.conn
            try:
                c, addr = self.srv.accept()
                c.settimeout(0.2)
                with self.lock:
                    if self.conn is not None:
                        self.conn.close()
                    self.conn = c
                    self.connections += 1
                    self.buf = b""
                self.ev.log("HMI", "updater connected from %s:%d (connection %d)" % (addr + (self.connections,)))
                self.ev.poke()
                continue
            except socket.timeout:
                pass
            except OSError:
                return
            if conn is None:
                continue
            try:
                data = conn.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            if not data:
                with self.lock:
                    if self.conn is conn:
                        self.conn = None
                conn.close()
                self.ev.log("HMI", "updater closed the connection")
                continue
            with self.lock:
                self.buf += data
                while b"\n" in self.buf:
                    line, self.buf = self.buf.split(b"\n", 1)
                    self.lines.append((time.monotonic(), self.connections, line.decode("latin-1")))
                    self.ev.log("HMI", "rx %s" % line.decode("latin-1"))
            self.ev.poke()

    def connected(self):
        with self.lock:
            return self.conn is not None

    def send(self, data):
        with self.lock:
            c = self.conn
        if c is None:
            return False
        try:
            c.sendall(data)
        except OSError:
            return False
        return True

    def wait_line(self, prefix, since, timeout):
        """The first line from the updater beginning with prefix received after since."""
        found = []

        def seen():
            with self.lock:
                found[:] = [l for t, _, l in self.lines if t >= since and l.startswith(prefix)]
            return bool(found)
        self.ev.wait_until(seen, timeout)
        return found[0] if found else None

    def query_version(self, timeout=30.0):
        """Asks the installed version (repeated until answered, the updater may be busy
        with a trial); the version text or None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if not self.ev.wait_until(self.connected, end - time.monotonic()):
                return None
            t = time.monotonic()
            self.ev.log("HMI", "tx Event=GetFirmwareVersion,Type=HW")
            self.send(b"Event=GetFirmwareVersion,Type=HW\n")
            line = self.wait_line("Event=GetFirmwareVersion,Type=HW,Version=", t, min(10.0, end - t))
            if line is not None:
                return line.split("Version=", 1)[1]
        return None

    def offer(self, image, version, timeout=60.0):
        """Offers the image; the updater's result status ("Success", "Fail", "Rejected") or None."""
        t = time.monotonic()
        text = "Event=NotifyUpdateFirmware,Type=HW,Size=%d,Version=%s\n" % (len(image), version)
        self.ev.log("HMI", "tx %s" % text.strip())
        self.send(text.encode())
        ans = self.wait_line("Event=NotifyUpdateFirmware,Type=HW,Status=", t, timeout)
        if ans is None:
            return None
        if "Status=Accepted" not in ans:
            return "Rejected"
        req = self.wait_line("Event=UpdateFirmware,Type=HW,Version=%s" % version, t, timeout)
        if req is None:
            return None
        self.ev.log("HMI", "sending the image, %d bytes" % len(image))
        self.send(image)
        res = self.wait_line("Event=NotifyUpdateFirmwareResult,Type=HW,Status=", t, timeout)
        if res is None:
            return None
        self.send(("Event=NotifyUpdateFirmwareResult,Type=HW,Status=OK\n").encode())
        return res.split("Status=", 1)[1].split(",", 1)[0]

    def stop(self):
        self.quit = True
        self.thread.join(1)
        with self.lock:
            if self.conn is not None:
                self.conn.close()
        self.srv.close()
