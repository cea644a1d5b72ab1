#!/usr/bin/env bash
# Builds the Debian packages of this tree into OUTDIR:
#   libpcmpack1     the shared library (multiarch path, shlibs, ldconfig trigger)
#   libpcmpack-dev  header, development link, static library, pkg-config file, CMake package
#   pcmpack         the tool and its manual page
#   scripts/package.sh OUTDIR
# A static and a shared build (with Debian's hardening flags) go to
# build/package (PCMPACK_PACKAGE_BUILD picks another place); CPack packs the
# install components (cmake/packaging.cmake), dpkg-shlibdeps computes the
# run-time dependencies, and lintian must find no error in the result.
set -euo pipefail
if (($# != 1)); then
  echo "usage: scripts/package.sh OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(realpath "$1")
cd "$(dirname "$0")/.."
build=$(realpath -m "${PCMPACK_PACKAGE_BUILD:-build/package}")

# Every tool the packaging needs, with the Debian package that has it.
missing=()
for need in cmake:cmake cpack:cmake ninja:ninja-build c++:g++ dpkg-deb:dpkg \
            dpkg-shlibdeps:dpkg-dev dpkg-buildflags:dpkg-dev dpkg-architecture:dpkg-dev \
            readelf:binutils strip:binutils gzip:gzip lintian:lintian; do
  command -v "${need%%:*}" >/dev/null || missing+=("${need%%:*} (Debian package ${need#*:})")
done
if ((${#missing[@]})); then
  echo "package.sh: cannot build the packages; missing:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  echo "scripts/install-deps.sh installs them." >&2
  exit 1
fi

# Debian's compiler and linker flags (hardening, reproducible paths).
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DPCMPACK_BUILD_TESTS=OFF
        "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
        "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags")

echo "package.sh: static library"
cmake -S . -B "$build/static" "${common[@]}" -DBUILD_SHARED_LIBS=OFF -DPCMPACK_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build/static" --target pcmpack
archive=$(find "$build/static" -name libpcmpack.a -print -quit)
[[ -n $archive ]] || { echo "package.sh: the static build made no libpcmpack.a" >&2; exit 1; }

echo "package.sh: shared library and tool"
cmake -S . -B "$build/shared" "${common[@]}" -DBUILD_SHARED_LIBS=ON -DCMAKE_SKIP_INSTALL_RPATH=ON \
  "-DPCMPACK_PACKAGE_STATIC_LIBRARY=$archive" >/dev/null
cmake --build "$build/shared"

rm -rf "$build/cpack"
cpack --config "$build/shared/CPackConfig.cmake" -B "$build/cpack" >"$build/cpack.log" 2>&1 ||
  { cat "$build/cpack.log" >&2; echo "package.sh: cpack failed" >&2; exit 1; }
debs=()
for deb in "$build"/cpack/*.deb; do
  cp "$deb" "$out/"
  debs+=("$out/$(basename "$deb")")
done
((${#debs[@]} == 3)) || { echo "package.sh: expected 3 packages, cpack made ${#debs[@]}" >&2; exit 1; }

echo "package.sh: lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" 2> >(grep -v 'root privileges' >&2) ||
  { echo "package.sh: lintian found errors" >&2; exit 1; }
printf 'package.sh: %s\n' "${debs[@]}"
