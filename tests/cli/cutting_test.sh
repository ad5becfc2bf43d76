#!/usr/bin/env bash
# Cutting with -ss and -t on either side of -i, re-encoded and copied, on
# H.264 with B-frames (MP4, Matroska), MPEG-2 in transport and program
# streams, and VP9 in WebM: every stream starts together and the output
# lasts -t; a copy starts at the key frame at or before the start.
set -u
zconv=$1
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/media_check.sh"

lavfi=(-f lavfi -i "testsrc=duration=5:size=320x240:rate=25" -f lavfi -i "sine=frequency=440:duration=5")
make() {
  local name=$1; shift
  "$zconv" transcode -y "${lavfi[@]}" "$@" "$tmp/$name" >"$tmp/log" 2>&1 || fail "cannot make $name: $(tail -3 "$tmp/log")"
}
make h.mkv -vcodec libx264 -g 50 -bf 2 -acodec aac
make h.mp4 -vcodec libx264 -g 50 -bf 2 -acodec aac
make m.ts -vcodec mpeg2video -g 12 -bf 2 -acodec mp2
make m.mpg -vcodec mpeg2video -g 12 -bf 2 -acodec mp2 -f vob
make v.webm -vcodec libvpx-vp9 -deadline realtime -cpu-used 8 -g 50 -acodec libopus

frame=0.04
for src in h.mkv h.mp4 m.ts m.mpg v.webm; do
  in=$tmp/$src
  origin=$(streams "$in" | awk 'NR == 1 || $3 < s { s = $3 } END { print s }')
  # The last key frame at or before 1 s into the source.
  key=$(key_times "$in" | awk -v o="$origin" '$1 - o <= 1.0005 { k = $1 - o } END { print k + 0 }')
  for side in input output; do
    for how in encode copy; do
      if [ $how = encode ]; then codecs=(-vcodec mpeg4 -acodec aac); ext=mkv
      else codecs=(-vcodec copy -acodec copy); ext=${src##*.}; fi
      out=$tmp/cut-$side-$how-${src%.*}.$ext
      if [ $side = input ]; then args=(-ss 1 -i "$in" -t 1 "${codecs[@]}" "$out")
      else args=(-i "$in" -ss 1 -t 1 "${codecs[@]}" "$out"); fi
      what="$src, -ss on the $side side, $how"
      "$zconv" transcode -y "${args[@]}" >"$tmp/log" 2>&1 || fail "$what: $(tail -3 "$tmp/log")"
      read -r vs ve vn vflags < <(streams "$out" | awk '$2 == "video" { print $3, $4, $5, $6 }')
      read -r as ae an < <(streams "$out" | awk '$2 == "audio" { print $3, $4, $5 }')
      [ "${vn:-0}" -gt 0 ] || fail "$what: no video in the output"
      [ "${an:-0}" -gt 0 ] || fail "$what: no audio in the output"
      [[ $vflags == K* ]] || fail "$what: the video does not start at a key frame"
      near "$vs" "$as" $frame || fail "$what: video starts at $vs, audio at $as"
      if [ $how = encode ]; then
        near "$(awk -v a="$ve" -v b="$vs" 'BEGIN { print a - b }')" 1 $frame || fail "$what: video lasts $vs..$ve"
        near "$(awk -v a="$ae" -v b="$as" 'BEGIN { print a - b }')" 1 0.05 || fail "$what: audio lasts $as..$ae"
      else
        # From the key frame to the end asked for; a copy may show a few
        # reordered pictures past it.
        want=$(awk -v k="$key" 'BEGIN { print 2 - k }')
        awk -v a="$ve" -v b="$vs" -v w="$want" -v f=$frame 'BEGIN { d = a - b; exit !(d >= w - f && d <= w + 5 * f) }' \
          || fail "$what: video lasts $vs..$ve, expected $want s from the key frame at $key"
        near "$(awk -v a="$ae" -v b="$as" 'BEGIN { print a - b }')" "$want" 0.05 || fail "$what: audio lasts $as..$ae, expected $want s"
      fi
    done
  done
done

# A start past the end gives no pictures (not the last group of pictures).
"$zconv" transcode -y -ss 10 -i "$tmp/h.mkv" -vcodec copy -acodec copy "$tmp/past.mkv" >"$tmp/log" 2>&1
[ ! -e "$tmp/past.mkv" ] || [ "$(streams "$tmp/past.mkv" | awk '$2 == "video" { print $5 }')" = 0 ] \
  || fail "-ss past the end copied pictures: $(streams "$tmp/past.mkv" | tr '\n' ' ')"

# A stream both copied and encoded (two outputs): the copy keeps every picture.
"$zconv" transcode -y -i "$tmp/h.mp4" -vcodec copy -an "$tmp/both-copy.mp4" -vcodec mpeg4 -an "$tmp/both-encoded.mkv" \
  >"$tmp/log" 2>&1 || fail "copy and encode: $(tail -3 "$tmp/log")"
[ "$(streams "$tmp/both-copy.mp4" | awk '$2 == "video" { print $5 }')" = 125 ] \
  || fail "copy beside an encoding: $(streams "$tmp/both-copy.mp4" | tr '\n' ' ')"
[ "$(streams "$tmp/both-encoded.mkv" | awk '$2 == "video" { print $5 }')" = 125 ] \
  || fail "encoding beside a copy: $(streams "$tmp/both-encoded.mkv" | tr '\n' ' ')"
echo "cutting: all checks passed"
