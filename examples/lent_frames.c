/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * A host that owns the memory its frames end in: it lends the library the
 * free tail of one output buffer for every stream header and frame
 * (pcmOutAudioInitWithSink), so that the library packs each frame straight
 * into place and nothing copies it afterwards. The buffer then holds the
 * whole stream, and the frame records tell where each frame starts.
 *
 *   lent_frames [OUTPUT]
 *
 * Packs a quarter second of a stereo 24-bit tone as SMPTE 302M at 25 fps,
 * once into lent memory and once through a bufstream, checks that both
 * streams are the same bytes, and writes the stream to OUTPUT if given.
 * Plain C99, built with -pedantic, like every host of the header.
 */
#include <pcmpack.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One output buffer, filled from the front. */
struct output {
    uint8_t *bytes;
    uint32_t used;
    uint32_t capacity;
    uint32_t frames; /* frames taken, the stream header not counted */
};

/* Grows the buffer when the tail is short, and lends the tail. */
static uint8_t *lend(void *opaque, uint32_t size, uint32_t *lent) {
    struct output *out = (struct output *)opaque;
    if (out->capacity - out->used < size) {
        const uint32_t capacity = 2 * out->capacity + size;
        uint8_t *grown = (uint8_t *)realloc(out->bytes, capacity);
        if (!grown) return NULL; /* the library reports P029 and stops */
        out->bytes = grown;
        out->capacity = capacity;
    }
    *lent = out->capacity - out->used;
    return out->bytes + out->used;
}

/* The frame is already in place: taking it only moves the end on. A record
 * of NULL gives back memory the library refused unwritten. */
static int32_t take(void *opaque, uint8_t *data, const aux_record *record) {
    struct output *out = (struct output *)opaque;
    if (!record || data != out->bytes + out->used) return 0;
    out->used += record->byte_count;
    if (record->timestamp >= 0) ++out->frames;
    return 0;
}

/* The same stream through a bufstream, for the comparison. */
static uint32_t write_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    struct output *out = (struct output *)stream->host_slot1;
    uint32_t lent = 0;
    uint8_t *tail = lend(out, size, &lent);
    if (!tail) return 0;
    memcpy(tail, data, size);
    out->used += size;
    return size;
}

static uint32_t auxinfo(bufstream *stream, uint32_t offset, uint32_t info_id, void *info,
                        uint32_t info_size) {
    (void)stream;
    (void)offset;
    (void)info_id;
    (void)info;
    (void)info_size;
    return 0;
}

/* A quarter second of 440 Hz (left) and 660 Hz (right), little-endian
 * 24-bit, fed in pieces that do not line up with any frame. */
static int feed_tone(pcm_a_encoder *encoder) {
    uint8_t piece[6 * 700];
    for (int done = 0; done < 12000; done += 700) {
        for (int n = 0; n < 700; ++n) {
            const double t = (double)(done + n) / 48000.0;
            const double hz[2] = {440.0, 660.0};
            for (int ch = 0; ch < 2; ++ch) {
                const int32_t sample =
                    (int32_t)(2000000.0 * sin(2.0 * 3.14159265358979 * hz[ch] * t));
                for (int b = 0; b < 3; ++b) {
                    piece[6 * n + 3 * ch + b] = (uint8_t)((uint32_t)sample >> (8 * b));
                }
            }
        }
        if (pcmOutAudioPutBytes(encoder, piece, sizeof piece) != 0) return 1;
    }
    return pcmOutAudioDone(encoder, 0) != 0;
}

/* Encodes the tone into out, through its sink when lent is set, through a
 * bufstream otherwise. */
static int encode(struct output *out, int lent) {
    pcm_a_settings settings;
    pcmOutAudioDefaults(&settings, PCM_VIDEO_TYPE_DEFAULT);
    settings.audio_layer = PCM_LAYER_AES3_302M;
    settings.quantization = PCM_QUANT_24;
    pcm_a_encoder *encoder = pcmOutAudioNewWithHost(NULL, &settings, 0, 3, 48000);
    if (!encoder) return 1;
    pcm_frame_sink sink = {lend, take, out};
    bufstream stream;
    memset(&stream, 0, sizeof stream);
    stream.host_slot1 = out;
    stream.write_bytes = write_bytes;
    stream.auxinfo = auxinfo;
    int failed = lent ? pcmOutAudioInitWithSink(encoder, &sink) != 0
                      : pcmOutAudioInit(encoder, &stream) != 0;
    if (!failed) failed = feed_tone(encoder);
    pcmOutAudioFree(encoder);
    return failed;
}

int main(int argc, char **argv) {
    struct output lent = {NULL, 0, 0, 0};
    struct output written = {NULL, 0, 0, 0};
    int failed = encode(&lent, 1) || encode(&written, 0);
    if (!failed && (lent.used != written.used || memcmp(lent.bytes, written.bytes, lent.used) != 0)) {
        fprintf(stderr, "lent_frames: the lent frames differ from the bufstream's\n");
        failed = 1;
    }
    if (!failed && argc > 1) {
        FILE *file = fopen(argv[1], "wb");
        failed = !file || fwrite(lent.bytes, 1, lent.used, file) != lent.used;
        if (file && fclose(file) != 0) failed = 1;
    }
    if (!failed) {
        printf("lent_frames: %u frames, %u bytes, packed in place\n", (unsigned)lent.frames,
               (unsigned)lent.used);
    }
    free(lent.bytes);
    free(written.bytes);
    return failed;
}
