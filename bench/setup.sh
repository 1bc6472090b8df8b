#!/usr/bin/env bash
# Installs what the benchmark needs besides the build tools (scripts/setup.sh):
# strace for the system call counts, Debian's pyserial for the baseline.
# Installs only what is missing.
set -euo pipefail

packages=(strace python3 python3-serial)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
