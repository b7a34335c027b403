#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the system on a
# stand-in machine under the repository (machine/, ignored by git).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
export ZV_MACHINE=${ZV_MACHINE:-$root/machine}
bash "$root/scripts/demo.sh"
