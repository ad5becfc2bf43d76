#!/usr/bin/env bash
# Hostile inputs: a picture size that would need gigabytes, two pictures ten
# hours apart, absurd sound parameters, a playlist under a video's name, and
# streams that start late.
set -u
zconv=$1 make_media=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config" XDG_DOCUMENTS_DIR="$tmp/docs" HOME="$tmp"
. "$(dirname "$0")/media_check.sh"
cd "$tmp"

# A 320x256 raw-video MKV whose header is made to say 16000x16000.
"$zconv" transcode -y -f lavfi -i "testsrc=duration=0.2:size=320x256:rate=10" -vcodec rawvideo -pix_fmt yuv420p raw.mkv \
  >/dev/null 2>&1 || fail "raw video"
python3 - <<'PY' || fail "patching the size"
d = bytearray(open("raw.mkv", "rb").read())
for element in (bytes([0xB0, 0x82, 0x01, 0x40]), bytes([0xBA, 0x82, 0x01, 0x00])):  # PixelWidth 320, PixelHeight 256
    at = d.find(element)
    assert at > 0
    d[at + 2:at + 4] = bytes([0x3E, 0x80])  # 16000
open("bomb.mkv", "wb").write(d)
PY
/usr/bin/time -f "%M" -o mem "$zconv" convert --profile "MKV (H.264/AAC, source size)" --out out bomb.mkv >run 2>err; rc=$?
[ $rc -eq 1 ] || fail "a giant picture: exit $rc"
grep -q "bomb.mkv: failed: The pictures are 16000x16000: this converter takes pictures of at most 8192x8192" err \
  || fail "a giant picture: $(cat err)"
[ "$(tail -1 mem)" -lt 400000 ] || fail "a giant picture took $(tail -1 mem) KB"
"$zconv" transcode -y -i bomb.mkv -vcodec mpeg4 bomb-out.mkv >log 2>&1 && fail "a giant picture was decoded"
grep -q "exceeds specified max pixel count" log || fail "no pixel limit: $(tail -2 log)"

# Two pictures ten hours apart: the gap is jumped and said, not filled.
"$make_media" gap.mkv --format matroska --no-audio --seconds 0.08 --size 64x48 --gap 36000 --vcodec ffv1 >/dev/null \
  || fail "gap media"
timeout 60 "$zconv" transcode -y -i gap.mkv -vcodec libx264 -r 25 gap-out.mkv >log 2>&1 || fail "gap: $(tail -2 log)"
grep -q "a gap of 36000 s in the pictures is skipped, not filled" log || fail "gap not logged: $(tail -3 log)"
[ "$(stat -c %s gap-out.mkv)" -lt 100000 ] || fail "the gap was filled: $(stat -c %s gap-out.mkv) bytes"
[ "$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 gap-out.mkv)" -eq 2 ] \
  || fail "gap: not two pictures"

# Sound with 64 channels at 768 kHz: refused, and no file is left.
"$zconv" transcode -y -f lavfi -i "sine=duration=0.1:sample_rate=48000" -ac 2 -acodec pcm_s16le s.wav >/dev/null 2>&1
python3 - <<'PY' || fail "patching the sound"
import struct
d = bytearray(open("s.wav", "rb").read())
struct.pack_into("<HHIIHH", d, d.find(b"fmt ") + 8, 1, 64, 768000, 768000 * 128, 128, 16)
open("absurd.wav", "wb").write(d)
PY
"$zconv" transcode -y -i absurd.wav -acodec aac absurd.mp4 >log 2>&1 && fail "absurd sound converted"
[ ! -e absurd.mp4 ] || fail "a refused source left $(stat -c %s absurd.mp4) bytes"

# A playlist named like a video, naming a file elsewhere: refused, nothing read.
mkdir elsewhere && "$make_media" elsewhere/secret.mkv --format matroska --seconds 1 --size 64x48 >/dev/null
printf '#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:1.0,\n%s\n#EXT-X-ENDLIST\n' "$tmp/elsewhere/secret.mkv" >holiday.mp4
"$zconv" convert --out pl holiday.mp4 >run 2>err; rc=$?
[ $rc -eq 1 ] || fail "a disguised playlist: exit $rc"
grep -q "holiday.mp4: failed: this is a playlist" err || fail "a disguised playlist: $(cat err)"
[ -z "$(ls -A pl 2>/dev/null)" ] || fail "a disguised playlist left $(ls -A pl)"
cp holiday.mp4 list.m3u8
"$zconv" convert --out pl list.m3u8 >run 2>err || fail "a playlist by its name: $(cat err)"
# A playlist reads its segments from its own folder only.
mkdir lists && cp holiday.mp4 lists/away.m3u8
"$zconv" convert --out pl2 lists/away.m3u8 >run 2>err; rc=$?
[ $rc -eq 1 ] || fail "a playlist naming a file elsewhere: exit $rc"
grep -q "away.m3u8: failed: .*secret.mkv is outside the folder of the file that names it" err \
  || fail "a playlist naming a file elsewhere: $(cat err)"
[ -z "$(ls -A pl2 2>/dev/null)" ] || fail "a playlist naming a file elsewhere left $(ls -A pl2)"
# An FLV whose every tenth tag was moved later: times go backwards in both
# streams. Copied and encoded, the file converts whole and the mending is said.
"$zconv" transcode -y -f lavfi -i "testsrc=duration=2:size=160x120:rate=25" -f lavfi -i "sine=duration=2:sample_rate=44100" \
  -vcodec flv -acodec libmp3lame -ar 44100 t.flv >/dev/null 2>&1 || fail "flv"
python3 - <<'PY' || fail "moving tags"
import struct
d = open("t.flv", "rb").read()
start = struct.unpack(">I", d[5:9])[0] + 4
tags, pos = [], start
while pos + 11 <= len(d):
    end = pos + 11 + int.from_bytes(d[pos + 1:pos + 4], "big") + 4
    if end > len(d):
        break
    tags.append(d[pos:end])
    pos = end
for i in range(len(tags) - 20, 5, -10):
    tags.insert(i + 15, tags.pop(i))
open("moved.flv", "wb").write(d[:start] + b"".join(tags))
PY
for codecs in "-vcodec copy -acodec copy" "-vcodec mpeg4 -acodec aac"; do
  "$zconv" transcode -y -i moved.flv $codecs moved.mkv >log 2>&1 || fail "moved tags, $codecs: $(tail -2 log)"
  length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 moved.mkv)
  near "$length" 2.0 0.1 || fail "moved tags, $codecs: $length s of 2"
done
"$zconv" transcode -y -i moved.flv -vcodec copy -acodec copy moved.mkv >log 2>&1
grep -q "times that go backwards in the input are mended" log || fail "the mending is not said"

# Sound with a cover picture: the cover is left out (and said), the sound converts.
"$make_media" cover.mp3 --format mp3 --no-video --acodec libmp3lame --cover --seconds 1 >/dev/null || fail "cover media"
for profile in "Small screen MP4 (MPEG-4/AAC, 320x240)" "3GP phone (H.263/AAC, 176x144)"; do
  rm -rf covered
  "$zconv" convert --profile "$profile" --out covered cover.mp3 >run 2>err || fail "a cover with \"$profile\": $(cat err)"
  [ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 covered/cover.* | tr '\n' ' ')" = "audio " ] \
    || fail "a cover with \"$profile\": not sound only"
done
grep -q "cover.mp3: its cover picture is left out" "$tmp/config"/*/log.txt || fail "the cover is not said"

# A stream whose codec nobody knows is left out (and said); the sound converts.
"$make_media" known.mkv --format matroska --seconds 1 --size 64x48 >/dev/null || fail "media"
sed 's|V_MPEG4/ISO/ASP|V_ZZZZZ/ISO/ASP|' known.mkv >unknown.mkv
"$zconv" transcode -y -i unknown.mkv -vcodec mpeg4 -acodec aac unknown.mp4 >log 2>&1 || fail "unknown codec: $(tail -2 log)"
grep -q "Input stream #0:0 has no known codec and is left out" log || fail "unknown codec not said"
[ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 unknown.mp4 | tr '\n' ' ')" = "audio " ] \
  || fail "unknown codec: not the sound alone"

# A transport stream whose video program starts 1.4 s in (a second program
# table): the probe finds its picture size and the source-size profile keeps it.
"$make_media" sound.ts --format mpegts --no-video --seconds 1.4 >/dev/null || fail "late: sound part"
"$make_media" picture.ts --format mpegts --no-audio --size 176x144 --seconds 3 --start 1400000 \
  --mux mpegts_service_id=2 --mux mpegts_pmt_start_pid=0x1100 --mux mpegts_start_pid=0x200 >/dev/null \
  || fail "late: picture part"
cat sound.ts picture.ts >late.ts
"$zconv" probe --json late.ts >probe.json || fail "late: probe"
grep -q '"width": 176, "height": 144' probe.json || fail "late: the probe misses the picture: $(cat probe.json)"
"$zconv" convert --profile "MKV (H.264/AAC, source size)" --out out late.ts >run 2>err || fail "late: $(cat err)"
[ "$(video_entry out/late.mkv width),$(video_entry out/late.mkv height)" = "176,144" ] || fail "late: wrong size"

# A stream announced from the start whose first picture comes after the
# reader's window: a second, wider look finds its size.
"$make_media" slow.ts --format mpegts --size 176x144 --seconds 3 --audio-delay -3000000 >/dev/null || fail "slow media"
convert "slow start" -probesize 2000 -analyzeduration 100000 -i slow.ts -vcodec mpeg4 -acodec mp2 slow-out.ts
[ "$(video_entry slow-out.ts width)" = 176 ] || fail "slow start: wrong size"

# A video stream that is announced but never carries a picture: no size can
# be found, and the message says so instead of the encoder's riddle.
"$make_media" full.ts --format mpegts --size 176x144 --seconds 1 >/dev/null || fail "blind media"
python3 - <<'PY' || fail "removing the pictures"
d = open("full.ts", "rb").read()
keep = [d[i:i + 188] for i in range(0, len(d), 188) if ((d[i + 1] & 0x1F) << 8 | d[i + 2]) != 0x100]
open("blind.ts", "wb").write(b"".join(keep))
PY
"$zconv" transcode -y -i blind.ts -vcodec mpeg4 blind-out.mkv >log 2>&1 && fail "blind: converted"
grep -q "the picture size of its source could not be read from the file" log || fail "blind: $(tail -2 log)"

echo "hostile inputs: all checks passed"
