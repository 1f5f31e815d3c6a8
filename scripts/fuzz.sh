#!/bin/bash
# Builds one libFuzzer target (the `fuzz` preset, clang) and runs it:
#   bash scripts/fuzz.sh <target> <seconds>      e.g. bash scripts/fuzz.sh usbd_config_fuzzer 30
# The seeds in fuzz/corpus/<name>/ (<name> is the target without _fuzzer) are only read; new
# inputs go to build/fuzz/corpus/<name>/ and a crashing input to build/fuzz/artifacts/.
# Exits non-zero when the fuzzer finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.." || exit 1

target=${1:?usage: fuzz.sh <target> <seconds>}
seconds=${2:?usage: fuzz.sh <target> <seconds>}
name=${target%_fuzzer}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target"

work=build/fuzz/corpus/$name
mkdir -p "$work" build/fuzz/artifacts
corpora=("$work")
if [[ -d fuzz/corpus/$name ]]; then corpora+=("fuzz/corpus/$name"); fi

"build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/artifacts/ "${corpora[@]}"
