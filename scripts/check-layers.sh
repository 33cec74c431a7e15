#!/usr/bin/env bash
# Checks that the module's folders include only what lies below them in the layer stack of
# docs/architecture.md. Each module source and header has a layer (by its folder, or for the
# few shared headers by its own path); a file may include headers of its own folder and of
# lower layers, nothing else. The includes that break the stack today, until the code they
# need moves down, are listed in scripts/layer-exceptions.txt as "file include" pairs; the
# check fails on any other, and on a listed pair that no longer exists (so the list only
# shrinks).
# usage: scripts/check-layers.sh [ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# The layer of a module path, bottom (0) to top; empty for paths outside the module.
layer_of() {
    case "$1" in
    platform/*) echo 0 ;;
    module/users.h | module/kestrel_ioctl.h) echo 1 ;;
    blockmap/*) echo 2 ;;
    module/backup.h) echo 3 ;;
    automap/*) echo 4 ;;
    intercept/*) echo 5 ;;
    cow/*) echo 6 ;;
    backup/*) echo 7 ;;
    module/*) echo 8 ;;
    esac
}

exceptions=scripts/layer-exceptions.txt
found=$(mktemp)
trap 'rm -f "$found"' EXIT
status=0
for file in platform/* module/* blockmap/* automap/* intercept/* cow/* backup/*; do
    mine=$(layer_of "$file")
    while read -r inc; do
        theirs=$(layer_of "$inc")
        [ -n "$theirs" ] || continue
        [ "$(dirname "$inc")" = "$(dirname "$file")" ] && [ "$theirs" -le "$mine" ] && continue
        [ "$theirs" -lt "$mine" ] && continue
        echo "$file $inc" >>"$found"
        if ! grep -qxF "$file $inc" "$exceptions"; then
            echo "layer check: $file (layer $mine) includes $inc (layer $theirs)" >&2
            status=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done
while read -r pair; do
    [ -n "$pair" ] && [ "${pair:0:1}" != "#" ] || continue
    if ! grep -qxF "$pair" "$found"; then
        echo "layer check: $exceptions lists \"$pair\", which is gone: remove it" >&2
        status=1
    fi
done <"$exceptions"
exit $status
