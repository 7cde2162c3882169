#!/usr/bin/python3
"""Builds Pakforge's own Windows Installer package with wixl, reproducibly.
  make_msi.py OUTPUT.msi SOURCE.wxs NAME=VALUE... -- NAME=FILE...
The NAME=VALUE pairs become wixl's variables; the files are staged under
their NAMEs, where the .wxs finds them.

wixl has no Environment element, so the PATH entry is added afterwards with
msibuild (the Environment table and its two standard actions). wixl also
takes a fresh package code and the current time for every build: the package
code is set with msibuild and the summary's two times are set to
SOURCE_DATE_EPOCH (else 2026-01-01), then read back with msiinfo."""
import datetime
import os
import shutil
import struct
import subprocess
import sys

FIXED_EPOCH = 1767225600  # 2026-01-01 00:00 UTC, as the zip's entries
SUMMARY_FMTID = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")
PID_CREATE_DTM, PID_LASTSAVE_DTM, PID_REVNUMBER = 12, 13, 9
VT_FILETIME = 64

# The folder of pakforge-cli.exe at the end of the system PATH while the
# feature AddToPath is installed: "=" sets it at install, "-" takes it out
# at removal, "*" makes it the system's; "[~];" appends to what is there.
ENVIRONMENT_QUERIES = [
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL "
    "LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL "
    "PRIMARY KEY `Environment`)",
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) "
    "VALUES ('PakforgePath', '=-*PATH', '[~];[INSTALLDIR]', 'Path')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)",
]


def epoch():
    value = os.environ.get("SOURCE_DATE_EPOCH")
    return int(value) if value else FIXED_EPOCH


def run(args, cwd=None):
    result = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0 or "CRITICAL" in result.stderr or "ERROR" in result.stderr:
        sys.exit(f"make_msi.py: {args[0]} failed ({result.returncode}):\n{result.stderr}")
    return result.stdout


def summary_times(data):
    """The file offsets of the summary's two FILETIME values, found through
    the property set's own header; refuses anything it does not expect."""
    offsets = []
    start = data.find(SUMMARY_FMTID)
    while start >= 0 and not offsets:
        stream = start - 28  # byte order, version, OS, CLSID, section count
        if stream >= 0 and data[stream:stream + 2] == b"\xfe\xff":
            (section_offset,) = struct.unpack_from("<I", data, start + 16)
            section = stream + section_offset
            _, count = struct.unpack_from("<II", data, section)
            for i in range(min(count, 64)):
                pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
                (vt,) = struct.unpack_from("<I", data, section + offset)
                if pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and vt == VT_FILETIME:
                    offsets.append(section + offset + 4)
        start = data.find(SUMMARY_FMTID, start + 1)
    if len(offsets) != 2:
        sys.exit("make_msi.py: the package's summary times were not found where expected")
    return offsets


def set_summary_times(path, when):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    filetime = (when + 11644473600) * 10000000
    for offset in summary_times(data):
        struct.pack_into("<Q", data, offset, filetime)
    with open(path, "wb") as f:
        f.write(data)
    # An independent reader must see exactly that time, and nothing else moved.
    shown = datetime.datetime.fromtimestamp(when).strftime("%a %b %e %H:%M:%S %Y").replace("  ", " ")
    summary = run(["msiinfo", "suminfo", path]).replace("  ", " ")
    if f"Created: {shown}" not in summary or f"Last saved: {shown}" not in summary:
        sys.exit(f"make_msi.py: the summary times did not read back as {shown}:\n{summary}")


def main():
    argv = sys.argv[1:]
    if len(argv) < 3 or "--" not in argv:
        sys.exit(__doc__)
    output, wxs = os.path.abspath(argv[0]), os.path.abspath(argv[1])
    split = argv.index("--")
    variables, files = argv[2:split], argv[split + 1:]
    when = epoch()
    stage = output + ".stage"
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    for spec in files:
        name, _, path = spec.partition("=")
        shutil.copyfile(path, os.path.join(stage, name))
        os.utime(os.path.join(stage, name), (when, when))  # the cabinet keeps file times

    temp = output + ".part"
    defines = [arg for v in variables for arg in ("-D", v)]
    run(["wixl", *defines, "-o", temp, wxs], cwd=stage)
    values = dict(v.split("=", 1) for v in variables)
    queries = [arg for q in ENVIRONMENT_QUERIES for arg in ("-q", q)]
    run(["msibuild", temp, *queries,
         "-s", f"Pakforge {values['Version']}", "Pakforge", "Intel;1033", "{" + values["PackageCode"] + "}"])
    set_summary_times(temp, when)
    os.replace(temp, output)
    shutil.rmtree(stage)


if __name__ == "__main__":
    main()
