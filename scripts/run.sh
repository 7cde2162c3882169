#!/usr/bin/env bash
# Builds Pakforge and runs the main job. With no arguments it turns the
# bundled sample package (examples/sample.wxs, made with wixl) and our sample
# icon into out/sample.exe and prints the build's log; with arguments they go
# to pakforge-cli as they stand. `run.sh --gui [ARGS]` starts the window
# instead (ARGS go to it: none, or PACKAGE ICON OUTPUT).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

gui=0
if [ "${1:-}" = "--gui" ]; then
  gui=1
  shift
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: --gui needs a desktop session (DISPLAY or WAYLAND_DISPLAY is not set)" >&2
    exit 2
  fi
fi

bash scripts/setup.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what the job needs: the command line or the window, and the stub
# container.
targets=(pakforge-cli)
if [ "$gui" = 1 ]; then targets=(pakforge); fi
if cmake --build build --target help | grep '^pakforge-stub:' >/dev/null; then targets+=(pakforge-stub); fi
cmake --build build -j "$(nproc)" --target "${targets[@]}" >&2

if [ "$gui" = 1 ]; then
  exec build/bin/pakforge "$@"
fi
if [ "$#" -gt 0 ]; then
  exec build/bin/pakforge-cli "$@"
fi

out="$root/out"
mkdir -p "$out"
# wixl takes the package's files relative to the current folder.
(cd examples && wixl -o "$out/sample.msi" sample.wxs)
build/bin/pakforge-cli --info "$out/sample.msi"
build/bin/pakforge-cli "$out/sample.msi" examples/sample.ico "$out/sample.exe"
