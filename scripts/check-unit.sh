#!/usr/bin/env bash
# Checks the systemd unit with `systemd-analyze verify`, its ExecStart pointed at the kestrel
# of a build folder (default build): verify also checks that the program exists.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed "s|/usr/local/bin/kestrel|$(realpath "$build")/kestrel|" systemd/kestrel-serve.service >"$tmp/kestrel-serve.service"
systemd-analyze verify "$tmp/kestrel-serve.service"
echo "systemd/kestrel-serve.service: ok"
