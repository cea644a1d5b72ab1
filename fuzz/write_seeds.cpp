// SPDX-License-Identifier: BSD-2-Clause
// Writes the stream reader's seed corpus: short, valid streams of every
// layer as the encoder makes them, from a ramp of sample values so that
// every byte position differs. Run once by hand when the formats change:
//   build-fuzz/fuzz/fuzz_seed_writer fuzz/corpus/stream_reader
#include <pcmpack.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Capture {
    bufstream bs{};
    std::vector<uint8_t> bytes;
};

uint32_t capture_write(bufstream *bs, const uint8_t *data, uint32_t size) {
    auto *c = reinterpret_cast<Capture *>(bs);
    c->bytes.insert(c->bytes.end(), data, data + size);
    return size;
}

uint32_t ignore_aux(bufstream *, uint32_t, uint32_t, void *, uint32_t) { return 0; }

struct Seed {
    const char *name;
    int channels, layer, quantization, frame_rate_code, sample_rate;
    uint32_t input_bytes;  // not a whole number of frames: Done pads the last
};

constexpr Seed kSeeds[] = {
    {"dvd_stereo_48k", 2, 4, 0, 0, 48000, 700},
    {"dvd_mono_96k", 1, 4, 0, 0, 96000, 500},
    {"hdmv_stereo16_48k", 2, 13, 0, 0, 48000, 1500},
    {"hdmv_4ch24_96k", 4, 13, 2, 0, 96000, 100},
    {"s302m_stereo16_code8", 2, 10, 0, 8, 48000, 3300},
    {"s302m_4ch20_code7", 4, 10, 1, 7, 48000, 20000},
    {"s302m_stereo24_code7", 2, 10, 2, 7, 48000, 1000},
    {"d10_1ch20_code8", 1, 11, 1, 8, 48000, 100},
    {"planar_1ch16_code8", 1, 12, 0, 8, 48000, 3300},
    {"planar_3ch24_code4", 3, 12, 2, 4, 48000, 200},
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (const Seed &seed : kSeeds) {
        const pcm_a_settings settings{seed.channels - 1, seed.layer, 0, 0, seed.quantization, 128};
        pcm_a_encoder *enc =
            pcmOutAudioNew(nullptr, &settings, 0, seed.frame_rate_code, seed.sample_rate);
        Capture out;
        out.bs.write_bytes = capture_write;
        out.bs.auxinfo = ignore_aux;
        if (!enc || pcmOutAudioInit(enc, &out.bs) != 0) {
            std::fprintf(stderr, "%s: encoder refused the settings\n", seed.name);
            return 1;
        }
        std::vector<uint8_t> input(seed.input_bytes);
        for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 37 + 11);
        if (pcmOutAudioPutBytes(enc, input.data(), seed.input_bytes) != 0 ||
            pcmOutAudioDone(enc, 0) != 0) {
            std::fprintf(stderr, "%s: encoding failed\n", seed.name);
            return 1;
        }
        pcmOutAudioFree(enc);
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(out.bytes.data(), 1, out.bytes.size(), f) != out.bytes.size()) {
            std::fprintf(stderr, "%s: cannot write\n", path.c_str());
            return 1;
        }
        std::fclose(f);
    }
    return 0;
}
