#!/usr/bin/env bash
# Builds a variant of the driver image and checks it: the good image must
# pass; a broken variant (linked from the good image's objects in BUILT_DIR)
# must fail with the fault named.
# Usage: sys_image.sh OUT_DIR [VARIANT EXPECTED_FAULT BUILT_DIR]
set -u
cd "$(dirname "$0")/../.."
out=$1
variant=${2:-}
expected=${3:-}
built=${4:-}
tools/build_sys.sh "$out" $variant $built > /dev/null || exit 1
report=$(tools/check_sys_image.py "$out/TORVEX.SYS" core/exports.def platform/target/imports.whitelist)
status=$?
echo "$report"
if [ -z "$variant" ]; then
    exit $status
fi
[ $status -ne 0 ] && grep -q -- "$expected" <<<"$report"
