#!/usr/bin/env bash
# Installs what building and testing loggerdump needs on Debian 12, in two
# steps. Safe to run again: it installs only what is missing.
#   1. The Linux programs, their tests and the demo. Nothing here needs a
#      foreign architecture; a failure is an error (status 1).
#   2. The Windows program and its Wine tests, and the packages' tools. The
#      32-bit Wine is an i386 package that a machine may not be able to
#      install; then the Wine tests run the 64-bit build, and setup still
#      succeeds. Anything else of this step missing ends setup with status 1
#      once both steps have been tried.
# An error that apt-get update reports for some package list does not stop
# setup: it goes on with the lists it has.
set -uo pipefail

# Step 1: compilers, CMake and GoogleTest; strace (a test watches the output
# files reach the disk); clang with its libFuzzer and sanitizer runtimes
# (scripts/fuzz.sh); the locales package for ja_JP.UTF-8 (console tests).
linux_packages=(cmake make g++ libgtest-dev strace clang libclang-rt-dev locales)
# Step 2: the MinGW-w64 cross compilers (32-bit for users, 64-bit for testing
# where 32-bit code cannot run), Wine, and what scripts/package.sh and its
# check use (CPack, dpkg-shlibdeps, unzip, file).
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 dpkg-dev unzip file)
wine32_package=wine32:i386

export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

say() { echo "setup: $*"; }

# Prints the packages of the arguments that are not installed.
missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"
  done
}

# The first error apt-get printed to the log, as the reason for a failure.
apt_reason() {
  local reason
  reason=$(grep -m1 '^E: ' "$log" | sed 's/^E: //')
  echo "${reason:-apt-get failed with no message}"
}

# apt-get update; an error for some list is said in one line and setup goes
# on with the lists it has (an install that then fails says why).
lists_fresh=0
refresh_lists() {
  [ "$lists_fresh" = 1 ] && return 0
  lists_fresh=1
  if ! apt-get update -q >"$log" 2>&1; then
    say "apt-get update failed for some package lists ($(apt_reason)); going on with the lists it has"
  fi
}

# apt-get install of the arguments, its output shown; the status is apt-get's.
install() {
  say "installing $*"
  # With recommends: that is how Wine was installed where these tests were made to pass.
  apt-get install -y -q "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# Step 1: the Linux part.
mapfile -t missing < <(missing_of "${linux_packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  refresh_lists
  if ! install "${missing[@]}"; then
    say "ERROR: the Linux part could not be installed ($(apt_reason)); without it nothing can be built or tested. Mend apt (see above) and run setup again."
    exit 1
  fi
fi
# ja_JP.UTF-8 for the C library (the console tests and Wine take it).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  say "generating the ja_JP.UTF-8 locale"
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    echo "ja_JP.UTF-8 UTF-8" >>/etc/locale.gen
  fi
  if ! locale-gen >"$log" 2>&1; then
    say "ERROR: the ja_JP.UTF-8 locale could not be generated: $(tail -n 1 "$log")"
    exit 1
  fi
fi
say "the Linux part is ready (scripts/demo.sh, and the Linux tests)"

# Step 2: the Windows part.
status=0
mapfile -t missing < <(missing_of "${windows_packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  refresh_lists
  if ! install "${missing[@]}"; then
    say "ERROR: the Windows part could not be installed ($(apt_reason)); the Windows build, its Wine tests and the packages cannot be made"
    status=1
  fi
fi
if [ -n "$(missing_of "$wine32_package")" ]; then
  # wine32 is an i386 package: multiarch must be on before its lists are read.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "enabling the i386 architecture for $wine32_package"
    dpkg --add-architecture i386
    lists_fresh=0
  fi
  refresh_lists
  if ! install "$wine32_package"; then
    say "32-bit Wine ($wine32_package) cannot be installed ($(apt_reason)); the Wine tests will run the 64-bit build"
  fi
fi
[ "$status" = 0 ] && say "the Windows part is ready"

# Step 3, the packages: Debian's arm cross compilers; qemu-user to run the arm
# test programs; lintian to check the packages; and, from Debian's multiarch
# archive, each arm machine's C and C++ libraries (dpkg-shlibdeps reads the C
# library's versions for the packages' Depends; the test programs run on them
# under qemu) and GoogleTest. A failure here is said in one line and leaves
# setup's status alone: scripts/package.sh and the arm tests then say what is
# missing.
packages_step() {
  local arch wanted=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user lintian)
  for arch in arm64 armhf; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch" || return 1
      lists_fresh=0
    fi
    wanted+=("libc6:$arch" "libstdc++6:$arch" "libgtest-dev:$arch")
  done
  mapfile -t missing < <(missing_of "${wanted[@]}")
  [ ${#missing[@]} -gt 0 ] || return 0
  refresh_lists
  install --no-install-recommends "${missing[@]}"
}
packages_step ||
  say "the packages step could not install the arm cross compilers, qemu-user or lintian ($(apt_reason)); scripts/package.sh and the arm tests will say what is missing"
exit "$status"
