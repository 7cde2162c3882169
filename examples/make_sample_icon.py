#!/usr/bin/env python3
"""Draws the sample icon (a box with an arrow) and writes sample.ico:
16x16, 32x32 and 48x48, 32-bit BGRA images with an AND mask."""
import struct
import sys


def pixel(x, y, size):
    # Pixel colour (b, g, r, a) for a size x size image, y counted from the top.
    s = size / 16.0
    m = int(2 * s)
    if x < m or y < m or x >= size - m or y >= size - m:
        return (0, 0, 0, 0)
    if x == m or y == m or x == size - m - 1 or y == size - m - 1:
        return (40, 60, 90, 255)
    cx = size // 2
    shaft = abs(x - cx + 0.5) <= s and y < size * 0.55
    head = y >= size * 0.45 and y < size * 0.75 and abs(x - cx + 0.5) <= (size * 0.75 - y)
    if shaft or head:
        return (30, 120, 240, 255)
    return (200, 170, 110, 255)


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    mask_row = ((size + 31) // 32) * 4
    mask = []
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(size):
            if pixel(x, y, size)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask.append(bytes(bits))
    return header + b"".join(rows) + b"".join(mask)


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sample.ico")
