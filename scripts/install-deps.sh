#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, plus any named on
# the command line; does nothing when they are all present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libpcre2-dev
  libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev libavutil-dev
  libswscale-dev libswresample-dev
  qt6-base-dev qt6-translations-l10n xvfb xauth desktop-file-utils
  python3  # the command-line tests read --json with it
  ffmpeg  # ffprobe: the independent reader the tests judge outputs with
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
