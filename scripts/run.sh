#!/usr/bin/env bash
# Sets up, builds and runs the main job: boots a simulated machine with a mounted file
# system that writer threads keep busy, loads the module, takes a full backup and an
# incremental one through the control device, and reports them with the kernel log.
# Options go to the kestrel command (scripts/run.sh --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/kestrel backup "$@"
