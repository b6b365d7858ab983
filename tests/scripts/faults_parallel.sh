#!/usr/bin/env bash
# A fault campaign spread with GNU parallel, as the README shows it: two
# slices at once, their JUnit files merged. It must find what the whole
# campaign finds, no more and no less, and report every point once.
# usage: faults_parallel.sh TORVEX SCRIPT [torvex faults options...]
set -euo pipefail
torvex=$1
script=$2
shift 2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

findings() { grep -E '^fault [0-9]+|^  replay: ' "$1" | sort || true; }

"$torvex" faults "$script" "$@" --junit "$dir/whole.xml" > "$dir/whole.txt" || [ $? -eq 1 ]
parallel --will-cite -j 2 "$torvex" faults "$script" "$@" --jobs 1 --shard {}/2 --junit "$dir/slice-{}.xml" \
    '>' "$dir/slice-{}.txt" ::: 1 2 || [ $? -le 2 ]
{ echo '<testsuites>'; sed -n '/<testsuite /,/<\/testsuite>/p' "$dir"/slice-*.xml; echo '</testsuites>'; } > "$dir/merged.xml"

cat "$dir"/slice-*.txt > "$dir/slices.txt"
if ! diff <(findings "$dir/whole.txt") <(findings "$dir/slices.txt"); then
    echo "faults_parallel: the slices' findings differ from the whole campaign's" >&2
    exit 1
fi
whole=$(grep -c '<testcase ' "$dir/whole.xml")
merged=$(grep -o 'name="fault [0-9]*' "$dir/merged.xml" | sort -u | wc -l)
if [ "$whole" -ne "$merged" ] || [ "$(grep -c '<testcase ' "$dir/merged.xml")" -ne "$whole" ]; then
    echo "faults_parallel: the merged report has $merged distinct points of $whole" >&2
    exit 1
fi
echo "$script: two slices under GNU parallel: $whole points, the same findings as the whole campaign"
