#!/bin/bash
# Every test: setup, then configure, build and test each preset. A failing stage skips the rest
# of its preset; the other presets still run, and the script exits non-zero at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

presets=(host host-asan windows)
summary=()
failed=0

# stage <label> <command>...: runs the command under a heading and records its time and result.
stage() {
  local label=$1
  shift
  printf '\n==== %s ====\n' "$label"
  local start=$SECONDS status=0
  "$@" || status=$?
  local result="ok"
  ((status == 0)) || result="FAILED (exit $status)"
  summary+=("$(printf '%-22s %5ss  %s' "$label" $((SECONDS - start)) "$result")")
  return "$status"
}

if ! stage "setup" bash scripts/setup.sh; then
  echo "test.sh: setup failed" >&2
  exit 1
fi

for preset in "${presets[@]}"; do
  stage "$preset: configure" cmake --preset "$preset" &&
    stage "$preset: build" cmake --build --preset "$preset" &&
    stage "$preset: test" ctest --preset "$preset" --output-on-failure -j2 ||
    failed=1
done

# Each libFuzzer target runs briefly over its seed corpus (clang, with the sanitizers); longer
# campaigns are run by hand with scripts/fuzz.sh.
fuzz_seconds=${KORV_FUZZ_SECONDS:-20}
for source in fuzz/*_fuzzer.cpp; do
  target=$(basename "$source" .cpp)
  stage "fuzz: $target" bash scripts/fuzz.sh "$target" "$fuzz_seconds" || failed=1
done

printf '\n==== summary ====\n'
printf '%s\n' "${summary[@]}"
if ((failed)); then
  echo "test.sh: FAILED" >&2
  exit 1
fi
echo "test.sh: all stages passed"
