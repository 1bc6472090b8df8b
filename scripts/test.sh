#!/usr/bin/env bash
# Builds everything and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root/build"
ctest -j "$(nproc)" --output-on-failure
