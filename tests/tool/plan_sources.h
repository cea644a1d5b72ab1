// SPDX-License-Identifier: BSD-2-Clause
// What the in-process tests of encode's plans share: the sources each row
// writes into a folder of its own, and the paths put into expected texts.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace plan_test {

struct Source {
    int rate;
    int channels;
    int format;  // SF_FORMAT_PCM_16, _PCM_24 or _FLOAT, in a WAV
};

// A tenth of a second of a quiet ramp, which holds no data burst.
inline std::string write_source(const std::string &path, const Source &s) {
    SF_INFO info{};
    info.samplerate = s.rate;
    info.channels = s.channels;
    info.format = SF_FORMAT_WAV | s.format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<short> samples(size_t(s.rate / 10) * size_t(s.channels));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = short(i % 256);
    sf_write_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
    return path;
}

inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A row's folder, removed after it.
template <class Case>
class InFolder : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pcmpack-plan-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_;
};

}  // namespace plan_test
