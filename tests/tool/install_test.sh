#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the built tree into a temporary prefix and builds examples/host.c
# against it twice, through the CMake package and through pkg-config, as a
# project embedding pcmpack would; then runs both hosts and the installed
# tool on what they wrote. Last, the set-up's install step
# (scripts/install-tool.sh) into a prefix of its own, for a user's shell.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [EXTRA_FLAGS]
set -euo pipefail
build=$1 source=$2 cc=$3 flags=${4:-}

work=$(mktemp -d /tmp/pcmpack-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install failed"; }
libdir=$(dirname "$(find "$prefix" -name pcmpack.pc -path '*/pkgconfig/*' | head -n1)")/..
libdir=$(cd "$libdir" && pwd)
for f in "$prefix/include/pcmpack.h" "$prefix/bin/pcmpack" "$prefix/share/man/man1/pcmpack.1" "$libdir/pkgconfig/pcmpack.pc" \
         "$libdir/cmake/pcmpack/pcmpackConfig.cmake" "$libdir/cmake/pcmpack/pcmpackConfigVersion.cmake"; do
  [[ -e $f ]] || fail "missing $f"
done
if compgen -G "$libdir/libpcmpack.so*" >/dev/null; then
  [[ -L $libdir/libpcmpack.so && -L $libdir/libpcmpack.so.1 ]] || fail "missing SOVERSION links"
fi

# 1. Through the CMake package.
cmake -S "$source/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package(pcmpack) failed"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "CMake host build failed"; }
"$work/consumer/host" "$work/cmake.lpcm" >/dev/null || fail "CMake-built host failed"

# A version the package does not satisfy is refused.
mkdir -p "$work/future"
cat >"$work/future/CMakeLists.txt" <<'CML'
cmake_minimum_required(VERSION 3.16)
project(future LANGUAGES C)
find_package(pcmpack 2.0 REQUIRED)
CML
if cmake -S "$work/future" -B "$work/future/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  fail "find_package(pcmpack 2.0) accepted version 1"
fi

# 2. Through pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion pcmpack) == 1.0.0 ]] || fail "pkg-config version: $(pkg-config --modversion pcmpack)"
# shellcheck disable=SC2046,SC2086
"$cc" $flags -std=c99 -Wall -Wextra -Wpedantic -Werror "$source/examples/host.c" \
  $(pkg-config --cflags --libs pcmpack) -lm -o "$work/host-pc" || fail "pkg-config host build failed"
LD_LIBRARY_PATH=$libdir "$work/host-pc" "$work/pc.lpcm" >/dev/null || fail "pkg-config-built host failed"

# Both hosts wrote one second of stereo DVD LPCM: the "LPCM" stream header
# (stereo 48 kHz: 04 80) and 600 frames of 320 bytes.
cmp -s "$work/cmake.lpcm" "$work/pc.lpcm" || fail "the two hosts wrote different streams"
[[ $(head -c 8 "$work/cmake.lpcm" | od -An -tx1 | tr -d ' \n') == 4c50434d04800000 ]] || fail "stream header"
[[ $(stat -c %s "$work/cmake.lpcm") == $((8 + 600 * 320)) ]] || fail "stream size"

# The installed tool finds its library and reads what the host wrote.
"$prefix/bin/pcmpack" --version | grep -qx 'pcmpack 1.0.0' || fail "installed tool --version"
"$prefix/bin/pcmpack" inspect "$work/cmake.lpcm" | grep -q 'frames           600' || fail "installed tool inspect"

# A new shell, with no MANPATH (man derives it from the PATH), finds the tool
# and its manual page where the set-up's install step put them.
own=$work/own
"$source/scripts/install-tool.sh" "$build" "$own" >"$work/tool.log" || { cat "$work/tool.log"; fail "install-tool.sh failed"; }
found=$(env -i HOME="$work" PATH="$own/bin:/usr/bin:/bin" bash -c 'pcmpack --version; man -w pcmpack' 2>&1) || true
[[ $found == "pcmpack 1.0.0"$'\n'"$own/share/man/man1/pcmpack.1" ]] || fail "a new shell found: $found"

# What it says and does over another pcmpack: one it did not install is
# left as it was unless -y is given; one elsewhere on the PATH is named.
for dir in foreign elsewhere; do
  mkdir -p "$work/$dir/bin"
  printf '#!/bin/sh\necho "pcmpack 0.9"\n' >"$work/$dir/bin/pcmpack"
  chmod +x "$work/$dir/bin/pcmpack"
done
# Debian's ~/.profile puts ~/.local/bin on the PATH of a login shell.
mkdir -p "$work/home"
echo 'PATH="$HOME/.local/bin:$PATH"' >"$work/home/.profile"
# prefix | option | PATH ahead of the system's | status | what it says (a regex)
rows=(
  "own||$own/bin|0|^install-tool: installed $own/bin/pcmpack"
  "foreign||$work/foreign/bin|1|foreign/bin/pcmpack \(pcmpack 0.9\) was not installed by this script"
  "foreign|-y|$work/foreign/bin|0|replacing $work/foreign/bin/pcmpack \(pcmpack 0.9\)"
  "own||$work/elsewhere/bin:$own/bin|0|elsewhere/bin/pcmpack \(pcmpack 0.9\) comes first on your PATH"
  "own||$own/bin:$work/elsewhere/bin|0|elsewhere/bin/pcmpack \(pcmpack 0.9\) stays; .pcmpack. runs $own/bin/pcmpack"
  "own||$work/elsewhere|0|$own/bin is not on your PATH; add it: export PATH="
  "home/.local||$work/elsewhere|0|home/.local/bin is not on this shell's PATH; ~/.profile adds it"
)
for row in "${rows[@]}"; do
  IFS='|' read -r dir option path want said <<<"$row"
  before=$({ md5sum <"$work/$dir/bin/pcmpack"; } 2>/dev/null || echo none)
  got=0
  HOME=$work/home PATH="$path:/usr/bin:/bin" "$source/scripts/install-tool.sh" ${option:+"$option"} "$build" "$work/$dir" >"$work/tool.log" 2>&1 || got=$?
  ((got == want)) || { cat "$work/tool.log"; fail "install-tool.sh $option into $dir with PATH $path: status $got, not $want"; }
  grep -Eq "$said" "$work/tool.log" || { cat "$work/tool.log"; fail "install-tool.sh into $dir with PATH $path did not say: $said"; }
  if ((want != 0)) && [[ $(md5sum <"$work/$dir/bin/pcmpack") != "$before" ]]; then
    fail "install-tool.sh refused, yet changed $dir/bin/pcmpack"
  fi
done
echo "install test: CMake package, pkg-config, installed tool and the set-up's install all work"
