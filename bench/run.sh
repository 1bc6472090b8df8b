#!/usr/bin/env bash
# Builds release binaries of loggerdump and loggersim into build-bench/ and
# measures complete dumps (see bench/bench.py, or --help).
#   bash bench/run.sh                 paced 921600 and 115200 baud, unpaced
#                                     against the pyserial baseline, system
#                                     calls, idle, re-read cost (about 15 minutes)
#   bash bench/run.sh --line-19200    adds the real 19200-baud line (+9 minutes)
#   bash bench/run.sh --only unpaced,idle --runs 3
# Figures go to bench/results/results.csv and results.json.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${BENCH_BUILD:-$root/build-bench}"

"$root/scripts/setup.sh"
"$root/bench/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target loggerdump loggersim >/dev/null
exec /usr/bin/python3 "$root/bench/bench.py" --build "$build" "$@"
