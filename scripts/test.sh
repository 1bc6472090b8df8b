#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, and the Windows program) and
# runs every test, the Windows program's under Wine included, then builds the
# packages and checks them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
# A failed Windows build does not stop the Linux tests; the Wine tests then
# fail and say why, and so does this script.
windows_built=1
"$root/scripts/build-windows.sh" || windows_built=0
"$root/scripts/build-windows.sh" --win64 || windows_built=0
cd "$root/build"
status=0
# Most tests wait on time-outs and pseudo-terminals rather than compute: two
# per core keep the suite short (every test holds under ctest -j 8).
jobs=$((2 * $(nproc)))
ctest -j "$jobs" --output-on-failure || status=$?
# The packages, built from the release programs above and checked.
if [ "$windows_built" = 1 ]; then
  "$root/scripts/package.sh" >/dev/null && bash "$root/tests/package_check.sh" || status=1
fi
# The arm64 and armhf builds: their unit and logger-layer tests under qemu-user.
bash "$root/scripts/test-arm.sh" || status=1
# The whole suite once more with the address and undefined-behaviour
# sanitizers, in build-asan/ (the Wine tests are left out: they run the
# Windows build, which has no sanitizers).
if cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Release -DLOGGERDUMP_SANITIZE=ON \
  >/dev/null && cmake --build "$root/build-asan" -j "$(nproc)"; then
  (cd "$root/build-asan" && ctest -j "$jobs" -E 'Wine|wine' --output-on-failure) || status=1
else
  echo "test: the sanitizer build failed (see above)" >&2
  status=1
fi
# Coverage-guided fuzzing of the parsers and checks, 20 s per target (the
# stored corpus itself is replayed by ctest above).
bash "$root/scripts/fuzz.sh" 20 || status=1
if [ -f tests/wine/wine.note ]; then
  echo "NOTE: $(cat tests/wine/wine.note)"
fi
if [ "$windows_built" = 0 ]; then
  echo "test: the Windows build failed (see above); run scripts/setup.sh for the cross compilers" >&2
  status=1
fi
exit "$status"
