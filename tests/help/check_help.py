#!/usr/bin/env python3
"""Checks of the built help.

  check_help.py chm FILE.chm SOURCE_DIR      the compiled help is a sound ITSF file that
                                             holds every page byte for byte
  check_help.py links HTML_DIR SOURCE_DIR    every internal link of the web pages, the
                                             contents and the index resolves
  check_help.py options HTML_DIR PROGRAM...  every option and command a program's --help
                                             names is documented
  check_help.py install CMAKE BUILD_DIR SOURCE_DIR [chm]
                                             the help component installs into share/pakforge
  check_help.py desktop FILE.desktop         the menu entry passes desktop-file-validate

The .chm reader here is our own, written from the format's published layout
(ITSF header, ITSP directory, PMGL listing chunks); extract_chmLib (libchm-bin)
is the independent reader that decompresses the pages.
"""

import html.parser
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.parse

SKIP = 77
failures = []
skipped = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def tool_missing(name, package):
    # Under CI a green run must mean the independent tool ran.
    if os.environ.get("CI"):
        fail(f"{name} is not installed (Debian: {package}); it is required under CI")
    else:
        print(f"SKIP: {name} is not installed (Debian: {package})")
        skipped.append(name)


# ---- the .chm file ----------------------------------------------------------


class Reader:
    def __init__(self, data, where):
        self.data = data
        self.where = where

    def take(self, offset, size):
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise ValueError(f"{self.where}: {size} bytes at {offset} run past the end ({len(self.data)})")
        return self.data[offset:offset + size]

    def u32(self, offset):
        return struct.unpack("<I", self.take(offset, 4))[0]

    def i32(self, offset):
        return struct.unpack("<i", self.take(offset, 4))[0]

    def u64(self, offset):
        return struct.unpack("<Q", self.take(offset, 8))[0]


def encint(data, pos, end):
    value = 0
    for _ in range(9):
        if pos >= end:
            raise ValueError("ENCINT runs past the chunk")
        byte = data[pos]
        pos += 1
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            return value, pos
    raise ValueError("ENCINT longer than 9 bytes")


def read_directory(path):
    """Returns ({name: (section, offset, length)}, content offset, file bytes)."""
    data = open(path, "rb").read()
    r = Reader(data, path)
    if r.take(0, 4) != b"ITSF":
        raise ValueError("no ITSF signature")
    version, header_length = r.u32(4), r.u32(8)
    if version not in (2, 3):
        raise ValueError(f"ITSF version {version}")
    size_offset, size_length = r.u64(0x38), r.u64(0x40)
    dir_offset, dir_length = r.u64(0x48), r.u64(0x50)
    content_offset = r.u64(0x58) if version == 3 and header_length >= 0x60 else dir_offset + dir_length
    if size_length >= 16 and r.u64(size_offset + 8) != len(data):
        raise ValueError(f"header says {r.u64(size_offset + 8)} bytes, the file has {len(data)}")

    if r.take(dir_offset, 4) != b"ITSP":
        raise ValueError("no ITSP directory header")
    itsp_length, chunk_size = r.u32(dir_offset + 8), r.u32(dir_offset + 0x10)
    first_pmgl, chunk_count = r.i32(dir_offset + 0x20), r.u32(dir_offset + 0x2C)
    if chunk_size < 0x20 or itsp_length + chunk_count * chunk_size > dir_length:
        raise ValueError("directory chunks do not fit the directory section")
    chunks = dir_offset + itsp_length

    entries = {}
    seen = set()
    chunk = first_pmgl
    while chunk != -1:
        if chunk in seen or not 0 <= chunk < chunk_count:
            raise ValueError(f"listing chunk chain broken at {chunk}")
        seen.add(chunk)
        start = chunks + chunk * chunk_size
        if r.take(start, 4) != b"PMGL":
            raise ValueError(f"chunk {chunk} is not a listing chunk")
        free = r.u32(start + 4)
        end = start + chunk_size - free
        if free > chunk_size - 0x14:
            raise ValueError(f"chunk {chunk}: free space {free} too large")
        pos = start + 0x14
        while pos < end:
            name_length, pos = encint(data, pos, end)
            name = r.take(pos, name_length).decode("utf-8")
            pos += name_length
            section, pos = encint(data, pos, end)
            offset, pos = encint(data, pos, end)
            length, pos = encint(data, pos, end)
            entries[name] = (section, offset, length)
        chunk = r.i32(start + 0x10)
    return entries, content_offset, data


def system_records(entries, content_offset, data):
    section, offset, length = entries["/#SYSTEM"]
    if section != 0:
        raise ValueError("/#SYSTEM is not in the uncompressed section")
    r = Reader(data, "/#SYSTEM")
    block = r.take(content_offset + offset, length)
    records = {}
    pos = 4  # version
    while pos + 4 <= len(block):
        code, size = struct.unpack("<HH", block[pos:pos + 4])
        records[code] = block[pos + 4:pos + 4 + size]
        pos += 4 + size
    return records


def project_files(source_dir):
    lines = open(os.path.join(source_dir, "pakforge.hhp"), encoding="ascii").read().splitlines()
    files, inside = [], False
    for line in (l.strip() for l in lines):
        if line.startswith("["):
            inside = line == "[FILES]"
        elif inside and line:
            files.append(line)
    return files


def check_chm(chm, source_dir):
    try:
        entries, content_offset, data = read_directory(chm)
        records = system_records(entries, content_offset, data)
    except (ValueError, KeyError, UnicodeDecodeError) as e:
        fail(f"{chm} is not a readable CHM file: {e!r}")
        return
    pages = project_files(source_dir) + ["pakforge.hhc", "pakforge.hhk"]
    for page in pages:
        entry = entries.get("/" + page)
        size = os.path.getsize(os.path.join(source_dir, page))
        if entry is None:
            fail(f"{page} is not in {chm}")
        elif entry[2] != size:
            fail(f"{page} is {entry[2]} bytes in {chm}, {size} in the sources")

    def text(code):
        return records.get(code, b"").split(b"\0")[0].decode("latin-1")

    # What the viewer opens first, its title, and where it finds contents and index.
    for code, expected in ((2, "index.html"), (3, "Pakforge Help"), (0, "pakforge.hhc"), (1, "pakforge.hhk")):
        if text(code) != expected:
            fail(f"#SYSTEM record {code} is {text(code)!r}, expected {expected!r}")

    extractor = shutil.which("extract_chmLib")
    if not extractor:
        tool_missing("extract_chmLib", "libchm-bin")
        return
    with tempfile.TemporaryDirectory() as out:
        run = subprocess.run([extractor, chm, out], capture_output=True, text=True)
        if run.returncode != 0:
            fail(f"extract_chmLib failed on {chm}: {run.stderr.strip()}")
            return
        for page in pages:
            got = os.path.join(out, page)
            want = open(os.path.join(source_dir, page), "rb").read()
            if not os.path.exists(got):
                fail(f"extract_chmLib found no {page} in {chm}")
            elif open(got, "rb").read() != want:
                fail(f"{page} as extracted from {chm} differs from its source")


# ---- links ----------------------------------------------------------------


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids, self.links, self.locals = set(), [], []
        self.title = ""
        self.code_text = []
        self._in_title = False
        self._code_depth = 0

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("id", "name"):
            if key in attrs and (key == "id" or tag == "a"):
                self.ids.add(attrs[key])
        for key in ("href", "src"):
            if attrs.get(key):
                self.links.append(attrs[key])
        if tag == "param" and (attrs.get("name") or "").lower() == "local":
            self.locals.append(attrs.get("value") or "")
        if tag == "title":
            self._in_title = True
        if tag in ("code", "pre", "kbd"):
            self._code_depth += 1

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False
        if tag in ("code", "pre", "kbd") and self._code_depth:
            self._code_depth -= 1

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        if self._code_depth:
            self.code_text.append(data)


def parse(path):
    raw = open(path, "rb").read()
    # The help viewer reads pages in the system's code page: ASCII reads the
    # same everywhere; anything else is written as an entity.
    bad = [i for i, b in enumerate(raw) if b > 0x7E or (b < 0x20 and b not in (9, 10, 13))]
    if bad:
        fail(f"{path}: byte {raw[bad[0]]:#x} at offset {bad[0]} is not printable ASCII")
    page = Page()
    page.feed(raw.decode("ascii", "replace"))
    page.close()
    return page


def check_links(html_dir, source_dir):
    listed = project_files(source_dir)
    on_disk = sorted(f for f in os.listdir(source_dir) if f.endswith((".html", ".css")))
    if sorted(listed) != on_disk:
        fail(f"pakforge.hhp lists {sorted(listed)}, the help folder holds {on_disk}")
    html_pages = sorted(f for f in listed if f.endswith(".html"))
    for name in listed:
        if not os.path.isfile(os.path.join(html_dir, name)):
            fail(f"{name} is missing from {html_dir}")
    if "index.html" not in html_pages:
        fail("the help has no index.html")
        return

    pages = {name: parse(os.path.join(html_dir, name)) for name in html_pages if
             os.path.isfile(os.path.join(html_dir, name))}

    def resolve(origin, link):
        parts = urllib.parse.urlsplit(link)
        if parts.scheme or parts.netloc:
            return None  # outside the help
        target = os.path.normpath(os.path.join(os.path.dirname(origin), urllib.parse.unquote(parts.path))) \
            if parts.path else origin
        if not target.endswith(".html"):
            if not os.path.isfile(os.path.join(html_dir, target)):
                fail(f"{origin}: link {link!r} names no file of the help")
            return None
        if target not in pages:
            fail(f"{origin}: link {link!r} names no page of the help")
            return None
        if parts.fragment and parts.fragment not in pages[target].ids:
            fail(f"{origin}: link {link!r}: {target} has no anchor {parts.fragment!r}")
        return target

    reached, queue = {"index.html"}, ["index.html"]
    while queue:
        name = queue.pop()
        page = pages[name]
        if not page.title.strip():
            fail(f"{name} has no title")
        for link in page.links:
            target = resolve(name, link)
            if target and target not in reached:
                reached.add(target)
                queue.append(target)
    for name in sorted(set(pages) - reached):
        fail(f"{name} cannot be reached from index.html")

    for sitemap in ("pakforge.hhc", "pakforge.hhk"):
        page = parse(os.path.join(source_dir, sitemap))
        if not page.locals:
            fail(f"{sitemap} lists no topics")
        targets = {resolve(sitemap, local) for local in page.locals}
        if sitemap == "pakforge.hhc":
            for name in sorted(set(pages) - targets):
                fail(f"the contents (pakforge.hhc) do not list {name}")


# ---- options -----------------------------------------------------------------


def documented_words(html_dir):
    words = []
    for name in sorted(os.listdir(html_dir)):
        if name.endswith(".html"):
            words.extend(parse(os.path.join(html_dir, name)).code_text)
    return " ".join(words)


def help_tokens(program):
    run = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=60)
    if run.returncode != 0 or not run.stdout.strip():
        fail(f"{program} --help exited with {run.returncode} and printed {len(run.stdout)} characters")
        return set()
    text = run.stdout
    name = os.path.basename(program)
    tokens = set(re.findall(r"(?<![\w-])--?[A-Za-z][\w-]*", text))
    # Commands: the word after the program's name in the usage lines, and the
    # entries of a "Commands:" block.
    tokens.update(re.findall(re.escape(name) + r" ([a-z][a-z-]+)\b", text))
    block = re.search(r"^Commands:\n((?:  .*\n)+)", text, re.M)
    if block:
        tokens.update(re.findall(r"^  ([a-z][a-z-]+)\b", block.group(1), re.M))
    return tokens


def check_options(html_dir, programs):
    code = documented_words(html_dir)
    for program in programs:
        tokens = help_tokens(program)
        if not tokens:
            fail(f"found no options in {program} --help")
        for token in sorted(tokens):
            if not re.search(r"(?<![\w-])" + re.escape(token) + r"(?![\w-])", code):
                fail(f"{os.path.basename(program)} --help names {token}, which the help does not document")


# ---- installation --------------------------------------------------------------


def check_install(cmake, build_dir, source_dir, with_chm=False):
    with tempfile.TemporaryDirectory() as prefix:
        run = subprocess.run([cmake, "--install", build_dir, "--prefix", prefix, "--component", "help"],
                             capture_output=True, text=True)
        if run.returncode != 0:
            fail(f"cmake --install of the help failed: {run.stdout}{run.stderr}")
            return
        data = os.path.join(prefix, "share", "pakforge")
        if with_chm and not os.path.isfile(os.path.join(data, "pakforge.chm")):
            fail("pakforge.chm is not installed in share/pakforge")
        check_links(os.path.join(data, "help"), source_dir)
        stray = [os.path.relpath(os.path.join(d, f), prefix) for d, _, files in os.walk(prefix) for f in files
                 if not os.path.relpath(d, prefix).startswith(os.path.join("share", "pakforge"))]
        if stray:
            fail(f"the help component installs outside share/pakforge: {stray}")


def check_desktop(entry):
    validator = shutil.which("desktop-file-validate")
    if not validator:
        tool_missing("desktop-file-validate", "desktop-file-utils")
        return
    run = subprocess.run([validator, entry], capture_output=True, text=True)
    # It prints hints as well as errors; only errors make a menu skip the entry.
    problems = [line for line in (run.stdout + run.stderr).splitlines() if "error:" in line]
    if run.returncode != 0 or problems:
        fail(f"{entry}: {problems or run.returncode}")


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    command, args = argv[1], argv[2:]
    if command == "chm" and len(args) == 2:
        check_chm(*args)
    elif command == "links" and len(args) == 2:
        check_links(*args)
    elif command == "options" and len(args) >= 2:
        check_options(args[0], args[1:])
    elif command == "install" and len(args) in (3, 4):
        check_install(*args[:3], with_chm=args[3:] == ["chm"])
    elif command == "desktop" and len(args) == 1:
        check_desktop(args[0])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    if failures:
        print(f"{len(failures)} problem(s)")
        return 1
    if skipped:
        return SKIP
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
