#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the media
# libraries the converter loads at run time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build/bin/zconv libs
