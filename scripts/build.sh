#!/usr/bin/env bash
# Configures and builds one tree.  Usage: scripts/build.sh DIR [cmake options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" "$@"
cmake --build "$dir" -j "$(nproc)"
