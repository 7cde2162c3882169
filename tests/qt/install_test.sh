#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that the installed
# programs find their data in share/pakforge: the command line and the
# window's three-argument start each build the sample package from there.
set -euo pipefail
build="$1"
source="$2"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/pakforge bin/pakforge-cli bin/pakforge-pack bin/pakforge-res share/pakforge/pakforge.dat \
            share/applications/pakforge.desktop share/icons/hicolor/scalable/apps/pakforge.svg; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done
[ ! -e "$prefix/bin/pakforge.dat" ] || { echo "data installed among the programs" >&2; exit 1; }
grep -qx 'Exec=pakforge' "$prefix/share/applications/pakforge.desktop"
grep -qx 'Icon=pakforge' "$prefix/share/applications/pakforge.desktop"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/pakforge.desktop"
fi

(cd "$source/examples" && wixl -o "$prefix/sample.msi" sample.wxs)
unset PAKFORGE_CONTAINER
"$prefix/bin/pakforge-cli" "$prefix/sample.msi" "$source/examples/sample.ico" "$prefix/cli.exe" >/dev/null
unzip -tq "$prefix/cli.exe"
# A failure would wait for its box to be answered; the time limit ends that.
QT_QPA_PLATFORM=offscreen timeout 120 "$prefix/bin/pakforge" "$prefix/sample.msi" \
  "$source/examples/sample.ico" "$prefix/window.exe"
unzip -tq "$prefix/window.exe"
echo "installed programs work from $prefix"
