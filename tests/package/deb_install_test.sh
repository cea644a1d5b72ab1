#!/usr/bin/env bash
# Unpacks the three Debian packages of scripts/package.sh into a scratch
# root, as dpkg would install them, and uses them the way a distribution's
# user does: builds examples/host.c against the installed header and library
# through pkg-config, through find_package and against the static library,
# runs each host, reads what they wrote with the installed tool, and renders
# the installed manual page with man -l.
#   deb_install_test.sh DEB_DIR [SOURCE_DIR]
set -euo pipefail
debs=$(realpath "$1")
source=$(realpath "${2:-$(dirname "$0")/../..}")

work=$(mktemp -d /tmp/pcmpack-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
fail() { echo "package test: $*" >&2; exit 1; }

version=$(sed -n 's/^project(pcmpack VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
soversion=${version%%.*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
libdir=$root/usr/lib/$multiarch

for package in "libpcmpack$soversion" libpcmpack-dev pcmpack; do
  deb=$debs/${package}_$version-1_$arch.deb
  [[ -f $deb ]] || fail "missing $deb"
  dpkg-deb -x "$deb" "$root"
  declare "depends_${package//[-0-9]/}=$(dpkg-deb -f "$deb" Depends)"
done

# What each package holds, at the multiarch paths.
for f in "$libdir/libpcmpack.so.$soversion" "$libdir/libpcmpack.so" "$libdir/libpcmpack.a" \
         "$libdir/pkgconfig/pcmpack.pc" "$libdir/cmake/pcmpack/pcmpackConfig.cmake" \
         "$root/usr/include/pcmpack.h" "$root/usr/bin/pcmpack" \
         "$root/usr/share/man/man1/pcmpack.1.gz"; do
  [[ -e $f ]] || fail "not installed: ${f#"$root"}"
done
# Dependencies: the tool's computed from its binary, the development files'
# on exactly this library.
[[ $depends_pcmpack == *"libpcmpack$soversion (>= $version)"* && $depends_pcmpack == *libsndfile1* &&
   $depends_pcmpack == *libc6* ]] || fail "pcmpack depends on: $depends_pcmpack"
[[ $depends_libpcmpackdev == "libpcmpack$soversion (= $version-1)" ]] ||
  fail "libpcmpack-dev depends on: $depends_libpcmpackdev"
[[ $depends_libpcmpack == *libc6* ]] || fail "libpcmpack$soversion depends on: $depends_libpcmpack"

export LD_LIBRARY_PATH=$libdir

# 1. pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion pcmpack) == "$version" ]] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$source/examples/host.c" $(pkg-config --cflags --libs pcmpack) -lm \
  -o "$work/host-pc" || fail "pkg-config host build failed"
[[ $(ldd "$work/host-pc") == *"$libdir/libpcmpack.so.$soversion"* ]] ||
  fail "pkg-config host does not use the installed library"
"$work/host-pc" "$work/pc.lpcm" >/dev/null || fail "pkg-config host failed"

# 2. find_package.
cmake -S "$source/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package(pcmpack) failed"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "CMake host build failed"; }
grep -q "$root/usr/include" "$work/consumer/CMakeFiles/host.dir/flags.make" ||
  fail "the CMake host does not use the installed header"
"$work/consumer/host" "$work/cmake.lpcm" >/dev/null || fail "CMake host failed"

# 3. The static library.
cc -std=c99 -I"$root/usr/include" "$source/examples/host.c" "$libdir/libpcmpack.a" -lm \
  -o "$work/host-static" || fail "static host build failed"
"$work/host-static" "$work/static.lpcm" >/dev/null || fail "static host failed"

# The three wrote one second of stereo DVD LPCM, byte for byte alike.
cmp -s "$work/pc.lpcm" "$work/cmake.lpcm" && cmp -s "$work/pc.lpcm" "$work/static.lpcm" ||
  fail "the hosts wrote different streams"
[[ $(stat -c %s "$work/pc.lpcm") == $((8 + 600 * 320)) ]] || fail "stream size"

# The installed tool reads it; its manual page renders.
[[ $("$root/usr/bin/pcmpack" --version) == "pcmpack $version" ]] || fail "installed tool --version"
[[ $("$root/usr/bin/pcmpack" inspect "$work/pc.lpcm") =~ frames\ +600 ]] || fail "installed tool inspect"
rendered=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/pcmpack.1.gz" 2>"$work/man.err") || true
[[ $rendered == *$'\nEXIT STATUS\n'* ]] ||
  { cat "$work/man.err"; fail "man -l does not render the installed pcmpack.1.gz"; }
echo "package test: three packages unpacked; pkg-config, find_package and static hosts built and run; tool and man page work"
