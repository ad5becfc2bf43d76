#!/usr/bin/env bash
# zconv convert tells the truth about every file and keeps what exists: a
# batch with a damaged and a refused file, a second run of the same job,
# --overwrite and --skip-existing, a link at an output name, link loops in a
# scan, --json, --help and --version.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
. "$(dirname "$0")/media_check.sh"
small="Small screen MP4 (MPEG-4/AAC, 320x240)"

"$make_media" "$tmp/good.mkv" --format matroska --seconds 1 --size 320x240 >/dev/null || fail "media"
# Every byte after the header zeroed: nothing can be read from it.
cp "$tmp/good.mkv" "$tmp/damaged.mkv"
size=$(stat -c %s "$tmp/good.mkv")
dd if=/dev/zero of="$tmp/damaged.mkv" bs=1 seek=600 count=$((size - 600)) conv=notrunc 2>/dev/null
# A profile the codec refuses: H.263 at 1280x720.
profile_dir=$(dirname "$zconv")/profile
sed 's/|1\[TAMBRIL\]176x144|/|1[TAMBRIL]1280x720|/; s/^3GP phone/Refused 3GP/' "$profile_dir/40-3gp-h263-aac.pf" >"$tmp/refused.pf"

# One good, one damaged: the good output stays, the damaged row fails with its reason.
"$zconv" convert --profile "$small" --out "$tmp/out" "$tmp/good.mkv" "$tmp/damaged.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc for a batch with a damaged file"
grep -qx "$tmp/good.mkv -> $tmp/out/good.mp4" "$tmp/run" || fail "good row: $(cat "$tmp/run" "$tmp/err")"
grep -q "^$tmp/damaged.mkv: failed: ." "$tmp/err" || fail "damaged row: $(cat "$tmp/err")"
grep -qx "1 converted, 1 failed" "$tmp/err" || fail "summary: $(cat "$tmp/err")"
[ ! -e "$tmp/out/damaged.mp4" ] || fail "a file under the failed row's name"
[ -z "$(ls -A "$tmp/out" | grep '^\.')" ] || fail "temporary files left: $(ls -A "$tmp/out")"

# A refused profile: the row fails, exit 1.
"$zconv" convert --profile "$tmp/refused.pf" --out "$tmp/refused" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc for a refused profile: $(cat "$tmp/err")"
grep -qx "0 converted, 1 failed" "$tmp/err" || fail "refused summary: $(cat "$tmp/err")"
[ -z "$(ls -A "$tmp/refused" 2>/dev/null)" ] || fail "the refused run left $(ls -A "$tmp/refused")"

# The same job again: "good (2).mp4", the first output byte for byte.
cp "$tmp/out/good.mp4" "$tmp/first.mp4"
"$zconv" convert --profile "$small" --out "$tmp/out" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err" || fail "second run: $(cat "$tmp/err")"
grep -qx "$tmp/good.mkv -> $tmp/out/good (2).mp4" "$tmp/run" || fail "second run: $(cat "$tmp/run")"
cmp -s "$tmp/first.mp4" "$tmp/out/good.mp4" || fail "the first output changed"
grep -q "the output is written as $tmp/out/good (2).mp4" "$tmp/config"/*/log.txt || fail "the new name is not logged"

# --skip-existing leaves it; --overwrite replaces it.
"$zconv" convert --profile "$small" --skip-existing --out "$tmp/out" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 0 ] || fail "exit $rc when skipping"
grep -qx "0 converted, 1 skipped" "$tmp/err" || fail "skip summary: $(cat "$tmp/err")"
echo "old" >"$tmp/out/good.mp4"
"$zconv" convert --profile "$small" --overwrite --out "$tmp/out" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err" || fail "overwrite: $(cat "$tmp/err")"
grep -qx "$tmp/good.mkv -> $tmp/out/good.mp4" "$tmp/run" || fail "overwrite: $(cat "$tmp/run")"
[ "$(stat -c %s "$tmp/out/good.mp4")" -gt 1000 ] || fail "not replaced"
"$zconv" convert --overwrite --skip-existing "$tmp/good.mkv" 2>/dev/null; [ $? -eq 2 ] || fail "both rules accepted"

# A link at the output name: its target is never written, even with --overwrite.
mkdir "$tmp/linked" && echo "precious" >"$tmp/target.txt" && ln -s "$tmp/target.txt" "$tmp/linked/good.mp4"
"$zconv" convert --profile "$small" --overwrite --out "$tmp/linked" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err" || fail "link: $(cat "$tmp/err")"
[ "$(cat "$tmp/target.txt")" = "precious" ] || fail "the link's target was written"
[ -L "$tmp/linked/good.mp4" ] || fail "the link was replaced"
grep -qx "$tmp/good.mkv -> $tmp/linked/good (2).mp4" "$tmp/run" || fail "link: $(cat "$tmp/run")"

# Link loops: scanned at once, each file converted once.
mkdir -p "$tmp/tree/sub" && cp "$tmp/good.mkv" "$tmp/tree/a.mkv" && cp "$tmp/good.mkv" "$tmp/tree/sub/b.mkv"
ln -s . "$tmp/tree/loop" && ln -s .. "$tmp/tree/sub/up"
timeout 60 "$zconv" convert --profile "$small" --recursive --ext mkv --out "$tmp/tree-out" "$tmp/tree" >"$tmp/run" 2>"$tmp/err" \
  || fail "loop scan: $(cat "$tmp/err")"
[ "$(grep -c ' -> ' "$tmp/run")" -eq 2 ] || fail "loop scan converted: $(cat "$tmp/run")"

# --json: one object per line, an end for every row and the summary.
"$zconv" convert --profile "$small" --json --out "$tmp/json" "$tmp/good.mkv" "$tmp/damaged.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "json exit $rc"
python3 - "$tmp/run" <<'PY' || fail "json: $(cat "$tmp/run")"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
kinds = [e["event"] for e in events]
assert kinds.count("added") == 2 and kinds[-1] == "summary", kinds
ends = {e["row"]: e for e in events if e["event"] == "ended"}
assert ends[1]["state"] == "done" and ends[1]["output"].endswith("/json/good.mp4"), ends
assert ends[2]["state"] == "failed" and ends[2]["reason"], ends
assert events[-1]["converted"] == 1 and events[-1]["failed"] == 1, events[-1]
assert "started" in kinds
PY

# A profile number that does not fit is refused by name.
sed 's/|1\[TAMBRIL\]128k|/|1[TAMBRIL]4294968k|/' "$profile_dir/40-3gp-h263-aac.pf" >"$tmp/huge.pf"
"$zconv" convert --profile "$tmp/huge.pf" --out "$tmp/huge" "$tmp/good.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 2 ] && grep -q "4294968k" "$tmp/err" || fail "huge bitrate: exit $rc: $(cat "$tmp/err")"

# A full disk is named as such, and nothing is left on it (where a small
# file system can be mounted here).
mkdir "$tmp/small"
if mount -t tmpfs -o size=160k tmpfs "$tmp/small" 2>/dev/null; then
  trap 'umount "$tmp/small"; rm -rf "$tmp"' EXIT
  "$zconv" convert --profile "MKV (H.264/AAC, source size)" --out "$tmp/small" "$tmp/good.mkv" "$tmp/good.mkv" \
    >"$tmp/run" 2>"$tmp/err"; rc=$?
  [ $rc -eq 1 ] || fail "exit $rc on a full disk: $(cat "$tmp/err")"
  grep -q "failed: .*No space left on device" "$tmp/err" || fail "full disk: $(cat "$tmp/err")"
  ! grep -q "\.part" "$tmp/err" || fail "a temporary name in the messages: $(cat "$tmp/err")"
  while IFS= read -r line; do
    out=${line##* -> }
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out" 2>/dev/null)
    awk -v d="${length:-0}" 'BEGIN { exit !(d >= 0.9) }' || fail "full disk: \"$line\" holds ${length:-nothing}"
  done <"$tmp/run"
  [ -z "$(ls -A "$tmp/small" | grep '^\.')" ] || fail "temporary files left on the full disk"
fi

# --help lists every command; --version names the program and the libraries.
"$zconv" --help >"$tmp/help" || fail "--help"
for c in convert profiles transcode probe libs --jobs --next --overwrite --skip-existing --json; do
  grep -q -- "$c" "$tmp/help" || fail "--help omits $c"
done
"$zconv" --version >"$tmp/version" || fail "--version"
grep -q "^zconv [0-9]" "$tmp/version" && grep -q "^avcodec " "$tmp/version" || fail "--version: $(cat "$tmp/version")"
echo "honest runs: all checks passed"
