#!/usr/bin/env bash
# Installs the Debian packages that building and testing kestrel needs, when they are
# missing. As root it runs apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libzstd-dev libssl-dev libcurl4-openssl-dev libsodium-dev libext2fs-dev e2fsprogs gdisk xfsprogs pkg-config
  clang-14 libclang-rt-14-dev help2man
  nbdkit nbdkit-plugin-dev libnbd-bin python3-libnbd qemu-utils libfuse3-dev fuse3
  systemd s3cmd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "missing packages: ${missing[*]}" >&2
  echo "run: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
