"""Draws a stretch of a Value Change Dump from `torvex run --vcd` or `torvex
pty --vcd` as an SVG picture: one trace a signal, with a time axis in ms.

usage: vcd_svg.py FILE.vcd FROM_MS TO_MS OUT.svg"""
import sys

WIDTH, LABEL, ROW, HIGH = 960, 60, 28, 16


def read_vcd(path):
    """The signals in their order, and each one's changes as (ns, level)."""
    names, changes, now = {}, {}, 0
    order = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            if words[0] == "$var":
                names[words[3]] = words[4]
                order.append(words[3])
                changes[words[3]] = []
            elif words[0].startswith("#"):
                now = int(words[0][1:])
            elif words[0][0] in "01" and words[0][1:] in names:
                changes[words[0][1:]].append((now, words[0][0] == "1"))
    return [(names[code], changes[code]) for code in order]


def trace(changes, start, end):
    """The polyline of one signal between two times, in ns, from x = 0 to 1."""
    level = False
    for when, value in changes:
        if when > start:
            break
        level = value
    points = [(0.0, level)]
    for when, value in changes:
        if start < when < end and value != level:
            x = (when - start) / (end - start)
            points += [(x, level), (x, value)]
            level = value
    points.append((1.0, level))
    return points


def main():
    path, start_ms, end_ms, out = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    if end_ms <= start_ms:
        sys.exit("vcd_svg.py: TO_MS must come after FROM_MS")
    start, end = int(start_ms * 1e6), int(end_ms * 1e6)
    signals = read_vcd(path)
    span = WIDTH - LABEL - 10
    height = ROW * len(signals) + 40
    svg = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="monospace" font-size="12">'
           % (WIDTH, height), '<rect width="100%" height="100%" fill="white"/>']
    for row, (name, changes) in enumerate(signals):
        base = ROW * row + ROW - 6
        svg.append('<text x="4" y="%d">%s</text>' % (base - 2, name))
        points = " ".join("%.1f,%d" % (LABEL + x * span, base - (HIGH if level else 0))
                          for x, level in trace(changes, start, end))
        svg.append('<polyline fill="none" stroke="#1565c0" stroke-width="1" points="%s"/>' % points)
    axis = ROW * len(signals) + 10
    svg.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (LABEL, axis, LABEL + span, axis))
    for i in range(11):
        x = LABEL + span * i / 10
        svg.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="black"/>' % (x, axis, x, axis + 4))
        svg.append('<text x="%.1f" y="%d" text-anchor="middle">%.1f ms</text>'
                   % (x, axis + 18, start_ms + (end_ms - start_ms) * i / 10))
    svg.append("</svg>")
    with open(out, "w") as f:
        f.write("\n".join(svg) + "\n")


if __name__ == "__main__":
    main()
