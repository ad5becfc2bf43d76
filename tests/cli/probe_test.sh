#!/usr/bin/env bash
# zconv probe: the information text and the JSON object of generated media;
# the probe's message and exit 1 for a file it cannot open; usage errors exit 2.
set -u
zconv=$1
make_media=$2
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

"$make_media" "$tmp/clip.mkv" --format matroska --seconds 1 --meta "title=A \"quoted\" title" \
  || fail "cannot write the test media"
"$make_media" "$tmp/sound.mkv" --format matroska --seconds 0.5 --no-video || fail "cannot write the test media"

out=$("$zconv" probe "$tmp/clip.mkv") || fail "probe exited $?"
echo "$out" | grep -qxF "File Name: $tmp/clip.mkv" || fail "no file name line in: $out"
echo "$out" | grep -qx "Format Name: matroska,webm" || fail "no format line in: $out"
echo "$out" | grep -Eqx "Duration: 00:00:01\.0[0-9]{2}" || fail "no duration line in: $out"
echo "$out" | grep -Eqx "  title +: A \"quoted\" title" || fail "no title in: $out"
echo "$out" | grep -Eq "^Stream #0, 1/1000: Video: mpeg4 .*320x240" || fail "no video stream line in: $out"
echo "$out" | grep -Eq "^Stream #1, 1/1000: Audio: mp2, 44100 Hz" || fail "no audio stream line in: $out"

# The JSON object parses and describes the same streams.
check_json() {  # file, python expression that must hold for the object d
  "$zconv" probe --json "$1" >"$tmp/json" || fail "probe --json exited $? for $1"
  python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if eval(sys.argv[2]) else 1)' \
    "$tmp/json" "$2" || fail "JSON of $1 does not satisfy $2: $(cat "$tmp/json")"
}
check_json "$tmp/clip.mkv" 'len(d["streams"]) == 2 and d["format_name"] == "matroska,webm"'
check_json "$tmp/clip.mkv" 'd["metadata"]["title"] == "A \"quoted\" title" and abs(d["duration"] - 1000000) < 50000'
check_json "$tmp/clip.mkv" '[s["type"] for s in d["streams"]] == ["video", "audio"]'
check_json "$tmp/clip.mkv" 'd["streams"][0]["width"] == 320 and d["streams"][0]["frame_rate"] == "25/1"'
check_json "$tmp/clip.mkv" 'd["streams"][1]["channels"] == 2 and d["streams"][1]["sample_rate"] == 44100'
check_json "$tmp/sound.mkv" 'len(d["streams"]) == 1 and d["streams"][0]["type"] == "audio"'

# A file that cannot be opened: the probe's message only, exit 1.
"$zconv" probe "$tmp/missing.avi" >"$tmp/out" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "expected exit 1 for a missing file, got $rc"
[ "$(cat "$tmp/err")" = "$tmp/missing.avi: No such file or directory" ] || fail "unexpected message: $(cat "$tmp/err")"
[ ! -s "$tmp/out" ] || fail "printed information for a missing file"

"$zconv" probe >/dev/null 2>&1; [ $? -eq 2 ] || fail "no file must exit 2"
"$zconv" probe --frobnicate "$tmp/clip.mkv" >/dev/null 2>&1; [ $? -eq 2 ] || fail "an unknown option must exit 2"
"$zconv" probe "$tmp/clip.mkv" "$tmp/sound.mkv" >/dev/null 2>&1; [ $? -eq 2 ] || fail "two files must exit 2"
echo "zconv probe: all checks passed"
