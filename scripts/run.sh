#!/usr/bin/env bash
# Sets up, builds and runs the main job: `kestrel demo` makes a disk image with an ext4 and
# an ext2 file system, boots a simulated machine on it, backs both up into a repository
# (full, then incremental) while writers change files, restores every backup and proves it
# with e2fsck and file by file against the disk at each snapshot. Exit 0 only when every
# check passes. Options go to the demo (scripts/run.sh --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/kestrel demo "$@"
