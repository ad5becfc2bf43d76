# Shared by the shell tests that judge outputs: an independent reader
# (ffprobe) tells what a file holds. Source it; it needs $tmp.

command -v ffprobe >/dev/null || { echo "FAIL: ffprobe is missing (scripts/install-deps.sh installs it)"; exit 1; }

fail() { echo "FAIL: $*"; exit 1; }

# convert WHAT ARGS...: zconv transcode -y ARGS, or a failure naming WHAT
# (needs $zconv); the messages are in $tmp/log.
convert() {
  local what=$1; shift
  "$zconv" transcode -y "$@" >"$tmp/log" 2>&1 || fail "$what: $(tail -3 "$tmp/log")"
}

# One line per stream: index type start end packets first-packet-flags
# (start: the earliest shown time; end: the latest shown time plus duration).
streams() {
  ffprobe -v error -show_entries stream=index,codec_type -of csv=p=0 "$1" >"$tmp/.st" || return 1
  ffprobe -v error -show_entries packet=stream_index,pts_time,dts_time,duration_time,flags -of csv=p=0 "$1" >"$tmp/.pk" || return 1
  awk -F, 'NR == FNR { if ($2 != "") type[$1] = $2; next }
    { s = $1; t = ($2 == "N/A") ? $3 : $2; if (t == "N/A") next; t += 0; d = ($4 == "N/A") ? 0 : $4 + 0
      if (!(s in n)) { first[s] = t; flag[s] = $5; last[s] = t + d }
      n[s]++; if (t < first[s]) first[s] = t; if (t + d > last[s]) last[s] = t + d }
    END { for (s in type) printf "%s %s %.3f %.3f %d %s\n", s, type[s], (s in n) ? first[s] : -1, (s in n) ? last[s] : -1, n[s] + 0, flag[s] }' \
    "$tmp/.st" "$tmp/.pk" | sort -n
}

# field NAME TYPE: the field (start, end, packets, flags) of the first stream of TYPE.
field() {
  local col
  case $2 in start) col=3 ;; end) col=4 ;; packets) col=5 ;; flags) col=6 ;; esac
  streams "$1" | awk -v t="$3" -v c="$col" '$2 == t { print $c; exit }'
}

# near A B TOLERANCE: |A - B| <= TOLERANCE
near() { awk -v a="$1" -v b="$2" -v e="$3" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(d <= e) }'; }

# Times of the key frames of the first video stream, one per line.
key_times() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0 "$1" |
    awk -F, '$2 ~ /^K/ && $1 != "N/A" { print $1 + 0 }' | sort -n
}

# A display entry of the first video stream: width, height, sample_aspect_ratio, display_aspect_ratio ...
video_entry() {
  ffprobe -v error -select_streams v:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1" | head -1
}
