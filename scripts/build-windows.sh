#!/usr/bin/env bash
# Builds the Windows program with the MinGW-w64 cross compiler:
#   scripts/build-windows.sh          -> build-windows/loggerdump.exe (32-bit, for users)
#   scripts/build-windows.sh --win64  -> build-windows64/loggerdump.exe (64-bit, used only
#                                        to test under Wine where 32-bit code cannot run)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=i686
folder="$root/build-windows"
if [ "${1:-}" = "--win64" ]; then
  arch=x86_64
  folder="$root/build-windows64"
fi
compiler="$arch-w64-mingw32-g++"
if ! command -v "$compiler" >/dev/null; then
  echo "build-windows: $compiler is missing; run scripts/setup.sh first" >&2
  exit 1
fi
cmake -S "$root" -B "$folder" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" >/dev/null
cmake --build "$folder" -j "$(nproc)"
echo "built $folder/loggerdump.exe"
