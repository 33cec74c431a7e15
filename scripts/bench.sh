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
# A repository on an S3 gateway: backup against a local repository, restore against s3cmd get.
# Uses the gateway KESTREL_S3_TEST names, else starts one (scripts/s3-server.sh) for the run.
cmake --build "$dir" -j2 --target kestrel_s3_bench
if [ -n "${KESTREL_S3_TEST:-}" ]; then
  "$dir/bench/kestrel_s3_bench"
else
  s3dir=$(mktemp -d)
  trap 'scripts/s3-server.sh stop "$s3dir" >/dev/null 2>&1 || true; rm -rf "$s3dir"' EXIT
  scripts/s3-server.sh start "$s3dir" >/dev/null
  ( . "$s3dir/env" && KESTREL_S3_TEST="$KESTREL_REPOSITORY" KESTREL_S3_SERVER_DIR="$s3dir" "$dir/bench/kestrel_s3_bench" )
fi
