#!/usr/bin/env bash
# The longest functions of the tool and the library, in lines from signature
# to closing brace (universal-ctags):
#   scripts/function-lengths.sh [count] [folder...]   (default 10, src tools)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10}
shift || true
(($#)) || set -- src tools
ctags -R --languages=C++ --c++-kinds=f --fields=+ne -o - "$@" |
  awk -F'\t' '{ line = end = 0
               for (i = 4; i <= NF; i++) {
                 if ($i ~ /^line:/) line = substr($i, 6)
                 if ($i ~ /^end:/) end = substr($i, 5)
               }
               if (end) printf "%5d  %s:%d  %s\n", end - line + 1, $2, line, $1 }' |
  sort -rn | head -n "$count"
