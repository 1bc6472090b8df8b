#!/usr/bin/env bash
# Usage: bash scripts/fuzz.sh SECONDS [TARGET...]
#        bash scripts/fuzz.sh --build-only
#
# Runs each fuzz target (tests/fuzz/TARGET_fuzz.cpp; all of them by default)
# under libFuzzer with the address and undefined-behaviour sanitizers for
# SECONDS (one target per core at a time), starting from its stored corpus
# tests/fuzz/corpus/TARGET. It prints one line per target (inputs run,
# coverage, findings) and exits non-zero when any target found an input that
# breaks a property or crashes. --build-only builds the targets and runs none.
#
# Inputs the fuzzer finds interesting go to build-fuzz/corpus/TARGET, findings
# to build-fuzz/findings/TARGET/. To replay a finding (or any input):
#   build-fuzz/tests/fuzz/fuzz_TARGET build-fuzz/findings/TARGET/crash-...
# or, without clang, build/tests/fuzz/replay_TARGET FILE. A finding that is
# fixed is copied into tests/fuzz/corpus/TARGET, where the test command
# replays it from then on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_only=0
if [ "${1:-}" = "--build-only" ]; then
  build_only=1
  set -- 0
fi
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/fuzz.sh SECONDS [TARGET...]" >&2
  exit 64
fi
seconds=$1
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(record blockcheck storeddump commandline)
fi
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing; run scripts/setup.sh" >&2
  exit 1
fi

out="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DLOGGERDUMP_FUZZ=ON >/dev/null
cmake --build "$out" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null
[ "$build_only" = 0 ] || exit 0

# Longest input per target: a stored dump needs room for a few blocks.
declare -A max_len=([record]=300 [blockcheck]=3000 [storeddump]=12000 [commandline]=600)
# fuzz_one TARGET: one target's run, its output in its log.
fuzz_one() {
  local t=$1
  local work="$out/corpus/$t" findings="$out/findings/$t"
  rm -rf "$findings"  # only this run's findings count
  mkdir -p "$work" "$findings"
  # A slow input is a finding too (-timeout, in seconds).
  "$out/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=5 -max_len="${max_len[$t]:-4096}" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$root/tests/fuzz/corpus/$t" \
    >"$out/fuzz-$t.log" 2>&1
  echo $? >"$out/fuzz-$t.rc"
}

# One target per core at a time.
running=0
for t in "${targets[@]}"; do
  fuzz_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
for t in "${targets[@]}"; do
  log="$out/fuzz-$t.log"
  findings="$out/findings/$t"
  rc=$(cat "$out/fuzz-$t.rc")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  found=$(find "$findings" -type f | wc -l)
  printf 'fuzz %-12s %10s runs, coverage %5s edges, %d findings\n' "$t" "${runs:-?}" \
    "${cov:-?}" "$found"
  if [ "$rc" != 0 ] || [ "$found" != 0 ]; then
    status=1
    grep -m1 -A3 'property broken\|ERROR: ' "$log" | sed 's/^/  /' || true
    echo "  see $log; findings in $findings/"
  fi
done
exit "$status"
