#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs documents' examples as a reader would, in the order written, in one
# empty folder, with the built tool first on the PATH; several documents run
# one after the other in that folder, so that a page the README links to
# may use the files its recipes made:
# - a Markdown page (README.md, docs/*.md): every indented line that starts
#   with `pcmpack `, `ffmpeg `, `ffprobe ` or `dvdauthor ` (after VAR=value
#   words);
# - a manual page (*.1): every line of the .nf blocks under .SH EXAMPLES,
#   its escapes read as man(1) prints them.
# A trailing `\` or `|` joins the next line. Each example must exit with
# status 0, or with N where the line ends in a comment `# ... status N`; and every file it
# names as an output (pcmpack's -o, --index, --data-out; ffmpeg's last
# argument; dvdauthor's -o folder) must be made or rewritten by it, or, for
# a refusal, must not appear. An example that a document edit breaks, or
# that uses a file no earlier example made, fails here. Status 77 (skipped)
# without ffmpeg or dvdauthor, which the recipes use for video.
#   examples_test.sh TOOL DOCUMENT...
set -euo pipefail
tool=$(realpath "$1")
shift
docs=()
for doc in "$@"; do docs+=("$(realpath "$doc")"); done
for program in ffmpeg ffprobe dvdauthor; do
  command -v "$program" >/dev/null || { echo "examples: $program is missing; skipped"; exit 77; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$tool" "$scratch/bin/pcmpack"
export PATH="$scratch/bin:$PATH"
cd "$scratch"

# The example lines, one per command, continuation lines joined.
join_lines='
  function emit(line) {
    if (joined != "") line = joined " " line
    if (line ~ /(\\|\|)[ \t]*$/) { sub(/\\[ \t]*$/, "", line); joined = line } else { print line; joined = "" }
  }'
examples_of() {
  local doc=$1
  if [[ $doc == *.1 ]]; then
    awk "$join_lines"'
    /^\.SH / { examples = ($2 == "EXAMPLES"); next }
    examples && /^\.nf/ { block = 1; next }
    examples && /^\.fi/ { block = 0; next }
    examples && block {
      line = $0
      gsub(/\\-/, "-", line); gsub(/\\e/, "\\", line); gsub(/\\\(aq/, "'\''", line); gsub(/\\&/, "", line)
      sub(/^ +/, "", line); emit(line)
    }' "$doc"
  else
    awk "$join_lines"'
      joined != "" { line = $0; sub(/^ +/, "", line); emit(line); next }
      /^    +([A-Z_]+=[^ ]+ )*(pcmpack|ffmpeg|ffprobe|dvdauthor) / { line = $0; sub(/^ +/, "", line); emit(line) }
    ' "$doc"
  fi
}
total=0
for doc in "${docs[@]}"; do
  count=$(examples_of "$doc" | grep -c . || true)
  if ((count == 0)); then
    echo "examples: found no example line in $doc" >&2
    exit 1
  fi
  total=$((total + count))
done
if ((total < 20)); then
  echo "examples: found only $total example lines in ${docs[*]}" >&2
  exit 1
fi

# The files an example names as its outputs, one per line.
outputs_of() {
  local segment word program previous
  local -a words
  while IFS= read -r segment; do
    read -ra words <<<"${segment%%#*}"
    program="" previous=""
    for word in "${words[@]}"; do
      if [[ -z $program ]]; then
        [[ $word == *=* ]] && continue
        program=$word
        continue
      fi
      case "$program:$previous" in
        pcmpack:-o | pcmpack:--output | pcmpack:--index | pcmpack:--data-out | dvdauthor:-o)
          [[ $word != - ]] && echo "$word" ;;
      esac
      previous=$word
    done
    [[ $program == ffmpeg && $previous != - ]] && echo "$previous"
  done < <(sed -e 's/&&/\n/g' -e 's/[|;]/\n/g' <<<"$1")
}
# When a file was last written; for a folder (dvdauthor's), the newest file in it.
stamp() {
  [[ -e $1 ]] || { echo none; return; }
  find "$1" -printf '%T@\n' | sort -n | tail -1
}

status=0 n=0
for doc in "${docs[@]}"; do
  nth=0
  while IFS= read -r line; do
    n=$((n + 1)) nth=$((nth + 1))
    want=0
    [[ $line =~ \#.*status[[:space:]]+([0-9]+)[[:space:]]*$ ]] && want=${BASH_REMATCH[1]}
    mapfile -t outputs < <(outputs_of "$line")
    before=()
    for output in "${outputs[@]}"; do before+=("$(stamp "$output")"); done
    got=0
    bash -o pipefail -c "$line" </dev/null >"out.$n" 2>&1 || got=$?
    problems=()
    ((got == want)) || problems+=("status $got, the text shows $want")
    for k in "${!outputs[@]}"; do
      output=${outputs[$k]}
      if ((want == 0)); then
        if [[ ! -e $output || (-f $output && ! -s $output) ]]; then
          problems+=("it names $output as its output, which it did not make")
        elif [[ ${before[$k]} != none && $(stamp "$output") == "${before[$k]}" ]]; then
          problems+=("it names $output as its output, which it left as it was")
        fi
      elif [[ ${before[$k]} == none && -e $output ]]; then
        problems+=("a refusal, it left $output behind")
      fi
    done
    if ((${#problems[@]})); then
      echo "examples: example $nth of $(basename "$doc") failed: $line" >&2
      printf '  %s\n' "${problems[@]}" >&2
      sed 's/^/  | /' "out.$n" >&2
      status=1
    fi
  done < <(examples_of "$doc")
  echo "examples: $nth run from $(basename "$doc")"
done
exit $status
