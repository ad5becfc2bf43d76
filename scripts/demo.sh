#!/usr/bin/env bash
# The main job: installs what is missing, builds, generates a short sample
# clip and converts it with the default device profile into ./out, showing
# progress.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

zconv=build/bin/zconv
mkdir -p build/demo out

echo "== Media libraries"
"$zconv" libs

echo "== Device profiles (* = the default)"
"$zconv" profiles

echo "== Generating a 10 s sample (test picture and a 440 Hz tone)"
"$zconv" transcode -y \
  -f lavfi -i "testsrc=duration=10:size=640x360:rate=25" \
  -f lavfi -i "sine=frequency=440:duration=10:sample_rate=48000" \
  -vcodec mpeg4 -qscale 3 -acodec pcm_s16le build/demo/sample.mkv 2>&1 | grep -E "^task 0: (frame=.*\(final\)|finished)"

echo "== Converting it with the default profile into ./out"
"$zconv" convert --out out build/demo/sample.mkv

echo "== Result"
"$zconv" probe out/sample.*
