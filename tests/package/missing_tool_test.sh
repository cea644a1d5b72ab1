#!/usr/bin/env bash
# scripts/package.sh, run where one tool it needs is missing, stops before
# building anything and names the tool and the Debian package that has it.
#   missing_tool_test.sh SOURCE_DIR
set -euo pipefail
source=$(realpath "$1")
work=$(mktemp -d /tmp/pcmpack-missing-XXXXXX)
trap 'rm -rf "$work"' EXIT

# What package.sh runs before and in its check, and the tools it checks for.
commands=(env bash mkdir realpath dirname cmake cpack ninja c++ dpkg-deb dpkg-shlibdeps
          dpkg-buildflags dpkg-architecture readelf strip gzip lintian)
for tool in lintian dpkg-shlibdeps; do
  rm -rf "$work/bin" && mkdir "$work/bin"
  for c in "${commands[@]}"; do
    [[ $c == "$tool" ]] || ln -s "$(command -v "$c")" "$work/bin/$c"
  done
  status=0
  PATH=$work/bin PCMPACK_PACKAGE_BUILD=$work/build "$source/scripts/package.sh" "$work/out" \
    >"$work/log" 2>&1 || status=$?
  [[ $status == 1 ]] || { cat "$work/log"; echo "without $tool: exit status $status, not 1" >&2; exit 1; }
  grep -q "^  $tool (Debian package " "$work/log" || { cat "$work/log"; echo "without $tool: not named" >&2; exit 1; }
  [[ ! -e $work/build ]] || { echo "without $tool: a build was started" >&2; exit 1; }
done
echo "missing tool test: lintian and dpkg-shlibdeps are each named when missing"
