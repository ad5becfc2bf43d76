#!/usr/bin/env bash
# Picture shape and orientation, read back with ffprobe: the display aspect
# is kept on every path unless asked otherwise, pictures a camera stored
# turned come out upright (copies keep the turn), and a change of picture
# size in mid-stream reaches a filter graph whole.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/media_check.sh"

expect_dar() {  # what, file, display aspect
  local dar; dar=$(video_entry "$2" display_aspect_ratio)
  [ "$dar" = "$3" ] || fail "$1: display aspect $dar, expected $3 ($(video_entry "$2" width)x$(video_entry "$2" height))"
}

# An anamorphic PAL picture (720x576, pixels 64:45 wide): 16:9 on screen.
"$make_media" "$tmp/ana.mkv" --format matroska --size 720x576 --sar 64:45 --seconds 1 || fail "cannot make ana.mkv"
convert "re-encoded" -i "$tmp/ana.mkv" -vcodec mpeg4 "$tmp/plain.mkv"
expect_dar "re-encoded without options" "$tmp/plain.mkv" 16:9
convert "re-encoded, -s" -i "$tmp/ana.mkv" -vcodec mpeg4 -s 640x360 "$tmp/sized.mkv"
expect_dar "re-encoded at another size" "$tmp/sized.mkv" 16:9
convert "re-encoded, -vf" -i "$tmp/ana.mkv" -vcodec mpeg4 -vf hflip "$tmp/filtered.mkv"
expect_dar "re-encoded through a filter" "$tmp/filtered.mkv" 16:9
convert "-aspect" -i "$tmp/ana.mkv" -vcodec mpeg4 -aspect 4:3 "$tmp/aspect.mkv"
expect_dar "-aspect 4:3 without a filter" "$tmp/aspect.mkv" 4:3
convert "pal-dvd" -i "$tmp/ana.mkv" -target pal-dvd "$tmp/dvd.mpg"
grep -q "Assuming 16:9 for aspect ratio" "$tmp/log" || fail "pal-dvd: no assumed aspect in the log"
expect_dar "-target pal-dvd" "$tmp/dvd.mpg" 16:9
convert "pal-dv" -i "$tmp/ana.mkv" -target pal-dv "$tmp/dv.dv"
expect_dar "-target pal-dv" "$tmp/dv.dv" 16:9

# A phone picture stored on its side: 320x240 with a quarter turn clockwise.
"$make_media" "$tmp/phone.mp4" --format mp4 --size 320x240 --rotate 90 --acodec aac --seconds 1 2>/dev/null || fail "cannot make phone.mp4"
[ "$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$tmp/phone.mp4" | tr -d ,)" = -90 ] \
  || fail "the generated phone clip carries no quarter turn"
"$zconv" probe "$tmp/phone.mp4" | grep -q "Rotation: 90 degrees" || fail "the probe does not report the turn"
"$zconv" probe --json "$tmp/phone.mp4" | grep -q '"rotation": 90' || fail "the probe's JSON does not report the turn"
convert "turned" -i "$tmp/phone.mp4" -vcodec mpeg4 "$tmp/upright.mp4"
[ "$(video_entry "$tmp/upright.mp4" width)x$(video_entry "$tmp/upright.mp4" height)" = 240x320 ] || fail "not turned upright"
[ -z "$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$tmp/upright.mp4")" ] \
  || fail "an upright output still asks players to turn it"
# The generated picture is a ramp (x + y): turned clockwise, the top left
# shows what was the bottom left, 0 + 239.
corner=$(ffmpeg -v error -i "$tmp/upright.mp4" -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null | od -An -tu1 -N1 | tr -d ' ')
[ "$corner" -gt 200 ] || fail "turned the wrong way (top left $corner, expected about 239)"
convert "turned, -s" -i "$tmp/phone.mp4" -vcodec mpeg4 -s 120x160 "$tmp/upright-small.mp4"
[ "$(video_entry "$tmp/upright-small.mp4" width)x$(video_entry "$tmp/upright-small.mp4" height)" = 120x160 ] \
  || fail "-s on a turned picture: $(video_entry "$tmp/upright-small.mp4" width)x$(video_entry "$tmp/upright-small.mp4" height)"
convert "copied" -i "$tmp/phone.mp4" -vcodec copy -acodec copy "$tmp/copied.mp4"
[ "$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$tmp/copied.mp4" | tr -d ,)" = -90 ] \
  || fail "a copy lost the turn"
convert "-noautorotate" -noautorotate -i "$tmp/phone.mp4" -vcodec mpeg4 "$tmp/asstored.mp4"
[ "$(video_entry "$tmp/asstored.mp4" width)x$(video_entry "$tmp/asstored.mp4" height)" = 320x240 ] || fail "-noautorotate turned the picture"
[ "$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$tmp/asstored.mp4" | tr -d ,)" = -90 ] \
  || fail "-noautorotate dropped the turn players need"

# A transport stream whose pictures shrink half-way: through a filter graph
# every picture comes out whole at the first size.
"$make_media" "$tmp/a.ts" --format mpegts --size 320x240 --vcodec mpeg2video --no-audio --seconds 1 || fail "cannot make a.ts"
"$make_media" "$tmp/b.ts" --format mpegts --size 160x120 --vcodec mpeg2video --no-audio --seconds 1 --start 1000000 || fail "cannot make b.ts"
cat "$tmp/a.ts" "$tmp/b.ts" >"$tmp/shrinks.ts"
convert "size change" -i "$tmp/shrinks.ts" -vcodec mpeg4 -vf hflip "$tmp/shrinks.mkv"
[ "$(grep -c "frame changed from size:320x240 fmt:yuv420p to size:160x120" "$tmp/log")" -eq 1 ] || fail "the size change was not taken once: $(grep -i chang "$tmp/log" | head -3)"
grep -q "Changing video frame properties on the fly" "$tmp/log" && fail "the old graph was fed the new size"
want=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$tmp/shrinks.ts" | head -1 | tr -d ,)
sizes=$(ffprobe -v error -show_entries frame=width,height -of csv=p=0 "$tmp/shrinks.mkv" | sort | uniq -c | awk '{ print $1, $2 }')
[ "$sizes" = "$want 320,240" ] || fail "size change: frames $sizes, expected $want at 320,240"
# The last picture is the second half's ramp (x + y + 3 per frame) scaled
# up twice and mirrored: near the top right it shows its top left, 1 + 3 * 24.
near_corner=$(ffmpeg -v error -i "$tmp/shrinks.mkv" -vf "select=eq(n\,$((want - 1)))" -frames:v 1 -f rawvideo -pix_fmt gray - 2>/dev/null |
  od -An -tu1 -v -j $((2 * 320 + 318)) -N1 | tr -d ' ')
[ "${near_corner:-0}" -ge 60 ] && [ "${near_corner:-0}" -le 86 ] || fail "size change: the last picture is not the whole new picture ($near_corner)"
# An ASF declares its clock's rate (1000 fps); through a filter graph into a
# constant 25 fps, each of its two pictures still fills its slot.
convert "two-picture asf" -f lavfi -i "testsrc=d=0.08:s=160x120:r=25" -f lavfi -i "sine=d=0.08" \
  -vcodec wmv2 -acodec wmav2 "$tmp/two.asf"
convert "asf through a graph" -i "$tmp/two.asf" -vcodec mpeg4 -r 25 -vf null -acodec aac -f mp4 "$tmp/two.mp4"
[ "$(field "$tmp/two.mp4" packets video)" = 2 ] || fail "asf through a graph: $(streams "$tmp/two.mp4")"
# A filter that makes its own rate (fps) keeps the last picture for its time:
# two seconds at 25 fps stay 50 pictures.
convert "25 fps source" -f lavfi -i "testsrc=d=2:s=160x120:r=25" -vcodec ffv1 "$tmp/src25.mkv"
convert "fps filter" -i "$tmp/src25.mkv" -vf fps=25 -vcodec ffv1 "$tmp/fps.avi"
frames=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$tmp/fps.avi")
[ "$frames" = 50 ] || fail "fps filter: $frames pictures, expected 50"
# A filter that doubles the rate (yadif=1) gives each picture its own time:
# 50 interlaced pictures become 100 at 50 fps, the first two different.
convert "interlaced source" -f lavfi -i "testsrc=d=2:s=160x120:r=25" -vcodec mpeg2video -flags +ilme+ildct -top 1 \
  "$tmp/il.mkv"
convert "yadif=1" -i "$tmp/il.mkv" -vf yadif=1 -r 50 -vcodec ffv1 "$tmp/y1.avi"
frames=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$tmp/y1.avi")
[ "$frames" = 100 ] || fail "yadif=1: $frames pictures, expected 100"
[ "$(ffmpeg -v error -i "$tmp/y1.avi" -frames:v 2 -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }' | sort -u | wc -l)" = 2 ] \
  || fail "yadif=1: the first picture is shown twice"
echo "shape: all checks passed"
