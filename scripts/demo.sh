#!/usr/bin/env bash
# The main job: installs what is missing, builds, shows the media libraries
# the converter loads at run time, generates a sample clip and converts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

zconv=build/bin/zconv
demo=build/demo
mkdir -p "$demo"

echo "== Media libraries"
"$zconv" libs

echo "== Generating a 10 s sample (test picture and a 440 Hz tone)"
"$zconv" transcode -y \
  -f lavfi -i "testsrc=duration=10:size=640x360:rate=25" \
  -f lavfi -i "sine=frequency=440:duration=10:sample_rate=48000" \
  -vcodec mpeg4 -qscale 3 -acodec pcm_s16le "$demo/sample.mkv" 2>&1 | grep -E "^task 0: frame=" | tail -1

echo "== Converting it for a portable player (320x180, MPEG-4 video, AAC audio)"
"$zconv" transcode -i "$demo/sample.mkv" \
  -vcodec mpeg4 -b 600k -s 320x180 -r 25 -acodec aac -ab 128k -ar 44100 -ac 2 \
  "$demo/sample.mp4" 2>&1 | grep -E "^(task 0: |video:)"

echo "== Result"
"$zconv" probe "$demo/sample.mp4"
