#!/usr/bin/env bash
# Takes the README's pictures of the window on a virtual X server (Xvfb):
# the main window empty, the same window after building the sample package,
# and the About window. The program is driven from outside with xdotool, as
# a person would drive it, and the pictures go to docs/screenshots/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PAKFORGE_BUILD_DIR:-$root/build}"
shots="$root/docs/screenshots"
cd "$root"

for tool in Xvfb xdotool import wixl; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAKFORGE_BUILD_GUI=ON \
  -DPAKFORGE_BUILD_STUB=ON >/dev/null
cmake --build "$build" -j 2 --target pakforge pakforge-stub >&2

# A plain folder name, as it shows in the pictures.
work="${TMPDIR:-/tmp}/pakforge-demo"
rm -rf "$work"
mkdir -p "$work"
xvfb=""
app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

(cd examples && wixl -o "$work/sample.msi" sample.wxs)
cp examples/sample.ico "$work/sample.ico"

# A display of our own: the server names a free one.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

"$build/bin/pakforge" >"$work/pakforge.log" 2>&1 &
app=$!

# The newest visible window whose title matches.
window() {
  for _ in $(seq 100); do
    id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1)" || true
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.1
  done
  echo "screenshots: no window titled $1" >&2
  exit 1
}
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.3; }
# Picks a file in the open-file dialog that the click before brought up.
pick() {
  local dialog
  dialog="$(window '^Open$')"
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 5 "$1"
  xdotool key Return
  sleep 0.5
  # The name field's completion list can outlive the dialog where no window
  # manager closes it; a click on the banner puts it away.
  click "$main" 150 40
}
shot() { import -window "$1" "$shots/$2"; echo "screenshots: $shots/$2" >&2; }

main="$(window '^Pakforge$')"
sleep 0.5
mkdir -p "$shots"
shot "$main" main-window.png

click "$main" 517 122 && pick "$work/sample.msi"
click "$main" 517 178 && pick "$work/sample.ico"
click "$main" 517 292
for _ in $(seq 100); do [ -s "$work/sample.exe" ] && break; sleep 0.1; done
sleep 1
shot "$main" main-window-after-build.png

# A long build, to show the window drawing its progress meanwhile: a large
# file stands in for the package (the build packs any file).
head -c 200M /dev/urandom >"$work/large.msi"
click "$main" 200 122
xdotool key --clearmodifiers ctrl+a && xdotool type --delay 2 "$work/large.msi"
click "$main" 200 234
xdotool key --clearmodifiers ctrl+a && xdotool type --delay 2 "$work/large.exe"
click "$main" 517 292
sleep 2
shot "$main" main-window-building.png
for _ in $(seq 600); do [ -s "$work/large.exe" ] && break; sleep 0.1; done
sleep 0.5

click "$main" 554 66
about="$(window '^About Pakforge$')"
sleep 0.5
shot "$about" about-window.png

xdotool windowfocus --sync "$main" 2>/dev/null || true
xdotool key ctrl+q
wait "$app" || true
app=""
