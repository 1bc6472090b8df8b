#!/usr/bin/env bash
# The fault campaign: N whole dumps in-process against the substitute logger,
# unpaced, each with a fault schedule drawn from its seed (seeds 1 to N):
# first against a logger numbering its records by address (the figures that
# count), then the same schedules against a logger without addresses.
# It builds the Release programs in build-campaign/ and prints the figures
# and every failure with its seed; the exit status is 0 only when nothing
# failed (outside what replies without addresses cannot show).
#
#   bash scripts/campaign.sh 2000        seeds 1 to 2000
#   bash scripts/campaign.sh --seed 17   replays seed 17: its schedule, each run told
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-campaign"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target campaign >/dev/null
campaign="$build/tests/campaign/campaign"

if [ "${1:-}" = --seed ]; then
  exec "$campaign" --seed "${2:?which seed}" --numbering all
fi
seeds=${1:-200}
if ! [[ "$seeds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: campaign.sh [N] | --seed S" >&2
  exit 64
fi
# A run waits on time-outs most of the time and takes a few hundredths of a
# second of CPU, so many worker processes share each core.
jobs=$((12 * $(nproc)))
start=$(date +%s)
status=0
"$campaign" --first 1 --count "$seeds" --numbering all --jobs "$jobs" || status=$?
echo "$seeds seeds in $(($(date +%s) - start)) s, $jobs worker processes"
exit "$status"
