#!/usr/bin/env bash
# Sets up, builds and runs the main job: boots the simulated machine, loads the module,
# queries its version through the control device and prints the kernel log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/kestrel version "$@"
