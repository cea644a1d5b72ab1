#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or the directory given as $1).
# The binaries land in <dir>/fuzz/: api_sequence_fuzzer, stream_reader_fuzzer,
# tool_input_fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_SHARED_LIBS=OFF -DPCMPACK_SANITIZE=ON -DPCMPACK_WERROR=ON \
  -DPCMPACK_BUILD_TESTS=OFF -DPCMPACK_BUILD_TOOLS=ON -DPCMPACK_BUILD_FUZZERS=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$dir" -j "${FUZZ_BUILD_JOBS:-2}" --target api_sequence_fuzzer stream_reader_fuzzer \
  tool_input_fuzzer
