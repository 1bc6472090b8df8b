#!/usr/bin/env bash
# Builds the two programs and runs one complete dump against the substitute logger in
# demo/, then checks the image against the logger's memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Only the two programs shown (the tests are built by scripts/test.sh).
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target loggerdump loggersim
demo="$root/demo"
mkdir -p "$demo"
cd "$demo"
rm -f logger.hex logger.bin memory.bin port.txt

"$root/build/loggersim" --seed 2024 --write-image memory.bin > port.txt &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s port.txt ] && break; sleep 0.1; done
port=$(head -n 1 port.txt)

echo "loggersim is listening on $port; typing that path at the prompt:"
status=0
echo "$port" | "$root/build/loggerdump" || status=$?
echo
wait $sim || true
echo "loggerdump exit status: $status"
ls -l "$demo/logger.hex" "$demo/logger.bin"
if cmp -s logger.bin memory.bin; then
  echo "logger.bin matches the logger's memory byte for byte."
else
  echo "logger.bin differs from the logger's memory!" >&2
  exit 1
fi
exit "$status"
