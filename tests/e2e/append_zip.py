#!/usr/bin/env python3
"""Appends a package to a stub as the one-entry ZIP archive the stub reads:
local header, raw deflate data, central directory, end record, all offsets
absolute in the file, name in UTF-8 with flag 0x0800. Stands in for the build
pipeline in tests. Usage: append_zip.py STUB PACKAGE OUTPUT [NAME]"""
import os
import shutil
import struct
import sys
import time
import zlib


def dos_time(stamp):
    t = time.localtime(stamp)
    if t.tm_year < 1980 or t.tm_year > 2107:
        return 0
    return (t.tm_sec // 2 + t.tm_min * 32 + t.tm_hour * 2048) | \
        ((t.tm_mday + t.tm_mon * 32 + (t.tm_year - 1980) * 512) << 16)


def main():
    stub, package, output = sys.argv[1:4]
    name = (sys.argv[4] if len(sys.argv) > 4 else os.path.basename(package)).encode("utf-8")
    shutil.copyfile(stub, output)
    stamp = dos_time(os.stat(package).st_mtime)
    with open(output, "r+b") as out, open(package, "rb") as src:
        out.seek(0, 2)
        local = out.tell()
        out.write(b"\0" * (30 + len(name)))
        compressor = zlib.compressobj(-1, zlib.DEFLATED, -15, 8, 0)
        crc = 0
        size = 0
        while True:
            block = src.read(1 << 20)
            if not block:
                break
            crc = zlib.crc32(block, crc)
            size += len(block)
            out.write(compressor.compress(block))
        out.write(compressor.flush())
        central = out.tell()
        compressed = central - local - 30 - len(name)
        fixed = struct.pack("<HHHIIIIHH", 20, 0x0800, 8, stamp, crc, compressed, size, len(name), 0)
        out.write(struct.pack("<IH", 0x02014B50, 20) + fixed + struct.pack("<HHHII", 0, 0, 0, 0, local) + name)
        end = out.tell()
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, end - central, central, 0))
        out.seek(local)
        out.write(struct.pack("<I", 0x04034B50) + fixed + name)


if __name__ == "__main__":
    main()
