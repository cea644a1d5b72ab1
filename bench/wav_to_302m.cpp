// SPDX-License-Identifier: BSD-2-Clause
// The least a host can do to turn a WAV file into a layer 10 stream: read the
// data chunk in 1 MiB pieces, hand them to pcmOutAudioPutBytes unchanged and
// write the frames with stdio. scripts/bench.sh times it next to
// `pcmpack encode` and ffmpeg, to show what the whole process costs when
// nothing but the library touches the samples.
//
//   wav_to_302m INPUT.wav OUTPUT [frame rate code, default 3 = 25 Hz]
//
// Takes only 16-bit little-endian PCM at 48000 Hz with 2, 4, 6 or 8 channels.
#include <pcmpack.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint32_t write_to_file(bufstream *stream, const uint8_t *data, uint32_t size) {
    return static_cast<uint32_t>(fwrite(data, 1, size, static_cast<FILE *>(stream->host_slot1)));
}

uint32_t ignore_aux(bufstream *, uint32_t, uint32_t, void *, uint32_t) { return 0; }

uint32_t le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int fail(const char *what) {
    fprintf(stderr, "wav_to_302m: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return fail("usage: wav_to_302m INPUT.wav OUTPUT [frame rate code]");
    const int32_t frame_rate_code = argc > 3 ? atoi(argv[3]) : 3;
    FILE *in = fopen(argv[1], "rb");
    if (in == nullptr) return fail("cannot open the input");

    // RIFF header, then chunks up to "data"; "fmt " says what the samples are.
    uint8_t riff[12];
    if (fread(riff, 1, 12, in) != 12 || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        return fail("not a WAV file");
    }
    int channels = 0, bits = 0;
    uint32_t rate = 0;
    size_t data_bytes = 0;
    for (;;) {
        uint8_t chunk[8];
        if (fread(chunk, 1, 8, in) != 8) return fail("no data chunk");
        const uint32_t size = le32(chunk + 4);
        if (memcmp(chunk, "data", 4) == 0) {
            data_bytes = size;
            break;
        }
        if (memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            uint8_t fmt[16];
            if (fread(fmt, 1, 16, in) != 16) return fail("short fmt chunk");
            if (le16(fmt) != 1) return fail("not integer PCM");
            channels = le16(fmt + 2);
            rate = le32(fmt + 4);
            bits = le16(fmt + 14);
            if (fseek(in, static_cast<long>(size - 16 + (size & 1)), SEEK_CUR) != 0) {
                return fail("short fmt chunk");
            }
        } else if (fseek(in, static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            return fail("short chunk");
        }
    }
    if (bits != 16 || rate != 48000 || channels < 2 || channels > 8 || channels % 2 != 0) {
        return fail("needs 16-bit PCM at 48000 Hz with 2, 4, 6 or 8 channels");
    }

    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr) return fail("cannot create the output");
    pcm_a_settings settings{};
    pcmOutAudioDefaults(&settings, PCM_VIDEO_TYPE_DEFAULT);
    settings.audio_layer = PCM_LAYER_AES3_302M;
    settings.channels_minus_one = channels - 1;
    settings.quantization = PCM_QUANT_16;
    pcm_a_encoder *encoder = pcmOutAudioNew(nullptr, &settings, 0, frame_rate_code, 48000);
    bufstream stream{};
    stream.host_slot1 = out;
    stream.write_bytes = write_to_file;
    stream.auxinfo = ignore_aux;
    if (encoder == nullptr || pcmOutAudioInit(encoder, &stream) != 0) {
        return fail("the encoder refused the settings");
    }

    std::vector<uint8_t> piece(size_t{1} << 20);
    int32_t failed = 0;
    while (failed == 0 && data_bytes > 0) {
        const size_t want = data_bytes < piece.size() ? data_bytes : piece.size();
        const size_t got = fread(piece.data(), 1, want, in);
        if (got == 0) break;
        data_bytes -= got;
        failed = pcmOutAudioPutBytes(encoder, piece.data(), static_cast<uint32_t>(got));
    }
    failed |= pcmOutAudioDone(encoder, failed);
    pcmOutAudioFree(encoder);
    fclose(in);
    if (fclose(out) != 0 || failed != 0) return fail("writing the output failed");
    return 0;
}
