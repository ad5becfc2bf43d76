#!/usr/bin/env bash
# zconv libs: seven libraries with versions on success; the loader's message
# and exit 1 when a library folder holds a broken library.
set -u
zconv=$1
fakes=$2
fail() { echo "FAIL: $*"; exit 1; }

out=$("$zconv" libs --lib-dir /nonexistent) || fail "libs exited $? with a folder that does not exist"
[ "$(echo "$out" | wc -l)" -eq 7 ] || fail "expected 7 lines, got: $out"
for lib in avutil swresample swscale avcodec avformat avfilter avdevice; do
  echo "$out" | grep -Eq "^$lib +[0-9]+\.[0-9]+\.[0-9]+ +/.*/lib$lib\.so\.[0-9]+$" || fail "no line for $lib in: $out"
done

tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
: > "$tmp/libswscale.so.6"
"$zconv" libs --lib-dir "$tmp" >"$tmp/out" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "expected exit 1 for an empty library file, got $rc"
grep -q "^Load library $tmp/libswscale.so.6 error: " "$tmp/err" || fail "unexpected message: $(cat "$tmp/err")"
[ ! -s "$tmp/out" ] || fail "printed libraries although loading failed"

"$zconv" libs --lib-dir "$fakes/partial" >/dev/null 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "expected exit 1 for a library without its functions, got $rc"
grep -q "^Load function sws_getContext@libswscale.so.6 error: " "$tmp/err" || fail "unexpected message: $(cat "$tmp/err")"

"$zconv" libs --frobnicate >/dev/null 2>&1; [ $? -eq 2 ] || fail "an unknown argument must give the usage and exit 2"

# The media libraries are loaded at run time, never linked.
if ldd "$zconv" | grep -E 'lib(av|sw)'; then fail "zconv links a media library"; fi
echo "zconv libs: all checks passed"
