#!/usr/bin/python3
"""Writes a zip of the given files under one folder, reproducibly: the entries
in the order given, every time stamp the same, no owner or mode bits from the
build machine.  make_zip.py OUTPUT FOLDER [NAME=]FILE..."""
import os
import sys
import zipfile

# 2026-01-01 00:00; SOURCE_DATE_EPOCH, when set, takes its place.
FIXED = (2026, 1, 1, 0, 0, 0)


def fixed_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return FIXED
    import time
    t = time.gmtime(max(int(epoch), 315532800))
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec - t.tm_sec % 2)


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: make_zip.py OUTPUT FOLDER [NAME=]FILE...")
    output, folder = sys.argv[1], sys.argv[2]
    when = fixed_time()
    temp = output + ".part"
    with zipfile.ZipFile(temp, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for spec in sys.argv[3:]:
            name, _, path = spec.rpartition("=")
            name = name or os.path.basename(path)
            info = zipfile.ZipInfo(folder + "/" + name, date_time=when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS: no Unix mode bits
            info.external_attr = 0x20  # archive
            with open(path, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)
    os.replace(temp, output)


if __name__ == "__main__":
    main()
