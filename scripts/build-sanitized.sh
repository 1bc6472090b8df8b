#!/usr/bin/env bash
# Builds the unit and logger-layer test programs and the fuzz corpus replays
# with the address and undefined-behaviour sanitizers into build-asan/ (CTest
# label sanitized). -O1, as sanitizer builds commonly are: it compiles much
# faster than -O3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Release -DLOGGERDUMP_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null
cmake --build "$root/build-asan" -j "$(nproc)" --target sanitized_tests
