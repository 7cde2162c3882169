#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it into a scratch root and
# uses it from there: the installed pakforge-cli must find its own
# pakforge.dat and build a working executable. Then lintian must report no
# errors. Exit 77 (skip) when a tool is missing, except under CI.
set -euo pipefail
build="$1"
version="$2"
source="$3"

need() {
  if ! command -v "$1" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
      echo "FAIL: $1 is needed under CI" >&2
      exit 1
    fi
    echo "SKIP: $1 missing" >&2
    exit 77
  fi
}
need cpack
need dpkg-deb
need wixl
need python3

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
deb="$scratch/out/pakforge_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$scratch/out")"

# Declared runtime dependencies: the C library and the libraries we link.
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libc6 libmsi libcurl zlib1g libqt6widgets6; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

dpkg-deb -c "$deb" >"$scratch/contents"
for path in usr/bin/pakforge usr/bin/pakforge-cli usr/bin/pakforge-pack usr/bin/pakforge-res \
  usr/share/pakforge/pakforge.dat usr/share/pakforge/help/index.html \
  usr/share/applications/pakforge.desktop usr/share/icons/hicolor/scalable/apps/pakforge.svg \
  usr/share/man/man1/pakforge.1.gz usr/share/man/man1/pakforge-cli.1.gz \
  usr/share/man/man1/pakforge-pack.1.gz usr/share/man/man1/pakforge-res.1.gz \
  usr/share/doc/pakforge/copyright usr/share/doc/pakforge/changelog.gz; do
  grep -q " \./$path\$" "$scratch/contents" || fail "the package lacks /$path"
done
if grep -v '^[d-]' "$scratch/contents" | grep -q .; then fail "unexpected entry types: $(grep -v '^[d-]' "$scratch/contents")"; fi
grep -q 'root/root' "$scratch/contents" || fail "files are not owned by root"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
cli="$root/usr/bin/pakforge-cli"
[ "$("$cli" --version)" = "pakforge-cli $version" ] || fail "installed pakforge-cli --version: $("$cli" --version)"
zcat "$root/usr/share/man/man1/pakforge-cli.1.gz" | grep -q -- 'version\\-info' ||
  fail "the man page of pakforge-cli does not come from its --help"

# A real build with nothing from the build tree: the container comes from
# the package's share folder.
(cd "$source/examples" && wixl -o "$scratch/sample.msi" sample.wxs)
env -u PAKFORGE_CONTAINER "$cli" -q --version-info "$scratch/sample.msi" "$source/examples/sample.ico" \
  "$scratch/sample.exe" || fail "the installed pakforge-cli could not build"
python3 - "$scratch/sample.exe" "$scratch/sample.msi" <<'PY' || fail "the built executable is not right"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
assert [i.filename for i in z.infolist()] == ['sample.msi'], z.namelist()
assert z.read('sample.msi') == open(sys.argv[2], 'rb').read()
assert open(sys.argv[1], 'rb').read(2) == b'MZ'
PY

need lintian
status=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || status=$?
cat "$scratch/lintian.log"
if [ "$status" -ne 0 ] || grep -q '^E: ' "$scratch/lintian.log"; then fail "lintian reports errors"; fi
echo "ok: $deb"
