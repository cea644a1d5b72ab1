#!/usr/bin/env bash
# The main job, on a fresh machine: set pcmpack up as scripts/setup.sh does
# (what is missing, the build, the tool installed on the PATH), make a test
# tone, pack it for the DVD, HDMV (Blu-ray) and XDCAM targets, and show what
# each stream holds; then write it into an MPEG transport stream and a BDAV
# one and show what ffprobe sees.
#   scripts/demo.sh [-y]       (build in build/release, files in build/release/out;
#                              -y as for scripts/setup.sh)
# PCMPACK_DEMO_BUILD=<dir> builds elsewhere; PCMPACK_PREFIX=<dir> installs elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${PCMPACK_DEMO_BUILD:-${PCMPACK_BUILD:-build/release}}
PCMPACK_BUILD=$build scripts/setup.sh "$@"

pcmpack=$build/tools/pcmpack/pcmpack
out=$build/out
mkdir -p "$out"
# A second run of the demo replaces the files of the first: -y says so.

run() {
  echo
  echo "\$ pcmpack $*"
  "$pcmpack" "$@"
}

echo
echo "== a 10-second stereo 48 kHz 16-bit tone, packed for three targets =="
run tone -o "$out/tone.wav" --seconds 10 --channels 2 --bits 16 --rate 48000 -y
run encode "$out/tone.wav" -o "$out/tone-dvd.lpcm" --target dvd -y
run encode "$out/tone.wav" -o "$out/tone-hdmv.lpcm" --target hdmv --index "$out/tone-hdmv.csv" -y
run encode "$out/tone.wav" -o "$out/tone-xdcam.aes3" --target xdcam --frame-rate 25 -y

echo
echo "== what each stream holds =="
run inspect "$out/tone-dvd.lpcm"
run inspect "$out/tone-hdmv.lpcm"
run inspect "$out/tone-xdcam.aes3"

echo
echo "== and back to WAV =="
run unpack "$out/tone-xdcam.aes3" -o "$out/tone-xdcam.wav" -y
echo
echo "== containers: 302M in an MPEG transport stream, HDMV in a BDAV (Blu-ray) one =="
run encode "$out/tone.wav" -o "$out/tone-302m.ts" --layer 10 --frame-rate 30000/1001 -y
run encode "$out/tone.wav" -o "$out/tone-hdmv.m2ts" --target hdmv -y
for file in "$out/tone-302m.ts" "$out/tone-hdmv.m2ts"; do
  echo
  echo "\$ ffprobe $file   (the audio stream, then the first five packets)"
  ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels \
    -of compact=p=0 "$file" | grep -v '^$' | uniq
  ffprobe -v error -select_streams a -show_entries packet=pts,pts_time,size -of compact=p=0 \
    -read_intervals "%+#5" "$file" | grep -v '^$'
done
run inspect "$out/tone-hdmv.m2ts"

echo
echo "Files are in $out. Every command: $pcmpack --help"
