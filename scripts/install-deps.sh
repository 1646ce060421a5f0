#!/usr/bin/env bash
# Installs what btsetter needs to build and test, from Debian's packages.
# Usage: scripts/install-deps.sh [--windows]   (--windows adds mingw-w64 and Wine)
set -euo pipefail

packages=(cmake make g++ pkg-config libtclap-dev libgtest-dev dpkg-dev file groff-base man-db)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(g++-mingw-w64-x86-64 wine64 zip)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
