// SPDX-License-Identifier: BSD-2-Clause
// Replays the fuzz targets' seed corpus and regression inputs in the ordinary
// test build, so every CTest run (plain, sanitized and under valgrind)
// checks the same invariants on them without clang or libFuzzer. A broken
// invariant aborts the program, which fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

TEST(FuzzReplay, EveryStoredInputKeepsTheInvariants) {
    size_t inputs = 0;
    for (const std::string dir : {PCMPACK_REPLAY_CORPUS, PCMPACK_REPLAY_REGRESSIONS}) {
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto &entry : std::filesystem::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream file(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                             std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
            ++inputs;
        }
    }
    // An empty or missing corpus would make this test pass without checking.
    EXPECT_GT(inputs, 0u) << "no stored inputs in " << PCMPACK_REPLAY_CORPUS;
}

}  // namespace
