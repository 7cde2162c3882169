#!/bin/sh
# Non-ASCII paths end to end through the command-line programs, run as a user
# runs them: arguments, files, messages and output redirected to a file. The
# same expectations hold for the Linux programs and, under Wine, the Windows
# ones (RUN holds the Wine runner then).
#   unicode_paths.sh WORKDIR PACK [CLI CONTAINER]
set -eu
work="$1"
pack="$2"
cli="${3:-}"
container="${4:-}"
run="${RUN:-}"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work/Ünïcödé"
cd "$work"
head -c 70000 /dev/urandom >"Ünïcödé/Prüfung-ÄÖ.msi"

# A container written, listed and read back under non-ASCII names; item
# names match without regard to case.
$run "$pack" create "Ünïcödé/Stubs-ß.dat" --compress "Ärger=Ünïcödé/Prüfung-ÄÖ.msi" || fail "create"
$run "$pack" list "Ünïcödé/Stubs-ß.dat" >list.out || fail "list"
printf '       70000  Ärger\n' >list.expected
cmp list.out list.expected || fail "list printed $(od -c list.out)"
$run "$pack" extract "Ünïcödé/Stubs-ß.dat" "äRGER" "Ünïcödé/zurück.msi" || fail "extract"
cmp "Ünïcödé/zurück.msi" "Ünïcödé/Prüfung-ÄÖ.msi" || fail "extracted bytes differ"
# On a terminal (a Windows console under Wine) the characters are written as
# such, not as bytes the console would read in its own code page.
script -qec "$run '$pack' list 'Ünïcödé/Stubs-ß.dat'" typescript >/dev/null 2>&1 || fail "list on a terminal"
grep -q '70000  Ärger' typescript || fail "terminal showed $(od -c typescript)"
if $run "$pack" list "Ünïcödé/none.dat" >/dev/null 2>err.out; then fail "listed a missing file"; fi
grep -q '^pakforge-pack: Cannot open file "Ünïcödé/none.dat"\. .' err.out || fail "message: $(cat err.out)"

[ -n "$cli" ] || exit 0

# A build: the archive's entry is named after the package, in UTF-8.
cp "$container" pakforge.dat
PAKFORGE_CONTAINER=pakforge.dat $run "$cli" --force "Ünïcödé/Prüfung-ÄÖ.msi" "" "Ünïcödé/Ausgabe-ß.exe" >build.out ||
  fail "build: $(cat build.out)"
grep -q '^EXE file saved as: .*Ünïcödé.Ausgabe-ß\.exe$' build.out || fail "log: $(cat build.out)"
python3 - "Ünïcödé/Ausgabe-ß.exe" "Ünïcödé/Prüfung-ÄÖ.msi" <<'EOF' || fail "archive"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    (info,) = z.infolist()
    assert info.flag_bits & 0x800, "name not marked UTF-8"
    assert info.filename == "Prüfung-ÄÖ.msi", info.filename
    assert z.read(info) == open(sys.argv[2], "rb").read(), "package bytes differ"
EOF
echo "all checks passed"
