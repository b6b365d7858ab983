#!/usr/bin/env bash
# Runs a torvex command under each seed of a range; every run must end clean,
# with no bug check. Prints the runs that did not, with their output.
# Usage: seeds.sh FIRST LAST TORVEX ARGUMENTS...
set -u
first=$1
last=$2
shift 2
failed=0
for seed in $(seq "$first" "$last"); do
    if ! output=$("$@" --seed "$seed" 2>&1) || grep -q "BUG CHECK" <<<"$output"; then
        printf 'seed %s:\n%s\n\n' "$seed" "$output"
        failed=$((failed + 1))
    fi
done
echo "$((last - first + 1 - failed)) of $((last - first + 1)) seeds clean"
[ "$failed" -eq 0 ]
