#!/usr/bin/env python3
"""Draws the operator window's pictures: 17 of 16 x 16 (index order of console_icons.qrc) and the
15 x 15 alarm. Shapes are filled with 4 x 4 samples per pixel, so edges are smooth. Needs only
the standard library; run it from this folder and commit the PNGs and ../console_icons.qrc it
writes."""

import math
import struct
import zlib

SAMPLES = 4

DARK = {
    "green": (26, 110, 38), "red": (150, 20, 20), "yellow": (170, 120, 10),
    "grey": (70, 70, 70), "blue": (30, 60, 140), "orange": (170, 80, 0),
    "purple": (90, 40, 130), "skin": (150, 100, 60),
}
FILL = {
    "green": (70, 185, 80), "red": (225, 60, 55), "yellow": (245, 200, 70),
    "grey": (175, 175, 180), "blue": (110, 160, 235), "orange": (250, 165, 60),
    "purple": (170, 120, 215), "skin": (245, 205, 165), "white": (255, 255, 255),
}


class Canvas:
    def __init__(self, size):
        self.size = size
        self.pixels = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def paint(self, inside, colour):
        """Lays `colour` over every pixel as far as `inside(x, y)` covers it."""
        for py in range(self.size):
            for px in range(self.size):
                hits = sum(
                    inside(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    for sx in range(SAMPLES) for sy in range(SAMPLES))
                if hits:
                    self.pixels[py][px] = over(self.pixels[py][px], colour, hits / SAMPLES**2)

    def outlined(self, outer, inner, hue, fill=None):
        self.paint(outer, DARK[hue])
        self.paint(inner, FILL[fill or hue])

    def write(self, path):
        rows = b"".join(b"\0" + bytes(c for p in row for c in p) for row in self.pixels)
        chunk = lambda kind, data: (struct.pack(">I", len(data)) + kind + data +
                                    struct.pack(">I", zlib.crc32(kind + data)))
        header = struct.pack(">IIBBBBB", self.size, self.size, 8, 6, 0, 0, 0)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                      chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def over(below, colour, coverage):
    r, g, b, a = below
    alpha = coverage + a / 255 * (1 - coverage)
    if alpha == 0:
        return below
    mix = lambda top, bottom: round((top * coverage + bottom * a / 255 * (1 - coverage)) / alpha)
    return (mix(colour[0], r), mix(colour[1], g), mix(colour[2], b), round(alpha * 255))


# Shapes: predicates on a point in pixel coordinates, (0, 0) the top-left corner.
def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        cx, cy = min(max(x, x0 + r), x1 - r), min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def polygon(*points):
    def inside(x, y):
        result = False
        for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]):
            if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
                result = not result
        return result
    return inside


def stroke(xa, ya, xb, yb, width):
    def inside(x, y):
        dx, dy = xb - xa, yb - ya
        t = max(0, min(1, ((x - xa) * dx + (y - ya) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - xa - t * dx, y - ya - t * dy) <= width / 2
    return inside


def arc(cx, cy, r, half_angle, width):
    """Part of a ring around (cx, cy), opening to the right."""
    def inside(x, y):
        angle = math.degrees(math.atan2(y - cy, x - cx))
        return abs(math.hypot(x - cx, y - cy) - r) <= width / 2 and abs(angle) <= half_angle
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


def shifted(shape, dx, dy):
    return lambda x, y: shape(x - dx, y - dy)


# Pieces shared by several pictures.
def bubble(c, fill="blue"):
    outer = union(rounded(1, 1.5, 15, 11.5, 3.5), polygon((3.5, 10), (3, 15), (8.5, 10)))
    inner = union(rounded(2, 2.5, 14, 10.5, 2.5), polygon((4.5, 10), (4.2, 13), (7, 10)))
    c.outlined(outer, inner, "blue", fill)


def person(c):
    c.outlined(disc(8, 5, 3.6), disc(8, 5, 2.6), "skin")
    shoulders = lambda inset: lambda x, y: (y <= 15.5 - inset and
                                            (x - 8) ** 2 + (y - 16.5) ** 2 <= (7 - inset) ** 2)
    c.outlined(shoulders(0), shoulders(1), "blue")


def badge(c, hue, mark):
    """A round mark over the bottom-right corner, kept apart from the picture by a white ring."""
    c.paint(disc(11.5, 11.5, 4.5), FILL["white"])
    c.paint(disc(11.5, 11.5, 3.8), DARK[hue])
    c.paint(mark, FILL["white"])


PLUS = union(rect(10.7, 9.2, 12.3, 13.8), rect(9.2, 10.7, 13.8, 12.3))
CROSS = union(stroke(9.8, 9.8, 13.2, 13.2, 1.5), stroke(9.8, 13.2, 13.2, 9.8, 1.5))
INFO = union(rect(10.8, 10.9, 12.2, 13.9), disc(11.5, 9.3, 0.9))


def padlock(c, shackle_dx, shackle_dy):
    ring = minus(disc(8, 6, 4.2), disc(8, 6, 2.6))
    c.paint(shifted(minus(ring, rect(0, 7, 16, 16)), shackle_dx, shackle_dy), DARK["grey"])
    c.paint(shifted(union(rect(3.8, 6, 5.4, 8.5), rect(10.6, 6, 12.2, 8.5)),
                    shackle_dx, shackle_dy), DARK["grey"])
    c.outlined(rounded(2.5, 7.5, 13.5, 15, 1.5), rounded(3.5, 8.5, 12.5, 14, 1), "yellow")
    c.paint(union(disc(8, 10.6, 1.2), rect(7.4, 10.6, 8.6, 12.8)), DARK["yellow"])


def start(c):
    c.outlined(polygon((3.5, 1.5), (14, 8), (3.5, 14.5)), polygon((4.7, 3.7), (11.7, 8), (4.7, 12.3)),
               "green")


def stop(c):
    c.outlined(rounded(2, 2, 14, 14, 2), rounded(3, 3, 13, 13, 1.3), "red")


def folders(c):
    c.outlined(rounded(1, 2.5, 7.5, 6, 1), rounded(2, 3.5, 6.5, 6, 0.5), "yellow")
    c.outlined(rounded(1, 4.5, 15, 14, 1), rounded(2, 5.5, 14, 13, 0.5), "yellow")


def gear(inset):
    def inside(x, y):
        r, angle = math.hypot(x - 8, y - 8), math.degrees(math.atan2(y - 8, x - 8))
        tooth = abs((angle + 30) % 60 - 30) <= 15 - inset * 4
        return r <= 5.4 - inset or (tooth and r <= 7.6 - inset)
    return inside


def settings(c):
    c.outlined(minus(gear(0), disc(8, 8, 1.6)), minus(gear(1), disc(8, 8, 2.6)), "grey")


def tag(c, fill):
    outer = minus(polygon((0.8, 8), (6, 2.5), (15, 2.5), (15, 13.5), (6, 13.5)), disc(5.8, 8, 1.2))
    inner = minus(polygon((2.2, 8), (6.5, 3.5), (14, 3.5), (14, 12.5), (6.5, 12.5)),
                  disc(5.8, 8, 2))
    c.outlined(outer, inner, "purple", fill)


def statistics(c):
    c.paint(union(rect(1, 1, 2, 15), rect(1, 14, 15, 15)), DARK["grey"])
    for x0, top, hue in ((3.5, 8, "green"), (7.5, 4, "blue"), (11.5, 1.5, "orange")):
        c.outlined(rect(x0, top, x0 + 3.5, 14), rect(x0 + 1, top + 1, x0 + 2.5, 14), hue)


def shout(c):
    c.outlined(polygon((1, 5.5), (4.5, 5.5), (10, 1.5), (10, 14.5), (4.5, 10.5), (1, 10.5)),
               polygon((2, 6.5), (4.8, 6.5), (9, 3.4), (9, 12.6), (4.8, 9.5), (2, 9.5)),
               "orange")
    for radius in (2.6, 4.6):
        c.paint(arc(10, 8, radius, 45, 1.2), DARK["orange"])


def alarm(c):
    c.outlined(disc(7.5, 7.5, 7.2), disc(7.5, 7.5, 6.2), "red")
    c.paint(union(rounded(6.4, 2.6, 8.6, 9.2, 1), disc(7.5, 11.6, 1.2)), FILL["white"])


PICTURES = [
    ("start", start),
    ("stop", stop),
    ("folders", folders),
    ("settings", settings),
    ("subject", bubble),
    ("subject-selected", lambda c: bubble(c, "yellow")),
    ("subject-code", lambda c: tag(c, "purple")),
    ("subject-code-selected", lambda c: tag(c, "yellow")),
    ("guest", person),
    ("statistics", statistics),
    ("shut-down", lambda c: padlock(c, 0, 0)),
    ("re-open", lambda c: padlock(c, 3, -1.5)),
    ("shout", shout),
    ("new-subject", lambda c: (bubble(c), badge(c, "green", PLUS))),
    ("delete-subject", lambda c: (bubble(c), badge(c, "red", CROSS))),
    ("kill-user", lambda c: (person(c), badge(c, "red", CROSS))),
    ("user-info", lambda c: (person(c), badge(c, "blue", INFO))),
]


def main():
    files = []
    for index, (name, draw) in enumerate(PICTURES):
        canvas = Canvas(16)
        draw(canvas)
        files.append(f"{index:02d}-{name}.png")
        canvas.write(files[-1])
    canvas = Canvas(15)
    alarm(canvas)
    files.append("alarm.png")
    canvas.write(files[-1])
    entries = "".join(f"  <file>icons/{file}</file>\n" for file in files)
    with open("../console_icons.qrc", "w") as qrc:
        qrc.write('<!DOCTYPE RCC>\n<RCC version="1.0">\n<qresource prefix="/console">\n' +
                  entries + "</qresource>\n</RCC>\n")


if __name__ == "__main__":
    main()
