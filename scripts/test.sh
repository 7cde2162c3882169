#!/usr/bin/env bash
# Sets up the machine, checks the sources' format, builds everything and runs
# every test: the Windows build (its tests under Wine), the regular build (GUI,
# stub, end-to-end runs under Wine, the Windows programs beside the Linux
# ones, the benchmarks built so that they keep compiling), a sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer) of the tests, a thread
# sanitizer build of the threaded code, and a Release build of the programs
# with Debian's default flags, as distributors build.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

echo "== source format =="
# Our C++ sources keep to .clang-format (the fixtures' C files are inputs,
# not our code).
git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'stub/*.cpp' 'stub/*.h' \
  'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 'fuzz/*.h' | xargs -0 clang-format --dry-run --Werror

# Each stage is a preset of CMakePresets.json (one command: cmake --workflow
# --preset NAME); the presets hold every option, this script only the order.
jobs="$(nproc)"
export CMAKE_BUILD_PARALLEL_LEVEL="$jobs" CTEST_PARALLEL_LEVEL="$jobs"
export CTEST_OUTPUT_ON_FAILURE=1

echo "== Windows build (mingw-w64) =="
# Built first and tested after the regular build: each side's tests set
# the other side's programs beside its own.
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --build --preset windows-zip
cmake --build --preset windows-setup

echo "== regular build =="
cmake --preset regular >/dev/null
cmake --build --preset regular
ctest --preset regular

echo "== the Windows build's tests under Wine =="
ctest --preset windows

echo "== sanitizer build (ASan + UBSan) =="
cmake --workflow --preset asan

echo "== thread sanitizer build of the threaded code =="
# Every second thread: the update check's worker and hand-over, the parallel
# deflate's workers (to the end and interrupted, in-process, by Ctrl-C to
# pakforge-cli and by TERM or INT at any moment), the windows' shared build
# worker and hand-over over a plain event loop (ui_tests), and the Qt window's
# build worker (offscreen). Qt's libraries are not instrumented:
# tests/tsan.supp says what of them is left out, and the Qt tests model Qt's
# hand-over between threads. The Win32 window's message loop is built with
# mingw-w64, which has no ThreadSanitizer.
cmake --workflow --preset tsan

echo "== Release build with Debian's default flags =="
# Warnings stay warnings here: a distributor's compiler and flags must not
# turn a harmless one into a failed build. The preset cannot ask
# dpkg-buildflags, so the flags come in through the environment.
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake --workflow --preset release
build-release/bin/pakforge-cli --version
