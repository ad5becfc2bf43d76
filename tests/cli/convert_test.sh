#!/usr/bin/env bash
# zconv profiles and zconv convert: every shipped profile converts four
# generated clips in one run with all tasks at once; the files read back.
set -u
zconv=$1
make_media=$2
fail() { echo "FAIL: $*"; exit 1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
# Settings, log and documents of this run stay in the scratch folder.
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"

"$zconv" profiles >"$tmp/profiles" 2>&1 || fail "profiles: $(cat "$tmp/profiles")"
[ "$(grep -c . "$tmp/profiles")" -ge 6 ] || fail "expected the six shipped profiles: $(cat "$tmp/profiles")"
[ "$(grep -c '^\*' "$tmp/profiles")" -eq 1 ] || fail "exactly one profile must be marked active"

# The pattern picks files: every sub-folder is entered (4 clips).
mkdir -p "$tmp/clips/more.mkv" "$tmp/clips/skipped"
for n in 1 2; do "$make_media" "$tmp/clips/clip$n.mkv" --format matroska --seconds 1 --size 160x120 >/dev/null || fail "media"; done
"$make_media" "$tmp/clips/more.mkv/clip3.MKV" --format matroska --seconds 1 --size 160x120 >/dev/null || fail "media"
"$make_media" "$tmp/clips/skipped/clip4.mkv" --format matroska --seconds 1 --size 160x120 >/dev/null || fail "media"

while IFS= read -r name; do
  name=$(echo "$name" | sed 's/  *[^ ]*  *[^ ]*  *[^ ]*  *[^ ]*$//')
  out="$tmp/out-$(echo "$name" | tr -c 'A-Za-z0-9' '_')"
  "$zconv" convert --profile "$name" --out "$out" --recursive --ext mkv "$tmp/clips" >"$tmp/run" 2>"$tmp/err" \
    || fail "convert with \"$name\": $(cat "$tmp/err")"
  [ "$(grep -c ' -> ' "$tmp/run")" -eq 4 ] || fail "\"$name\": expected 4 outputs: $(cat "$tmp/run" "$tmp/err")"
  for f in "$out"/*; do
    "$zconv" probe "$f" >/dev/null 2>&1 || fail "\"$name\": $f does not read back"
  done
done < <(cut -c3- "$tmp/profiles")

# A missing file: the others finish, the exit status says not all did.
"$zconv" convert --out "$tmp/mixed" "$tmp/clips/clip1.mkv" "$tmp/clips/missing.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc with a missing file"
grep -q "missing.mkv: failed: No such file or directory" "$tmp/err" || fail "no message for the missing file: $(cat "$tmp/err")"
grep -qx "1 converted, 1 failed" "$tmp/err" || fail "no summary line: $(cat "$tmp/err")"
[ "$(grep -c ' -> ' "$tmp/run")" -eq 1 ] || fail "the good file was not converted"
[ -s "$tmp/config/ZconvVideoConverter/log.txt" ] || [ -n "$(find "$tmp/config" -name 'log.txt' -size +0)" ] || fail "nothing in the log file"
# Awkward names, given relative to the current folder: a ':' that the
# libraries would take for a protocol, a leading '-', spaces and quotes.
# Also bytes that are not UTF-8 and a name of 255 bytes.
mkdir -p "$tmp/odd"
long="$(printf 'x%.0s' $(seq 1 251)).mkv"
names=("a:b.mkv" "-dash.mkv" "it's \"quoted\" now.mkv" $'bad\xffbyte.mkv' "$long")
for n in "${names[@]}"; do
  cp "$tmp/clips/clip1.mkv" "$tmp/odd/$n" || fail "copy $n"
done
(cd "$tmp/odd" && "$zconv" convert --out out -- "${names[@]}") >"$tmp/run" 2>"$tmp/err" \
  || fail "awkward names: $(cat "$tmp/run" "$tmp/err")"
[ "$(ls "$tmp/odd/out" | wc -l)" -eq 5 ] || fail "awkward names: $(ls "$tmp/odd/out")"
for f in "$tmp/odd/out"/*; do "$zconv" probe "$f" >/dev/null 2>&1 || fail "$f does not read back"; done
cmp -s "$tmp/odd/a:b.mkv" "$tmp/clips/clip1.mkv" || fail "an input changed"

# An output folder without write permission: the file's own error, the input kept.
# Permissions do not bind root, so as root the run drops to an unprivileged user.
mkdir -m 755 "$tmp/shared" && mkdir -m 555 "$tmp/shared/locked" && mkdir -m 777 "$tmp/shared/home"
cp "$tmp/clips/clip1.mkv" "$tmp/shared/clip.mkv" && chmod 644 "$tmp/shared/clip.mkv"
chmod 755 "$tmp"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
HOME="$tmp/shared/home" XDG_CONFIG_HOME="$tmp/shared/home" \
  "${as_user[@]}" "$zconv" convert --out "$tmp/shared/locked" "$tmp/shared/clip.mkv" >"$tmp/run" 2>"$tmp/err"; rc=$?
[ $rc -eq 1 ] || fail "exit $rc for an unwritable folder: $(cat "$tmp/run" "$tmp/err")"
grep -q "clip.mkv: failed: Cannot write into $tmp/shared/locked: Permission denied" "$tmp/err" \
  || fail "no permission message: $(cat "$tmp/err")"
cmp -s "$tmp/shared/clip.mkv" "$tmp/clips/clip1.mkv" || fail "the input changed"

echo "zconv profiles/convert: all checks passed"
