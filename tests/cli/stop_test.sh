#!/usr/bin/env bash
# Ctrl-C at random moments during a zconv convert run with two files at
# once: never a crash, exit 130, no row reported as converted unless its
# output is whole (judged with ffprobe), and no file left but those.
# ZC_STOP_TRIALS sets the number of trials (default 6).
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
. "$(dirname "$0")/media_check.sh"

for n in 1 2 3 4; do
  "$make_media" "$tmp/clip$n.mkv" --format matroska --seconds 4 --size 640x480 >/dev/null || fail "media"
done
for trial in $(seq 1 "${ZC_STOP_TRIALS:-6}"); do
  rm -rf "$tmp/out"
  "$zconv" convert --profile "Small screen MP4 (MPEG-4/AAC, 320x240)" --jobs 2 --out "$tmp/out" \
    "$tmp"/clip*.mkv >"$tmp/run" 2>"$tmp/err" &
  pid=$!
  sleep "0.$((RANDOM % 9 + 1))"
  kill -INT $pid 2>/dev/null
  wait $pid; rc=$?
  [ $rc -eq 130 ] || [ $rc -eq 0 ] || fail "trial $trial: exit $rc: $(tail -3 "$tmp/err")"
  while IFS= read -r line; do
    out=${line##* -> }
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out" 2>/dev/null)
    awk -v d="${length:-0}" 'BEGIN { exit !(d >= 3.9) }' || fail "trial $trial: \"$line\" holds ${length:-nothing} of 4 s"
  done <"$tmp/run"
  [ $rc -eq 0 ] && continue
  grep -qx "Stopped while collecting the files." "$tmp/err" && continue  # stopped before any row
  converted=$(grep -c ' -> ' "$tmp/run")
  stopped=$(grep -c ': stopped$' "$tmp/err")
  [ $((converted + stopped)) -eq 4 ] || fail "trial $trial: $converted converted and $stopped stopped of 4: $(cat "$tmp/err")"
  grep -qx "$converted converted, $stopped stopped" "$tmp/err" || grep -qx "$converted converted" "$tmp/err" \
    || fail "trial $trial: no summary: $(cat "$tmp/err")"
  left=$(ls -A "$tmp/out" 2>/dev/null | wc -l)
  [ "$left" -eq "$converted" ] || fail "trial $trial: $converted converted but $left files: $(ls -A "$tmp/out")"
done
echo "stop: all checks passed"
