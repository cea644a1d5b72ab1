#!/usr/bin/env bash
# Sets pcmpack up on a fresh Debian machine so that a new shell runs
# `pcmpack` and `man pcmpack`: installs what is missing, builds the library
# and the tool (Release, the library linked in, no tests) and installs the
# tool and its manual page under /usr/local (as root) or ~/.local
# (scripts/install-tool.sh, which says so if that is not on the PATH).
#   scripts/setup.sh [-y]   (-y: replace a pcmpack there that it did not install)
# PCMPACK_BUILD=<dir> builds elsewhere than build/release;
# PCMPACK_PREFIX=<dir> installs elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${PCMPACK_BUILD:-build/release}
echo "== build (library and tool) in $build =="
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPCMPACK_BUILD_TESTS=OFF \
  -DBUILD_SHARED_LIBS=OFF >/dev/null
cmake --build "$build"
scripts/install-tool.sh "$@" "$build" ${PCMPACK_PREFIX:+"$PCMPACK_PREFIX"}
