#!/usr/bin/env bash
# Runs test binaries again under other seeds (TORVEX_SEED), so that a scenario
# that holds only for its fixed seed is caught. Usage: seed_sweep.sh FIRST COUNT BINARY...
# The tests that hand a capture to tshark (named Tshark...) run once, in the
# suite: they check that tshark reads a capture as the trace has it, which
# holds for the traffic of any seed, and tshark costs most of a sweep's time.
set -u
export GTEST_FILTER="-*Tshark*"
first=$1
count=$2
shift 2
status=0
for ((seed = first; seed < first + count; seed++)); do
    for binary in "$@"; do
        if ! TORVEX_SEED=$seed "$binary" --gtest_brief=1 > /tmp/seed_sweep.$$ 2>&1; then
            echo "FAILED under ${TORVEX_STRATEGY:+TORVEX_STRATEGY=$TORVEX_STRATEGY }TORVEX_SEED=$seed: $binary"
            grep -E "FAILED|Failure|BUG CHECK" /tmp/seed_sweep.$$ | head -20
            status=1
        fi
    done
done
rm -f /tmp/seed_sweep.$$
[ $status -eq 0 ] && echo "all binaries pass under seeds $first to $((first + count - 1))${TORVEX_STRATEGY:+ ($TORVEX_STRATEGY)}"
exit $status
