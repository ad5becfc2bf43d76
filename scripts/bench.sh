#!/usr/bin/env bash
# Builds and runs the engine benchmark: SECONDS of generated 640x480 video
# (default 10), best of RUNS (default 3). The last line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build/bin/engine_bench "${1:-10}" "${2:-3}"
