"""timeline.html: one self-contained page per run (inline SVG and a few lines of
inline script, nothing fetched) that draws the charge over time. Per gun: the
voltage and current the terminal requested by GOOSE against those the controller
reported on the line, the charging stage, the contactor outputs and their
feedbacks; below them the power unit's connection and the scenario's steps.
Hovering a point shows its value."""
import html
import json
import struct

from .goose import REASON_NAMES, TYPE_NAMES
from .gpio import FEEDBACK

STAGE_NAMES = {0: "IDLE", 1: "FAULT", 2: "PLUGIN", 3: "FAULT_PLUGIN", 4: "START",
               5: "INSULATION_CHECK", 6: "PRECHARGE", 7: "CHARGING", 8: "END"}
STAGE_COLORS = {0: "#e8e8e8", 1: "#f4a0a0", 2: "#cfe3f7", 3: "#f7c6a0", 4: "#d9f0c8",
                5: "#fff0a8", 6: "#c8ecd9", 7: "#9fd9a8", 8: "#dcd0f0"}
CONTACTORS = {"A": (405, 401), "B": (400, 399)}
W, LEFT, RIGHT = 1180, 170, 20
PLOT_H = 150


def esc(text):
    return html.escape(str(text), quote=True)


def status_series(sc):
    """Status reports (command 0, full length) of each gun as they crossed the line:
    [(t, V, I, stage)] with only the points where something changed, plus the last."""
    out = {"A": [], "B": []}
    last = {"A": None, "B": None}
    t0 = sc.ev.t0
    for mono, direction, b in sc.line_cap.frames:
        if direction != 1 or len(b) != 23 or b[0] not in (0x11, 0x12) or b[4] != 0 or b[2] != 18:
            continue
        gun = "A" if b[0] == 0x11 else "B"
        _, cur, volt, _, _, stage, _ = struct.unpack(">HHHIIBB", b[5:21])
        point = (volt / 10.0, cur / 10.0, stage)
        if point != last[gun]:
            out[gun].append((mono - t0,) + point)
            last[gun] = point
    return out


def goose_series(sc):
    out = {"A": [], "B": []}
    for gun in "AB":
        for mono, f in list(sc.sub.streams[gun].requests):
            d = f["data"]
            if f["kind"] == "power":
                label = "st %d %s %.1f V %.1f A" % (f["stNum"], TYPE_NAMES.get(d["type"], d["type"]), d["V"], d["I"])
                out[gun].append((mono - sc.ev.t0, "power", d["V"], d["I"], label))
            else:
                label = "st %d shutdown %s" % (f["stNum"], REASON_NAMES.get(d["reason"], d["reason"]))
                out[gun].append((mono - sc.ev.t0, "shutdown", None, None, label))
    return out


def lane_changes(changes, line, t0):
    return [(t - t0, v) for t, n, v in changes if n == line]


class Page:
    def __init__(self, t_end):
        self.t_end = max(t_end, 1.0)
        self.parts = []
        self.y = 10

    def x(self, t):
        return LEFT + (W - LEFT - RIGHT) * max(0.0, min(t, self.t_end)) / self.t_end

    def add(self, s):
        self.parts.append(s)

    def label(self, y, text, size=12, bold=False):
        self.add('<text x="%d" y="%.1f" font-size="%d"%s text-anchor="end">%s</text>' % (
            LEFT - 8, y, size, ' font-weight="bold"' if bold else "", esc(text)))

    def axis(self, y0, h):
        self.add('<rect x="%d" y="%d" width="%d" height="%d" fill="#fafafa" stroke="#bbb"/>' % (
            LEFT, y0, W - LEFT - RIGHT, h))

    def step_path(self, pts, y_of, cls, ident, unit, t_end=None):
        """A step curve through (t, value) points, each point hoverable."""
        if not pts:
            return
        d = []
        for i, (t, v) in enumerate(pts):
            x, y = self.x(t), y_of(v)
            d.append("M%.1f,%.1f" % (x, y) if i == 0 else "H%.1f V%.1f" % (x, y))
        d.append("H%.1f" % self.x(self.t_end if t_end is None else t_end))
        self.add('<path id="%s" class="curve %s" d="%s" fill="none"/>' % (ident, cls, " ".join(d)))
        for t, v in pts:
            self.add('<circle class="pt %s" cx="%.1f" cy="%.1f" r="3.5" data-tip="%s"><title>%s</title></circle>' % (
                cls, self.x(t), y_of(v), esc("%.2f s: %g %s" % (t, v, unit)), esc("%.2f s: %g %s" % (t, v, unit))))

    def panel(self, title, series, unit):
        """Value panel: series = [(ident, cls, legend, [(t, v)])]."""
        y0 = self.y
        vmax = max([v for _, _, _, pts in series for _, v in pts] + [1.0]) * 1.1
        self.axis(y0, PLOT_H)
        self.label(y0 + 28, title, bold=True)
        for k in range(5):
            v = vmax * k / 4
            y = y0 + PLOT_H - PLOT_H * k / 4
            self.add('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#e4e4e4"/>' % (LEFT, W - RIGHT, y, y))
            self.add('<text x="%d" y="%.1f" font-size="10" text-anchor="end" fill="#666">%.0f %s</text>' % (
                LEFT - 4, y + 3, v, unit))
        for i, (ident, cls, legend, pts) in enumerate(series):
            self.add('<text x="%d" y="%.1f" font-size="11" class="legend %s">%s</text>' % (
                LEFT - 150, y0 + 48 + 14 * i, cls, esc(legend)))
            self.step_path(pts, lambda v: y0 + PLOT_H - PLOT_H * v / vmax, cls, ident, unit)
        self.y += PLOT_H + 8

    def band(self, title, segments, ident):
        """A lane of coloured segments: [(t, label, colour)]."""
        y0, h = self.y, 22
        self.label(y0 + 15, title)
        self.add('<g id="%s">' % ident)
        for i, (t, text, colour) in enumerate(segments):
            t_next = segments[i + 1][0] if i + 1 < len(segments) else self.t_end
            x0, x1 = self.x(t), self.x(t_next)
            tip = "%.2f s: %s" % (t, text)
            self.add('<rect class="seg" x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" stroke="#fff" '
                     'data-tip="%s"><title>%s</title></rect>' % (x0, y0, max(x1 - x0, 0.5), h, colour, esc(tip), esc(tip)))
            room = int((x1 - x0 - 6) / 6)      # about 6 px a character at this size
            if room >= 4:
                shown = text if len(text) <= room else text[:room - 1] + "\u2026"
                self.add('<text x="%.1f" y="%d" font-size="10" pointer-events="none">%s</text>' % (
                    x0 + 3, y0 + 15, esc(shown)))
        self.add('</g>')
        self.y += h + 4

    def binary(self, title, pts, ident, on_text, off_text, on_value):
        """A lane for a two-state signal, [(t, raw value)]."""
        segs = [(t, on_text if v == on_value else off_text, "#4f8fd8" if v == on_value else "#eeeeee")
                for t, v in pts]
        if not segs:
            segs = [(0.0, "no data", "#f8f8f8")]
        self.band(title, segs, ident)


def write(sc, path):
    t0 = sc.ev.t0
    # The page ends with the run's last traffic, not with the checks after it.
    ends = [m for m, _, _ in sc.line_cap.frames[-1:]] + [m for m, _ in sc.pu.link_changes[-1:]]
    t_end = (max(ends) - t0 + 0.3) if ends else sc.ev.now()
    p = Page(t_end)
    status = status_series(sc)
    goose = goose_series(sc)
    with sc.gpio.lock:
        outs = list(sc.gpio.changes)
        fbs = list(sc.gpio.feedback_changes)
    p.add('<text x="%d" y="24" font-size="18" font-weight="bold">%s</text>' % (
        LEFT, esc("%s: %s" % (sc.name, sc.doc.get("title", sc.name)))))
    p.y = 40
    # The scenario's steps and the power unit's link on top, the guns below.
    y_steps = p.y
    p.label(y_steps + 15, "Scenario steps")
    marks = []
    for mono, n, title in sc.step_marks:
        x = p.x(mono - t0)
        tip = "%.2f s: step %d. %s" % (mono - t0, n, title)
        marks.append((x, n, tip))
    p.y += 33
    for k in range(11):
        t = p.t_end * k / 10
        p.add('<text x="%.1f" y="%d" font-size="10" text-anchor="middle" fill="#666">%.1f s</text>' % (
            p.x(t), p.y, t))
    p.y += 8
    link = [(t - t0, 1 if up else 0) for t, up in list(sc.pu.link_changes)]
    if not link or link[0][0] > 0:
        link.insert(0, (0.0, 0))
    p.binary("Power unit link", link, "pu-link", "connected", "not connected", 1)
    p.y += 10
    for gun in "AB":
        p.label(p.y + 14, "Gun " + gun, size=16, bold=True)
        p.y += 30
        req_v = [(t, v) for t, kind, v, _, _ in goose[gun] if kind == "power"]
        req_i = [(t, i) for t, kind, _, i, _ in goose[gun] if kind == "power"]
        meas_v = [(t, v) for t, v, _, _ in status[gun]]
        meas_i = [(t, i) for t, _, i, _ in status[gun]]
        p.panel("Voltage", [("req-V-" + gun, "req", "requested (GOOSE)", req_v),
                            ("meas-V-" + gun, "meas", "measured (controller)", meas_v)], "V")
        p.panel("Current", [("req-I-" + gun, "req", "requested (GOOSE)", req_i),
                            ("meas-I-" + gun, "meas", "measured (controller)", meas_i)], "A")
        segs = []
        for t, _, _, st in status[gun]:
            if not segs or segs[-1][1] != STAGE_NAMES.get(st, str(st)):
                segs.append((t, STAGE_NAMES.get(st, str(st)), STAGE_COLORS.get(st, "#ccc")))
        p.band("Charging stage", segs or [(0.0, "no report", "#f8f8f8")], "stage-" + gun)
        reqs = [(t, label, "#f6d38a" if kind == "power" else "#f2a7a7") for t, kind, _, _, label in goose[gun]]
        p.band("GOOSE requests", reqs or [(0.0, "none", "#f8f8f8")], "goose-" + gun)
        for name, line in zip(("K1", "K2"), CONTACTORS[gun]):
            p.binary("%s output (%d)" % (name, line), lane_changes(outs, line, t0), "out-%s-%s" % (name, gun),
                     "closed", "open", 0)
            fb = FEEDBACK[line]
            p.binary("%s feedback (%d)" % (name, fb), lane_changes(fbs, fb, t0), "fb-%s-%s" % (name, gun),
                     "closed", "open", 0)
        p.y += 14
    # Step markers last, so that they lie over the lanes and stay hoverable.
    p.add('<g id="steps">')
    for x, n, tip in marks:
        p.add('<line x1="%.1f" x2="%.1f" y1="%d" y2="%d" stroke="#999" stroke-dasharray="3,3" '
              'pointer-events="none"/>' % (x, x, y_steps + 20, p.y))
        p.add('<g class="step" data-tip="%s"><title>%s</title><rect x="%.1f" y="%d" width="18" height="18" '
              'rx="3" fill="#555"/><text x="%.1f" y="%d" font-size="10" fill="#fff" text-anchor="middle">%d</text></g>' % (
                  esc(tip), esc(tip), x - 9, y_steps + 2, x, y_steps + 15, n))
    p.add('</g>')
    height = p.y + 10
    steps = "".join("<tr><td>%d</td><td>%.2f s</td><td>%s</td></tr>" % (n, mono - t0, esc(title))
                    for mono, n, title in sc.step_marks)
    expect = {"guns": {g: {"req": len(goose[g]), "meas": len(status[g])} for g in "AB"}}
    doc = PAGE % {
        "title": esc("%s timeline" % sc.name), "w": W, "h": height, "svg": "\n".join(p.parts),
        "steps": steps, "expect": esc(json.dumps(expect)),
        "verdict": esc("%d failures, %d warnings" % (len(sc.ev.failures), len(sc.ev.warnings))),
    }
    with open(path, "w", encoding="utf-8") as f:
        f.write(doc)


PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>%(title)s</title>
<style>
body { font-family: sans-serif; margin: 12px; color: #222; }
svg text { font-family: sans-serif; }
.curve.req { stroke: #d9822b; stroke-width: 2; }
.curve.meas { stroke: #2b6cd9; stroke-width: 1.5; }
.pt.req { fill: #d9822b; } .pt.meas { fill: #2b6cd9; }
.legend.req { fill: #d9822b; } .legend.meas { fill: #2b6cd9; }
.pt:hover, .seg:hover, .step:hover { stroke: #000; stroke-width: 2; cursor: pointer; }
#tip { position: fixed; display: none; background: #222; color: #fff; padding: 3px 6px; font-size: 12px;
       border-radius: 3px; pointer-events: none; white-space: nowrap; }
table { border-collapse: collapse; font-size: 12px; margin-top: 10px; }
td { border-bottom: 1px solid #ddd; padding: 2px 8px; }
</style></head>
<body data-expect="%(expect)s">
<div id="tip"></div>
<svg id="timeline" xmlns="http://www.w3.org/2000/svg" width="%(w)d" height="%(h)d" viewBox="0 0 %(w)d %(h)d">
%(svg)s
</svg>
<p>Run verdict: %(verdict)s. Time in seconds since the scenario started.</p>
<table><tr><td><b>Step</b></td><td><b>Start</b></td><td><b>What happens</b></td></tr>
%(steps)s
</table>
<script>
(function () {
  var tip = document.getElementById("tip");
  document.querySelectorAll("[data-tip]").forEach(function (el) {
    el.addEventListener("mouseenter", function (ev) {
      tip.textContent = el.getAttribute("data-tip");
      tip.style.display = "block";
    });
    el.addEventListener("mousemove", function (ev) {
      tip.style.left = (ev.clientX + 12) + "px";
      tip.style.top = (ev.clientY + 12) + "px";
    });
    el.addEventListener("mouseleave", function () { tip.style.display = "none"; });
  });
  // What the page itself can tell about its curves, for the browser check.
  var want = JSON.parse(document.body.getAttribute("data-expect"));
  var found = {};
  ["A", "B"].forEach(function (g) {
    found[g] = {};
    ["req-V-", "meas-V-", "req-I-", "meas-I-"].forEach(function (k) {
      var el = document.getElementById(k + g);
      found[g][k.replace(/-$/, "")] = el ? el.getTotalLength() : 0;
    });
  });
  document.body.setAttribute("data-found", JSON.stringify(found));
})();
</script>
</body></html>
"""
