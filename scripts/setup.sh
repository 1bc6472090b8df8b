#!/usr/bin/env bash
# Installs what building and testing loggerdump needs on Debian 12. Safe to run
# again: it installs only what is missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
