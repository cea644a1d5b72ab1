#!/usr/bin/env bash
# Runs every test: the suite with warnings as errors, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the tool and the reader
# under clang's stricter UBSan, valgrind (the tool too), the fuzzers, and the
# cross builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

echo "== build and test (warnings are errors) =="
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCMPACK_WERROR=ON
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure -j "$jobs"

echo "== pcmpack as a subproject, with none of the test dependencies =="
# Every package a test or the tool would look for is hidden from CMake: the
# library alone must configure, build and run without them.
cmake -S examples/subproject -B build/subproject -G Ninja -DPCMPACK_WERROR=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON --no-warn-unused-cli >/dev/null
cmake --build build/subproject -j "$jobs"
build/subproject/host build/subproject/tone.lpcm
test -s build/subproject/tone.lpcm

echo "== ABI against the baseline in abi/ =="
scripts/abi-check.sh

echo "== build and test under ASan and UBSan =="
# The live tests (real time on loopback) and the long ones run once, in the
# plain build above.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPCMPACK_WERROR=ON \
  -DPCMPACK_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE 'long|live'

echo "== encoders on threads under ThreadSanitizer =="
# Only the library and the threads test are built.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCMPACK_WERROR=ON \
  -DPCMPACK_BUILD_TOOLS=OFF -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target pcmpack_threads_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan -L threads --output-on-failure

echo "== Debian packages: build, lintian, unpack into a scratch root, build hosts against them =="
scripts/package.sh build/deb
tests/package/deb_install_test.sh build/deb

echo "== tool and stream reader under clang's UBSan, float casts and unsigned overflow too =="
# Unsigned overflow is defined, but in the tool and the reader a wrap is a
# miscounted size: where wrapping is meant, the code says so, and
# scripts/ubsan-ignore.txt keeps the check out of the standard library's
# headers only. Only the tool, its test programs and the reader's tests are
# built; each process logs a finding to build/ubsan-clang/reports/, and any
# report fails the step even where a test saw the status it expected.
ubsan_flags="-fsanitize=undefined,float-cast-overflow,unsigned-integer-overflow"
ubsan_flags+=" -fno-sanitize-recover=all -fsanitize-ignorelist=$PWD/scripts/ubsan-ignore.txt"
CC=clang CXX=clang++ cmake -S . -B build/ubsan-clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPCMPACK_WERROR=ON -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS="$ubsan_flags" \
  -DCMAKE_CXX_FLAGS="$ubsan_flags" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=undefined >/dev/null
mapfile -t ubsan_tool_tests < <(ninja -C build/ubsan-clang -t targets all |
  grep -oE '^tests/tool/pcmpack_[a-z0-9_]+_tests:' | tr -d : | grep -v pcmpack_long_tests | sort -u)
((${#ubsan_tool_tests[@]} >= 2)) || { echo "no tool test programs found for UBSan" >&2; exit 1; }
cmake --build build/ubsan-clang -j "$jobs" --target pcmpack_cli pcmpack_tests \
  "${ubsan_tool_tests[@]##*/}"
rm -rf build/ubsan-clang/reports
mkdir -p build/ubsan-clang/reports
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$PWD/build/ubsan-clang/reports/ubsan
ubsan_failed=0
build/ubsan-clang/tests/pcmpack_tests --gtest_brief=1 --gtest_filter='Reader*:RoundTrip*' ||
  ubsan_failed=1
for program in "${ubsan_tool_tests[@]}"; do
  echo "UBSan: $program"
  "build/ubsan-clang/$program" --gtest_brief=1 || ubsan_failed=1
done
unset UBSAN_OPTIONS
if compgen -G 'build/ubsan-clang/reports/*' >/dev/null; then
  cat build/ubsan-clang/reports/* >&2
  echo "UBSan found undefined behaviour or a wrap (reports above)" >&2
  exit 1
fi
((ubsan_failed == 0)) || { echo "tests failed in the UBSan build" >&2; exit 1; }

echo "== unit tests under valgrind memcheck (plain build) =="
# Each GoogleTest program once, whole, rather than once per test case: the
# same coverage at a fraction of valgrind's start-up cost. The tool's test
# programs run in the next step, with the tool they start traced.
mapfile -t test_programs < <(ctest --test-dir build/ci --show-only=json-v1 |
  jq -r '.tests[] | select(any(.command[]; startswith("--gtest_filter"))) | .command[0]' |
  grep -v '/tests/tool/' | sort -u)
((${#test_programs[@]})) || { echo "no test programs found for valgrind" >&2; exit 1; }
for program in "${test_programs[@]}"; do
  echo "valgrind: $program"
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --track-origins=yes "$program" --gtest_brief=1
done

echo "== the tool under valgrind memcheck, started by its tests (plain build) =="
scripts/valgrind-tool.sh build/ci

echo "== bounded fuzz runs (60 s per target, side by side) =="
scripts/fuzz.sh 60

echo "== unit tests cross-built for aarch64 and s390x (big-endian), run under qemu-user =="
scripts/cross-test.sh aarch64
scripts/cross-test.sh s390x

# Every step above stops the script on its first failure, so reaching this
# line means every test passed.
tests_run=$(( $(ctest --test-dir build/ci -N | awk '/^Total Tests:/ {print $3}') + \
              $(ctest --test-dir build/sanitize -N | awk '/^Total Tests:/ {print $3}') ))
echo "== plain and sanitizer runs passed; valgrind, UBSan and fuzzing found nothing =="
echo "test.sh: ${tests_run} passed, 0 failed"
