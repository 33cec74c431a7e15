#!/usr/bin/env bash
# Sets up, builds and runs the test suite.
# usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
scripts/install-deps.sh
scripts/build.sh "$dir" "$@"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
