#!/usr/bin/env bash
# Cross-builds the library and its unit tests for another processor with
# Debian's cross compilers and runs them under qemu-user:
#
#   scripts/cross-test.sh aarch64   # 64-bit ARM, little-endian
#   scripts/cross-test.sh s390x     # IBM Z, big-endian: proves the byte order handling
#
# GoogleTest is built for the target from Debian's sources (/usr/src/googletest).
# Only the library, the test program and what it links are built, in
# build/cross-<arch>. The x86-64 vector levels do not exist there: on aarch64
# the library runs its NEON loops, which every 64-bit ARM processor has, and the
# differential test compares them with the portable scalar loops; on s390x,
# which has no vector level of the library's, the scalar loops run alone.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
case "$arch" in
  aarch64) triplet=aarch64-linux-gnu; package=crossbuild-essential-arm64 ;;
  s390x) triplet=s390x-linux-gnu; package=crossbuild-essential-s390x ;;
  *) echo "usage: $0 aarch64|s390x" >&2; exit 2 ;;
esac
for p in "$package" qemu-user googletest; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { echo "cross-test: $p is missing; scripts/install-deps.sh installs it" >&2; exit 1; }
done

jobs=${PCMPACK_JOBS:-2}
build=build/cross-$arch
emulator="qemu-$arch;-L;/usr/$triplet"
mkdir -p "$build"
toolchain=$build/toolchain.cmake
cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR $emulator)
EOF

start=$SECONDS
# GoogleTest for the target, once per build directory.
gtest_prefix=$PWD/$build/googletest
if [[ ! -f $gtest_prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$build/googletest-build" -j "$jobs" >/dev/null
  cmake --install "$build/googletest-build" >/dev/null
fi

# The tool and its tests need libraries that exist here only for the build
# machine; the unit tests need none of them. Only pcmpack_tests is built.
cmake -S . -B "$build/pcmpack" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCMPACK_WERROR=ON -DPCMPACK_BUILD_TOOLS=OFF \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" >/dev/null
cmake --build "$build/pcmpack" -j "$jobs" --target pcmpack_tests

echo "== $arch: unit tests under qemu-$arch =="
"qemu-$arch" -L "/usr/$triplet" "$build/pcmpack/tests/pcmpack_tests" --gtest_brief=1
echo "cross-test $arch: passed in $((SECONDS - start)) s"
