#!/usr/bin/env bash
# Fuzzes the library, the stream reader and the tool's readers of container
# and audio file headers with libFuzzer:
#   scripts/fuzz.sh [seconds]      (default 600 s per target)
# Builds the three targets with clang, AddressSanitizer and UBSan
# (fuzz/build.sh), then runs them side by side, one process each, for the
# given time. Each starts from the seeds in fuzz/corpus/<target> plus
# whatever earlier runs left in build-fuzz/corpus/<target>; new inputs go
# only to the latter, so the seeds in the repository stay small. Inputs that
# once broke a target are kept in fuzz/regressions/<target> and run first,
# every time.
# Exits non-zero when any target finds a crash, leak, sanitizer report or
# broken invariant; the input that did it is in build-fuzz/artifacts/, the
# log in build-fuzz/logs/<target>.log.
# FUZZ_DIR picks another build directory; FUZZ_NICE=1 runs at the lowest
# priority.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
dir=${FUZZ_DIR:-build-fuzz}

fuzz/build.sh "$dir"
mkdir -p "$dir/artifacts" "$dir/logs"

nice_cmd=()
[[ ${FUZZ_NICE:-0} == 1 ]] && nice_cmd=(nice -n 19)

targets=(api_sequence stream_reader tool_input)
# A container needs a few packets of 188 bytes to show its audio track.
declare -A max_len=([api_sequence]=1024 [stream_reader]=65536 [tool_input]=65536)
pids=()
for target in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$target"
  "${nice_cmd[@]}" "$dir/fuzz/${target}_fuzzer" \
    -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/${target}-" \
    "$dir/corpus/$target" "fuzz/corpus/$target" $(ls -d "fuzz/regressions/$target" 2>/dev/null) \
    >"$dir/logs/$target.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!pids[@]}"; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/logs/$target.log" | grep -o '[0-9]*$' || echo "?")
    echo "fuzz: $target: ${seconds} s, ${runs} executions, nothing found"
  else
    echo "fuzz: $target FOUND A PROBLEM; see $dir/logs/$target.log and $dir/artifacts/" >&2
    grep -E 'INVARIANT BROKEN|ERROR:|runtime error|SUMMARY' "$dir/logs/$target.log" | head -5 >&2 || true
    status=1
  fi
done
exit $status
