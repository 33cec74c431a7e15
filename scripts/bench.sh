#!/usr/bin/env bash
# Builds the benchmarks in a Release build and runs them; the table at the end gives each
# figure as a ratio against its baseline from the same run, with its target and pass or MISS.
# usage: scripts/bench.sh [BUILD_DIR] [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
shift || true
scripts/install-deps.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON -DKESTREL_TESTS=OFF >/dev/null
cmake --build "$dir" -j2 --target kestrel_bench kestrel_crypto_bench
"$dir/bench/kestrel_bench" "$@"
"$dir/bench/kestrel_crypto_bench"
cmake --build "$dir" -j2 --target kestrel_restore_bench
"$dir/bench/kestrel_restore_bench"
# File-level restore: extract of about 8,000 files against debugfs rdump of the same tree.
cmake --build "$dir" -j2 --target kestrel_extract_bench
"$dir/bench/kestrel_extract_bench"
# Eight machines (kestrel serve) backed up into one repository at once against one alone.
cmake --build "$dir" -j2 --target kestrel kestrel_machines_bench
"$dir/bench/kestrel_machines_bench" "$dir/kestrel"
