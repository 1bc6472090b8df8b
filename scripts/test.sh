#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, and the Windows program) and
# runs every test, the Windows program's under Wine included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
# A failed Windows build does not stop the Linux tests; the Wine tests then
# fail and say why, and so does this script.
windows_built=1
"$root/scripts/build-windows.sh" || windows_built=0
"$root/scripts/build-windows.sh" --win64 || windows_built=0
cd "$root/build"
status=0
ctest -j "$(nproc)" --output-on-failure || status=$?
if [ -f tests/wine/wine.note ]; then
  echo "NOTE: $(cat tests/wine/wine.note)"
fi
if [ "$windows_built" = 0 ]; then
  echo "test: the Windows build failed (see above); run scripts/setup.sh for the cross compilers" >&2
  status=1
fi
exit "$status"
