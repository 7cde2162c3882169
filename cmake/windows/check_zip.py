#!/usr/bin/python3
"""Checks the Windows folder's zip: the entries in the given order under one
folder, each read back whole by zipfile with its CRC, every time stamp fixed,
and a second run of the writer on the same files giving the same bytes.
check_zip.py ZIP FOLDER [NAME=]FILE..."""
import os
import subprocess
import sys
import tempfile
import zipfile

zip_path, folder, specs = sys.argv[1], sys.argv[2], sys.argv[3:]
names = [folder + "/" + (s.rpartition("=")[0] or os.path.basename(s)) for s in specs]
with zipfile.ZipFile(zip_path) as z:
    infos = z.infolist()
    if [i.filename for i in infos] != names:
        sys.exit("entries %s, expected %s" % ([i.filename for i in infos], names))
    times = {i.date_time for i in infos}
    if len(times) != 1:
        sys.exit("time stamps differ: %s" % times)
    if z.testzip() is not None:
        sys.exit("a damaged entry: %s" % z.testzip())
    for info, spec in zip(infos, specs):
        with open(spec.rpartition("=")[2], "rb") as f:
            if z.read(info) != f.read():
                sys.exit("%s differs from its file" % info.filename)
with tempfile.TemporaryDirectory() as tmp:
    again = os.path.join(tmp, "again.zip")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "make_zip.py"), again, folder] + specs,
                   check=True)
    with open(again, "rb") as a, open(zip_path, "rb") as b:
        if a.read() != b.read():
            sys.exit("a second run of the writer gives other bytes")
print("ok: %d entries" % len(names))
