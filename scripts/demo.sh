#!/usr/bin/env bash
# What the main job shows today. Grows as the programs land.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${ZV_BUILD_DIR:-$root/build}/bin
echo "Built programs in $bin:"
ls "$bin"
