#!/usr/bin/env python3
"""Draws samples/shapes.bmp: a 24-bit bitmap with a few shapes over a soft
gradient, odd width so rows carry padding. Plain Python, no libraries."""
import struct
import sys

WIDTH, HEIGHT = 161, 120


def pixel(x, y):
    # Background: a gentle diagonal gradient, too soft to count as an edge.
    b = g = r = 60 + (x + y) // 6
    if (x - 50) ** 2 + (y - 60) ** 2 < 32 ** 2:  # a disc
        b, g, r = 40, 90, 220
    if 95 <= x < 145 and 25 <= y < 95:  # a square with a hole
        b, g, r = 210, 170, 30
        if (x - 120) ** 2 + (y - 60) ** 2 < 12 ** 2:
            b, g, r = 250, 250, 250
    if abs(y - (HEIGHT - 10 - x / 4)) < 2:  # a thin slanted line
        b, g, r = 20, 20, 20
    return bytes((b, g, r))


def main(path):
    stride = (3 * WIDTH + 3) & ~3
    rows = []
    for y in range(HEIGHT):
        row = b"".join(pixel(x, y) for x in range(WIDTH))
        rows.append(row + bytes(stride - len(row)))
    data = b"".join(rows)
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(data), 0, 0,
                         54, 40, WIDTH, HEIGHT, 1, 24, 0, len(data), 2835,
                         2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/shapes.bmp")
