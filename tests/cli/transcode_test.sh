#!/usr/bin/env bash
# zconv transcode: option errors exit 2 with the engine's message; valid
# option lists are accepted; warnings reach stderr.
set -u
zconv=$1
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

expect_error() {  # message, arguments...
  local message=$1; shift
  "$zconv" transcode "$@" >"$tmp/out" 2>"$tmp/err"; local rc=$?
  [ $rc -eq 2 ] || fail "exit $rc (expected 2) for: $*"
  grep -qxF "$message" "$tmp/err" || fail "no line '$message' for: $* (stderr: $(cat "$tmp/err"))"
}

# A generated input the library's device reads.
src=(-f lavfi -i "testsrc=duration=1:size=160x120:rate=10")
out="$tmp/out.mp4"

expect_error "qscale must be > 0.0 and <= 255" -qscale 0 -i x "$out"
expect_error "Incorrect aspect ratio specification." "${src[@]}" -aspect 4:0 "$out"
expect_error "pass number can be only 1 or 2" "${src[@]}" -pass 3 "$out"
expect_error "Removed, use the crop filter instead" -croptop 1 -i x "$out"
expect_error 'Unrecognized option "nosuch"' "${src[@]}" -nosuch 1 "$out"
expect_error "'fast' is not a valid integer value" "${src[@]}" -vsync fast "$out"
expect_error 'Missing argument for option "vcodec"' "${src[@]}" -vcodec
expect_error 'Missing argument for option "i"' -i
expect_error 'Trailing options were found on the command line: "-an" has no output' "${src[@]}" "$out" -an

# Files that cannot be opened or created: the engine's message, exit 1.
"$zconv" transcode -i "$tmp/missing.mp4" "$out" >/dev/null 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc for a missing input"
grep -qxF "task 0: $tmp/missing.mp4: No such file or directory" "$tmp/err" || fail "missing input: $(cat "$tmp/err")"
"$zconv" transcode "${src[@]}" "$tmp/no/dir/out.mp4" >/dev/null 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc for an output in a missing folder"
grep -qxF "task 0: $tmp/no/dir/out.mp4: No such file or directory" "$tmp/err" || fail "missing folder: $(cat "$tmp/err")"

# Flags and ignored names take no value: the output stays the output; a
# trailing -newvideo adds a stream to the last output.
out="$tmp/out.avi"
"$zconv" transcode -y "${src[@]}" -an -ab 64 -vcodec mpeg4 -vtag xvid "$out" -vcodec mpeg4 -newvideo >"$tmp/out" 2>"$tmp/err" \
  || fail "valid options refused: $(cat "$tmp/err")"
grep -q "WARNING: The bitrate parameter is set too low" "$tmp/err" || fail "no too-low bitrate warning"
grep -q "^task 0: frame=.*size=.*(final)$" "$tmp/err" || fail "no final progress line: $(tail -3 "$tmp/err")"
grep -qx "task 0: finished" "$tmp/err" || fail "no end of task line"
[ -s "$out" ] || fail "no output written"
# Several tasks: each reports with its index; a task that cannot be built is
# reported, the others still run, and the exit status says not all finished.
"$zconv" transcode --jobs 1 "${src[@]}" -vcodec mpeg4 "$tmp/a.avi" --next -i "$tmp/missing.mkv" "$tmp/b.avi" \
  --next "${src[@]}" -vcodec mpeg4 "$tmp/c.avi" >"$tmp/out" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc with a task that could not be built"
grep -qxF "task 1: $tmp/missing.mkv: No such file or directory" "$tmp/err" || fail "no message for the broken task: $(cat "$tmp/err")"
grep -qx "task 0: finished" "$tmp/err" && grep -qx "task 2: finished" "$tmp/err" || fail "the other tasks did not finish: $(cat "$tmp/err")"
[ -s "$tmp/a.avi" ] && [ -s "$tmp/c.avi" ] || fail "outputs of the good tasks are missing"
"$zconv" transcode --jobs 0 "${src[@]}" "$tmp/d.avi" >/dev/null 2>&1; [ $? -eq 2 ] || fail "--jobs 0 must be refused"

# Ctrl-C: a clean stop, the output closed properly, exit 130.
out="$tmp/stopped.mkv"
"$zconv" transcode -re -f lavfi -i "testsrc=duration=60:size=160x120:rate=25" -vcodec mpeg4 "$out" 2>"$tmp/err" &
pid=$!
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
sleep 0.5
kill -INT $pid
wait $pid; rc=$?
[ $rc -eq 130 ] || fail "exit $rc after Ctrl-C (expected 130): $(tail -3 "$tmp/err")"
"$zconv" probe "$out" >"$tmp/probe" 2>&1 || fail "the stopped output does not read back: $(cat "$tmp/probe")"
grep -q "Video: mpeg4" "$tmp/probe" || fail "no video in the stopped output: $(cat "$tmp/probe")"
echo "zconv transcode: all checks passed"
