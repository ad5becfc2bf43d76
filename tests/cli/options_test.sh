#!/usr/bin/env bash
# Options given on zconv transcode's command line take effect, read back
# with ffprobe: options after the output belong to the stream they add, a
# frame limit counts what reaches the file, -sameq keeps the input's
# quantizer, -vstats writes into the current folder, warnings come once,
# and -join appends inputs without a gap.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/media_check.sh"
cd "$tmp" || exit 1

codecs() { ffprobe -v error -show_entries stream=codec_name,width -of csv=p=0 "$1" | sed "s/,$//" | tr "\\n" " "; }
packets() { ffprobe -v error -count_packets -select_streams "$2" -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }
lavfi=(-f lavfi -i "testsrc=duration=1:size=320x240:rate=25" -f lavfi -i "sine=duration=2")

convert "-newaudio" "${lavfi[@]}" -vcodec mpeg4 -acodec mp2 new-audio.mkv -acodec aac -newaudio
[ "$(codecs new-audio.mkv)" = "mpeg4,320 mp2 aac " ] || fail "-newaudio after the output: $(codecs new-audio.mkv)"
convert "-newvideo" "${lavfi[@]}" -vcodec mpeg4 new-video.mkv -vcodec libx264 -s 160x120 -newvideo
[ "$(codecs new-video.mkv)" = "mpeg4,320 vorbis h264,160 " ] || fail "-newvideo after the output: $(codecs new-video.mkv)"

for codec in aac mp2 libmp3lame; do
  convert "-aframes ($codec)" -f lavfi -i "sine=duration=2" -aframes 10 -acodec $codec "frames-$codec.mkv"
  [ "$(packets "frames-$codec.mkv" a:0)" = 10 ] || fail "-aframes 10 with $codec wrote $(packets "frames-$codec.mkv" a:0)"
done
convert "-vframes" "${lavfi[@]}" -vframes 7 -vcodec libx264 frames.mkv
[ "$(packets frames.mkv v:0)" = 7 ] || fail "-vframes 7 wrote $(packets frames.mkv v:0)"

# A constant rate ends where the input ends: 2 s at 25 fps make 30 pictures at 15 fps.
convert "-r 15" -f lavfi -i "testsrc=duration=2:size=160x120:rate=25" -r 15 -vcodec mpeg4 rate15.avi
[ "$(packets rate15.avi v:0)" = 30 ] || fail "-r 15 from 2 s at 25 fps: $(packets rate15.avi v:0) pictures"

# The input's quantizer 7 is kept picture by picture.
convert "source at q 7" -f lavfi -i "testsrc=duration=1:size=320x240:rate=25" -vcodec mpeg4 -qscale 7 q7.avi
convert "-sameq" -i q7.avi -vcodec mpeg4 -sameq -vstats sameq.avi
stats=$(ls vstats_*.log 2>/dev/null | head -1)
[ -n "$stats" ] || fail "-vstats wrote nothing into the current folder"
[ "$(awk '{ print $4 }' "$stats" | sort -u)" = "7.0" ] || fail "-sameq: quantizers $(awk '{ print $4 }' "$stats" | sort -u | tr '\n' ' ')"

convert "-L" -L "${lavfi[@]}" license.mkv
convert "too low a bit rate" "${lavfi[@]}" -an -vcodec mpeg4 -b 900 low.mkv
[ "$(grep -c "The bitrate parameter is set too low" "$tmp/log")" -eq 1 ] || fail "the warning is not printed exactly once"

# 5 s and 10 s joined: 15 s, 375 pictures, no gap at the seam.
"$make_media" five.mkv --format matroska --seconds 5 --size 160x120 || fail "media"
"$make_media" ten.mkv --format matroska --seconds 10 --size 160x120 || fail "media"
convert "-join" -i five.mkv -i ten.mkv -join -vcodec mpeg4 -acodec mp2 joined.mkv
read -r vs ve vn < <(streams joined.mkv | awk '$2 == "video" { print $3, $4, $5 }')
[ "$vn" = 375 ] || fail "-join: $vn pictures, expected 375"
near "$(awk -v a="$ve" -v b="$vs" 'BEGIN { print a - b }')" 15 0.001 || fail "-join: the pictures last $vs..$ve"
gaps=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 joined.mkv | sort -n |
  awk 'NR > 1 && $1 - last > 0.041 { n++ } { last = $1 } END { print n + 0 }')
[ "$gaps" = 0 ] || fail "-join: $gaps gaps between pictures"
"$zconv" --help 2>&1 | grep -q -- "-join" || fail "--help does not mention -join"
# Sound that runs past its pictures sets the seam: none of the next input's is lost.
"$zconv" transcode -y -f lavfi -i "testsrc=duration=2:size=160x120:rate=25" -f lavfi -i "sine=duration=4" \
  -vcodec mpeg4 -acodec mp2 long-sound.mkv >"$tmp/log" 2>&1 || fail "cannot make long-sound.mkv"
convert "-join, long sound" -i long-sound.mkv -i five.mkv -join -vcodec mpeg4 -acodec mp2 joined-sound.mkv
read -r as ae < <(streams joined-sound.mkv | awk '$2 == "audio" { print $3, $4 }')
near "$(awk -v a="$ae" -v b="$as" 'BEGIN { print a - b }')" 9 0.1 || fail "-join, long sound: the sound lasts $as..$ae, expected 9 s"
echo "options: all checks passed"
