#!/usr/bin/env python3
"""Draws the stub's own icon (a parcel with a down arrow on a blue tile) and
writes it as a multi-size .ico: 16, 24, 32 and 48 pixels as 32-bit bitmaps,
256 pixels as PNG. Usage: make_icon.py OUTPUT.ico"""
import struct
import sys
import zlib

SUPERSAMPLE = 4


def rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


ARROW = [(0.40, 0.10), (0.60, 0.10), (0.60, 0.34), (0.72, 0.34),
         (0.50, 0.56), (0.28, 0.34), (0.40, 0.34)]


def shade(x, y):
    """Colour (r, g, b, a) of the point (x, y) in the unit square."""
    if in_polygon(x, y, ARROW):
        return (245, 158, 11, 255)  # amber arrow
    if rounded_rect(x, y, 0.20, 0.46, 0.80, 0.88, 0.04):
        if 0.46 <= x <= 0.54 and y >= 0.46:
            return (217, 119, 6, 255)  # tape across the parcel
        if y < 0.53:
            return (226, 232, 240, 255)  # lid
        return (248, 250, 252, 255)
    if rounded_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.18):
        t = y  # top-to-bottom gradient
        return (int(37 + 20 * t), int(99 - 40 * t), int(235 - 60 * t), 255)
    return (0, 0, 0, 0)


def render(size):
    pixels = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = shade((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], int(round(alpha))))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def bmp_image(size, pixels):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def png_image(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    sizes = [16, 24, 32, 48, 256]
    images = []
    for size in sizes:
        pixels = render(size)
        images.append(png_image(size, pixels) if size == 256 else bmp_image(size, pixels))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
