#!/usr/bin/env bash
# Screenshots of the window under a virtual X server with a window manager
# (not a test): at its minimum size, maximised on a 1920x1080 screen with 12
# rows, maximised with QT_SCALE_FACTOR=2, and maximised in Japanese.
#   scripts/screenshots.sh [OUTDIR]     (default ./screenshots)
# Needs a built tree (scripts/build.sh); installs Xvfb, openbox, wmctrl and
# ImageMagick's import when they are missing. Runs in a throw-away home.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
zconverter=$(realpath build/bin/zconverter)
make_media=$(realpath build/tests/zc_make_media)
[ -x "$zconverter" ] && [ -x "$make_media" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
missing=()
for tool in Xvfb:xvfb openbox:openbox wmctrl:wmctrl import:imagemagick; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq && $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

tmp=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT
mkdir -p "$out" "$tmp/clips"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_DOCUMENTS_DIR=$tmp/docs XDG_RUNTIME_DIR=$tmp/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
config=$XDG_CONFIG_HOME/ZconvVideoConverter/config.ini
mkdir -p "$(dirname "$config")"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
sleep 1
openbox >/dev/null 2>&1 & pids+=($!)
sleep 1

# Twelve rows of different names, sizes and lengths.
sizes=(1920x1080 1280x720 640x480 320x240 720x576 1080x1920 854x480 176x144 1440x1080 960x540 400x300 1024x768)
clips=()
for i in "${!sizes[@]}"; do
  name=$(printf 'clip %02d — holiday %s.mkv' "$((i + 1))" "${sizes[$i]}")
  "$make_media" "$tmp/clips/$name" --format matroska --size "${sizes[$i]}" --seconds 0.4 --rate 25/1 >/dev/null
  clips+=("$tmp/clips/$name")
done

# shot NAME LANGUAGE SCALE MAXIMISE ROWS: starts the window, waits, captures the screen, ends it.
shot() {
  local name=$1 language=$2 scale=$3 maximise=$4 rows=$5
  printf '[setting]\ndisplayHelpDialog=0\n[common]\nlanguage=%s\n' "$language" >"$config"
  local files=()
  [ "$rows" -gt 0 ] && files=("${clips[@]:0:$rows}")
  QT_SCALE_FACTOR=$scale "$zconverter" "${files[@]}" >"$tmp/$name.log" 2>&1 &
  local pid=$!
  for _ in $(seq 50); do wmctrl -l | grep -q . && break; sleep 0.2; done
  sleep 2
  if [ "$maximise" = max ]; then
    wmctrl -r :ACTIVE: -b add,maximized_vert,maximized_horz
  else
    # Asked to be tiny: the window stops at its minimum size.
    wmctrl -r :ACTIVE: -e 0,40,40,100,100
  fi
  sleep 2
  import -window root "$out/$name.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "$out/$name.png"
}

shot minimum 2 1 min 3
shot maximised-12-rows 2 1 max 12
shot scale-2 2 2 max 12
shot japanese 3 1 max 12
