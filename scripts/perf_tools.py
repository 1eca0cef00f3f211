#!/usr/bin/env python3
"""The parts of scripts/perf.sh that are easier in Python than in the shell.

  perf_tools.py bm FILE NAME FIELD     a counter or time of one Google Benchmark result
                                       in a JSON file ("nan" when absent)
  perf_tools.py free-port              a loopback TCP port nobody listens on
  perf_tools.py sim-figures SUMMARY    "controller board wall_s failures" of a simulator run
  perf_tools.py startup-ns WORK APP TOP PKI MODE...
                                       inside a private network namespace (unshare --net):
                                       sets up lo and a black hole, then one start-up run
                                       per mode, one line "MODE SECONDS LINK" each
  perf_tools.py startup MODE APP TOP WORK PKI
                                       one start-up run (what startup-ns runs per mode)
  perf_tools.py order PCAP...          work-state reports against the GOOSE requests
                                       posted after them, from the simulator's wire.pcap
                                       files (one capture each, kernel time stamps):
                                       "k n lead_min_ms lead_median_ms unpaired"
  perf_tools.py table ROWS             the tab-separated rows as a Markdown table
"""
import json
import os
import pty
import select
import socket
import ssl
import subprocess
import sys
import threading
import time
import tty


def bm(path, name, field):
    with open(path) as f:
        d = json.load(f)
    for b in d.get("benchmarks", []):
        if b["name"] == name:
            return str(b.get(field, "nan"))
    return "nan"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return str(port)


def sim_figures(path):
    try:
        with open(path) as f:
            fig = json.load(f)["figures"]
    except (OSError, ValueError, KeyError):
        return "0 0 0 1"
    return "%s %s %s %s" % (fig.get("controller_exchanges", 0), fig.get("board_exchanges", 0),
                            fig.get("wall_s", 0), fig.get("failures", 0))


# The black hole of the blackholed mode: a veth whose peer has no address, with a permanent
# neighbour entry, so SYNs to 10.77.0.2 leave and are never answered.
NS_SETUP = [
    ["ip", "link", "set", "lo", "up"],
    ["ip", "link", "add", "bh0", "type", "veth", "peer", "name", "bh1"],
    ["ip", "addr", "add", "10.77.0.1/24", "dev", "bh0"],
    ["ip", "link", "set", "bh0", "up"],
    ["ip", "link", "set", "bh1", "up"],
    ["ip", "neigh", "add", "10.77.0.2", "lladdr", "02:00:00:00:77:02", "dev", "bh0", "nud",
     "permanent"],
]


def startup_ns(work, app, top, pki, modes):
    for cmd in NS_SETUP:
        subprocess.run(cmd, check=True)
    for m in modes:
        r = subprocess.run([sys.executable, os.path.abspath(__file__), "startup", m, app, top,
                            work, pki], stdout=subprocess.PIPE, text=True)
        print(m, r.stdout.strip() or "nan", flush=True)
    return 0


def startup(mode, app, top, work, pki):
    """Runs app_ZQHW on a fresh host-run tree with the controller line on a pseudo-terminal
    and times exec -> first byte of the first controller poll. Modes: reachable (plain),
    reachable_tls, refusing (closed port), blackholed (SYNs dropped)."""
    root = os.path.join(work, "root_start_" + mode)
    master, slave = pty.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    srv = None
    ip, port = "127.0.0.1", 1
    if mode.startswith("reachable"):
        srv = socket.socket()
        srv.bind(("127.0.0.1", 0))
        srv.listen(4)
        port = srv.getsockname()[1]
    elif mode == "refusing":
        port = int(free_port())
    else:
        ip, port = "10.77.0.2", 1502
    subprocess.run(["bash", os.path.join(top, "scripts/make_host_root.sh"), root, "lo", ip,
                    str(port), name], check=True, stdout=subprocess.DEVNULL)
    ctx = None
    if mode == "reachable_tls":
        cfg = os.path.join(root, "home/root/etc/tcu_config.json")
        with open(cfg) as f:
            text = f.read().replace('"enable_ssl":\t"0"', '"enable_ssl":\t"1"')
        with open(cfg, "w") as f:
            f.write(text)
        etc = os.path.join(root, "home/root/etc")
        subprocess.run(["cp", pki + "/ca.crt", pki + "/client.crt", etc], check=True)
        subprocess.run(["cp", pki + "/client.key", etc + "/client.keyp"], check=True)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(pki + "/server.crt", pki + "/server.key")
        ctx.load_verify_locations(pki + "/ca.crt")
        ctx.verify_mode = ssl.CERT_REQUIRED
    conns = []

    def serve():
        while True:
            try:
                c, _ = srv.accept()
            except OSError:
                return
            if ctx is not None:
                try:
                    c = ctx.wrap_socket(c, server_side=True)
                except (OSError, ssl.SSLError) as e:
                    print("handshake failed: %s" % e, file=sys.stderr)
                    continue
            conns.append(time.monotonic())

    if srv is not None:
        threading.Thread(target=serve, daemon=True).start()
    env = dict(os.environ, TCU_ROOT=root)
    out = open(os.path.join(work, "app_start_%s.txt" % mode), "wb")
    t0 = time.monotonic()
    p = subprocess.Popen([app], env=env, stdout=out, stderr=subprocess.STDOUT)
    r, _, _ = select.select([master], [], [], 15)
    t1 = time.monotonic()
    first = os.read(master, 64) if r else b""
    p.terminate()
    p.wait()
    out.close()
    if not first:
        print("nan")
    else:
        link = "connected after %.3f s" % (conns[0] - t0) if conns else "not connected"
        print("%.3f %s" % (t1 - t0, link.replace(" ", "_")))
    return 0


def order(paths):
    """Pairs each GOOSE request that a controller command posts after writing a work
    state with that register report, in the capture that holds both (the simulator's
    wire.pcap: the Modbus stream on lo and the GOOSE frames on the veth pair, outgoing
    copies, one kernel clock). The lead is the request's time stamp minus the
    report's; k counts the requests whose report went out first."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    from tcusim.wirecap import order_figures, pairs, read_pcap
    prs = []
    for p in paths:
        prs += pairs(read_pcap(p))
    k, n, lead_min, lead_med, unpaired = order_figures(prs)
    fmt = lambda v: "nan" if v is None else "%.3f" % v
    print(k, n, fmt(lead_min), fmt(lead_med), unpaired)
    return 0


def table(path):
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    head = ["Figure", "Measured", "Reference (same run)", "Goal", "Result"]
    w = [max(len(r[i]) for r in rows + [head]) for i in range(5)]
    fmt = "| " + " | ".join("%%-%ds" % x for x in w) + " |"
    print(fmt % tuple(head))
    print("|" + "|".join("-" * (x + 2) for x in w) + "|")
    for r in rows:
        print(fmt % tuple(r))
    return 0


def main(argv):
    cmd, args = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    if cmd == "bm" and len(args) == 3:
        print(bm(*args))
    elif cmd == "free-port" and not args:
        print(free_port())
    elif cmd == "sim-figures" and len(args) == 1:
        print(sim_figures(args[0]))
    elif cmd == "startup-ns" and len(args) >= 5:
        return startup_ns(args[0], args[1], args[2], args[3], args[4:])
    elif cmd == "startup" and len(args) == 5:
        return startup(*args)
    elif cmd == "order" and args:
        return order(args)
    elif cmd == "table" and len(args) == 1:
        return table(args[0])
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
