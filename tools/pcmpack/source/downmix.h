// SPDX-License-Identifier: BSD-2-Clause
// The downmix encode makes on request: a source's speakers folded into a
// stereo or 5.1 mix with the coefficients libswresample builds (centre and
// surrounds at -3 dB, the LFE left out of a stereo mix), scaled so that no
// sample of a full-scale source can clip. The mix runs in the conversion
// stage, before rate conversion and word-length reduction.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct SwrContext;

namespace pcmtool {

struct DownmixRequest {
    std::string to;              // --downmix: "2" or "5.1"; "": no downmix
    std::string channel_layout;  // --channel-layout: the source's speakers; "": its mask's
};

struct Downmix {
    std::string from;  // the source's layout: "5.1", "7.1", "FL+FR+LFE"...
    std::string to;    // "2.0" or "5.1"
    int in_channels = 0;
    int out_channels = 0;
    std::vector<double> matrix;  // a row per output channel, a coefficient per source channel
    std::vector<std::string> in_names, out_names;  // "FL", "LFE", ...
    double gain_db = 0.0;  // the scaling that keeps every sample within full scale; <= 0
};

// What the channels are once the downmix is planned: the mix, or none when
// there is nothing to mix, and the speakers of the audio it hands on.
struct DownmixPlan {
    std::shared_ptr<const Downmix> mix;  // null: the source's channels pass as they are
    int channels = 0;
    std::vector<int> channel_map;  // SF_CHANNEL_MAP_* per channel; empty: none declared
    // Every rule the request breaks, one plain line each with the option
    // that fixes it; the rest of the run is planned on the mix asked for.
    std::vector<std::string> problems;
    std::vector<std::string> notes;  // for stderr, whatever -v says
};

// Plans the downmix of a source of `channels` channels whose declared
// speakers are `channel_map` (libsndfile's positions; empty when it
// declares none), `input` naming it in messages.
DownmixPlan plan_downmix(int channels, const std::vector<int> &channel_map, const DownmixRequest &request,
                         const std::string &input);

// The matrix as -v prints it: a row per output channel, a column per source
// channel.
std::string describe_downmix(const Downmix &mix);

// Applies a downmix to interleaved full-scale fractions, with libswresample.
class Mixer {
public:
    explicit Mixer(const Downmix &mix);
    ~Mixer();
    Mixer(const Mixer &) = delete;
    Mixer &operator=(const Mixer &) = delete;
    // `periods` sample periods of the source's channels from `in`, the mix's
    // channels to `out`. Throws Failure.
    void run(const double *in, size_t periods, double *out);

private:
    SwrContext *context_ = nullptr;
};

}  // namespace pcmtool
