#!/usr/bin/env bash
# Installs every Debian package Pakforge needs to build, test and run.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  zlib1g-dev nettle-dev liblhasa-dev libcurl4-openssl-dev
  libmsi-dev libglib2.0-dev msitools wixl
  qt6-base-dev qt6-svg-dev libgl-dev
  g++-mingw-w64-i686 gcc-mingw-w64-x86-64 libz-mingw-w64-dev
  jlha-utils python3 python3-pefile icoutils unzip xvfb xauth xdotool imagemagick
  fp-utils libchm-bin desktop-file-utils osslsigncode openssl nsis
  help2man lintian
  wine wine32:i386
  librsvg2-bin
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${#missing[@]} package(s): ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails the refresh of some lists; what is already
# listed may still install, so go on and let the install say what is missing.
if ! $SUDO apt-get update -qq; then
  echo "setup: some package lists could not be refreshed; installing from the lists at hand" >&2
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
