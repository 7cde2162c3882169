#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the Windows
# build (its tests under Wine), the regular build (GUI, stub, end-to-end runs
# under Wine, the Windows programs beside the Linux ones), a sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer) of the tests, a thread
# sanitizer build of the threaded code, and a Release build of the programs
# with Debian's default flags, as distributors build.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
export CTEST_OUTPUT_ON_FAILURE=1

echo "== Windows build (mingw-w64) =="
# Built first and tested after the regular build: each side's tests set
# the other side's programs beside its own.
cmake --preset windows -DPAKFORGE_WERROR=ON >/dev/null
cmake --build --preset windows -j "$jobs"
cmake --build --preset windows -j "$jobs" --target windows-zip

echo "== regular build =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAKFORGE_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --timeout 900

echo "== the Windows build's tests under Wine =="
ctest --preset windows -j "$jobs"

echo "== sanitizer build (ASan + UBSan) =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPAKFORGE_SANITIZE=ON -DPAKFORGE_WERROR=ON \
      -DPAKFORGE_BUILD_GUI=OFF -DPAKFORGE_BUILD_STUB=OFF -DPAKFORGE_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --timeout 900 -LE 'e2e|slow'

echo "== thread sanitizer build of the threaded code =="
# Every second thread: the update check's worker and hand-over, the parallel
# deflate's workers (to the end and interrupted, in-process, by Ctrl-C to
# pakforge-cli and by TERM or INT at any moment), and the Qt window's build
# worker (offscreen). Qt's libraries are not instrumented: tests/tsan.supp
# says what of them is left out, and the Qt tests model Qt's hand-over
# between threads. The Win32 window's worker is built with mingw-w64, which
# has no ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAKFORGE_WERROR=ON \
      -DPAKFORGE_SANITIZE_THREAD=ON -DPAKFORGE_BUILD_STUB=OFF -DPAKFORGE_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target update_tests update_noblock_tests update_cli_tests pakforge-cli \
  compiler_tests qt_window_tests update_qt_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
  ctest --test-dir build-tsan -j "$jobs" --timeout 900 \
  -R 'VersionCheck|WebData|NoVersionBlock|CliCheck|IsNewer|GetVersion|OwnVersion|^ChunkedDeflate\.|^FastBuildCli\.(EveryVariant|Interrupt)|^CliRobustness\.Term|^QtCheck\.|^qt_window_tests$'

echo "== Release build with Debian's default flags =="
# Warnings stay warnings here: a distributor's compiler and flags must not
# turn a harmless one into a failed build.
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPAKFORGE_BUILD_TESTS=OFF -DPAKFORGE_BUILD_BENCH=OFF -DPAKFORGE_BUILD_STUB=OFF >/dev/null
cmake --build build-release -j "$jobs"
build-release/bin/pakforge-cli --version
