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

expect_error "qscale must be > 0.0 and <= 255" -qscale 0 -i x out.mp4
expect_error "Incorrect aspect ratio specification." -i x -aspect 4:0 out.mp4
expect_error "pass number can be only 1 or 2" -i x -pass 3 out.mp4
expect_error "Removed, use the crop filter instead" -croptop 1 -i x out.mp4
expect_error 'Unrecognized option "nosuch"' -i x -nosuch 1 out.mp4
expect_error "'fast' is not a valid integer value" -i x -vsync fast out.mp4
expect_error 'Missing argument for option "vcodec"' -i x -vcodec
expect_error 'Missing argument for option "i"' -i
expect_error 'Trailing options were found on the command line: "-an" has no output' -i x out.mp4 -an

# Flags and ignored names take no value: "out.mp4" must stay the output.
"$zconv" transcode -y -i x -vn -an -b 64 -vtag xvid out.mp4 >"$tmp/out" 2>"$tmp/err" || fail "valid options refused: $(cat "$tmp/err")"
grep -q "Options accepted for 1 input(s) and 1 output(s)." "$tmp/out" || fail "unexpected output: $(cat "$tmp/out")"
grep -q "WARNING: The bitrate parameter is set too low" "$tmp/err" || fail "no too-low bitrate warning"
echo "zconv transcode: all checks passed"
