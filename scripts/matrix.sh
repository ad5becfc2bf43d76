#!/usr/bin/env bash
# The conversion matrix: generated clips of many containers and codecs (odd
# sizes, anamorphic, turned, late sound, 5.1, two sound tracks, subtitles)
# converted by `zconv convert` through every shipped profile, each output
# judged by ffprobe: readable, as long as its input (within a picture), the
# input's display aspect (inside the bars of a fixed profile size), upright,
# and sound and picture starting as they did in the input (within a picture).
#   scripts/matrix.sh            the whole matrix (some minutes), a table at the end
#   scripts/matrix.sh --quick    six clips through every profile (the test run uses it)
# Exit status 0 when every cell passes.
set -uo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = --quick ] && quick=1
zconv=${ZCONV:-build/bin/zconv}
make_media=${MAKE_MEDIA:-build/tests/zc_make_media}
[ -x "$zconv" ] && [ -x "$make_media" ] || { scripts/install-deps.sh && scripts/build.sh; } || exit 1
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
. tests/cli/media_check.sh
mkdir -p "$tmp/clips"

seconds=2
picture=(-f lavfi -i "testsrc=duration=$seconds:size=320x240:rate=25")
sound() { echo "sine=frequency=440:duration=$seconds:sample_rate=${1:-44100}"; }
make() {  # name, zconv transcode arguments after the inputs...
  local name=$1; shift
  "$zconv" transcode -y "$@" "$tmp/clips/$name" >"$tmp/make.log" 2>&1 || { echo "cannot make $name: $(tail -2 "$tmp/make.log")"; exit 1; }
}
fixture() {  # name, zc_make_media arguments...
  local name=$1; shift
  "$make_media" "$tmp/clips/$name" "$@" --seconds $seconds >/dev/null 2>&1 || { echo "cannot make $name"; exit 1; }
}

fixture anamorphic.mkv --format matroska --size 720x576 --sar 64:45
fixture turned.mp4 --format mp4 --size 320x240 --rotate 90 --acodec aac
fixture late-sound.mkv --format matroska --size 320x240 --audio-delay 500000
make odd-size.mkv "${picture[@]}" -f lavfi -i "$(sound)" -vcodec ffv1 -s 321x241 -acodec pcm_s16le
make h264-bframes.mp4 "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec libx264 -bf 2 -acodec aac
printf '1\n00:00:00,200 --> 00:00:01,000\nHello\n' >"$tmp/subs.srt"
make subtitles.mkv "${picture[@]}" -f lavfi -i "$(sound)" -i "$tmp/subs.srt" -vcodec mpeg4 -acodec libvorbis -scodec srt
if [ $quick = 0 ]; then
  make surround.mkv "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec libx264 -acodec ac3 -ac 6
  make hevc.mkv "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec libx265 -preset ultrafast -acodec flac
  make vp8.webm "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec libvpx -deadline realtime -acodec libvorbis
  make vp9-mono.webm "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec libvpx-vp9 -deadline realtime -cpu-used 8 -acodec libopus -ac 1
  make mpeg2-interlaced.ts "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec mpeg2video -flags +ilme+ildct -top 1 -bf 2 -acodec mp2
  make mpeg2.mpg "${picture[@]}" -f lavfi -i "$(sound 48000)" -vcodec mpeg2video -bf 2 -acodec mp2 -f vob
  make mpeg4.avi "${picture[@]}" -f lavfi -i "$(sound)" -vcodec mpeg4 -acodec libmp3lame
  make pcm.mov "${picture[@]}" -f lavfi -i "$(sound)" -vcodec mpeg4 -acodec pcm_s16le
  make flv1.flv "${picture[@]}" -f lavfi -i "$(sound)" -vcodec flv -acodec libmp3lame
  make theora.ogg "${picture[@]}" -f lavfi -i "$(sound)" -vcodec libtheora -acodec libvorbis
  make wmv2.asf "${picture[@]}" -f lavfi -i "$(sound)" -vcodec wmv2 -acodec wmav2
  "$zconv" transcode -y "${picture[@]}" -f lavfi -i "$(sound)" -f lavfi -i "sine=frequency=880:duration=$seconds" \
    -vcodec mpeg4 -acodec libvorbis "$tmp/clips/two-sound.mkv" -acodec libvorbis -newaudio >"$tmp/make.log" 2>&1 ||
    { echo "cannot make two-sound.mkv: $(tail -2 "$tmp/make.log")"; exit 1; }
fi

# What a file shows: the first video stream's display aspect (upright), its
# start and length, and the first audio stream's start and length.
aspect_of() {  # file [crop-width crop-height]: width x pixel aspect / height, turned when a player turns it
  local w h sar rot
  w=${2:-$(video_entry "$1" width)}; h=${3:-$(video_entry "$1" height)}
  sar=$(video_entry "$1" sample_aspect_ratio)
  rot=$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0 "$1" | tr -d ,)
  awk -v w="$w" -v h="$h" -v s="$sar" -v r="${rot:-0}" 'BEGIN {
    n = 1; d = 1; if (s ~ /^[0-9]+:[0-9]+$/) { split(s, p, ":"); if (p[1] > 0 && p[2] > 0) { n = p[1]; d = p[2] } }
    a = w * n / d / h; if (r == 90 || r == -90 || r == 270 || r == -270) a = 1 / a; printf "%.4f", a }'
}
# The first sound stream as its decoder gives it out: "start end" (some
# decoders hold back their first frames, so packets tell less).
decoded_sound() {
  local rate
  rate=$(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of csv=p=0 "$1" | tr -d ,)
  ffprobe -v error -select_streams a:0 -show_entries frame=pts_time,nb_samples -of csv=p=0 "$1" |
    awk -F, -v r="$rate" '{ t = ($1 == "N/A") ? m : $1 + 0; e = t + $2 / r; if (!n++ || t < s) s = t; if (e > m) m = e }
      END { if (n) printf "%.3f %.3f\n", s, m }'
}
# The picture inside black bars: "width height" from the library's crop detector.
content_box() {
  ffmpeg -v info -i "$1" -vf "cropdetect=limit=24:round=2:reset=0" -frames:v 8 -f null - 2>&1 |
    grep -o 'crop=[0-9]*:[0-9]*' | tail -1 | sed 's/crop=//; s/:/ /'
}

profiles=()
while IFS= read -r line; do
  profiles+=("$(echo "$line" | sed 's/^[* ] *//; s/  *[^ ]*  *[^ ]*  *[^ ]*  *[^ ]*$//')")
done < <("$zconv" profiles)

pass=0 failures=0
: >"$tmp/table"
for profile in "${profiles[@]}"; do
  out="$tmp/out"
  rm -rf "$out"
  "$zconv" convert --profile "$profile" --jobs 2 --out "$out" "$tmp/clips" >"$tmp/run" 2>"$tmp/err"
  size=$("$zconv" profiles | grep -F "$profile" | awk '{ print $(NF - 1) }')
  # A sound-only profile lists "-" for its video codec and size.
  sound_only=0
  [ "$size" = - ] && sound_only=1
  for clip in "$tmp"/clips/*; do
    name=$(basename "$clip")
    result=$(ls "$out/${name%.*}".* 2>/dev/null | head -1)
    why=""
    if [ -z "$result" ]; then
      why="no output ($(grep -F "$name" "$tmp/err" | head -1 | sed 's/.*: //'))"
    elif ! streams "$result" >"$tmp/s" 2>/dev/null || [ ! -s "$tmp/s" ]; then
      why="not readable"
    elif [ $sound_only = 1 ]; then
      # The sound alone, as long as the input's.
      read -r ias iae < <(decoded_sound "$clip")
      read -r oas oae < <(awk '$2 == "audio" { print $3, $4; exit }' "$tmp/s")
      if grep -q " video " "$tmp/s"; then why="pictures in a sound-only file"
      elif [ -z "${oas:-}" ]; then why="sound lost"
      elif ! near "$(awk -v a="$oae" -v b="$oas" 'BEGIN { print a - b }')" "$(awk -v a="$iae" -v b="$ias" 'BEGIN { print a - b }')" 0.08; then
        why="sound lasts $(awk -v a="$oae" -v b="$oas" 'BEGIN { printf "%.3f", a - b }') s, input $(awk -v a="$iae" -v b="$ias" 'BEGIN { printf "%.3f", a - b }') s"
      fi
    else
      read -r ivs ive < <(streams "$clip" | awk '$2 == "video" { print $3, $4; exit }')
      read -r ias iae < <(decoded_sound "$clip")
      read -r ovs ove ovn < <(awk '$2 == "video" { print $3, $4, $5; exit }' "$tmp/s")
      read -r oas oae < <(awk '$2 == "audio" { print $3, $4; exit }' "$tmp/s")
      rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=avg_frame_rate -of csv=p=0 "$result" | tr -d ,)
      frame=$(awk -v r="$rate" 'BEGIN { split(r, p, "/"); f = (p[1] > 0 && p[2] > 0) ? p[2] / p[1] : 0.04; if (f < 0.04) f = 0.04; print f + 0.005 }')
      # AVI stores no times, only a chunk per picture slot (empty ones too): its length is its count.
      if [[ $result == *.avi ]]; then
        ove=$(awk -v s="$ovs" -v n="$ovn" -v r="$rate" 'BEGIN { split(r, p, "/"); print s + n * p[2] / p[1] }')
      fi
      in_aspect=$(aspect_of "$clip")
      if [ "$size" = auto ]; then
        out_aspect=$(aspect_of "$result")
      else
        read -r cw ch < <(content_box "$result")
        out_aspect=$(aspect_of "$result" "${cw:-1}" "${ch:-1}")
      fi
      if [ -z "${ovn:-}" ] || [ "$ovn" -eq 0 ]; then why="no pictures"
      elif ! near "$(awk -v a="$ove" -v b="$ovs" 'BEGIN { print a - b }')" "$(awk -v a="$ive" -v b="$ivs" 'BEGIN { print a - b }')" "$frame"; then
        why="pictures last $(awk -v a="$ove" -v b="$ovs" 'BEGIN { printf "%.3f", a - b }') s, input $(awk -v a="$ive" -v b="$ivs" 'BEGIN { printf "%.3f", a - b }') s"
      elif [ -n "${ias:-}" ] && [ -z "${oas:-}" ]; then why="sound lost"
      elif [ -n "${ias:-}" ] && ! near "$(awk -v a="$oae" -v b="$ovs" 'BEGIN { print a - b }')" "$(awk -v a="$iae" -v b="$ivs" 'BEGIN { print a - b }')" 0.08; then
        why="sound ends $(awk -v a="$oae" -v b="$ovs" 'BEGIN { printf "%.3f", a - b }') s after the pictures start, input $(awk -v a="$iae" -v b="$ivs" 'BEGIN { printf "%.3f", a - b }') s"
      # Where it starts: as in the input, or (containers that store no start
      # time) with the pictures, lined up by silence.
      elif [ -n "${ias:-}" ] && ! near "$(awk -v a="$oas" -v b="$ovs" 'BEGIN { print a - b }')" "$(awk -v a="$ias" -v b="$ivs" 'BEGIN { print a - b }')" "$frame" &&
           ! { [[ $result == *.avi ]] && near "$oas" "$ovs" "$frame"; }; then
        why="sound starts $(awk -v a="$oas" -v b="$ovs" 'BEGIN { printf "%+.3f", a - b }') s from the pictures, input $(awk -v a="$ias" -v b="$ivs" 'BEGIN { printf "%+.3f", a - b }') s"
      elif ! awk -v a="$out_aspect" -v b="$in_aspect" 'BEGIN { exit !(a / b > 0.97 && a / b < 1.03) }'; then
        why="display aspect $out_aspect, input $in_aspect"
      fi
    fi
    if [ -z "$why" ]; then
      pass=$((pass + 1)); cell=ok
    else
      failures=$((failures + 1)); cell="FAIL: $why"
    fi
    printf "%-24s %-40s %s\n" "$name" "$profile" "$cell" >>"$tmp/table"
  done
done
if [ $quick = 0 ] || [ $failures -gt 0 ]; then cat "$tmp/table"; fi
echo "matrix: $pass passed, $failures failed ($(ls "$tmp/clips" | wc -l) clips x ${#profiles[@]} profiles)"
[ $failures -eq 0 ]
