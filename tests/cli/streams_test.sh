#!/usr/bin/env bash
# Subtitle and data tracks, read back with ffprobe: text subtitles convert
# between formats and show for their time, copies keep their timing, a
# timecode track is copied; DV takes 44.1 kHz sound from Matroska; a task
# that fails before its output is readable leaves no file.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/media_check.sh"

# Subtitle packets as "start,duration" lines.
cues() { ffprobe -v error -select_streams s:0 -show_entries packet=pts_time,duration_time -of csv=p=0 "$1"; }

printf '1\n00:00:00,500 --> 00:00:01,500\nHello\n\n2\n00:00:02,000 --> 00:00:03,250\nAgain\n' >"$tmp/subs.srt"
picture=(-f lavfi -i "testsrc=duration=4:size=160x120:rate=25")
expected=$'0.500000,1.000000\n2.000000,1.250000'

convert "SRT into Matroska" "${picture[@]}" -i "$tmp/subs.srt" -vcodec mpeg4 -scodec srt "$tmp/srt.mkv"
[ "$(cues "$tmp/srt.mkv")" = "$expected" ] || fail "SRT into Matroska: $(cues "$tmp/srt.mkv" | tr '\n' ' ')"
convert "default (ASS) into Matroska" "${picture[@]}" -i "$tmp/subs.srt" -vcodec mpeg4 "$tmp/ass.mkv"
[ "$(ffprobe -v error -select_streams s:0 -show_entries stream=codec_name -of csv=p=0 "$tmp/ass.mkv")" = ass ] || fail "no ASS track"
[ "$(cues "$tmp/ass.mkv")" = "$expected" ] || fail "ASS into Matroska: $(cues "$tmp/ass.mkv" | tr '\n' ' ')"
convert "mov_text into MP4" "${picture[@]}" -i "$tmp/subs.srt" -vcodec mpeg4 -scodec mov_text "$tmp/text.mp4"
# MP4 text tracks fill the gaps with empty samples.
cues "$tmp/text.mp4" | grep -qx "0.500000,1.000000" && cues "$tmp/text.mp4" | grep -qx "2.000000,1.250000" \
  || fail "mov_text into MP4: $(cues "$tmp/text.mp4" | tr '\n' ' ')"
convert "WebVTT into WebM" "${picture[@]}" -i "$tmp/subs.srt" -vcodec libvpx -deadline realtime -scodec webvtt "$tmp/vtt.webm"
[ "$(cues "$tmp/vtt.webm")" = "$expected" ] || fail "WebVTT into WebM: $(cues "$tmp/vtt.webm" | tr '\n' ' ')"

convert "SRT copied" -i "$tmp/srt.mkv" -vcodec copy -scodec copy "$tmp/srt-copy.mkv"
[ "$(cues "$tmp/srt-copy.mkv")" = "$expected" ] || fail "SRT copied: $(cues "$tmp/srt-copy.mkv" | tr '\n' ' ')"
convert "mov_text copied" -i "$tmp/text.mp4" -vcodec copy -scodec copy "$tmp/text-copy.mp4"
[ "$(cues "$tmp/text-copy.mp4")" = "$(cues "$tmp/text.mp4")" ] || fail "mov_text copied: $(cues "$tmp/text-copy.mp4" | tr '\n' ' ')"

# A timecode track (tmcd in MOV) copied with the picture.
convert "timecode source" "${picture[@]}" -vcodec mpeg4 -metadata timecode=01:00:00:00 "$tmp/tc.mov"
convert "timecode copied" -i "$tmp/tc.mov" -vcodec copy -dcodec copy "$tmp/tc-copy.mov"
[ "$(ffprobe -v error -select_streams d:0 -show_entries stream=codec_tag_string:stream_tags=timecode -of csv=p=0 "$tmp/tc-copy.mov")" = "tmcd,01:00:00:00" ] \
  || fail "timecode copied: $(ffprobe -v error -show_entries stream=codec_type,codec_tag_string -of csv=p=0 "$tmp/tc-copy.mov" | tr '\n' ' ')"

# DV from Matroska with 44.1 kHz sound (millisecond times).
"$make_media" "$tmp/clip.mkv" --format matroska --size 320x240 --seconds 2 || fail "cannot make clip.mkv"
convert "DV" -i "$tmp/clip.mkv" -target pal-dv "$tmp/clip.dv"
read -r vs ve vn < <(streams "$tmp/clip.dv" | awk '$2 == "video" { print $3, $4, $5 }')
[ "$vn" -eq 50 ] || fail "DV: $vn pictures, expected 50"

# A header the muxer refuses (VP8 in MP4): no file is left, not even an
# older one the task had already opened for writing.
echo "an older file" >"$tmp/refused.mp4"
"$zconv" transcode -y "${picture[@]}" -vcodec libvpx "$tmp/refused.mp4" >"$tmp/log" 2>&1 && fail "VP8 in MP4 was accepted"
[ -e "$tmp/refused.mp4" ] && fail "a refused header left a file: $(stat -c %s "$tmp/refused.mp4") bytes"
echo "streams: all checks passed"
