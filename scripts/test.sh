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

# What the later steps build (the arm programs, the sanitizer build, the fuzz
# targets) is built while the tests run: most tests wait on time-outs and
# pseudo-terminals, and at the lowest priority the compilers take only the
# processor time the tests leave. Each later step still builds what is
# missing, so a failure here shows there.
builds_log="$root/build/later-builds.log"
(
  built=0
  nice -n 19 bash "$root/scripts/test-arm.sh" --build-only || built=1
  nice -n 19 bash "$root/scripts/build-sanitized.sh" || built=1
  nice -n 19 bash "$root/scripts/fuzz.sh" --build-only || built=1
  exit "$built"
) >"$builds_log" 2>&1 &
builds=$!

cd "$root/build"
status=0
# Eight side by side keep the suite short (every test holds under ctest -j 8).
jobs=8
ctest -j "$jobs" --output-on-failure || status=$?
took "the tests"
wait "$builds" || echo "test: a build made beside the tests failed (see $builds_log); the steps below build again"
took "the builds beside the tests"
# The packages, built from the release programs above and checked.
if [ "$windows_built" = 1 ]; then
  "$root/scripts/package.sh" >/dev/null && bash "$root/tests/package_check.sh" || status=1
fi
took "the packages"

# The arm64 and armhf builds' unit and logger-layer tests under qemu-user, and
# side by side (both wait on time-outs more than they compute) the unit and
# logger-layer tests and the fuzz corpus once more under the address and
# undefined-behaviour sanitizers (the end-to-end tests drive the same code
# through whole runs, and the Wine tests run the Windows build, which has no
# sanitizers). The arm tests' output is shown when both are done.
arm_log="$root/build/test-arm.log"
bash "$root/scripts/test-arm.sh" >"$arm_log" 2>&1 &
arm=$!
sanitizer_status=0
if bash "$root/scripts/build-sanitized.sh" >"$root/build/sanitizer-build.log" 2>&1; then
  # Less the minute-long wait for a line that never falls quiet: it runs the
  # code of the shorter bounds, and the pass would wait for it alone.
  (cd "$root/build-asan" && ctest -j "$jobs" -L sanitized \
    -E '^Bounds\.ALineThatNeverFallsQuietIsGivenUpWithinAMinute$' --output-on-failure) ||
    sanitizer_status=1
else
  cat "$root/build/sanitizer-build.log"
  echo "test: the sanitizer build failed (see above)" >&2
  sanitizer_status=1
fi
took "the sanitizer pass"
wait "$arm" || status=1
cat "$arm_log"
took "the arm tests"
[ "$sanitizer_status" = 0 ] || status=1
# Coverage-guided fuzzing of the parsers and checks, 10 s per target, one per
# core at a time (the stored corpus itself is replayed by ctest above).
bash "$root/scripts/fuzz.sh" 10 || status=1
took "the fuzzing"
if [ -f tests/wine-1/wine.note ]; then
  echo "NOTE: $(cat tests/wine-1/wine.note)"
fi
if [ "$windows_built" = 0 ]; then
  echo "test: the Windows build failed (see above); run scripts/setup.sh for the cross compilers" >&2
  status=1
fi
exit "$status"
