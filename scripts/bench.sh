#!/usr/bin/env bash
# The converter's benchmark (not a test): each row measures the same work side
# by side in one run, whole-process wall time and peak memory, median of RUNS
# (default 3) pairs, against Debian's ffmpeg with the same settings and its
# default threads. Prints a table with the machine's core count.
#   scripts/bench.sh [RUNS]
#   scripts/bench.sh --engine [SECONDS] [RUNS]   only the engine against the plain library loop
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
if [ "${1:-}" = --engine ]; then
  build/bin/engine_bench "${2:-10}" "${3:-3}"
  exit
fi
runs=${1:-3}
zconv=$PWD/build/bin/zconv
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
cd "$tmp"

profile="Phone MP4 (H.264/AAC, 1280x720)"
# ffmpeg converting each file in turn with the default profile's settings.
cat >ffmpeg_each <<'SH'
#!/usr/bin/env bash
for f in "$@"; do
  ffmpeg -v error -y -i "$f" -c:v libx264 -b:v 2500k -r 30 -s 1280x720 -c:a aac -b:a 128k -ar 48000 -ac 2 \
    "out/$(basename "$f")" || exit 1
done
SH
chmod +x ffmpeg_each

"$zconv" transcode -y -f lavfi -i "testsrc2=duration=10:size=1280x720:rate=30" \
  -f lavfi -i "sine=frequency=440:duration=10:sample_rate=48000" -vcodec libx264 -b 4000k -acodec aac -ac 2 clip.mp4 \
  >/dev/null 2>&1
mkdir -p eight
for i in 1 2 3 4 5 6 7 8; do cp clip.mp4 eight/clip$i.mp4; done

# measure NAME COMMAND...: appends "seconds kilobytes" of one run to NAME.times.
measure() {
  local name=$1; shift
  rm -rf out; mkdir out
  /usr/bin/time -f "%e %M" -o "$name.one" "$@" >/dev/null 2>&1 || { echo "$name failed"; exit 1; }
  cat "$name.one" >>"$name.times"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds() { cut -d' ' -f1 "$1.times" | median; }
megabytes() { cut -d' ' -f2 "$1.times" | median | awk '{ printf "%.0f", $1 / 1024 }'; }

for run in $(seq 1 "$runs"); do
  measure one_zconv "$zconv" convert --profile "$profile" --out out clip.mp4
  measure one_ffmpeg ./ffmpeg_each clip.mp4
  measure eight_zconv "$zconv" convert --profile "$profile" --out out eight
  measure eight_ffmpeg ./ffmpeg_each eight/clip*.mp4
  measure eight_old "$zconv" convert --profile "$profile" --jobs 8 --out out eight
done

# 200 rows of short 720p clips: memory grows with the files at once, not the rows.
mkdir -p many
"$zconv" transcode -y -f lavfi -i "testsrc2=duration=1:size=1280x720:rate=30" \
  -f lavfi -i "sine=duration=1:sample_rate=48000" -vcodec libx264 -acodec aac short.mp4 >/dev/null 2>&1
for i in $(seq -w 1 200); do cp short.mp4 many/clip$i.mp4; done
measure rows200 "$zconv" convert --profile "$profile" --out out many
measure rows1 "$zconv" convert --profile "$profile" --jobs 1 --out out short.mp4
cd - >/dev/null
tiny=$(scripts/many_files.sh 1000 | tail -1)
engine=$(build/bin/engine_bench 10 "$runs" | tail -1)

cores=$(nproc)
jobs=$cores; [ "$jobs" -gt 16 ] && jobs=16
cd "$tmp"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf 'cores: %s, files at once (automatic): %s, median of %s\n\n' "$cores" "$jobs" "$runs"
printf '%-58s %10s %10s %8s %s\n' "work" "zconv" "ffmpeg" "ratio" "goal"
printf '%-58s %9ss %9ss %8s %s\n' "1. one 10 s 720p clip, default profile (wall)" "$(seconds one_zconv)" "$(seconds one_ffmpeg)" \
  "$(ratio "$(seconds one_zconv)" "$(seconds one_ffmpeg)")" "zconv/ffmpeg <= 1.05"
printf '%-58s %9ss %9ss %8s %s\n' "2. eight clips, defaults vs ffmpeg one after another" "$(seconds eight_zconv)" "$(seconds eight_ffmpeg)" \
  "$(ratio "$(seconds eight_ffmpeg)" "$(seconds eight_zconv)")" "throughput zconv/ffmpeg >= 1.10"
printf '%-58s %9ss %9ss %8s %s\n' "3. eight clips, old way (all at once, one thread each)" "$(seconds eight_old)" "$(seconds eight_ffmpeg)" \
  "$(ratio "$(seconds eight_ffmpeg)" "$(seconds eight_old)")" "(for comparison)"
printf '%-58s %8sMB %8sMB\n' "   peak memory: one clip (zconv, ffmpeg)" "$(megabytes one_zconv)" "$(megabytes one_ffmpeg)"
printf '%-58s %8sMB %8sMB\n' "   peak memory: eight clips (zconv, ffmpeg)" "$(megabytes eight_zconv)" "$(megabytes eight_ffmpeg)"
printf '%-58s %8sMB\n' "   peak memory: eight clips, old way" "$(megabytes eight_old)"
limit=$(( jobs * $(megabytes rows1) + 100 ))
printf '%-58s %8sMB %10s %8s %s\n' "4. 200 rows of 1 s 720p clips: peak memory" "$(megabytes rows200)" "" "" \
  "<= $jobs x $(megabytes rows1) MB + 100 MB = $limit MB"
printf '%-58s %s (goal: peak <= 150 MB)\n' "5. 1,000 tiny rows:" "$tiny"
printf '%-58s %s (goal <= 1.05)\n' "6. engine vs the plain library loop:" "$engine"
