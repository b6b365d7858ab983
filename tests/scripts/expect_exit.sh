#!/usr/bin/env bash
# Runs a command and checks its exit status and that its output matches a
# pattern (grep -E, across lines). Usage: expect_exit.sh STATUS PATTERN COMMAND...
set -u
want=$1
pattern=$2
shift 2
output=$("$@" 2>&1)
status=$?
if [ "$status" -ne "$want" ]; then
    printf 'exit status %s, expected %s; output:\n%s\n' "$status" "$want" "$output"
    exit 1
fi
if ! printf '%s' "$output" | tr '\n' ' ' | grep -qE "$pattern"; then
    printf 'output does not match /%s/:\n%s\n' "$pattern" "$output"
    exit 1
fi
