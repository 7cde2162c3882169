#!/usr/bin/env bash
# Builds Pakforge and runs the main job. With no arguments it turns the
# bundled sample package into an executable; with arguments they go to
# pakforge-cli as they stand.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >&2

if [ "$#" -gt 0 ]; then
  exec build/bin/pakforge-cli "$@"
fi

out="$root/out"
mkdir -p "$out"
wixl -o "$out/sample.msi" examples/sample.wxs
build/bin/pakforge-cli "$out/sample.msi" examples/sample.ico "$out/sample.exe"
echo "wrote $out/sample.exe"
