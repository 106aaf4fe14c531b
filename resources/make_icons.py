#!/usr/bin/env python3
"""Draws the restart prompt's icon (a green circular "restart" arrow) and
writes it as corvane.ico: two 16-colour images, 32x32 then 16x16, in that
order, so that the resource compiler numbers them icon 1 and icon 2.

Run it from anywhere; it writes beside itself. Pass --show to print the
pictures as text instead.
"""
import math
import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, LIME = 0, 2, 10
CLEAR = None


def inTriangle(p, a, b, c):
    def side(p1, p2, p3):
        return (p1[0] - p3[0]) * (p2[1] - p3[1]) - (p2[0] - p3[0]) * (p1[1] - p3[1])
    d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def draw(size):
    """Returns size rows of size pixels (palette index or CLEAR), top row first."""
    c = (size - 1) / 2.0
    cy = c + size * 0.05  # the arrowhead sticks out at the top
    outer, inner = size * 0.38, size * 0.22
    mid, half = (outer + inner) / 2, (outer - inner) / 2
    # The ring runs clockwise from the arrow's tail (at 80 degrees, counted
    # clockwise from 12 o'clock) round to its head at 12 o'clock, where the
    # arrowhead points to the right.
    tail, head = math.radians(80), math.radians(360)

    def polar(r, a):  # a clockwise from 12 o'clock, y downwards
        return (c + r * math.sin(a), cy - r * math.cos(a))

    tip = (c + half * 3.0, cy - mid)
    base1, base2 = (c - 0.5, cy - mid - half * 2.1), (c - 0.5, cy - mid + half * 2.1)

    def body(x, y):
        r = math.hypot(x - c, y - cy)
        a = math.atan2(x - c, -(y - cy)) % (2 * math.pi)
        if a < tail:
            a += 2 * math.pi
        if inner <= r <= outer and tail <= a <= head:
            return True
        return inTriangle((x, y), tip, base1, base2)

    fill = [[body(x, y) for x in range(size)] for y in range(size)]
    img = [[CLEAR] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            if fill[y][x]:
                # A darker shade on the lower right gives the arrow some depth.
                img[y][x] = GREEN if (x - c) + (y - cy) > size * 0.35 else LIME
            elif any(0 <= y + dy < size and 0 <= x + dx < size and fill[y + dy][x + dx]
                     for dy in (-1, 0, 1) for dx in (-1, 0, 1)):
                img[y][x] = BLACK
    return img


def dib(img):
    """A 4-bit icon image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask."""
    size = len(img)
    xorRow = (size * 4 + 31) // 32 * 4
    andRow = (size + 31) // 32 * 4
    xorBits, andBits = b"", b""
    for row in reversed(img):  # bottom-up
        nib = [0 if p is CLEAR else p for p in row]
        line = bytes((nib[i] << 4) | nib[i + 1] for i in range(0, size, 2))
        xorBits += line.ljust(xorRow, b"\0")
        mask = 0
        bits = bytearray()
        for i, p in enumerate(row):
            mask = (mask << 1) | (1 if p is CLEAR else 0)
            if i % 8 == 7:
                bits.append(mask)
                mask = 0
        andBits += bytes(bits).ljust(andRow, b"\0")
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xorBits) + len(andBits), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + xorBits + andBits


def ico(images):
    entries, data = b"", b""
    offset = 6 + 16 * len(images)
    for img in images:
        bits = dib(img)
        size = len(img)
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(bits), offset + len(data))
        data += bits
    return struct.pack("<HHH", 0, 1, len(images)) + entries + data


def main():
    images = [draw(32), draw(16)]
    if "--show" in sys.argv:
        for img in images:
            for row in img:
                print("".join("." if p is CLEAR else "#" if p == BLACK else
                              "o" if p == GREEN else "+" for p in row))
            print()
        return
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corvane.ico")
    with open(out, "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
