#!/usr/bin/env bash
# Builds the release programs and writes the packages into dist/:
#   dist/loggerdump_VERSION_ARCH.deb    loggerdump and loggersim for Debian (build/)
#   dist/loggerdump-VERSION-win32.zip   the 32-bit loggerdump.exe and README.txt (build-windows/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for tool in cpack dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || {
    echo "package: $tool is missing; run scripts/setup.sh first" >&2
    exit 1
  }
done
"$root/scripts/build.sh"
"$root/scripts/build-windows.sh"
mkdir -p "$root/dist"
(cd "$root/build" && cpack -G DEB)
(cd "$root/build-windows" && cpack -G ZIP)
ls -l "$root/dist"
