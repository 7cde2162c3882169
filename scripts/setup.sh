#!/usr/bin/env bash
# Installs the Debian packages Pakforge needs, in groups, each its own apt
# call, so that a group that cannot be installed leaves the ones before it
# in place:
#   build  what building the programs and scripts/run.sh need
#   test   the test and reader tools
#   wine32 the 32-bit Wine the Windows programs' tests run under (last: it
#          needs the i386 twins of many libraries at their amd64 versions)
# `setup.sh build` installs the first group only; no argument, all three.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

build=(
  build-essential cmake ninja-build pkg-config git python3 libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  zlib1g-dev nettle-dev liblhasa-dev libcurl4-openssl-dev
  libmsi-dev libglib2.0-dev msitools wixl
  qt6-base-dev qt6-svg-dev libgl-dev
  g++-mingw-w64-i686 gcc-mingw-w64-x86-64 libz-mingw-w64-dev
)
test=(
  clang libclang-rt-14-dev clang-format
  jlha-utils python3-pefile icoutils unzip xvfb xauth xdotool imagemagick
  fp-utils libchm-bin desktop-file-utils osslsigncode openssl nsis
  help2man lintian librsvg2-bin
)
wine32=(wine wine32:i386)

case "${1:-all}" in
  build) groups=(build) ;;
  all) groups=(build test wine32) ;;
  *)
    echo "usage: setup.sh [build|all]" >&2
    exit 2
    ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

missing_of() {
  local -n list="$1"
  local p
  for p in "${list[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      printf '%s\n' "$p"
    fi
  done
}

# The refresh runs once, and only when something is missing. A mirror caught
# mid-sync fails some lists ("Mirror sync in progress?"); the suites whose
# lists did not download are remembered for the retry below.
refreshed=0
failed_suites=()
refresh() {
  [ "$refreshed" -eq 0 ] || return 0
  refreshed=1
  local log
  log="$(mktemp)"
  if $SUDO apt-get update 2>&1 | tee "$log" | grep -E '^(E|W|Err):' >&2; then :; fi
  # "Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
  # and "E: Failed to fetch .../dists/bookworm-security/main/binary-i386/Packages.xz ..."
  mapfile -t failed_suites < <(
    sed -n -e 's/^Err:[0-9]* [^ ]* \([^ /]*\).*/\1/p' \
      -e 's|^[EW]: Failed to fetch .*/dists/\([^/]*\)/.*|\1|p' "$log" | sort -u)
  rm -f "$log"
  if [ "${#failed_suites[@]}" -gt 0 ]; then
    echo "setup: these suites' package lists could not be refreshed: ${failed_suites[*]}" >&2
  fi
  local suite
  for suite in "${failed_suites[@]}"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
    if [[ "$suite" == *-security ]]; then
      printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n\n'
    fi
  done >"$prefs/setup.pref"
  chmod a+r "$prefs/setup.pref"
}

# One apt call for a group. When a suite's list did not download, the two
# architectures may see that suite's versions for one and not the other:
# wine32:i386 needs its i386 libraries at exactly the versions of their amd64
# twins, and an earlier group that took an amd64 library from that suite
# leaves no i386 twin to match. So every group is installed with those suites
# pinned below the others (for that command only; nothing is left in
# /etc/apt), and once more without the pin should that not resolve.
install_group() {
  local name="$1"
  shift
  echo "setup: installing $name: $*" >&2
  local pinned=()
  if [ "${#failed_suites[@]}" -gt 0 ]; then
    pinned=(-o Dir::Etc::PreferencesParts="$prefs")
    if $SUDO apt-get install -y -qq --no-install-recommends "${pinned[@]}" "$@" >/dev/null; then
      return 0
    fi
    echo "setup: retrying $name without ${failed_suites[*]} pinned" >&2
  fi
  if $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null; then
    return 0
  fi
  echo "setup: could not install the $name group: $*" >&2
  if [ "${#failed_suites[@]}" -gt 0 ]; then
    echo "setup: the package lists of ${failed_suites[*]} did not download (a mirror in sync?);" \
      "run this again in a while, or install the packages above by hand" >&2
  else
    echo "setup: apt's reason is above; install the packages above by hand and run this again" >&2
  fi
  exit 1
}

# The pin files live only as long as this run.
prefs="$(mktemp -d)"
trap 'rm -rf "$prefs"' EXIT
chmod a+rx "$prefs"

# The i386 architecture first, so that the one refresh fetches every list the
# groups will need and a missing one is known before the first install.
if [[ " ${groups[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  mapfile -t missing < <(missing_of wine32)
  if [ "${#missing[@]}" -gt 0 ]; then $SUDO dpkg --add-architecture i386; fi
fi

for group in "${groups[@]}"; do
  mapfile -t missing < <(missing_of "$group")
  [ "${#missing[@]}" -gt 0 ] || continue
  refresh
  install_group "$group" "${missing[@]}"
done
