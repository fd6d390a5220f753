#!/usr/bin/env python3
"""Writes velumtar.ico: a magnifier over a page, 16x16 and 32x32, 32-bit.

The icon is checked in; run this again only to change it:
    resources/make_icon.py resources/velumtar.ico
"""
import struct
import sys


def pixel(x, y, size):
    """RGBA of one pixel, (0, 0) at the top left."""
    s = size / 32.0
    page = (5 * s <= x < 21 * s) and (3 * s <= y < 27 * s)
    border = page and (x < 6 * s or x >= 20 * s or y < 4 * s or y >= 26 * s)
    line = page and not border and int(y / s) % 4 == 0 and 8 * s <= x < 18 * s
    cx, cy, r = 20 * s, 17 * s, 7 * s
    d2 = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2
    ring = (r - 1.6 * s) ** 2 <= d2 <= r ** 2
    lens = d2 < (r - 1.6 * s) ** 2
    handle = abs((x - cx) - (y - cy)) <= 1.5 * s and x >= cx + 4 * s and x < 30 * s and y < 30 * s
    if ring or handle:
        return (40, 40, 120, 255)
    if lens:
        return (200, 225, 255, 255)
    if border:
        return (60, 60, 60, 255)
    if line:
        return (110, 110, 110, 255)
    if page:
        return (255, 255, 255, 255)
    return (0, 0, 0, 0)


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        rows.append(b"".join(struct.pack("BBBB", b, g, r, a)
                             for r, g, b, a in (pixel(x, y, size) for x in range(size))))
    mask_row = ((size + 31) // 32) * 4
    mask = b"\0" * (mask_row * size)  # the alpha channel decides; the AND mask is empty
    return header + b"".join(rows) + mask


def main():
    sizes = (16, 32)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
