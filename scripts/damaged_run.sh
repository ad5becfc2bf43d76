#!/usr/bin/env bash
# A damaged-media run (not a test): clips of 13 containers are generated,
# each damaged COUNT ways (default 20: bit flips, truncation, a zeroed run,
# a repeated run), and converted by `zconv convert` with the small MP4
# profile. Reports per container the files tried, converted, failed with a
# message, crashed (a signal or a sanitizer report) and hung (over 60 s),
# how many of the failures Debian's ffmpeg converts, and how many converted
# files lost a kind of stream (video, audio) that ffmpeg's output keeps.
# Inputs that crashed or hung are kept with their messages in $KEEP
# (default /tmp/damaged-run-kept). Use the AddressSanitizer build for the
# crash column to mean something:
#   ZCONV=build-asan/bin/zconv scripts/damaged_run.sh [COUNT]
set -uo pipefail
cd "$(dirname "$0")/.."
count=${1:-20}
zconv=$(realpath "${ZCONV:-build/bin/zconv}")
keep=${KEEP:-/tmp/damaged-run-kept}
mkdir -p "$keep"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
cd "$tmp"
picture=(-f lavfi -i "testsrc=duration=1:size=160x120:rate=25")
sound=(-f lavfi -i "sine=frequency=440:duration=1:sample_rate=44100")
make() {  # name, then zconv transcode arguments after the inputs
  local name=$1; shift
  "$zconv" transcode -y "$@" "clean/$name" >/dev/null 2>&1 || echo "cannot make $name" >&2
}
mkdir clean damaged out
make clip.flv "${picture[@]}" "${sound[@]}" -vcodec flv -acodec libmp3lame
make clip.ogg "${picture[@]}" "${sound[@]}" -vcodec libtheora -acodec libvorbis
make clip.webm "${picture[@]}" "${sound[@]}" -vcodec libvpx -acodec libvorbis
make clip.mov "${picture[@]}" "${sound[@]}" -vcodec mpeg4 -acodec aac
make clip.mpg "${picture[@]}" "${sound[@]}" -vcodec mpeg2video -acodec mp2
make clip.ts "${picture[@]}" "${sound[@]}" -vcodec mpeg2video -acodec mp2
make clip.asf "${picture[@]}" "${sound[@]}" -vcodec wmv2 -acodec wmav2
make clip.nut "${picture[@]}" "${sound[@]}" -vcodec mpeg4 -acodec mp2
make clip.mkv "${picture[@]}" "${sound[@]}" -vcodec libx264 -acodec aac
make clip.mp4 "${picture[@]}" "${sound[@]}" -vcodec libx264 -acodec aac
make clip.wav "${sound[@]}" -acodec pcm_s16le
make clip.mp3 "${sound[@]}" -acodec libmp3lame
make clip.flac "${sound[@]}" -acodec flac

python3 - "$count" <<'PY'
import os, random, sys
count = int(sys.argv[1])
for name in sorted(os.listdir("clean")):
    data = open("clean/" + name, "rb").read()
    stem, ext = os.path.splitext(name)
    for i in range(count):
        rnd = random.Random(f"{name}-{i}")
        d = bytearray(data)
        kind = i % 4
        if kind == 0:    # bit flips past the first bytes
            for _ in range(rnd.randint(1, 40)):
                at = rnd.randrange(min(64, len(d) - 1), len(d))
                d[at] ^= 1 << rnd.randrange(8)
        elif kind == 1:  # cut short
            d = d[:rnd.randrange(len(d) // 10, len(d))]
        elif kind == 2:  # a run of zeros
            at = rnd.randrange(len(d)); n = rnd.randint(16, 4096)
            d[at:at + n] = bytes(min(n, len(d) - at))
        else:            # a run repeated further on
            at = rnd.randrange(len(d) // 2); n = rnd.randint(64, 8192)
            piece = d[at:at + n]; to = rnd.randrange(at, len(d))
            d[to:to] = piece
        open(f"damaged/{stem}-{i:03d}{ext}", "wb").write(d)
PY

# The kinds of stream with at least one packet in a file, e.g. "audio,video".
kinds() {
  ffprobe -v error -count_packets -show_entries stream=codec_type,nb_read_packets -of csv=p=0 "$1" 2>/dev/null |
    awk -F, '$2 > 0 { print $1 }' | sort -u | paste -sd, -
}
# ffmpeg's conversion of the same file with the same settings, into out/ff.mp4.
ffmpeg_convert() { ffmpeg -v error -y -i "$1" -c:v mpeg4 -s 320x240 -c:a aac out/ff.mp4 >/dev/null 2>&1; }

printf '%-9s %6s %10s %7s %8s %5s %24s %12s\n' container tried converted failed crashed hung "failures ffmpeg converts" "stream lost"
total_crash=0 total_hang=0
for clean in clean/*; do
  ext=${clean##*.}
  tried=0 converted=0 failed=0 crashed=0 hung=0 ffmpeg_ok=0 lost=0
  for f in damaged/*."$ext"; do
    tried=$((tried + 1))
    rm -rf out/*
    timeout 60 "$zconv" convert --profile "Small screen MP4 (MPEG-4/AAC, 320x240)" --out out "$f" >run 2>err; rc=$?
    if grep -q "Sanitizer" err || [ $rc -gt 128 ] && [ $rc -ne 124 ]; then
      crashed=$((crashed + 1)); cp "$f" "$keep/"; cp err "$keep/$(basename "$f").err"
      echo "crash: $f (exit $rc), kept in $keep" >&2
    elif [ $rc -eq 124 ]; then
      hung=$((hung + 1)); cp "$f" "$keep/"; echo "hang: $f, kept in $keep" >&2
    elif [ $rc -eq 0 ]; then
      converted=$((converted + 1))
      ours=$(kinds "out/$(basename "${f%.*}").mp4")
      # A kind of stream ffmpeg's output holds and ours does not.
      if ffmpeg_convert "$f" &&
         [ -n "$(comm -23 <(kinds out/ff.mp4 | tr , '\n') <(tr , '\n' <<<"$ours"))" ]; then
        lost=$((lost + 1)); echo "converted, but holds \"$ours\" where ffmpeg keeps $(kinds out/ff.mp4): $f" >&2
      fi
    else
      failed=$((failed + 1))
      grep -q ": failed: ." err || echo "failed without a reason: $f" >&2
      # It counts when ffmpeg's output holds at least one packet.
      if ffmpeg_convert "$f" && [ -n "$(kinds out/ff.mp4)" ]; then
        ffmpeg_ok=$((ffmpeg_ok + 1)); echo "ffmpeg converts what failed: $f: $(grep ': failed: ' err | head -1)" >&2
      fi
    fi
  done
  total_crash=$((total_crash + crashed)) total_hang=$((total_hang + hung))
  printf '%-9s %6d %10d %7d %8d %5d %24d %12d\n' "$ext" $tried $converted $failed $crashed $hung $ffmpeg_ok $lost
done
[ $total_crash -eq 0 ] && [ $total_hang -eq 0 ]
