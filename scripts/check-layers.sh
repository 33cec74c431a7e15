#!/usr/bin/env bash
# Checks that the module's folders include only what lies below them in the layer stack of
# docs/architecture.md: a file may include headers of its own folder and of lower layers,
# nothing else: no header of the simulated kernel, of the tests or of user space, so that
# what the simulated kernel offers tests beyond a 2.6.9 kernel (sim/lockdep.h, sim/machine.h)
# stays out of the module's reach. It also refuses an extern or a function declared by hand in a source file:
# what one folder uses of another comes through that folder's header, where the check sees it.
#
# User space has its own stack above the module's (docs/architecture.md): a user-space file may
# include the module's and the simulated kernel's headers, its own unit's and those of units
# on lower layers; one unit's library in CMakeLists.txt may link only libraries of its own unit
# and of lower layers. Units on the same layer stand side by side and do not use each other;
# test-only code (tests/, fuzz/, bench/ and their libraries) is never used by shipped code.
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

# The quoted includes of a file, as "line:header".
includes() {
    awk '/^[[:space:]]*#[[:space:]]*include[[:space:]]*"/ { split($0, part, "\""); print NR ":" part[2] }' "$1"
}

status=0
for file in platform/* interface/* base/* blockmap/* shared/* automap/* intercept/* reader/* \
    cow/* snapshot/* backup/* module/*; do
    [ -e "$file" ] || continue
    mine=$(layer_of "$file")
    while IFS=: read -r line inc; do
        theirs=$(layer_of "$inc")
        if [ -z "$theirs" ]; then
            echo "$file:$line: includes $inc, which is not the module's" >&2
            status=1
            continue
        fi
        [ "$theirs" -le "$mine" ] && { [ "$theirs" -lt "$mine" ] || [ "$(dirname "$inc")" = "$(dirname "$file")" ]; } && continue
        echo "$file:$line: (layer $mine) includes $inc (layer $theirs): a module folder includes only its own and lower layers" >&2
        status=1
    done < <(includes "$file")
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

# The user-space unit of a file and its layer, bottom (1) to top, as "layer unit"; the
# module's folders and the simulated kernel are layer 0, below all of user space; empty for
# anything else (test-only code, unknown folders).
unit_of() {
    case "$1" in
    platform/* | interface/* | base/* | blockmap/* | shared/* | automap/* | intercept/* | \
        reader/* | cow/* | snapshot/* | backup/* | module/* | sim/*) echo "0 kernel" ;;
    repo/ext_device.*) echo "1 extdev" ;;
    serve/wire.*) echo "1 wire" ;;
    repo/*) echo "2 repo" ;;
    agent/*) echo "2 agent" ;;
    machine/*) echo "3 machine" ;;
    jobs/*) echo "4 jobs" ;;
    tools/demo/*) echo "5 demo" ;;
    serve/*) echo "5 serve" ;;
    nbd/*) echo "5 nbd" ;;
    tools/*) echo "6 cli" ;;
    esac
}

# The same for a CMake library; "test" for the test-only ones.
library_unit() {
    case "$1" in
    kestrel_sim | kestrel_module) echo "0 kernel" ;;
    kestrel_extdev) echo "1 extdev" ;;
    kestrel_wire) echo "1 wire" ;;
    kestrel_repo) echo "2 repo" ;;
    kestrel_agent) echo "2 agent" ;;
    kestrel_install | kestrel_machine) echo "3 machine" ;;
    kestrel_jobs) echo "4 jobs" ;;
    kestrel_demo) echo "5 demo" ;;
    kestrel_serve) echo "5 serve" ;;
    kestrel_nbd) echo "5 nbd" ;;
    kestrel) echo "6 cli" ;;
    kestrel_fault_env | kestrel_test_support | kestrel_repo_test_support) echo "test" ;;
    esac
}

# Whether a user of (layer, unit) $1 may use (layer, unit) $2.
may_use() {
    local mine=${1% *} theirs=${2% *}
    [ "$theirs" -lt "$mine" ] || [ "$1" = "$2" ]
}

rule="a unit uses only its own files and units on lower layers (docs/architecture.md)"
while read -r file; do
    mine=$(unit_of "$file")
    [ -n "$mine" ] || continue
    while IFS=: read -r line inc; do
        theirs=$(unit_of "$inc")
        if [ -z "$theirs" ]; then
            echo "$file:$line: includes $inc, which is not shipped user-space or module code" >&2
            status=1
        elif ! may_use "$mine" "$theirs"; then
            echo "$file:$line: ${mine#* } (layer ${mine% *}) includes $inc of ${theirs#* } (layer ${theirs% *}): $rule" >&2
            status=1
        fi
    done < <(includes "$file")
done < <(find repo agent machine jobs serve nbd tools -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)

# Libraries: each target_link_libraries(...) of CMakeLists.txt as "line target item...".
if [ -f CMakeLists.txt ]; then
    while read -r line target deps; do
        mine=$(library_unit "$target")
        [ -n "$mine" ] && [ "$mine" != test ] || continue
        for dep in $deps; do
            theirs=$(library_unit "$dep")
            [ -n "$theirs" ] || continue
            if [ "$theirs" = test ]; then
                echo "CMakeLists.txt:$line: $target links the test-only $dep: shipped code never uses test code" >&2
                status=1
            elif ! may_use "$mine" "$theirs"; then
                echo "CMakeLists.txt:$line: $target (${mine#* }, layer ${mine% *}) links $dep (${theirs#* }, layer ${theirs% *}): $rule" >&2
                status=1
            fi
        done
    done < <(awk '
        /target_link_libraries[[:space:]]*\(/ { start = NR; text = "" ; on = 1 }
        on { text = text " " $0; if (index($0, ")")) { on = 0
            sub(/.*target_link_libraries[[:space:]]*\(/, "", text); sub(/\).*/, "", text)
            gsub(/[[:space:]]+(PUBLIC|PRIVATE|INTERFACE)[[:space:]]+/, " ", text)
            print start, text } }' CMakeLists.txt)
fi
exit $status
