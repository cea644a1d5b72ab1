#!/usr/bin/env bash
# Measures pcmpack's speed in one run on this machine and prints the ratios:
#   1. every layer, fed in 1 MiB and in 4 KiB pieces, against memcpy of the
#      same bytes and against libavcodec's encoder of the same format
#      (bench/pcmpack_bench.cpp);
#   2. the whole tool: `pcmpack encode` of a 10-minute stereo 48 kHz WAV to
#      layer 10 against `ffmpeg -c:a s302m` on the same file, with hyperfine;
#   3. the containers: `pcmpack encode` to .ts and .m2ts (10-minute 8-channel
#      WAV) and to .vob (10-minute stereo WAV) against the elementary stream of
#      the same audio and against ffmpeg writing the same container, with
#      hyperfine, and the peak memory of each run.
# Installs what is missing, builds Release in build/bench.
#
#   scripts/bench.sh              both parts
#   scripts/bench.sh --no-tool    only the library benchmark
#   scripts/bench.sh --tool-only  only the whole-tool comparisons (2 and 3)
#   scripts/bench.sh --containers-only  only the container comparison (3)
#   BENCH_ARGS='--benchmark_filter=L10|s302m' scripts/bench.sh --no-tool
#                                 extra Google Benchmark flags
#
# Results land in build/bench/results/: the benchmark's console output and
# JSON, hyperfine's JSON and Markdown.
set -euo pipefail
cd "$(dirname "$0")/.."

run_library=1
run_tool=1
run_containers=1
case "${1:-}" in
  --no-tool) run_tool=0; run_containers=0 ;;
  --tool-only) run_library=0 ;;
  --containers-only) run_library=0; run_tool=0 ;;
  "") ;;
  *) echo "usage: $0 [--no-tool | --tool-only | --containers-only]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
packages=(cmake ninja-build g++ pkg-config libbenchmark-dev libavcodec-dev libavutil-dev
          hyperfine ffmpeg)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bench: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=build/bench
results=$build/results
mkdir -p "$results"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPCMPACK_BUILD_BENCH=ON \
  -DPCMPACK_BUILD_TESTS=OFF -DPCMPACK_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

echo "== machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

if ((run_library)); then
  echo "== library: every layer against memcpy and libavcodec"
  # Three repetitions; the summary uses each median.
  # shellcheck disable=SC2086
  "$build/bench/pcmpack_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_color=false \
    --benchmark_out="$results/pcmpack_bench.json" --benchmark_out_format=json ${BENCH_ARGS:-} \
    | tee "$results/pcmpack_bench.txt"
fi

if ((run_tool)); then
  echo "== tool: pcmpack encode against ffmpeg -c:a s302m, 10-minute stereo 48 kHz WAV"
  tool=$build/tools/pcmpack/pcmpack
  if [[ ! -x $tool ]]; then
    echo "bench: $tool was not built; skipping the tool comparison" >&2
    exit 0
  fi
  wav=$results/noise-10min-stereo-48k.wav
  if [[ ! -f $wav ]]; then
    # Two independent noise channels: nothing that a packer could take a
    # shortcut on.
    ffmpeg -hide_banner -v error -y \
      -f lavfi -i "anoisesrc=d=600:r=48000:a=0.5:seed=1" \
      -f lavfi -i "anoisesrc=d=600:r=48000:a=0.5:seed=2" \
      -filter_complex amerge=inputs=2 -c:a pcm_s16le "$wav"
  fi
  # Two pairs, each doing the same with its output. ffmpeg has no raw 302M
  # muxer: "-f null" encodes and discards, so pcmpack writes to /dev/null;
  # "-f mpegts" writes the transport stream that 302M lives in, so pcmpack
  # writes its stream file on the same disk. Outputs are removed before every
  # run, since replacing an existing file makes ext4 flush it at once. The
  # minimal host (bench/wav_to_302m.cpp) shows what the whole process costs
  # when nothing but the library touches the samples.
  out=$results/tool-out
  mkdir -p "$out"
  hyperfine -N --warmup 1 --runs 10 --prepare "rm -f $out/out.aes3 $out/out.ts" \
    --export-json "$results/tool_vs_ffmpeg.json" \
    --export-markdown "$results/tool_vs_ffmpeg.md" \
    -n "pcmpack encode -o /dev/null" \
    "$tool encode --layer 10 --frame-rate 25 -o /dev/null $wav" \
    -n "ffmpeg -c:a s302m -f null" \
    "ffmpeg -hide_banner -v error -y -i $wav -c:a s302m -strict -2 -f null -" \
    -n "pcmpack encode -o file" \
    "$tool encode --layer 10 --frame-rate 25 -o $out/out.aes3 $wav" \
    -n "ffmpeg -c:a s302m -f mpegts file" \
    "ffmpeg -hide_banner -v error -y -i $wav -c:a s302m -strict -2 -f mpegts $out/out.ts" \
    -n "minimal host -o /dev/null" \
    "$build/bench/pcmpack_wav_to_302m $wav /dev/null 3" \
    -n "minimal host -o file" \
    "$build/bench/pcmpack_wav_to_302m $wav $out/out.aes3 3"
  rm -rf "$out"
  if command -v python3 >/dev/null; then
    # hyperfine's summary compares means, which one slow first run can sway;
    # the medians are steadier.
    python3 - "$results/tool_vs_ffmpeg.json" <<'EOF'
import json, sys
runs = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
for tool, peer in (("pcmpack encode -o /dev/null", "ffmpeg -c:a s302m -f null"),
                   ("pcmpack encode -o file", "ffmpeg -c:a s302m -f mpegts file"),
                   ("minimal host -o /dev/null", "ffmpeg -c:a s302m -f null"),
                   ("minimal host -o file", "ffmpeg -c:a s302m -f mpegts file")):
    print(f"median: '{tool}' {runs[tool] * 1e3:.1f} ms, '{peer}' {runs[peer] * 1e3:.1f} ms:"
          f" {runs[peer] / runs[tool]:.2f}x as fast")
EOF
  fi
fi

if ((run_containers)); then
  echo "== containers: pcmpack encode to .ts, .m2ts and .vob against its elementary stream"
  echo "   and against ffmpeg writing the same container (10-minute WAVs)"
  tool=$build/tools/pcmpack/pcmpack
  stereo=$results/noise-10min-stereo-48k.wav
  eight=$results/noise-10min-8ch-48k.wav
  if [[ ! -f $stereo ]]; then
    ffmpeg -hide_banner -v error -y \
      -f lavfi -i "anoisesrc=d=600:r=48000:a=0.5:seed=1" \
      -f lavfi -i "anoisesrc=d=600:r=48000:a=0.5:seed=2" \
      -filter_complex amerge=inputs=2 -c:a pcm_s16le "$stereo"
  fi
  if [[ ! -f $eight ]]; then
    # Eight independent noise channels, 16-bit.
    inputs=()
    for seed in 1 2 3 4 5 6 7 8; do
      inputs+=(-f lavfi -i "anoisesrc=d=600:r=48000:a=0.5:seed=$seed")
    done
    ffmpeg -hide_banner -v error -y "${inputs[@]}" -filter_complex amerge=inputs=8 \
      -c:a pcm_s16le "$eight"
  fi
  out=$results/container-out
  mkdir -p "$out"
  ff="ffmpeg -hide_banner -v error -y"
  # HDMV: the eight channels packed as they are (3/4 and its padding slot),
  # no speaker reordering.
  hdmv="-t hdmv --hdmv-pad-last"
  # Outputs are removed before every run, as above.
  hyperfine -N --warmup 1 --runs 5 \
    --prepare "rm -f $out/out.es $out/out.ts $out/out.m2ts $out/out.vob" \
    --export-json "$results/containers.json" --export-markdown "$results/containers.md" \
    -n "302M es" "$tool encode --layer 10 --frame-rate 25 -o $out/out.es $eight" \
    -n "302M ts" "$tool encode --layer 10 --frame-rate 25 -o $out/out.ts $eight" \
    -n "ffmpeg 302M ts" "$ff -i $eight -c:a s302m -strict -2 -f mpegts $out/out.ts" \
    -n "HDMV es" "$tool encode $hdmv -o $out/out.es $eight" \
    -n "HDMV m2ts" "$tool encode $hdmv -o $out/out.m2ts $eight" \
    -n "ffmpeg HDMV m2ts" \
    "$ff -i $eight -c:a pcm_bluray -f mpegts -mpegts_m2ts_mode 1 $out/out.m2ts" \
    -n "DVD es" "$tool encode -t dvd -o $out/out.es $stereo" \
    -n "DVD vob" "$tool encode -t dvd -o $out/out.vob $stereo" \
    -n "ffmpeg DVD vob" "$ff -i $stereo -c:a pcm_dvd -f dvd $out/out.vob"
  # Peak memory of each container run, against the elementary stream's.
  memory=$results/containers-memory.txt
  : >"$memory"
  for run in "ts es --layer 10 --frame-rate 25 $eight" "m2ts es $hdmv $eight" \
             "vob es -t dvd $stereo"; do
    # shellcheck disable=SC2086
    set -- $run
    container=$1 reference=$2
    shift 2
    for extension in "$container" "$reference"; do
      /usr/bin/time -f "$container-$extension %M" -a -o "$memory" \
        "$tool" encode "$@" -o "$out/out.$extension"
      rm -f "$out/out.$extension"
    done
  done
  rm -rf "$out"
  python3 - "$results/containers.json" "$memory" <<'EOF'
import json, sys
runs = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
peaks = dict(line.split() for line in open(sys.argv[2]))
for layer, container in (("302M", "ts"), ("HDMV", "m2ts"), ("DVD", "vob")):
    es, ours = runs[f"{layer} es"], runs[f"{layer} {container}"]
    peer = runs[f"ffmpeg {layer} {container}"]
    print(f"median {layer}: es {es * 1e3:.0f} ms, {container} {ours * 1e3:.0f} ms"
          f" = {ours / es:.2f}x the es (target <= 1.5x); ffmpeg {peer * 1e3:.0f} ms"
          f" = {peer / ours:.2f}x ours (target >= 2x); peak memory {container}"
          f" {int(peaks[container + '-' + container]) // 1024} MiB,"
          f" es {int(peaks[container + '-es']) // 1024} MiB")
EOF
fi
