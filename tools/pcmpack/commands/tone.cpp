// SPDX-License-Identifier: BSD-2-Clause
// pcmpack tone: a WAV test signal with a different sine on every channel, so
// that a channel swap or a lost channel shows in the unpacked result.
#include "commands/tone_options.h"
#include "common.h"
#include "outputs/output.h"
#include "outputs/wav_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace pcmtool {

int run_tone(const ToneOptions &o) {
    if (!(o.seconds >= 0.0) || o.seconds > 86400.0) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", o.seconds);
        throw Failure(std::string("--seconds ") + text + ": must be 0 to 86400");
    }
    const int64_t periods = std::llround(o.seconds * o.rate);
    OutputSet outputs(o.overwrite);
    OutputFile &out = outputs.open(o.output);
    const int width = o.bits == 16 ? 2 : 3;
    WavWriter wav(out, o.rate, o.channels, width * 8, periods * o.channels * width);

    // Channel k sounds 440 Hz times 2^(k/3), at -12 dB full scale. Samples
    // are rounded to the word length and held left-justified in 32 bits.
    constexpr double kPi = 3.14159265358979323846;
    const double full_scale = std::ldexp(1.0, o.bits - 1) - 1.0;
    const int shift = 32 - o.bits;
    std::vector<double> step(static_cast<size_t>(o.channels));
    for (int k = 0; k < o.channels; ++k)
        step[static_cast<size_t>(k)] = 2.0 * kPi * 440.0 * std::pow(2.0, k / 3.0) / o.rate;
    const size_t chunk = 16384;
    std::vector<int32_t> samples(chunk * static_cast<size_t>(o.channels));
    Progress progress("tone", o.seconds);
    int64_t done = 0;
    while (done < periods) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(periods - done, chunk));
        for (size_t p = 0; p < n; ++p) {
            const double t = static_cast<double>(done + static_cast<int64_t>(p));
            for (size_t k = 0; k < step.size(); ++k) {
                const long word = std::lround(0.25 * full_scale * std::sin(step[k] * t));
                samples[p * step.size() + k] =
                    static_cast<int32_t>(static_cast<uint32_t>(word) << shift);
            }
        }
        wav.write(samples.data(), n);
        done += static_cast<int64_t>(n);
        progress.update(static_cast<double>(done) / o.rate);
    }
    wav.finish();
    outputs.commit();
    return 0;
}

}  // namespace pcmtool
