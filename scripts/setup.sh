#!/usr/bin/env bash
# Installs what building and testing loggerdump needs on Debian 12. Safe to run
# again: it installs only what is missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev)
# The Windows program: MinGW-w64 cross compilers (32-bit for users, 64-bit for
# testing where 32-bit code cannot run), Wine with its 32-bit part, and the
# Japanese locale that the Wine tests run under.
packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 locales)
# The packages (scripts/package.sh: CPack, dpkg-shlibdeps for the Debian
# package's Depends) and their checks (unzip, file).
packages+=(dpkg-dev unzip file)
# strace: a test watches the output files reach the disk.
packages+=(strace)
# clang with its libFuzzer and sanitizer runtimes: scripts/fuzz.sh.
packages+=(clang libclang-rt-dev)

# wine32 is an i386 package: multiarch must be on before apt-get update.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture for wine32"
  dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # With recommends: that is how Wine was installed where these tests were made to pass.
  apt-get install -y -q "${missing[@]}"
fi

# ja_JP.UTF-8 for the C library (Wine takes the Windows locale from it).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  echo "setup: generating the ja_JP.UTF-8 locale"
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    echo "ja_JP.UTF-8 UTF-8" >>/etc/locale.gen
  fi
  locale-gen
fi

# --- The packages step: the arm64 and armhf packages and their tests ---
# Debian's cross compilers; qemu-user to run the arm test programs; lintian to
# check the packages; and, from Debian's multiarch archive, each machine's C
# and C++ libraries (dpkg-shlibdeps reads the C library's versions for the
# packages' Depends; the test programs run on them under qemu) and GoogleTest.
# A failure here leaves the rest of setup standing: scripts/package.sh and
# the package check then say what is missing.
packages_step() {
  local arch wanted=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user lintian)
  for arch in arm64 armhf; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch" || return 1
    wanted+=("libc6:$arch" "libstdc++6:$arch" "libgtest-dev:$arch")
  done
  local p absent=()
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || absent+=("$p")
  done
  [ ${#absent[@]} -gt 0 ] || return 0
  echo "setup: installing ${absent[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${absent[@]}" >/dev/null
}
packages_step || echo "setup: the packages step failed (arm cross compilers, qemu-user, lintian); scripts/package.sh will say what is missing" >&2
