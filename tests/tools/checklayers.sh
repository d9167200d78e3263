#!/bin/sh
# The layout's rules that a compiler does not check: each layer includes
# only the layers below it, the front ends talk to the session and not to
# its parts, and no source file grows past 400 lines.
# Usage: checklayers.sh SOURCE_DIR
cd "$1" || exit 2
status=0
fail() {
    echo "$1"
    status=1
}

# What a folder of the core must not include.
forbid() {
    folder=$1
    shift
    for layer in "$@"; do
        grep -rn "#include \"$layer/" "$folder" && fail "$folder includes $layer/"
    done
}
forbid core/link detector session process
forbid core/detector session process
forbid core/session process
for front in gui daemon app; do
    grep -rn "#include \"$front/" core sim && fail "the core or the simulator includes $front/"
done

# A front end that holds a Session uses its calls and reports.
parts='(state|lineChannel|polling|busSearch|frameTap|devices|records)\(\)'
grep -rnE "(session|sess|sessionRef)(\(\))?(\.|->)$parts" gui daemon app \
    && fail "a front end reaches through the session into its parts"

long=$(find core gui daemon app sim tests bench -name '*.cpp' -o -name '*.h' | xargs wc -l | awk '$2 != "total" && $1 > 400')
[ -n "$long" ] && fail "files over 400 lines:
$long"

exit $status
