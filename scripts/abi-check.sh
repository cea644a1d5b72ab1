#!/usr/bin/env bash
# Compares the ABI of libpcmpack.so with the committed baseline
# abi/<SONAME>.abi (abidw's XML, from a build with debug information):
#   scripts/abi-check.sh [LIBRARY]          compare; exit 1 on an incompatible change
#   scripts/abi-check.sh --update [LIBRARY] rewrite the baseline (scripts/abi-update.sh)
# Without LIBRARY it builds the shared library alone into build/abi
# (RelWithDebInfo). Only the exported pcmOutAudio functions and the types of
# include/pcmpack.h are recorded and compared (abi/public.suppr), so internal
# changes never fail the check.
#
# An incompatible change (a function removed or changed, a public record's
# layout changed) fails with abidiff's report, which names the function and
# the type. An added function passes and is reported. The SOVERSION changes
# when, and only when, the ABI breaks: --update refuses to record a break
# under the old SONAME, and a new SONAME over an unchanged ABI.
set -euo pipefail
update=0
if [[ ${1:-} == --update ]]; then update=1; shift; fi
lib=${1:+$(realpath "$1")}
cd "$(dirname "$0")/.."
root=$(pwd)

fail() { echo "abi: $*" >&2; exit 1; }
for tool in abidw abidiff readelf; do
  command -v "$tool" >/dev/null ||
    fail "$tool not found: install abigail-tools and binutils (scripts/install-deps.sh does)"
done

if [[ -z $lib ]]; then
  cmake -S . -B build/abi -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
    -DPCMPACK_BUILD_TESTS=OFF -DPCMPACK_BUILD_TOOLS=OFF >/dev/null
  cmake --build build/abi --target pcmpack >/dev/null
  lib=build/abi/src/libpcmpack.so
fi
[[ -f $lib ]] || fail "$lib: no such library"
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[[ -n $soname ]] || fail "$lib has no SONAME"
[[ $(readelf -S "$lib") == *.debug_info* ]] || fail "$lib has no debug information (build with -g)"
baseline=abi/$soname.abi
# Tests of this script compare against doctored baselines.
if ((!update)) && [[ -n ${PCMPACK_ABI_BASELINE:-} ]]; then baseline=$PCMPACK_ABI_BASELINE; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The source paths abidw records are made relative, so that the baseline does
# not depend on where the tree was checked out.
dump() {
  abidw --suppressions abi/public.suppr --headers-dir include --drop-private-types \
    --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --type-id-style hash "$1" |
    sed "s|path='$root/|path='|"
}
dump "$lib" >"$work/fresh.abi"

# Runs abidiff OLD NEW into $work/report; prints "same", "added" (functions
# added, nothing else) or "broken".
classify() {
  local status=0
  abidiff "$1" "$2" >"$work/report" 2>&1 || status=$?
  if ((status == 0)); then echo same; return; fi
  # Bit 1: abidiff itself failed; bit 8: an incompatible change (a removed
  # symbol). Bit 4 alone covers every other change, additions included, so
  # the summary lines tell an addition from a change.
  if ((status & 3)); then cat "$work/report" >&2; fail "abidiff failed (status $status)"; fi
  if ((status & 8)) || grep -qE '[1-9][0-9]* (Removed|Changed)' "$work/report"; then
    echo broken
  else
    echo added
  fi
}

arch_of() { grep -o "architecture='[^']*'" "$1" | head -n1; }

if ((update)); then
  # The newest baseline of another SONAME, if the SOVERSION was just raised.
  previous=$(ls abi/*.abi 2>/dev/null | grep -vxF "$baseline" | sort -V | tail -n1 || true)
  if [[ -f $baseline ]]; then
    result=$(classify "$baseline" "$work/fresh.abi")
    if [[ $result == broken ]]; then
      cat "$work/report"
      fail "this is an incompatible change: raise the SOVERSION (the project's major version) before recording it"
    fi
  elif [[ -n $previous ]]; then
    # Compared under one SONAME: the new name alone is no break.
    sed "s/soname='[^']*'/soname='$soname'/" "$previous" >"$work/previous.abi"
    result=$(classify "$work/previous.abi" "$work/fresh.abi")
    if [[ $result != broken ]]; then
      fail "$soname keeps the ABI of $previous: the SOVERSION changes only when the ABI breaks"
    fi
    rm -f "$previous"
    echo "abi: $previous replaced by $baseline"
  fi
  cp "$work/fresh.abi" "$baseline"
  echo "abi: wrote $baseline"
  exit 0
fi

[[ -f $baseline ]] || fail "no baseline $baseline for $soname; scripts/abi-update.sh writes it"
if [[ $(arch_of "$baseline") != "$(arch_of "$work/fresh.abi")" ]]; then
  echo "abi: $baseline records $(arch_of "$baseline"); this build is $(arch_of "$work/fresh.abi"): not compared"
  exit 0
fi
result=$(classify "$baseline" "$work/fresh.abi")
case $result in
  same) echo "abi: $soname matches $baseline" ;;
  added)
    cat "$work/report"
    echo "abi: $soname adds to $baseline compatibly; scripts/abi-update.sh records the additions" ;;
  broken)
    cat "$work/report" >&2
    fail "$soname breaks the ABI of $baseline. Undo the change, or raise the SOVERSION and run scripts/abi-update.sh" ;;
esac
