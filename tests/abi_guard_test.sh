#!/usr/bin/env bash
# The ABI check tells an addition from a break: against a baseline with one
# function taken out, the library adds that function and passes, with the
# addition reported; against a baseline whose pcm_a_settings lacks its last
# field, the library changes a public record and fails, with a report that
# names the record and the field.
#   abi_guard_test.sh LIBRARY SOURCE_DIR
set -euo pipefail
lib=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
baseline=$(ls "$source"/abi/libpcmpack.so.*.abi | sort -V | tail -n1)
fail() { cat "$work/log"; echo "abi guard test: $*" >&2; exit 1; }

sed -e "/<elf-symbol name='pcmOutAudioCheckNext'/d" \
    -e "/<function-decl name='pcmOutAudioCheckNext'/,/<\/function-decl>/d" "$baseline" >"$work/fewer.abi"
cmp -s "$baseline" "$work/fewer.abi" && fail "could not take pcmOutAudioCheckNext out of the baseline"
PCMPACK_ABI_BASELINE=$work/fewer.abi "$source/scripts/abi-check.sh" "$lib" >"$work/log" 2>&1 ||
  fail "an added function failed the check"
grep -q "1 Added function" "$work/log" && grep -q "pcmOutAudioCheckNext" "$work/log" ||
  fail "the added function is not reported"

# pcm_a_settings as it would be without dynamic_range (its last field, at bit 160).
sed -e "s/name='pcm_a_settings' size-in-bits='192'/name='pcm_a_settings' size-in-bits='160'/" \
    -e "/<data-member access='public' layout-offset-in-bits='160'>/,/<\/data-member>/d" \
    "$baseline" >"$work/shorter.abi"
grep -q "dynamic_range" "$work/shorter.abi" && fail "could not take dynamic_range out of the baseline"
status=0
PCMPACK_ABI_BASELINE=$work/shorter.abi "$source/scripts/abi-check.sh" "$lib" >"$work/log" 2>&1 || status=$?
((status == 1)) || fail "a changed public record passed the check (status $status)"
grep -q "struct pcm_a_settings" "$work/log" && grep -q "dynamic_range" "$work/log" ||
  fail "the report does not name the record and the field"
echo "abi guard test: an added function passes and is reported; a changed record fails, named"
