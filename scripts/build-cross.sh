#!/usr/bin/env bash
# Cross-builds for an ARM Linux machine with Debian's cross compilers:
#   scripts/build-cross.sh arm64 [TARGET...]  -> build-arm64/ (aarch64-linux-gnu)
#   scripts/build-cross.sh armhf [TARGET...]  -> build-armhf/ (arm-linux-gnueabihf)
# Without targets it builds the programs and their documents, what the package
# holds; scripts/test-arm.sh names the test programs instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
case "$arch" in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *)
    echo "usage: build-cross.sh arm64|armhf [TARGET...]" >&2
    exit 2
    ;;
esac
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(loggerdump loggersim package_docs)
if ! command -v "$triplet-g++" >/dev/null; then
  echo "build-cross: $triplet-g++ is missing; run scripts/setup.sh first" >&2
  exit 1
fi
folder="$root/build-$arch"
cmake -S "$root" -B "$folder" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-$arch.cmake" >/dev/null
cmake --build "$folder" -j "$(nproc)" --target "${targets[@]}"
