#!/usr/bin/env bash
# A conversion list of many rows: COUNT (default 1000) tiny generated clips
# converted by `zconv convert` with JOBS tasks at once (default: automatic). Prints the
# number of outputs, the wall time and the peak memory. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000}
jobs=${2:-}
[ -x build/bin/zconv ] || { scripts/install-deps.sh; scripts/build.sh; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
mkdir -p "$tmp/clips"
build/tests/zc_make_media "$tmp/clip.mkv" --format matroska --seconds 0.2 --size 64x48 >/dev/null
for i in $(seq -w 1 "$count"); do cp "$tmp/clip.mkv" "$tmp/clips/clip$i.mkv"; done
/usr/bin/time -f "wall %e s, peak memory %M KB" \
  build/bin/zconv convert --profile "Small screen MP4 (MPEG-4/AAC, 320x240)" ${jobs:+--jobs "$jobs"} --out "$tmp/out" "$tmp/clips" \
  >"$tmp/run" 2>"$tmp/err" || { tail -5 "$tmp/err"; exit 1; }
echo "rows: $count, outputs: $(ls "$tmp/out" | wc -l), converted lines: $(grep -c ' -> ' "$tmp/run")"
tail -1 "$tmp/err"
