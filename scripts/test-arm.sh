#!/usr/bin/env bash
# Builds the unit and logger-layer test programs for arm64 and armhf
# (scripts/build-cross.sh, in build-arm64/ and build-armhf/) and runs them
# under qemu-user, both machines side by side. The end-to-end programs stay
# out: qemu-user runs one program, not the programs it starts. Tests that need
# what qemu-user lacks skip and say why.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
programs=(hexrecord_test serial_test progress_test console_test options_test paths_test ports_test
  reread_test misbehave_test trust_test)
# Left out under emulation, to stay within about two minutes: the second run
# with one-byte reads (the reading code is the same on every machine and runs
# so natively), and the minute-long bound on an endless line, whose count of
# tries depends on the machine's pace.
# The programs built carry the label sanitized with the fuzz corpus replays,
# which are not built here; the programs not built carry no label.
# With --build-only it builds the programs (and the packages' programs) and
# runs nothing: scripts/test.sh builds them while other tests run.
build_only=0
[ "${1:-}" = "--build-only" ] && build_only=1
excluded='^ByteReads/|^Bounds\.ALineThatNeverFallsQuietIsGivenUpWithinAMinute$|^FuzzCorpus\.'
for emulator in qemu-aarch64 qemu-arm; do
  command -v "$emulator" >/dev/null || {
    echo "test-arm: $emulator is missing; run scripts/setup.sh first" >&2
    exit 1
  }
done
for arch in arm64 armhf; do
  "$root/scripts/build-cross.sh" "$arch" "${programs[@]}" >/dev/null
  if [ "$build_only" = 1 ]; then "$root/scripts/build-cross.sh" "$arch" >/dev/null; fi
done
[ "$build_only" = 0 ] || exit 0
# Most of these tests wait on time-outs: many side by side keep it short.
pids=()
for arch in arm64 armhf; do
  (cd "$root/build-$arch" &&
    ctest -j 8 -L sanitized -E "$excluded" --output-on-failure >ctest-arm.log 2>&1) &
  pids+=($!)
done
status=0
for i in 0 1; do
  arch=$([ "$i" = 0 ] && echo arm64 || echo armhf)
  if wait "${pids[$i]}"; then
    echo "test-arm: $arch: $(grep -E 'tests passed' "$root/build-$arch/ctest-arm.log")"
  else
    status=1
    cat "$root/build-$arch/ctest-arm.log"
    echo "test-arm: $arch: tests failed (above; build-$arch/ctest-arm.log)" >&2
  fi
done
exit "$status"
