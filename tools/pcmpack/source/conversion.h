// SPDX-License-Identifier: BSD-2-Clause
// The conversions encode makes only on request, between the audio source and
// the library: a downmix (libswresample), sample-rate conversion (libsoxr)
// and word-length reduction (TPDF dither or truncation), plus the rounding
// of floating-point and mixed samples.
// The stage reads the source in bounded pieces, so memory stays constant
// whatever the length of the audio.
#pragma once

#include "source/audio_source.h"
#include "source/downmix.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

enum class Dither { tpdf, none };

// How libsoxr trades speed for stop-band rejection and pass-band width.
struct ResampleQuality {
    const char *name;  // as --resample-quality takes it
    unsigned long recipe;
    const char *what;  // for help texts
};
// The --resample-quality names in order of rising quality, "very-high" last.
const ResampleQuality *find_resample_quality(const std::string &name);
std::vector<std::string> resample_quality_names();
// "quick (cubic interpolation), low (...), ..." for help texts.
std::string resample_quality_list();

struct ConversionRequest {
    int rate;  // of the output; the source's when no conversion is asked for
    int bits;  // of the output words: 16, 20 or 24
    Dither dither = Dither::tpdf;
    const ResampleQuality *quality = nullptr;  // nullptr: very-high
    std::shared_ptr<const Downmix> downmix;    // null: the source's channels as they are
};

// True when the source needs the stage to reach `request`: a downmix,
// another rate, words longer than the output's, or floating-point samples.
bool needs_conversion(const AudioSource &source, const ConversionRequest &request);

// What the stage does to the source, in words, for --verbose.
std::string describe_conversion(const AudioSource &source, const ConversionRequest &request);

// The source as the stage turns it out: the requested rate, samples
// left-justified in 32 bits with the output word's bits only, the source's
// channels in the source's order, or the downmix's.
class ConvertedSource : public AudioSource {
public:
    // What the stage had to do to samples so far, one line each, for
    // stderr: source samples beyond full scale limited to it, samples the
    // dither or the rounding carried past full scale, NaNs written as 0.
    virtual std::vector<std::string> notes() const = 0;
};

std::unique_ptr<ConvertedSource> convert(std::unique_ptr<AudioSource> source,
                                         const ConversionRequest &request);

}  // namespace pcmtool
