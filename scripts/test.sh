#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, and the Windows program) and
# runs every test, the Windows program's under Wine included, then builds the
# packages and checks them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# took STEP: how long the steps so far took, for keeping the command short.
took() { echo "test: $1 done at ${SECONDS} s"; }
"$root/scripts/build.sh"
took "the Linux build"
# A failed Windows build does not stop the Linux tests; the Wine tests then
# fail and say why, and so does this script.
windows_built=1
"$root/scripts/build-windows.sh" || windows_built=0
"$root/scripts/build-windows.sh" --win64 || windows_built=0
took "the Windows builds"
cd "$root/build"
status=0
# Most tests wait on time-outs and pseudo-terminals rather than compute:
# eight side by side keep the suite short (every test holds under ctest -j 8).
jobs=8
ctest -j "$jobs" --output-on-failure || status=$?
took "the tests"
# The packages, built from the release programs above and checked.
if [ "$windows_built" = 1 ]; then
  "$root/scripts/package.sh" >/dev/null && bash "$root/tests/package_check.sh" || status=1
fi
# The arm64 and armhf builds: their unit and logger-layer tests under qemu-user.
took "the packages"
bash "$root/scripts/test-arm.sh" || status=1
took "the arm tests"
# The unit and logger-layer tests and the fuzz corpus once more with the
# address and undefined-behaviour sanitizers, in build-asan/ (the end-to-end
# tests drive the same code through whole runs, and the Wine tests run the
# Windows build, which has no sanitizers).
# -O1, as sanitizer builds commonly are: it compiles much faster than -O3.
if cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Release -DLOGGERDUMP_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" >/dev/null && cmake --build "$root/build-asan" -j "$(nproc)" --target sanitized_tests; then
  # Less the minute-long wait for a line that never falls quiet: it runs the
  # code of the shorter bounds, and the pass would wait for it alone.
  (cd "$root/build-asan" && ctest -j "$jobs" -L sanitized \
    -E '^Bounds\.ALineThatNeverFallsQuietIsGivenUpWithinAMinute$' --output-on-failure) || status=1
else
  echo "test: the sanitizer build failed (see above)" >&2
  status=1
fi
took "the sanitizer pass"
# Coverage-guided fuzzing of the parsers and checks, 20 s per target (the
# stored corpus itself is replayed by ctest above).
bash "$root/scripts/fuzz.sh" 20 || status=1
took "the fuzzing"
if [ -f tests/wine-1/wine.note ]; then
  echo "NOTE: $(cat tests/wine-1/wine.note)"
fi
if [ "$windows_built" = 0 ]; then
  echo "test: the Windows build failed (see above); run scripts/setup.sh for the cross compilers" >&2
  status=1
fi
exit "$status"
