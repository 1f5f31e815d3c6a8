#!/bin/bash
# usage: expect_failure.sh <expected text> <command> [args]...
# Succeeds only if the command exits with status 1 and its output contains the expected text,
# so a checker that fails for an unrelated reason (missing tool, usage error) does not count.
set -u
expected=$1
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if ((status != 1)); then
  echo "expect_failure: '$*' exited with $status, expected 1" >&2
  exit 1
fi
if [[ $output != *"$expected"* ]]; then
  echo "expect_failure: output of '$*' lacks: $expected" >&2
  exit 1
fi
echo "expect_failure: rejected as expected"
