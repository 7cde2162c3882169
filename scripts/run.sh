#!/usr/bin/env bash
# Builds Pakforge and runs the main job. With no arguments it turns the
# bundled sample package (examples/sample.wxs, made with wixl) and our sample
# icon into out/sample.exe and prints the build's log; with arguments they go
# to pakforge-cli as they stand, relative paths meaning the caller's folder.
# `--gui [ARGS...]` starts the window instead, with the stub container and the
# help beside it. `--deb` builds the Debian package out/pakforge_VERSION_ARCH.deb
# and prints its path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/setup.sh" build >&2
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

if [ "${1:-}" = "--deb" ]; then
  if [ "$#" -ne 1 ]; then
    echo "run.sh: --deb takes no further arguments" >&2
    exit 2
  fi
  # Everything the package installs, not the tests.
  for t in pakforge pakforge-stub pakforge_help; do
    if ! has_target "$t"; then
      echo "run.sh: this build cannot make the full package: target $t is missing" \
        "(is Qt 6 or mingw-w64 missing, or an option off?)" >&2
      exit 1
    fi
  done
  if ! command -v help2man >/dev/null; then
    echo "run.sh: help2man is needed for the man pages (apt-get install help2man)" >&2
    exit 1
  fi
  targets=(pakforge pakforge-cli pakforge-pack pakforge-res pakforge-stub pakforge_help pakforge_man
    pakforge_changelog)
  cmake --build "$root/build" -j "$(nproc)" --target "${targets[@]}" >&2
  mkdir -p "$root/out"
  (cd "$root/build" && cpack -G DEB -B "$root/out" >&2)
  rm -rf "$root/out/_CPack_Packages"
  version="$(sed -n 's/^#define PAKFORGE_VERSION "\(.*\)"$/\1/p' "$root/build/generated/pakforge/Version.h")"
  deb="$root/out/pakforge_${version}_$(dpkg --print-architecture).deb"
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >&2
  fi
  echo "$deb"
  exit 0
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
