#!/usr/bin/env python3
"""Writes zorbentFwUpdater.ico: the program icon (a blue tile, an adapter plug and a download
arrow) as 32x32 and 16x16 images in the 16-colour Windows palette. Run it from any directory:
  python3 app/win/make_icon.py
"""
import os
import struct

# The standard 16-colour palette, as (B, G, R, 0) entries.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
TILE, PLUG, ARROW, CLEAR = 4, 15, 11, 0  # navy, white, yellow; CLEAR is masked out


def rounded(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x < x1 and y0 <= y < y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_arrow(x, y):
    if 27 <= x < 37 and 8 <= y < 20:
        return True
    # Head: from (19,20)-(45,20) down to the point (32,31).
    if 20 <= y < 31:
        half = 13 * (31 - y) / 11
        return abs(x - 32) <= half
    return False


def colour_at(x, y):
    """Colour of the point (x, y) on a 64-unit grid."""
    if in_arrow(x, y):
        return ARROW
    if rounded(x, y, 14, 34, 50, 54, 4):
        for i in range(4):
            if 19 + i * 7.5 <= x < 23 + i * 7.5 and 40 <= y < 48:
                return TILE
        return PLUG
    if rounded(x, y, 2, 2, 62, 62, 10):
        return TILE
    return CLEAR


def image(size):
    scale = 64 / size
    rows = []
    for py in range(size):
        rows.append([colour_at((px + 0.5) * scale, (py + 0.5) * scale) for px in range(size)])
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = bytearray()
    and_mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for i in range(0, size, 2):
            line.append((row[i] << 4) | row[i + 1])
        line += bytes((-len(line)) % 4)
        xor += line
        bits = bytearray(mask_stride)
        for i, c in enumerate(row):
            if c == CLEAR:
                bits[i // 8] |= 0x80 >> (i % 8)
        and_mask += bits
    return header + palette + bytes(xor) + bytes(and_mask)


def main():
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zorbentFwUpdater.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
