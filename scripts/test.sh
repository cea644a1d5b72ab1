#!/usr/bin/env bash
# Runs every test: the suite with warnings as errors, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer (clang, float casts and
# unsigned overflow checked too), valgrind (the tool too), the fuzzers, and
# the cross builds. Ends with the seconds each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

# Each step's name and seconds, printed at the end, or where a step failed.
step_names=()
step_seconds=()
step_started=
step() {
  end_step
  step_names+=("$1")
  step_started=$SECONDS
  echo "== $1 =="
}
end_step() {
  [[ -n $step_started ]] && step_seconds+=($((SECONDS - step_started)))
  step_started=
}
print_times() {
  local status=$? i
  [[ $BASHPID == "$$" ]] || return $status  # a background subshell ending
  end_step
  # A step failed while the live tests ran beside it: they are not waited for.
  [[ -n ${live_tests:-} ]] && kill "$live_tests" 2>/dev/null
  echo "== seconds per step =="
  for i in "${!step_names[@]}"; do
    printf '%6s  %s\n' "${step_seconds[$i]}" "${step_names[$i]}"
  done
  printf '%6s  %s\n' "$SECONDS" total
  local last=install-deps
  ((${#step_names[@]} == 0)) || last=${step_names[-1]}
  ((status == 0)) || echo "test.sh: failed in the step \"$last\""
  return $status
}
trap print_times EXIT

step "build and test (warnings are errors)"
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCMPACK_WERROR=ON
cmake --build build/ci -j "$jobs"
ctest --test-dir build/ci --output-on-failure -j "$jobs" -LE live
# The live tests run in real time and take little processor: they run one
# after the other beside the next steps, whose load they are built to bear
# (their verdicts hold on two busy cores), and are waited for at the end.
(trap - EXIT; exec ctest --test-dir build/ci --output-on-failure -L live >build/ci/live-tests.log 2>&1) &
live_tests=$!

step "pcmpack as a subproject, with none of the test dependencies"
# Every package a test or the tool would look for is hidden from CMake: the
# library alone must configure, build and run without them.
cmake -S examples/subproject -B build/subproject -G Ninja -DPCMPACK_WERROR=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON --no-warn-unused-cli >/dev/null
cmake --build build/subproject -j "$jobs"
build/subproject/host build/subproject/tone.lpcm
test -s build/subproject/tone.lpcm

step "ABI against the baseline in abi/"
# The plain build's shared library: RelWithDebInfo, as the check wants.
scripts/abi-check.sh build/ci/src/libpcmpack.so

step "build and test under ASan and UBSan (clang), the tool and the reader strict on wraps"
# One clang build: AddressSanitizer (leaks too) and UBSan over the whole
# suite, float casts out of range and unsigned overflow included. Unsigned
# overflow is defined, but in the tool and the reader a wrap is a miscounted
# size: where wrapping is meant, the code says so, and
# scripts/ubsan-ignore.txt keeps the check out of code that is not ours and
# of the library's unit tests' own hashes and counts. Debug: the library's
# asserts hold too. The live tests (real time on loopback) and the long ones
# run once, in the plain build above. Each process logs a finding to
# build/sanitize/reports/, and any report fails the step even where a test saw
# the status it expected (an ASan abort gives the tool's own failure status).
# Static: clang leaves the sanitizer runtimes out of a shared library, which
# the library's --no-undefined refuses; the plain build checks the shared one.
# So the installed static library would need the runtimes in a host built
# with no sanitizer: the plain build and the packages run that install test.
strict="-fsanitize=float-cast-overflow,unsigned-integer-overflow"
strict+=" -fsanitize-ignorelist=$PWD/scripts/ubsan-ignore.txt"
CC=clang CXX=clang++ cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DPCMPACK_WERROR=ON -DPCMPACK_SANITIZE=ON -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS="$strict" \
  -DCMAKE_CXX_FLAGS="$strict" >/dev/null
cmake --build build/sanitize -j "$jobs"
reports=$PWD/build/sanitize/reports
rm -rf "$reports"
mkdir -p "$reports"
sanitize_failed=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$reports/asan \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE 'long|live' \
    -E '^installed_package_builds_a_host$' || sanitize_failed=1
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* >&2
  echo "ASan or UBSan found a fault, a leak or a wrap (reports above)" >&2
  exit 1
fi
((sanitize_failed == 0)) || { echo "tests failed in the sanitizer build" >&2; exit 1; }

step "encoders on threads under ThreadSanitizer"
# Only the library and the threads test are built.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCMPACK_WERROR=ON \
  -DPCMPACK_BUILD_TOOLS=OFF -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target pcmpack_threads_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan -L threads --output-on-failure

step "Debian packages: build, lintian, unpack into a scratch root, build hosts against them"
scripts/package.sh build/deb
tests/package/deb_install_test.sh build/deb

step "unit tests under valgrind memcheck (plain build)"
# Each GoogleTest program whole rather than once per test case: the same
# coverage at a fraction of valgrind's start-up cost. Each is cut into one
# shard per processor (GoogleTest's sharding: every case in exactly one), and
# the shards run side by side. The tool's test programs run in the next step,
# with the tool they start traced.
mapfile -t test_programs < <(ctest --test-dir build/ci --show-only=json-v1 |
  jq -r '.tests[] | select(any(.command[]; startswith("--gtest_filter"))) | .command[0]' |
  grep -v '/tests/tool/' | sort -u)
((${#test_programs[@]})) || { echo "no test programs found for valgrind" >&2; exit 1; }
shards=()
for program in "${test_programs[@]}"; do
  for ((shard = 0; shard < jobs; shard++)); do
    while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
    echo "valgrind: $program (shard $((shard + 1)) of $jobs)"
    GTEST_TOTAL_SHARDS=$jobs GTEST_SHARD_INDEX=$shard \
      valgrind --quiet --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --track-origins=yes "$program" --gtest_brief=1 &
    shards+=($!)
  done
done
valgrind_failed=0
for pid in "${shards[@]}"; do wait "$pid" || valgrind_failed=1; done
((valgrind_failed == 0)) || { echo "valgrind found errors, or tests failed under it" >&2; exit 1; }

step "the tool under valgrind memcheck, started by its tests (plain build)"
scripts/valgrind-tool.sh build/ci

step "bounded fuzz runs (60 s per target, side by side)"
scripts/fuzz.sh 60

step "unit tests cross-built for aarch64 and s390x (big-endian), run under qemu-user"
# Side by side, a processor each: qemu runs the tests on one thread, so one
# architecture's build overlaps the other's run. Each log is shown whole.
cross_failed=0
cross_pids=()
for arch in aarch64 s390x; do
  PCMPACK_JOBS=$(((jobs + 1) / 2)) scripts/cross-test.sh "$arch" >"build/cross-$arch.log" 2>&1 &
  cross_pids+=($!)
done
for i in 0 1; do wait "${cross_pids[$i]}" || cross_failed=1; done
cat build/cross-aarch64.log build/cross-s390x.log
((cross_failed == 0)) || { echo "a cross-built test run failed (logs above)" >&2; exit 1; }
end_step

step "live tests (plain build), run beside the steps since the plain build"
live_failed=0
wait "$live_tests" || live_failed=1
live_tests=
cat build/ci/live-tests.log
((live_failed == 0)) || { echo "live tests failed (log above)" >&2; exit 1; }
end_step

# Every step above stops the script on its first failure, so reaching this
# line means every test passed.
tests_run=$(( $(ctest --test-dir build/ci -N | awk '/^Total Tests:/ {print $3}') + \
              $(ctest --test-dir build/sanitize -N | awk '/^Total Tests:/ {print $3}') ))
echo "== plain and sanitizer runs passed; valgrind and fuzzing found nothing =="
echo "test.sh: ${tests_run} passed, 0 failed"
