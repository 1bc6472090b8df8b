#!/usr/bin/env bash
# Prepares and ends Wine for the Windows program's tests.
#   wine_setup.sh start FOLDER EXE32 EXE64
#     picks the Wine loader and the program to test, creates a fresh prefix in
#     FOLDER/prefix, starts its wineserver and writes FOLDER/wine.conf.
#   wine_setup.sh stop FOLDER
#     stops that prefix's wineserver.
# Every Wine command runs under a time limit: a wedged prefix fails, never hangs.
set -uo pipefail

fail() {
  echo "wine setup: $*" >&2
  exit 1
}

mode=${1:-}
folder=${2:-}
[ -n "$folder" ] || fail "usage: wine_setup.sh start|stop FOLDER [EXE32 EXE64]"
export WINEPREFIX="$folder/prefix"
export WINEDEBUG=-all

if [ "$mode" = stop ]; then
  [ -d "$WINEPREFIX" ] || exit 0
  timeout 30 wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
  exit 0
fi
[ "$mode" = start ] || fail "unknown mode '$mode'"
exe32=${3:-}
exe64=${4:-}

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
command -v wineserver >/dev/null && { [ -x "$wine32" ] || [ -x "$wine64" ]; } ||
  fail "Wine is not installed; run scripts/setup.sh (it installs wine, wine32:i386 and wine64)"

# The program delivered is 32-bit. A kernel without IA-32 emulation (some
# virtual machines) cannot run any 32-bit code, Wine's 32-bit loader included;
# there the 64-bit build of the same sources is tested instead, and said so.
note=""
if [ -x "$wine32" ] && timeout 30 "$wine32" --version >/dev/null 2>&1; then
  loader=$wine32
  exe=$exe32
  arch=win32
elif [ -x "$wine64" ] && timeout 30 "$wine64" --version >/dev/null 2>&1; then
  loader=$wine64
  exe=$exe64
  arch=win64
  # Why the 32-bit program cannot run: Wine's 32-bit part is not installed
  # (setup says why), or the kernel refuses i386 programs ("Exec format
  # error", a kernel without IA-32 emulation), or its loader fails otherwise.
  if [ ! -x "$wine32" ]; then
    reason="32-bit Wine (wine32:i386) is not installed; scripts/setup.sh says why"
  elif timeout 30 "$wine32" --version 2>&1 | grep -qi 'exec format error'; then
    reason="this machine cannot run 32-bit code: its kernel refuses i386 programs"
  else
    reason="32-bit Wine is installed but its loader fails: $(timeout 30 "$wine32" --version 2>&1 | head -n 1)"
  fi
  note="$reason, so the Wine tests ran the 64-bit build of the same sources ($exe64); the 32-bit loggerdump.exe was built but not run"
  echo "wine setup: NOTE: $note" >&2
else
  fail "neither $wine32 nor $wine64 runs here; run scripts/setup.sh (wine32:i386 needs 'dpkg --add-architecture i386')"
fi
[ -f "$exe" ] ||
  fail "$exe is missing; build it with scripts/build-windows.sh$([ $arch = win64 ] && echo ' --win64') (scripts/test.sh does)"

# A fresh prefix, waited for before anything is placed in it.
export WINELOADER=$loader
[ -d "$WINEPREFIX" ] && timeout 30 wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX" "$folder/wine.conf"
mkdir -p "$folder"
timeout 300 "$loader" wineboot -i >"$folder/wineboot.log" 2>&1 ||
  fail "wineboot -i failed or timed out; see $folder/wineboot.log"
timeout 120 wineserver -w || fail "wineserver -w did not finish"
[ -d "$WINEPREFIX/dosdevices" ] || fail "the prefix has no dosdevices folder after wineboot"
# One server for all the tests (they run one at a time), its chatter kept out
# of the test output; it ends itself 300 s after the last program.
timeout 10 wineserver -p300 2>>"$folder/wineserver.log" || fail "wineserver did not start"

{
  echo "loader $loader"
  echo "exe $exe"
  echo "arch $arch"
  echo "prefix $WINEPREFIX"
} >"$folder/wine.conf"
if [ -n "$note" ]; then echo "$note" >"$folder/wine.note"; else rm -f "$folder/wine.note"; fi
echo "wine setup: $arch prefix ready in $WINEPREFIX, testing $exe"
