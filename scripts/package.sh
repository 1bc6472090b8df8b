#!/usr/bin/env bash
# Builds the release programs and writes the packages into dist/:
#   dist/loggerdump_VERSION_amd64.deb   loggerdump and loggersim for Debian/Ubuntu on PCs (build/)
#   dist/loggerdump_VERSION_arm64.deb   ...for 64-bit ARM, e.g. Raspberry Pi OS 64-bit (build-arm64/)
#   dist/loggerdump_VERSION_armhf.deb   ...for 32-bit ARM, e.g. Raspberry Pi OS 32-bit (build-armhf/)
#   dist/loggerdump-VERSION-win32.zip   the 32-bit loggerdump.exe and README.txt (build-windows/)
# Two checkouts of the same commit give the same bytes: the time stamps in the
# packages and in the program files are SOURCE_DATE_EPOCH, by default the time
# of the last commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cross_arches=(arm64 armhf)
missing=()
for tool in cpack dpkg-shlibdeps aarch64-linux-gnu-g++ arm-linux-gnueabihf-g++; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
# dpkg-shlibdeps takes a cross build's Depends from that machine's C library.
for arch in "${cross_arches[@]}"; do
  dpkg-query -W -f='${Status}' "libc6:$arch" 2>/dev/null | grep -q "ok installed" ||
    missing+=("libc6:$arch")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "package: ${missing[*]} missing; run scripts/setup.sh first" >&2
  exit 1
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
    echo "package: not a git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
"$root/scripts/build.sh"
"$root/scripts/build-windows.sh"
for arch in "${cross_arches[@]}"; do
  "$root/scripts/build-cross.sh" "$arch"
done
mkdir -p "$root/dist"
rm -f "$root"/dist/loggerdump_*.deb "$root"/dist/loggerdump-*-win32.zip
for folder in build "${cross_arches[@]/#/build-}"; do
  (cd "$root/$folder" && cpack -G DEB)
done
(cd "$root/build-windows" && cpack -G ZIP)
ls -l "$root/dist"
