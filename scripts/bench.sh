#!/usr/bin/env bash
# Measures pcmpack's speed in one run on this machine and prints the ratios:
#   1. every layer, fed in 1 MiB and in 4 KiB pieces, against memcpy of the
#      same bytes and against libavcodec's encoder of the same format, and
#      its frames put in a host's packet buffers with and without the
#      host-buffer path (copied from the bufstream, or packed into lent
#      memory) (bench/pcmpack_bench.cpp);
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
#   scripts/bench.sh --streaming-only   only the memory, system call and
#                                 speed targets of every subcommand (4) and the
#                                 2-hour 8-channel 24-bit round trip (5: 8.3 GB
#                                 files, about 25 GB of scratch disk at once)
#   scripts/bench.sh --live       only the live sender's timing on loopback:
#                                 how closely arrival follows the clock
#                                 references (peak to peak, 96%), the bit rate
#                                 per second of arrival, and how soon a frame
#                                 piped in live leaves (tests/live/live_test.py's
#                                 timing cases, about 25 s; run it on a quiet
#                                 machine: the tests assert only what a busy
#                                 one keeps, these figures are what it moves);
#                                 then each ST 2110-30 stream's processor time
#                                 and packet departures against schedule (p50,
#                                 p99, p99.9, max), 2 and 8 channels, 1 ms and
#                                 125 us, as the machine is and with both cores
#                                 busy (scripts/st2110_bench.py, about 50 s)
#   BENCH_ARGS='--benchmark_filter=L10|s302m' scripts/bench.sh --no-tool
#                                 extra Google Benchmark flags
#   BENCH_BASELINE_TOOL=/path/to/old/pcmpack scripts/bench.sh --streaming-only
#                                 also times an earlier build of the tool in the
#                                 same hyperfine run, and prints each
#                                 subcommand's time against it
#
# Results land in build/bench/results/: the benchmark's console output and
# JSON, hyperfine's JSON and Markdown.
set -euo pipefail
cd "$(dirname "$0")/.."

run_library=1
run_tool=1
run_containers=1
run_streaming=1
run_live=0
case "${1:-}" in
  --no-tool) run_tool=0; run_containers=0; run_streaming=0 ;;
  --tool-only) run_library=0 ;;
  --containers-only) run_library=0; run_tool=0; run_streaming=0 ;;
  --streaming-only) run_library=0; run_tool=0; run_containers=0 ;;
  --live) run_library=0; run_tool=0; run_containers=0; run_streaming=0; run_live=1 ;;
  "") ;;
  *) echo "usage: $0 [--no-tool | --tool-only | --containers-only | --streaming-only | --live]" >&2
     exit 2 ;;
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

# A 48 kHz WAV of independent noise channels (nothing a packer could take a
# shortcut on), made once: noise_wav FILE CHANNELS SECONDS CODEC.
noise_wav() {
  [[ -f $1 ]] && return
  local inputs=() seed
  for ((seed = 1; seed <= $2; seed++)); do
    inputs+=(-f lavfi -i "anoisesrc=d=$3:r=48000:a=0.5:seed=$seed")
  done
  ffmpeg -hide_banner -v error -y "${inputs[@]}" -filter_complex "amerge=inputs=$2" -c:a "$4" "$1"
}
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
  noise_wav "$wav" 2 600 pcm_s16le
  # Two pairs, each doing the same with its output. ffmpeg has no raw 302M
  # muxer: "-f null" encodes and discards, so pcmpack writes to /dev/null;
  # "-f mpegts" writes the transport stream that 302M lives in, so pcmpack
  # writes its stream file on the same disk. Outputs are removed before every
  # run, since replacing an existing file makes ext4 flush it at once. The
  # minimal host (bench/wav_to_302m.cpp) shows what the whole process costs
  # when nothing but the library touches the samples. -y in case a warm-up
  # left an output.
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
    "$tool encode -y --layer 10 --frame-rate 25 -o $out/out.aes3 $wav" \
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
  noise_wav "$stereo" 2 600 pcm_s16le
  noise_wav "$eight" 8 600 pcm_s16le
  out=$results/container-out
  mkdir -p "$out"
  ff="ffmpeg -hide_banner -v error -y"
  # HDMV: the eight channels packed as they are (3/4 and its padding slot),
  # no speaker reordering.
  hdmv="-t hdmv --hdmv-pad-last --channel-order keep"
  # Outputs are removed before every run, as above; -y in case a warm-up
  # left one.
  hyperfine -N --warmup 1 --runs 5 \
    --prepare "rm -f $out/out.es $out/out.ts $out/out.m2ts $out/out.vob" \
    --export-json "$results/containers.json" --export-markdown "$results/containers.md" \
    -n "302M es" "$tool encode -y --layer 10 --frame-rate 25 -o $out/out.es $eight" \
    -n "302M ts" "$tool encode -y --layer 10 --frame-rate 25 -o $out/out.ts $eight" \
    -n "ffmpeg 302M ts" "$ff -i $eight -c:a s302m -strict -2 -f mpegts $out/out.ts" \
    -n "HDMV es" "$tool encode -y $hdmv -o $out/out.es $eight" \
    -n "HDMV m2ts" "$tool encode -y $hdmv -o $out/out.m2ts $eight" \
    -n "ffmpeg HDMV m2ts" \
    "$ff -i $eight -c:a pcm_bluray -f mpegts -mpegts_m2ts_mode 1 $out/out.m2ts" \
    -n "DVD es" "$tool encode -y -t dvd -o $out/out.es $stereo" \
    -n "DVD vob" "$tool encode -y -t dvd -o $out/out.vob $stereo" \
    -n "ffmpeg DVD vob" "$ff -i $stereo -c:a pcm_dvd -f dvd $out/out.vob"
  # Peak memory of each container run, against the elementary stream's.
  memory=$results/containers-memory.txt
  : >"$memory"
  # The timed runs leave the last one's output (ffmpeg's .vob) behind.
  rm -f "$out"/out.*
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

if ((run_streaming)); then
  echo "== streaming: peak memory (/usr/bin/time), read and write calls (strace -c) and time"
  echo "   of every subcommand, from a file and from a pipe; 10-minute 8-channel 24-bit WAV"
  tool=$build/tools/pcmpack/pcmpack
  work=$results/streaming
  mkdir -p "$work"
  wav=$work/noise-10min-8ch-24bit.wav
  noise_wav "$wav" 8 600 pcm_s24le
  hdmv="-t hdmv --hdmv-pad-last --channel-order keep"
  "$tool" encode -y $hdmv -o "$work/s.hdmv" "$wav"
  "$tool" encode -y --layer 10 --frame-rate 25 -o "$work/s.302m" "$wav"
  table=$work/streaming.txt
  : >"$table"
  # One row per run: peak resident KiB, bytes moved, read and write calls of
  # the tool alone (for a pipe, `cat` writes it outside strace).
  measure() {
    local name=$1 moved=$2 feed=$3 command=$4
    local pipe=""
    [[ -n $feed ]] && pipe="cat $feed | "
    /usr/bin/time -f "%M" -o "$work/rss" sh -c "$pipe$command"
    sh -c "${pipe}strace -f -c -e trace=read,write,pread64,pwrite64 -o $work/strace $command"
    local reads writes
    reads=$(awk '$NF ~ /^(read|pread64)$/ {n += $4} END {print n + 0}' "$work/strace")
    writes=$(awk '$NF ~ /^(write|pwrite64)$/ {n += $4} END {print n + 0}' "$work/strace")
    echo "$name $(cat "$work/rss") $moved $reads $writes" >>"$table"
  }
  size() { stat -c %s "$1"; }
  measure encode-file "$(size "$wav")" "" "$tool encode -y $hdmv -o $work/o.hdmv $wav"
  measure encode-pipe "$(size "$wav")" "$wav" "$tool encode -y $hdmv -o $work/o.hdmv -"
  measure encode-302m "$(size "$wav")" "" "$tool encode -y --layer 10 --frame-rate 25 -o $work/o.302m $wav"
  measure inspect-file "$(size "$work/s.hdmv")" "" "$tool inspect $work/s.hdmv > /dev/null"
  measure inspect-pipe "$(size "$work/s.hdmv")" "$work/s.hdmv" "$tool inspect - > /dev/null"
  measure inspect-frames "$(size "$work/s.hdmv")" "" "$tool inspect --frames $work/s.hdmv > /dev/null"
  measure unpack-file "$(size "$work/s.hdmv")" "" "$tool unpack -y $work/s.hdmv -o $work/back.wav"
  measure unpack-302m "$(size "$work/s.302m")" "" "$tool unpack -y $work/s.302m -o $work/back.wav"
  measure tone "$(size "$wav")" "" "$tool tone -y -o $work/t.wav --seconds 600 --channels 8 --bits 24"
  awk '{calls = $4 > $5 ? $4 : $5
        printf "%-15s peak %4d MiB, %6.1f MB moved, %5d reads, %5d writes, %6.1f KiB per call\n",
               $1, $2 / 1024, $3 / 1e6, $4, $5, $3 / 1024 / (calls ? calls : 1)}' "$table"
  ff="ffmpeg -hide_banner -v error -y"
  # An earlier build of the tool, timed in the same run for a before and after.
  baseline=()
  if [[ -n ${BENCH_BASELINE_TOOL:-} ]]; then
    old=$BENCH_BASELINE_TOOL
    baseline=(-n "encode HDMV (baseline)" "$old encode $hdmv -o $work/o.hdmv $wav"
              -n "inspect HDMV (baseline)" "$old inspect $work/s.hdmv"
              -n "unpack HDMV (baseline)" "$old unpack $work/s.hdmv -o $work/back.wav"
              -n "encode 302M (baseline)" "$old encode --layer 10 --frame-rate 25 -o $work/o.302m $wav"
              -n "inspect 302M (baseline)" "$old inspect $work/s.302m"
              -n "unpack 302M (baseline)" "$old unpack $work/s.302m -o $work/back.wav")
  fi
  # Each run starts with the last one's output on disk (sync before, untimed):
  # otherwise a run pays for writing back what the run before it wrote.
  hyperfine -N --warmup 1 --runs 7 \
    --prepare "sh -c 'rm -f $work/o.hdmv $work/o.302m $work/o.ts $work/o.m2ts $work/back.wav; sync'" \
    --export-json "$results/streaming.json" --export-markdown "$results/streaming.md" \
    -n "encode HDMV" "$tool encode $hdmv -o $work/o.hdmv $wav" \
    -n "inspect HDMV" "$tool inspect $work/s.hdmv" \
    -n "unpack HDMV" "$tool unpack $work/s.hdmv -o $work/back.wav" \
    -n "encode 302M" "$tool encode --layer 10 --frame-rate 25 -o $work/o.302m $wav" \
    -n "inspect 302M" "$tool inspect $work/s.302m" \
    -n "unpack 302M" "$tool unpack $work/s.302m -o $work/back.wav" \
    -n "ffmpeg s302m mpegts" "$ff -i $wav -c:a s302m -strict -2 -f mpegts $work/o.ts" \
    -n "ffmpeg pcm_bluray m2ts" \
    "$ff -i $wav -c:a pcm_bluray -f mpegts -mpegts_m2ts_mode 1 $work/o.m2ts" \
    "${baseline[@]}"
  python3 - "$results/streaming.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
runs = {name: r["median"] for name, r in results.items()}
for name in sorted(n for n in runs if n.endswith(" (baseline)")):
    now = name[: -len(" (baseline)")]
    print(f"{now}: median {runs[now] * 1e3:.0f} ms, baseline {runs[name] * 1e3:.0f} ms ="
          f" {runs[now] / runs[name]:.2f}x the baseline's time; user"
          f" {results[now]['user'] * 1e3:.0f} ms against {results[name]['user'] * 1e3:.0f} ms")
for layer, peer in (("HDMV", "ffmpeg pcm_bluray m2ts"), ("302M", "ffmpeg s302m mpegts")):
    enc = runs[f"encode {layer}"]
    print(f"median {layer}: encode {enc * 1e3:.0f} ms, inspect {runs[f'inspect {layer}'] * 1e3:.0f} ms,"
          f" unpack {runs[f'unpack {layer}'] * 1e3:.0f} ms; {peer} {runs[peer] * 1e3:.0f} ms ="
          f" {runs[peer] / enc:.2f}x encode (target >= 2x)")
    print("  user time: " + ", ".join(f"{step} {results[f'{step} {layer}']['user'] * 1e3:.0f} ms"
                                      for step in ("encode", "inspect", "unpack")))
PY
  # The same pair run turn about, so that both meet the disk in the same
  # state: encode of the WAV and unpack of its 302M stream, 12 times each.
  turns=$work/turns.txt
  : >"$turns"
  for _ in $(seq 12); do
    for step in encode unpack; do
      rm -f "$work/o.302m" "$work/back.wav"
      sync
      if [[ $step == encode ]]; then
        command="$tool encode --layer 10 --frame-rate 25 -o $work/o.302m $wav"
      else
        command="$tool unpack $work/s.302m -o $work/back.wav"
      fi
      /usr/bin/time -f "$step %e %U" -a -o "$turns" $command
    done
  done
  python3 - "$turns" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
for step in ("encode", "unpack"):
    wall = [float(r[1]) for r in rows if r[0] == step]
    user = [float(r[2]) for r in rows if r[0] == step]
    print(f"302M turn about, {step}: median {statistics.median(wall) * 1e3:.0f} ms,"
          f" min {min(wall) * 1e3:.0f} ms, user {statistics.mean(user) * 1e3:.0f} ms")
PY
  rm -rf "$work"

  echo "== 2-hour 8-channel 24-bit round trip: tone, encode from a pipe, inspect, unpack"
  long=$results/long
  mkdir -p "$long"
  peaks=$long/peaks.txt
  : >"$peaks"
  step() {
    /usr/bin/time -f "$1 %M %e" -a -o "$peaks" sh -c "$2"
  }
  step tone "$tool tone -y -o $long/two-hours.wav --seconds 7200 --channels 8 --bits 24"
  step encode-pipe \
    "cat $long/two-hours.wav | $tool encode -y - -o $long/two-hours.aes3 -t xdcam --frame-rate 25"
  step inspect "$tool inspect $long/two-hours.aes3 > $long/inspect.txt"
  step unpack "$tool unpack -y $long/two-hours.aes3 -o $long/back.wav"
  awk '{printf "%-12s peak %3d MiB, %6.1f s\n", $1, $2 / 1024, $3}' "$peaks"
  echo "WAV header: $(head -c 4 "$long/two-hours.wav")"
  grep -E "duration|stream bytes" "$long/inspect.txt"
  ls -l "$long/two-hours.wav" "$long/two-hours.aes3" "$long/back.wav"
  if cmp "$long/two-hours.wav" "$long/back.wav"; then
    echo "round trip: sample-exact (the WAV files are identical)"
    rm -rf "$long"
  else
    rm -rf "$long"
    echo "round trip: the WAV files differ" >&2
    exit 1
  fi
fi

if ((run_live)); then
  echo "== live: 302M sent over loopback UDP in real time, arrival times from the kernel"
  python3 tests/live/live_test.py "$build/tools/pcmpack/pcmpack" timing_25 timing_2997 pipe_input |
    tee "$results/live.txt"
  echo "== live: ST 2110-30 over RTP, processor time per stream and departures against schedule"
  python3 scripts/st2110_bench.py "$build/tools/pcmpack/pcmpack" | tee "$results/st2110.txt"
fi
