#!/usr/bin/env python3
"""Draws the palette bitmaps of ZorvaComp's three components: 24 by 24 pixels, 4-bit (16-colour)
BMP files named after each class in capitals. Run it from anywhere; it writes beside itself."""
import os
import struct

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
SIZE = 24


class Canvas:
    def __init__(self, background=SILVER):
        self.pixels = [[background] * SIZE for _ in range(SIZE)]

    def fill(self, left, top, right, bottom, colour):
        """Fills the rectangle with corners (left, top) and (right, bottom), both included."""
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                self.pixels[y][x] = colour

    def frame(self, left, top, right, bottom, colour):
        self.fill(left, top, right, top, colour)
        self.fill(left, bottom, right, bottom, colour)
        self.fill(left, top, left, bottom, colour)
        self.fill(right, top, right, bottom, colour)

    def window(self, left, top, right, bottom):
        """A small dialog window: white client area, navy caption bar, black border."""
        self.fill(left, top, right, bottom, WHITE)
        self.fill(left, top, right, top + 3, NAVY)
        self.frame(left, top, right, bottom, BLACK)

    def write_bmp(self, path):
        row_bytes = (SIZE // 2 + 3) // 4 * 4
        rows = []
        for y in reversed(range(SIZE)):  # a BMP stores the bottom row first
            line = self.pixels[y]
            packed = bytes(line[x] << 4 | line[x + 1] for x in range(0, SIZE, 2))
            rows.append(packed.ljust(row_bytes, b"\0"))
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
        pixels = b"".join(rows)
        offset = 14 + 40 + len(palette)
        header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
        info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(pixels), 2835, 2835, 16, 0)
        with open(path, "wb") as out:
            out.write(header + info + palette + pixels)


def connection():
    c = Canvas()
    for left in (1, 15):  # two computers ...
        c.fill(left, 5, left + 7, 12, BLACK)
        c.fill(left + 1, 6, left + 6, 11, TEAL)
        c.fill(left + 2, 13, left + 5, 14, GRAY)
        c.fill(left - 1, 15, left + 8, 16, GRAY)
    c.fill(9, 8, 14, 9, RED)  # ... and the line between them
    c.fill(4, 19, 19, 20, NAVY)
    c.fill(4, 17, 5, 18, NAVY)
    c.fill(18, 17, 19, 18, NAVY)
    return c


def server_stats_dialog():
    c = Canvas()
    c.window(1, 2, 22, 21)
    c.fill(20, 3, 21, 4, SILVER)  # the caption's close button
    c.fill(4, 19, 19, 19, BLACK)  # the chart's axis and three bars
    c.fill(5, 13, 7, 18, GREEN)
    c.fill(10, 9, 12, 18, BLUE)
    c.fill(15, 15, 17, 18, RED)
    return c


def user_info_dialog():
    c = Canvas()
    c.window(1, 2, 22, 21)
    c.fill(20, 3, 21, 4, SILVER)
    c.fill(5, 8, 9, 12, YELLOW)  # the user: a head ...
    c.frame(5, 8, 9, 12, OLIVE)
    c.fill(4, 14, 10, 19, BLUE)  # ... and shoulders
    for y in (9, 12, 15, 18):  # the record's lines
        c.fill(13, y, 19, y, GRAY)
    return c


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw in (("TZORVACONNECTION", connection),
                       ("TZORVASERVERSTATSDIALOG", server_stats_dialog),
                       ("TZORVAUSERINFODIALOG", user_info_dialog)):
        draw().write_bmp(os.path.join(here, name + ".bmp"))
