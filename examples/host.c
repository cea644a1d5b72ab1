/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * A minimal pcmpack host: one second of a stereo 16-bit 48 kHz tone packed
 * as a DVD linear PCM stream into the file named on the command line.
 *
 *   host OUTPUT [VIDEO_TYPE]
 *
 * VIDEO_TYPE defaults to 4 (DVD); 44 gives HDMV LPCM. The AES3 presets
 * (0, 28, 32) need a frame rate code, which this host passes as 3 (25 fps).
 *
 * It shows both ways of handing the library the host's callbacks: the
 * settings are checked with a lookup function that answers names, the
 * encoder is created with a pcm_host record whose callbacks receive the
 * host's own state, so that no global is needed.
 */
#include <pcmpack.h>

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Every library message starts with its code ("P002:...") and has no line
 * end; the arguments are int32_t values for its "%d" placeholders. */
static void print_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("host: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

static void *lookup(const char *name) {
    /* Only the error sink is supplied; the library takes the C library's
     * malloc and free for the names answered with NULL. */
    /* ISO C has no cast from a function pointer to void *; a union carries
     * it on every platform the library runs on. */
    union {
        pcm_printf_func function;
        void *object;
    } sink;
    if (strcmp(name, "err_printf") != 0) return NULL;
    sink.function = print_error;
    return sink.object;
}

/* The record form: the host's state reaches every callback as `opaque`. */
struct host_state {
    const char *output; /* named in every message */
    long live_blocks;   /* blocks the library holds, 0 once it is done */
};

static void *host_alloc(void *opaque, size_t size) {
    struct host_state *state = (struct host_state *)opaque;
    void *block = malloc(size);
    if (block) ++state->live_blocks;
    return block;
}

static void host_free(void *opaque, void *block) {
    struct host_state *state = (struct host_state *)opaque;
    --state->live_blocks;
    free(block);
}

static void host_message(void *opaque, const char *format, ...) {
    const struct host_state *state = (const struct host_state *)opaque;
    va_list args;
    va_start(args, format);
    fprintf(stderr, "host: %s: ", state->output);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

/* The stream keeps its FILE in the first host slot. */
static uint32_t write_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    return (uint32_t)fwrite(data, 1, size, (FILE *)stream->host_slot1);
}

static uint32_t auxinfo(bufstream *stream, uint32_t offset, uint32_t info_id, void *info,
                        uint32_t info_size) {
    (void)stream;
    (void)offset;
    (void)info_id;
    (void)info;
    (void)info_size;
    return 0; /* a multiplexer would place the frame using the aux_record */
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: host OUTPUT [VIDEO_TYPE]\n");
        return 2;
    }
    const int32_t video_type = argc > 2 ? (int32_t)atoi(argv[2]) : PCM_VIDEO_TYPE_DVD;
    const int32_t sample_rate = 48000;

    pcm_a_settings settings;
    const char *preset = pcmOutAudioDefaults(&settings, video_type);
    if (!preset) {
        fprintf(stderr, "host: video type %d has no preset\n", (int)video_type);
        return 1;
    }
    if (pcmOutAudioChkSettings(lookup, &settings, video_type, sample_rate,
                               PCM_CHECK_REPORT_ALL, 0) != PCM_CHECK_OK)
        return 1;

    FILE *file = fopen(argv[1], "wb");
    if (!file) {
        perror(argv[1]);
        return 1;
    }
    bufstream stream;
    memset(&stream, 0, sizeof stream);
    stream.host_slot1 = file;
    stream.write_bytes = write_bytes;
    stream.auxinfo = auxinfo;

    /* What a multiplexer plans with before the first frame arrives. */
    pcm_frame_geometry geometry;
    if (pcmOutAudioFrameGeometry(&settings, 3, sample_rate, &geometry) == 0) {
        printf("frames of %u bytes, %u sample periods\n", (unsigned)geometry.frame_bytes[0],
               (unsigned)geometry.sample_periods[0]);
    }

    struct host_state state = {argv[1], 0};
    pcm_host host = {host_alloc, host_free, host_message, &state};
    pcm_a_encoder *encoder = pcmOutAudioNewWithHost(&host, &settings, 0, 3, sample_rate);
    int failed = encoder == NULL || pcmOutAudioInit(encoder, &stream) != 0;

    /* One second of 440 Hz (left) and 660 Hz (right), little-endian 16-bit,
     * fed in pieces that do not line up with any frame. */
    int16_t period[2];
    uint8_t piece[4 * 100];
    for (int done = 0; !failed && done < sample_rate; done += 100) {
        for (int n = 0; n < 100; ++n) {
            const double t = (double)(done + n) / sample_rate;
            period[0] = (int16_t)(8000.0 * sin(2.0 * 3.14159265358979 * 440.0 * t));
            period[1] = (int16_t)(8000.0 * sin(2.0 * 3.14159265358979 * 660.0 * t));
            for (int ch = 0; ch < 2; ++ch) {
                piece[4 * n + 2 * ch] = (uint8_t)((uint16_t)period[ch] & 0xFF);
                piece[4 * n + 2 * ch + 1] = (uint8_t)((uint16_t)period[ch] >> 8);
            }
        }
        failed = pcmOutAudioPutBytes(encoder, piece, sizeof piece) != 0;
    }
    if (encoder) {
        if (pcmOutAudioDone(encoder, failed) != 0) failed = 1;
        pcmOutAudioFree(encoder);
    }
    if (state.live_blocks != 0) failed = 1; /* every block came back */
    if (fclose(file) != 0) failed = 1;
    if (failed) {
        remove(argv[1]);
        return 1;
    }
    printf("%s: %s (pcmpack %s)\n", argv[1], preset, pcmOutAudioVersionString());
    return 0;
}
