#!/bin/sh
# Creates the Wine prefix the end-to-end runs share (32-bit, no Mono or
# Gecko prompts). The first start takes a while; later runs find it ready.
set -eu
prefix="$1"
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/drive_c/windows/system32" ]; then
  rm -rf "$prefix"
  wineboot -i
fi
wineserver -w
test -f "$prefix/drive_c/windows/system32/msiexec.exe"
