#!/usr/bin/env bash
# Runs the tool's test programs (tests/tool: pcmpack_*_tests, built in the
# plain build) under valgrind memcheck with --trace-children=yes, so that
# every pcmpack those tests start is checked, not only the test program:
#   scripts/valgrind-tool.sh [build-dir]      (default build/ci)
# Each process writes its own log to <build-dir>/valgrind-tool/<pid>.log;
# the script fails, printing them, when any log is not empty.
#
# The tests start the tool through sh, and a child that valgrind skips runs
# natively together with everything it starts: sh is traced, so that the
# tool under it is. Every other program of the system (the coreutils the
# tests use, strace, ffmpeg, ffprobe, python3, mkvmerge, dvdauthor, sox) is
# skipped by the patterns below: the names of three letters or more in
# /usr/bin and /bin, and the short ones other than sh by name.
#
# The tool starts in about 1.5 s of processor time under valgrind, most of
# it loading libavformat and the 130 libraries behind it; a test's run of
# it costs some 3 s with its shell and its audio. Whole, the programs take
# these processor seconds under valgrind: pcmpack_tool_tests 870,
# pcmpack_outputs_tests 720, pcmpack_safety_tests 440,
# pcmpack_containers_read_tests 270, pcmpack_inputs_tests 140,
# pcmpack_messages_tests 70, and pcmpack_tool_core_tests (what is pure, in
# one process) 3: some 40 minutes of processor, over 20 on two processors.
# So from pcmpack_tool_tests, pcmpack_safety_tests, pcmpack_outputs_tests
# and pcmpack_messages_tests one case of each kind runs here (every layer, every
# container written and read, the conversions, stream damage, write
# failures, every kind of output, every input format and size field, and of
# the output rules each path of the commit set: the temporary with and
# without O_TMPFILE, the rollback of renames, the terminal's answer, named
# descriptors, the same-file check, a signal); the other programs run
# whole, the largest first, each cut in two halves that run side by side.
# Left out:
#   Parent/Signals.*  times its signal with sleep 0.3; under valgrind the
#                     tool has not set its handlers by then
#   CommandLine/Options.*, the rest of Paths/ToolError.*: option and name
#                     refusals that stop before a byte of audio is read
#   the rest of Tool/Outputs.*: the same paths of the commit set with other
#                     files, folders and owners
#   the rest of Tool/Messages.*: the wording of refusals, which the
#                     sanitizer build checks with every test
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
# Absolute: the tests start the tool from folders of their own.
logs=$(cd "$build" && pwd)/valgrind-tool
jobs=${PCMPACK_JOBS:-$(nproc)}

# The cases run from those two programs, one pattern a line.
tool_cases=(
  'EveryLayer/LayerRoundTrip.*/dvd_mono_96k'
  'EveryLayer/LayerRoundTrip.*/hdmv_3_2_20'
  'EveryLayer/LayerRoundTrip.*/302m_four_20_2997'
  'EveryLayer/LayerRoundTrip.*/d10_stereo_24_2997'
  'EveryLayer/LayerRoundTrip.*/planar_three_24_5994'
  'Containers/ContainerRoundTrip.*/ts_302m_six_24_2997'
  'Containers/ContainerRoundTrip.*/m2ts_hdmv_stereo_16'
  'Containers/ContainerRoundTrip.*/vob_dvd_stereo'
  'Encode/Conversion.*/dither_24_to_16'
  'Encode/Conversion.*/resample_44100'
  'ToolTest.FloatingPointInputNeedsBitsAndMapsFullScaleToFullScale'
  'Streams/ToolDamage.*/hdmv_frame_header'
  'Streams/ToolDamage.*/302m_truncated'
  'Paths/ToolError.*/not_audio'
  'Paths/ToolError.*/output_full'
  'Paths/ToolError.*/container_full'
)
safety_cases=(
  'Outputs/OutputKind.*'
  'Outputs/SharedFile.*/symbolic_link'
  'Headers/WavSizes.*/pipe_placeholder_ones'
  'Headers/WavSizes.*/file_trailing_chunk'
  'Headers/WavSizes.*/pipe_truncated'
  'Headers/Containers.*/aiff'
  'Headers/Containers.*/w64'
  'Headers/Containers.*/caf_cut'
  'Headers/Containers.*/rf64_size_unknown'
  'Headers/Containers.*/flac_pipe_cut'
  'Headers/Containers.*/float_pipe_cut_resampled'
  'Safety.AFailedWriteToStandardOutputIsAnError'
)
outputs_cases=()
for row in keeps_an_old_file_named_like_a_temporary_without_o_tmpfile \
  file_size_limit_removes_the_temporary dev_stdout_appends \
  failed_second_rename_puts_the_first_back_without_o_tmpfile failed_folder_sync_puts_both_back \
  terminal_answer_yes_replaces replaced_file_keeps_owner_group_and_mode \
  input_renamed_to_the_output_during_the_run; do
  outputs_cases+=("Tool/Outputs.KeepThePromisesOfTheShell/$row")
done
messages_cases=()
for row in empty_stdin write_failed_verbose hdmv_6_maskless_bursts unpack_data_out_alone; do
  messages_cases+=("Tool/Messages.SayWhatToDoInTheUsersTerms/$row")
done
declare -A subset=(
  [pcmpack_messages_tests]=$(IFS=:; echo "${messages_cases[*]}")
  [pcmpack_outputs_tests]=$(IFS=:; echo "${outputs_cases[*]}")
  [pcmpack_tool_tests]=$(IFS=:; echo "${tool_cases[*]}")
  [pcmpack_safety_tests]=$(IFS=:; echo "${safety_cases[*]}")
)

# The largest first, so that the two processors end together.
programs=()
for name in containers_read inputs tool safety messages outputs tool_core; do
  [[ -x $build/tests/tool/pcmpack_${name}_tests ]] && programs+=("$build/tests/tool/pcmpack_${name}_tests")
done
for program in "$build"/tests/tool/pcmpack_*_tests; do
  [[ $(basename "$program") == pcmpack_long_tests ]] && continue  # label long: plain build only
  [[ " ${programs[*]} " == *" $program "* ]] || programs+=("$program")
done
((${#programs[@]} >= 2)) || { echo "valgrind-tool: no tool test programs in $build" >&2; exit 1; }

# A pattern that matches no case would leave its part unchecked without a
# word: each must name at least one.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  [[ -n ${subset[$name]:-} ]] || continue
  IFS=: read -ra patterns <<<"${subset[$name]}"
  for pattern in "${patterns[@]}"; do
    "$program" --gtest_list_tests --gtest_filter="$pattern" | grep -q '^  ' ||
      { echo "valgrind-tool: $name: no test matches $pattern" >&2; exit 1; }
  done
done

rm -rf "$logs"
mkdir -p "$logs"
# Names of one letter ([) and of three or more, in both spellings of the
# system's folders; then the two-letter ones but sh.
skip='/usr/bin/?,/bin/?,/usr/bin/???*,/bin/???*'
for short in cp dd du ln ls mv od rm tr wc; do skip+=",/usr/bin/$short,/bin/$short"; done

run_one() {
  local program=$1 filter=$2 half=$3
  echo "valgrind (tool traced): $(basename "$program") (half $((half + 1)) of 2)" \
    "${filter:+--gtest_filter=$filter}"
  GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$half \
    valgrind --quiet --trace-children=yes --trace-children-skip="$skip" --error-exitcode=99 \
    --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --log-file="$logs/%p.log" "$program" --gtest_brief=1 ${filter:+"--gtest_filter=$filter"} ||
    touch "$logs/$(basename "$program").$half.failed"
}

# Side by side, one half of a program per processor: each is one process at
# a time.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  for half in 0 1; do
    while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
    run_one "$program" "${subset[$name]:-}" "$half" &
  done
done
wait

# A tool that valgrind faulted may still give the status a test expects:
# the logs are the verdict.
found=0
for log in "$logs"/*.log; do
  [[ -s $log ]] || continue
  found=1
  echo "== $log" >&2
  cat "$log" >&2
done
((found == 0)) || { echo "valgrind-tool: memcheck found errors (logs above)" >&2; exit 1; }
failed=("$logs"/*.failed)
[[ -e ${failed[0]} ]] && { echo "valgrind-tool: tests failed under valgrind: ${failed[*]}" >&2; exit 1; }
echo "valgrind-tool: $(ls "$logs"/*.log | wc -l) processes checked, nothing found"
