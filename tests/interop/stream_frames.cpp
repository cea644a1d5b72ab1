// SPDX-License-Identifier: BSD-2-Clause
#include "stream_frames.h"

#include <iterator>
#include <random>

#include "support/host_fakes.h"

namespace interop {

Encoded encode(const pcm_a_settings &settings, int32_t input_flags, int32_t frame_rate_code,
               int32_t sample_rate, const std::vector<uint8_t> &input,
               int32_t hdmv_channel_assignment) {
    Encoded out;
    fakes::Host host;
    fakes::RecordingStream stream;
    pcm_a_encoder *enc = host.new_encoder(&settings, input_flags, frame_rate_code, sample_rate);
    if (!enc) {
        out.failure = "pcmOutAudioNew refused the settings";
        return out;
    }
    if (hdmv_channel_assignment != 0 &&
        pcmOutAudioSetHdmvChannelAssignment(enc, hdmv_channel_assignment) != 0) {
        pcmOutAudioFree(enc);
        out.failure = "the channel assignment was refused";
        return out;
    }
    const bool fed = pcmOutAudioInit(enc, stream.stream()) == 0 &&
                     pcmOutAudioPutBytes(enc, input.data(), static_cast<uint32_t>(input.size())) == 0;
    const bool done = pcmOutAudioDone(enc, 0) == 0;
    pcmOutAudioFree(enc);
    if (!fed || !done || !host.errors.empty()) {
        out.failure = "encoding failed";
        return out;
    }
    std::vector<uint8_t> unit;
    bool header = true;
    for (const fakes::Event &event : stream.events) {
        if (event.kind == fakes::EventKind::write) {
            unit.insert(unit.end(), event.data.begin(), event.data.end());
            continue;
        }
        if (header) {
            out.stream_header = unit;
            header = false;
        } else {
            out.frames.push_back(unit);
            out.frame_records.push_back(event.aux);
        }
        unit.clear();
    }
    if (out.stream_header.size() != 8 || !unit.empty()) {
        out.failure = "stream does not start with an 8-byte header or ends in a partial frame";
        return out;
    }
    out.ok = true;
    return out;
}

std::vector<int32_t> make_audio(size_t periods, int channels, int bits, uint32_t seed) {
    const int32_t max = (1 << (bits - 1)) - 1, min = -max - 1;
    const int32_t edges[] = {max, min, 0, -1, 1, max - 1, min + 1};
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int32_t> any(min, max);
    std::vector<int32_t> samples(periods * channels);
    for (size_t i = 0; i < samples.size(); ++i) {
        const size_t period = i / channels;
        samples[i] = period < std::size(edges) ? edges[(period + i % channels) % std::size(edges)]
                                               : any(gen);
    }
    return samples;
}

std::vector<uint8_t> to_bytes(const std::vector<int32_t> &samples, int width, bool big_endian) {
    std::vector<uint8_t> bytes;
    bytes.reserve(samples.size() * width);
    for (int32_t s : samples) {
        const uint32_t u = static_cast<uint32_t>(s);
        for (int b = 0; b < width; ++b) {
            const int shift = 8 * (big_endian ? width - 1 - b : b);
            bytes.push_back(static_cast<uint8_t>(u >> shift));
        }
    }
    return bytes;
}

}  // namespace interop
