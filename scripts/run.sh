#!/bin/bash
# The main job: build the host preset and run the simulator (arguments are passed to it).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
exec build/host/tools/korvsim/korvsim "$@"
