#!/bin/sh
# Runs a Windows program under Wine in the build's own prefix, making the
# prefix first if needed (once, under a lock, since tests start in parallel).
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
set -eu
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/drive_c/windows/system32" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/drive_c/windows/system32" ]; then
      rm -rf "$prefix"
      DISPLAY= wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
