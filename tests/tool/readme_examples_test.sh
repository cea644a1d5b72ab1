#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs the README's examples as a reader would: every indented line that
# starts with `pcmpack ` or `ffmpeg ` (a trailing `\` joins the next line),
# in the order written, in one empty folder, with the built tool first on the
# PATH. Each must exit 0: an example that a README edit breaks, or that uses
# a file no earlier example made, fails here. Status 77 (skipped) without
# ffmpeg, which the recipes use to make video and compressed audio.
#   readme_examples_test.sh TOOL README
set -euo pipefail
tool=$(realpath "$1") readme=$(realpath "$2")
command -v ffmpeg >/dev/null || { echo "readme examples: ffmpeg is missing; skipped"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$tool" "$scratch/bin/pcmpack"
export PATH="$scratch/bin:$PATH"
cd "$scratch"

# The example lines, continuation lines joined
# (the README indents its examples by four spaces, six in a list item).
examples=$(awk '
  joined != "" { joined = joined " " $0; if ($0 !~ /\\$/) { print joined; joined = "" } else sub(/\\$/, "", joined); next }
  /^    +(pcmpack|ffmpeg) / { line = $0; sub(/^ +/, "", line); if (line ~ /\\$/) { sub(/\\$/, "", line); joined = line } else print line }
' "$readme")
count=$(grep -c . <<<"$examples" || true)
if ((count < 20)); then
  echo "readme examples: found only $count example lines in $readme" >&2
  exit 1
fi
status=0 n=0
while IFS= read -r line; do
  n=$((n + 1))
  if ! bash -o pipefail -c "$line" </dev/null >"out.$n" 2>&1; then
    echo "readme examples: example $n failed: $line" >&2
    sed 's/^/  /' "out.$n" >&2
    status=1
  fi
done <<<"$examples"
echo "readme examples: $n run"
exit $status
