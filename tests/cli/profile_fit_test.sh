#!/usr/bin/env bash
# zconv convert with the shipped profiles, read back with ffprobe: a picture
# fits inside a profile's size with its display aspect and black bars; the
# source size keeps its aspect (odd sizes made even); subtitles become the
# container's own format or are left out with a line in the log; the TV, web,
# HEVC and sound-only profiles write what their names say.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
. "$(dirname "$0")/media_check.sh"
log="$tmp/config/ZconvVideoConverter/log.txt"
phone="Phone MP4 (H.264/AAC, 1280x720)"

run() {  # profile, files... (into $tmp/out, emptied first)
  local profile=$1; shift
  rm -rf "$tmp/out"
  "$zconv" convert --profile "$profile" --out "$tmp/out" "$@" >"$tmp/run" 2>&1 || fail "\"$profile\": $(tail -3 "$tmp/run")"
}
size_of() { echo "$(video_entry "$1" width)x$(video_entry "$1" height) $(video_entry "$1" sample_aspect_ratio)"; }
# Mean luma of a column range (X0..X1) of the first picture.
luma() {
  ffmpeg -v error -i "$1" -frames:v 1 -vf "crop=$(($3 - $2 + 1)):ih:$2:0,scale=1:1:flags=area" -f rawvideo -pix_fmt gray - 2>/dev/null |
    od -An -tu1 | tr -d ' '
}

"$make_media" "$tmp/four3.mkv" --format matroska --size 320x240 --seconds 1 || fail "media"
"$make_media" "$tmp/ana.mkv" --format matroska --size 720x576 --sar 64:45 --seconds 1 || fail "media"
"$make_media" "$tmp/phone.mp4" --format mp4 --size 320x240 --rotate 90 --acodec aac --seconds 1 2>/dev/null || fail "media"
"$make_media" "$tmp/odd.mkv" --format matroska --size 321x241 --vcodec ffv1 --seconds 1 || fail "media"

run "$phone" "$tmp/four3.mkv" "$tmp/ana.mkv" "$tmp/phone.mp4"
# 4:3 inside 16:9: 960x720 between two black bars of 160.
[ "$(size_of "$tmp/out/four3.mp4")" = "1280x720 1:1" ] || fail "4:3 into $phone: $(size_of "$tmp/out/four3.mp4")"
[ "$(luma "$tmp/out/four3.mp4" 0 150)" -le 20 ] || fail "4:3 into $phone: no black bar on the left"
[ "$(luma "$tmp/out/four3.mp4" 1130 1279)" -le 20 ] || fail "4:3 into $phone: no black bar on the right"
[ "$(luma "$tmp/out/four3.mp4" 170 1110)" -ge 40 ] || fail "4:3 into $phone: the picture is missing"
# Anamorphic 16:9 fills 16:9 whole.
[ "$(size_of "$tmp/out/ana.mp4")" = "1280x720 1:1" ] || fail "anamorphic into $phone: $(size_of "$tmp/out/ana.mp4")"
[ "$(luma "$tmp/out/ana.mp4" 0 20)" -ge 30 ] || fail "anamorphic into $phone: bars where none belong"
# A portrait phone picture stands upright: 540x720 in the middle.
[ "$(size_of "$tmp/out/phone.mp4")" = "1280x720 1:1" ] || fail "turned into $phone: $(size_of "$tmp/out/phone.mp4")"
[ "$(luma "$tmp/out/phone.mp4" 0 360)" -le 20 ] && [ "$(luma "$tmp/out/phone.mp4" 920 1279)" -le 20 ] || fail "turned into $phone: not pillarboxed as a portrait picture"
[ "$(luma "$tmp/out/phone.mp4" 380 900)" -ge 40 ] || fail "turned into $phone: the picture is missing"

run "MKV (H.264/AAC, source size)" "$tmp/odd.mkv" "$tmp/phone.mp4" "$tmp/ana.mkv"
[ "$(video_entry "$tmp/out/odd.mkv" width)x$(video_entry "$tmp/out/odd.mkv" height)" = 320x240 ] || fail "odd source size: $(size_of "$tmp/out/odd.mkv")"
[ "$(video_entry "$tmp/out/phone.mkv" width)x$(video_entry "$tmp/out/phone.mkv" height)" = 240x320 ] || fail "turned source size: $(size_of "$tmp/out/phone.mkv")"
[ "$(video_entry "$tmp/out/ana.mkv" display_aspect_ratio)" = 16:9 ] || fail "anamorphic source size: $(size_of "$tmp/out/ana.mkv")"

# Subtitles: text into each container's own format, none where it takes none.
printf '1\n00:00:00,200 --> 00:00:00,800\nHello\n' >"$tmp/subs.srt"
"$zconv" transcode -y -f lavfi -i "testsrc=duration=1:size=160x120:rate=25" -i "$tmp/subs.srt" -vcodec mpeg4 -scodec srt \
  "$tmp/subs.mkv" >"$tmp/run" 2>&1 || fail "cannot make subs.mkv"
for pair in "WebM (VP9/Opus, 1280x720):webm:webvtt" "$phone:mp4:mov_text" "MKV (H.264/AAC, source size):mkv:ass" \
            "Old player AVI (MPEG-4/MP3, 640x480):avi:"; do
  IFS=: read -r profile ext codec <<<"$pair"
  run "$profile" "$tmp/subs.mkv"
  got=$(ffprobe -v error -select_streams s -show_entries stream=codec_name -of csv=p=0 "$tmp/out/subs.$ext")
  [ "$got" = "$codec" ] || fail "subtitles into \"$profile\": \"$got\", expected \"$codec\""
done
grep -q "subs.mkv: its subtitles are left out: the avi container takes no text subtitles" "$log" \
  || fail "no log line for subtitles left out: $(grep -i subtit "$log")"
# The profiles for a 1080p TV, web upload, HEVC at source size and sound alone.
"$make_media" "$tmp/wide.mkv" --format matroska --size 640x360 --rate 30/1 --seconds 1 --vcodec libx264 --acodec aac \
  >/dev/null || fail "cannot make wide.mkv"
for pair in "TV 1080p MP4 (H.264/AAC):mp4:h264 1920x1080 30/1,aac 48000 2" \
            "Web upload 1080p MP4 (H.264/AAC):mp4:h264 1920x1080 30/1,aac 48000 2" \
            "HEVC MKV (x265/AAC, source size):mkv:hevc 640x360 30/1,aac 48000 2" \
            "Audio only M4A (AAC):m4a:aac 44100 2"; do
  IFS=: read -r profile ext expected <<<"$pair"
  run "$profile" "$tmp/wide.mkv"
  got=$(ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels \
    -of json "$tmp/out/wide.$ext" | python3 -c '
import json, sys
parts = []
for s in json.load(sys.stdin)["streams"]:
    if s["codec_type"] == "video":
        parts.append("%s %sx%s %s" % (s["codec_name"], s["width"], s["height"], s["avg_frame_rate"]))
    else:
        parts.append("%s %s %s" % (s["codec_name"], s["sample_rate"], s["channels"]))
print(",".join(parts))')
  [ "$got" = "$expected" ] || fail "\"$profile\": $got, expected $expected"
done
"$zconv" profiles | grep -q "Audio only M4A (AAC) *m4a *- *- *aac" || fail "the sound-only profile lists a video codec"

echo "profile fit: all checks passed"
