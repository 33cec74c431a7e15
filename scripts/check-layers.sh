#!/usr/bin/env bash
# Checks that the module's folders include only what lies below them in the layer stack of
# docs/architecture.md: a file may include headers of its own folder and of lower layers,
# nothing else: no header of the simulated kernel, of the tests or of user space, so that
# what the simulated kernel offers tests beyond a 2.6.9 kernel (sim/lockdep.h, sim/machine.h)
# stays out of the module's reach. It also refuses an extern or a function declared by hand in a source file:
# what one folder uses of another comes through that folder's header, where the check sees it.
# usage: scripts/check-layers.sh [ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# The layer of a module folder, bottom (0) to top; empty for paths outside the module.
layer_of() {
    case "$1" in
    platform/*) echo 0 ;;
    interface/*) echo 1 ;;
    base/*) echo 2 ;;
    blockmap/*) echo 3 ;;
    shared/*) echo 4 ;;
    automap/*) echo 5 ;;
    intercept/*) echo 6 ;;
    reader/*) echo 7 ;;
    cow/*) echo 8 ;;
    snapshot/*) echo 9 ;;
    backup/*) echo 10 ;;
    module/*) echo 11 ;;
    esac
}

status=0
for file in platform/* interface/* base/* blockmap/* shared/* automap/* intercept/* reader/* \
    cow/* snapshot/* backup/* module/*; do
    [ -e "$file" ] || continue
    mine=$(layer_of "$file")
    while read -r inc; do
        theirs=$(layer_of "$inc")
        if [ -z "$theirs" ]; then
            echo "layer check: $file includes $inc, which is not the module's" >&2
            status=1
            continue
        fi
        [ "$theirs" -le "$mine" ] && { [ "$theirs" -lt "$mine" ] || [ "$(dirname "$inc")" = "$(dirname "$file")" ]; } && continue
        echo "layer check: $file (layer $mine) includes $inc (layer $theirs)" >&2
        status=1
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    case "$file" in
    *.cpp)
        # At the left margin of a source file: "extern ...;" or "type name(...);", a
        # declaration rather than a definition (definitions end in "{" or "= value;").
        if grep -nE '^(extern[[:space:]]|[A-Za-z_][A-Za-z0-9_ :*&<>]*[[:space:]*&]+[A-Za-z_][A-Za-z0-9_]*\([^=]*\)[[:space:]]*;[[:space:]]*$)' "$file" >&2; then
            echo "layer check: $file declares by hand what a header should declare" >&2
            status=1
        fi
        ;;
    esac
done
exit $status
