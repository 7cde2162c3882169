#!/usr/bin/env bash
# Builds Pakforge and runs the main job. With no arguments it turns the
# bundled sample package (examples/sample.wxs, made with wixl) and our sample
# icon into out/sample.exe and prints the build's log; with arguments they go
# to pakforge-cli as they stand, relative paths meaning the caller's folder.
# `--gui [ARGS...]` starts the window instead, with the stub container and the
# help beside it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/setup.sh" >&2
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
available="$(cmake --build "$root/build" --target help)"
has_target() { grep -q "^$1:" <<<"$available"; }

if [ "${1:-}" = "--gui" ]; then
  shift
  if ! has_target pakforge; then
    echo "run.sh: this build has no desktop program (is PAKFORGE_BUILD_GUI off, or Qt 6 missing?)" >&2
    exit 1
  fi
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset)" >&2
    exit 1
  fi
  targets=(pakforge)
  for t in pakforge-stub pakforge_help; do
    if has_target "$t"; then targets+=("$t"); fi
  done
  cmake --build "$root/build" -j "$(nproc)" --target "${targets[@]}" >&2
  exec "$root/build/bin/pakforge" "$@"
fi

# Only what the main job needs: the command line and the stub container.
targets=(pakforge-cli)
if has_target pakforge-stub; then targets+=(pakforge-stub); fi
cmake --build "$root/build" -j "$(nproc)" --target "${targets[@]}" >&2

if [ "$#" -gt 0 ]; then
  exec "$root/build/bin/pakforge-cli" "$@"
fi

out="$root/out"
mkdir -p "$out"
# wixl takes the package's files relative to the current folder.
(cd "$root/examples" && wixl -o "$out/sample.msi" sample.wxs)
"$root/build/bin/pakforge-cli" --info "$out/sample.msi"
"$root/build/bin/pakforge-cli" "$out/sample.msi" "$root/examples/sample.ico" "$out/sample.exe"
