#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the regular
# build (GUI, stub, end-to-end runs under Wine) and a sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer) of the tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
export CTEST_OUTPUT_ON_FAILURE=1

echo "== regular build =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --timeout 900

echo "== sanitizer build (ASan + UBSan) =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPAKFORGE_SANITIZE=ON \
      -DPAKFORGE_BUILD_GUI=OFF -DPAKFORGE_BUILD_STUB=OFF -DPAKFORGE_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --timeout 900 -LE 'e2e|slow'
