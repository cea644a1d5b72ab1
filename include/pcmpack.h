/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * pcmpack: packetizes interleaved PCM audio into the elementary streams that
 * disc and broadcast multiplexers consume (DVD linear PCM, HDMV linear PCM,
 * AES3 as SMPTE 302M data blocks, as D-10 audio elements, or as planar PCM).
 *
 * Call order, per output stream:
 *
 *   pcmOutAudioDefaults()      optional: fill settings from a video type preset
 *   pcmOutAudioChkSettings()   optional: check settings against a target
 *   pcmOutAudioNew()           create the encoder (checks the settings again)
 *   pcmOutAudioSetHdmvChannelAssignment()  optional, layer 13: mono, 5.1, 7.1
 *   pcmOutAudioInit()          bind it to the host's bufstream, or
 *   pcmOutAudioInitWithSink()  to memory the host lends for every frame
 *   pcmOutAudioPutBytes()      any number of times, any sizes
 *   pcmOutAudioDone()          flush the last partial frame, release buffers
 *   pcmOutAudioFree()          release the encoder
 *
 * A host hands over its callbacks in one of two forms: a lookup function
 * that answers names ("malloc", "free", "err_printf"), or a pcm_host record
 * whose callbacks all receive the host's opaque pointer
 * (pcmOutAudioNewWithHost, pcmOutAudioChkSettingsWithHost). Either way the
 * library starts no threads, keeps no global state and allocates only
 * through the host's allocator (falling back to the C library's). Distinct
 * encoders may be driven from distinct threads; one encoder by one thread at
 * a time.
 *
 * This header is valid C99 and C++.
 */
#ifndef PCMPACK_H
#define PCMPACK_H

#include <stddef.h>
#include <stdint.h>

#define PCMPACK_VERSION_MAJOR 1
#define PCMPACK_VERSION_MINOR 0
#define PCMPACK_VERSION_PATCH 0
#define PCMPACK_VERSION_STRING "1.0.0"
/* Single number for compile-time comparisons: major*10000 + minor*100 + patch. */
#define PCMPACK_VERSION_NUMBER \
    (PCMPACK_VERSION_MAJOR * 10000 + PCMPACK_VERSION_MINOR * 100 + PCMPACK_VERSION_PATCH)

#if defined(_WIN32)
#  if defined(PCMPACK_BUILDING)
#    define PCMPACK_API __declspec(dllexport)
#  else
#    define PCMPACK_API
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define PCMPACK_API __attribute__((visibility("default")))
#else
#  define PCMPACK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Audio layers: the output layout, chosen by pcm_a_settings.audio_layer.
 * ------------------------------------------------------------------------ */
#define PCM_LAYER_DVD_LPCM     4  /* "LPCM": big-endian 16-bit frames of 1/600 s */
#define PCM_LAYER_AES3_302M    10 /* "AES3": SMPTE 302M data blocks, one per video frame */
/* D-10: each channel word carries the sample's 20 most significant bits in
 * word bits 4-23 (bits 24-27 are zero). A reader that takes bits 4-27 as a
 * 24-bit sample gets the audio 24 dB down and never negative; docs/interop.md
 * shows what such readers recover. */
#define PCM_LAYER_AES3_D10     11 /* "AES3": D-10 eight-channel audio elements */
#define PCM_LAYER_AES3_PLANAR  12 /* "AES3": planar little-endian PCM, one plane per channel */
#define PCM_LAYER_HDMV_LPCM    13 /* "HDMV": 1/200 s frames with a 4-byte frame header */

/* Sample word length, pcm_a_settings.quantization. */
#define PCM_QUANT_16 0
#define PCM_QUANT_20 1
#define PCM_QUANT_24 2

/* Video types with a preset or with target rules (argument video_type). */
#define PCM_VIDEO_TYPE_DEFAULT 0     /* no target rules */
#define PCM_VIDEO_TYPE_VCD     1
#define PCM_VIDEO_TYPE_SVCD    3
#define PCM_VIDEO_TYPE_DVD     4
#define PCM_VIDEO_TYPE_DVHS    10
#define PCM_VIDEO_TYPE_DVD_VR  14
#define PCM_VIDEO_TYPE_HDV     18
#define PCM_VIDEO_TYPE_XDCAM_IMX 28
#define PCM_VIDEO_TYPE_XDCAM   32
#define PCM_VIDEO_TYPE_HDMV    44

/* Bit 0 of the input_flags argument of pcmOutAudioNew: the samples fed to
 * pcmOutAudioPutBytes are big-endian (clear: little-endian). The HDMV layer
 * ignores it and passes the bytes through unchanged. */
#define PCM_INPUT_BIG_ENDIAN 1

/* Options of pcmOutAudioChkSettings. */
#define PCM_CHECK_SKIP_VIDEO_TYPE 1 /* only the general rules */
#define PCM_CHECK_REPORT_ALL      2 /* report every violation; the first code wins */

/* Result codes of the checks. 0 passes; codes above PCM_CHECK_REFUSE_LIMIT
 * are general violations that make pcmOutAudioNew refuse the settings. */
#define PCM_CHECK_OK                    0
#define PCM_CHECK_NULL_SETTINGS         2
#define PCM_CHECK_VCD_NEEDS_MPEG        0x200
#define PCM_CHECK_SVCD_NEEDS_MPEG       0x1000
#define PCM_CHECK_DVD_NEEDS_PCM         0x8000
#define PCM_CHECK_DVDVR_CHANNELS        0x8007
#define PCM_CHECK_DVDVR_QUANTIZATION    0x8008
#define PCM_CHECK_DVDVR_SAMPLE_RATE     0x8009
#define PCM_CHECK_DVHS_NEEDS_AES3       0x14100
#define PCM_CHECK_DVHS_CHANNELS         0x14104
#define PCM_CHECK_DVHS_EMPHASIS         0x14105
#define PCM_CHECK_DVHS_QUANTIZATION     0x14106
#define PCM_CHECK_DVHS_SAMPLE_RATE      0x14107
#define PCM_CHECK_HDV_NEEDS_MPEG        0x16105
#define PCM_CHECK_REFUSE_LIMIT          0x1FFFF
#define PCM_CHECK_LAYER                 0x40001
#define PCM_CHECK_SAMPLE_RATE           0x100000
#define PCM_CHECK_CHANNELS              0x100001
#define PCM_CHECK_MUTE                  0x100002
#define PCM_CHECK_QUANTIZATION          0x100003
#define PCM_CHECK_EMPHASIS              0x100004

/* Information id passed to bufstream.auxinfo with every aux_record. */
#define AUX_FRAME_INFO_ID 0xF0002

/* ------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------ */

/* What the host wants encoded. Plain data, copied by value into the encoder
 * by pcmOutAudioNew; the host may reuse it afterwards. */
typedef struct pcm_a_settings {
    int32_t channels_minus_one; /* channels - 1: 0..7 (layer 4: 0..1; layers 10, 13: 1, 3, 5, 7) */
    int32_t audio_layer;        /* PCM_LAYER_*: 4, 10, 11, 12 or 13 */
    int32_t emphasis;           /* 0 off, 1 on; carried by the DVD LPCM stream header only */
    int32_t mute_flag;          /* 0 off, 1 on; a header flag only, samples are never silenced */
    int32_t quantization;       /* PCM_QUANT_*: 0 = 16, 1 = 20, 2 = 24 bits */
    int32_t dynamic_range;      /* byte carried uninterpreted in the DVD LPCM header; preset 128 */
} pcm_a_settings;

/* The encoder: opaque, owned by the library. */
typedef struct pcm_a_encoder pcm_a_encoder;

/* A printf-style message sink. Every message starts with a code such as
 * "P002:" and has no line end; its arguments are int32_t values for the
 * "%d" placeholders. The library formats nothing itself. */
typedef void (*pcm_printf_func)(const char *format, ...);

/* The allocator pair that a host may hand over by the names "malloc" and
 * "free". */
typedef void *(*pcm_malloc_func)(size_t size);
typedef void (*pcm_free_func)(void *ptr);

/* Host lookup: maps one of the names "malloc", "free", "err_printf",
 * "wrn_printf", "inf_printf" to the host's function of that type, or to
 * NULL to let the library use its own (C library malloc/free, a sink that
 * drops every message). Only "err_printf" ever receives messages. "malloc"
 * and "free" come as a pair: a lookup that answers one and not the other is
 * refused ("P001:Invalid parameter"), since blocks from one allocator must
 * not go back to another. */
typedef void *(*func_lookup)(const char *name);

/* The host's callbacks in one record, each called with the record's opaque
 * pointer as its first argument (the host's own state: its heap, its message
 * list), so that a host needs no global. The library copies the record by
 * value when it is handed over; the host may reuse it afterwards, but what
 * opaque points to must outlive every encoder created with it.
 *   alloc, free: the allocator pair. Both set, or both NULL for the C
 *     library's malloc and free; one without the other is refused with
 *     "P001:Invalid parameter". free is called only with blocks that alloc
 *     returned, never with NULL. alloc returns NULL on failure.
 *   message: the message sink, printf-style like pcm_printf_func after the
 *     opaque pointer (a coded message, "%d" placeholders, int32_t
 *     arguments); NULL drops every message. */
typedef struct pcm_host {
    void *(*alloc)(void *opaque, size_t size);
    void (*free)(void *opaque, void *ptr);
    void (*message)(void *opaque, const char *format, ...);
    void *opaque;
} pcm_host;

/* Every frame's size and duration, by cadence step (see
 * pcmOutAudioFrameGeometry). The frame written at cadence step i has
 * frame_bytes[i] bytes (its own header included, as aux_record.byte_count
 * says) and holds sample_periods[i] sample periods; step 0 comes first and
 * the steps repeat after cadence_steps frames. Entries from cadence_steps
 * on are 0. */
#define PCM_CADENCE_STEPS_MAX 5
typedef struct pcm_frame_geometry {
    uint32_t stream_header_bytes; /* bytes of the stream header, written once: 8 */
    uint32_t cadence_steps;       /* 1, or 5 at 30000/1001 and 60000/1001 on layers 10-12 */
    uint32_t frame_bytes[PCM_CADENCE_STEPS_MAX];
    uint32_t sample_periods[PCM_CADENCE_STEPS_MAX];
} pcm_frame_geometry;

/* 16 bytes, native byte order, passed to bufstream.auxinfo after the stream
 * header and after every frame. Valid only during that call. */
typedef struct aux_record {
    uint32_t byte_count; /* bytes just written for this header or frame */
    uint32_t reserved;   /* carries nothing; do not rely on its content */
    int64_t timestamp;   /* presentation time in 27 MHz ticks; -1 = none (stream header) */
} aux_record;

typedef struct bufstream bufstream;

/* The host's output stream. The library calls write_bytes and auxinfo and
 * touches no other member; the host_slot members are the host's own (its
 * file handle, position, and so on). Every member is pointer-sized. */
struct bufstream {
    void *host_slot1;
    void *host_slot2;
    void *host_slot3;
    /* Write size bytes; return the number written. Any value other than size
     * is a failure, which the encoder reports with "P002:...". */
    uint32_t (*write_bytes)(bufstream *stream, const uint8_t *data, uint32_t size);
    void *host_slot5;
    /* Receives (stream, 0, AUX_FRAME_INFO_ID, aux_record pointer, 16) once a
     * header or frame has been written completely. The result is ignored. */
    uint32_t (*auxinfo)(bufstream *stream, uint32_t offset, uint32_t info_id, void *info,
                        uint32_t info_size);
    void *host_slot7;
    void *host_slot8;
};

/* The host's memory for every stream header and frame, in place of a
 * bufstream (pcmOutAudioInitWithSink): for a host whose frames end in memory
 * it owns (a muxer's packet, an output buffer), so that the library writes
 * each frame once, straight into that memory, and nobody copies it after.
 * The library copies the record by value; what opaque points to must outlive
 * the encoder's use. Both callbacks are required.
 *   lend: asked for the memory of the next stream header or frame, of size
 *     bytes (the byte_count of its aux_record; see pcmOutAudioFrameGeometry).
 *     Returns the memory's address and stores in *lent how many bytes from
 *     there the library may write, at least size. Returning NULL, or a *lent
 *     below size, refuses the frame: the library writes nothing there, and
 *     the call that needed the frame fails with
 *     "P029:Could not get %d bytes for a PCM frame from the host" (the size),
 *     as a failed write does (see pcmOutAudioPutBytes).
 *   take: hands back the memory lend returned. record is the frame's
 *     aux_record, and the memory's first record->byte_count bytes are the
 *     stream header or the whole frame (its own header included); record and
 *     the memory are the host's again, the library keeps no pointer to
 *     either. Returns 0 once the host has the frame, or non-zero when it
 *     could not keep it, which fails the frame with
 *     "P030:Could not hand the PCM frame to the host" (as a failed write).
 *     When the library refuses a lend that was too small, take gets that
 *     memory back untouched with record NULL, and its result is ignored.
 * Every lend that returns memory is answered by exactly one take, before the
 * library's call (PutBytes, Done) returns: no memory stays lent between
 * calls. The part of a frame that arrives in pieces waits in the library's
 * own buffer until the frame is whole, and is then packed into the memory
 * lent for it. */
typedef struct pcm_frame_sink {
    uint8_t *(*lend)(void *opaque, uint32_t size, uint32_t *lent);
    int32_t (*take)(void *opaque, uint8_t *data, const aux_record *record);
    void *opaque;
} pcm_frame_sink;

/* Layout checks that hold in C99 and C++ alike. */
typedef char pcmpack_frame_geometry_is_48_bytes[(sizeof(pcm_frame_geometry) == 48) ? 1 : -1];
typedef char pcmpack_aux_record_is_16_bytes[(sizeof(aux_record) == 16) ? 1 : -1];
typedef char pcmpack_aux_timestamp_at_8[(offsetof(aux_record, timestamp) == 8) ? 1 : -1];
typedef char pcmpack_write_bytes_is_4th[
    (offsetof(bufstream, write_bytes) == 3 * sizeof(void *)) ? 1 : -1];
typedef char pcmpack_auxinfo_is_6th[(offsetof(bufstream, auxinfo) == 5 * sizeof(void *)) ? 1 : -1];

/* ------------------------------------------------------------------------
 * Configuration: presets and checks. May be called at any time, from any
 * thread, without an encoder.
 * ------------------------------------------------------------------------ */

/* Writes the preset of video_type into *settings (all six fields: two
 * channels, emphasis and mute off, dynamic range 128, and the preset's layer
 * and word length) and returns the preset's display name, a constant string
 * owned by the library. Returns NULL, leaving the base values (layer 10,
 * 16 bits) in the record, when no preset exists for video_type; returns NULL
 * and writes nothing when settings is NULL. */
PCMPACK_API const char *pcmOutAudioDefaults(pcm_a_settings *settings, int32_t video_type);

/* Checks *settings at sample_rate (Hz), first against the general rules,
 * then (unless options has PCM_CHECK_SKIP_VIDEO_TYPE) against the rules of
 * video_type. Every violation is sent as a coded message to the function that
 * lookup returns for "err_printf" (lookup is asked once, before the record is
 * examined; lookup may be NULL). With PCM_CHECK_REPORT_ALL every rule runs
 * and the first failure's code is returned; otherwise the first failure
 * stops the check. Returns PCM_CHECK_OK, PCM_CHECK_NULL_SETTINGS for a NULL
 * record, or a PCM_CHECK_* code. reserved is never read; pass 0. */
PCMPACK_API int32_t pcmOutAudioChkSettings(func_lookup lookup, const pcm_a_settings *settings,
                                           int32_t video_type, int32_t sample_rate,
                                           int32_t options, int32_t reserved);

/* pcmOutAudioChkSettings with options 0: stops at the first failure and
 * includes the video-type rules. */
PCMPACK_API int32_t pcmOutAudioCheckFirst(func_lookup lookup, const pcm_a_settings *settings,
                                          int32_t video_type, int32_t sample_rate);

/* pcmOutAudioChkSettings with options 0 and no messages: calls no host
 * function and only returns the code. */
PCMPACK_API int32_t pcmOutAudioCheckSettings(const pcm_a_settings *settings, int32_t video_type,
                                             int32_t sample_rate);

/* pcmOutAudioChkSettings with the host's callbacks in a pcm_host record:
 * every violation goes to host->message with host->opaque. host may be
 * NULL, and host->message may be NULL, to drop the messages. The checks
 * allocate nothing and call neither alloc nor free. Returns as
 * pcmOutAudioChkSettings. */
PCMPACK_API int32_t pcmOutAudioChkSettingsWithHost(const pcm_host *host,
                                                   const pcm_a_settings *settings,
                                                   int32_t video_type, int32_t sample_rate,
                                                   int32_t options);

/* A short fixed text for a result code of the checks (PCM_CHECK_*), such as
 * "sample rate not 48000 or 96000": a constant string owned by the library,
 * without the settings' values (those come with the coded messages). A code
 * the checks never return gives "unknown check result". Never NULL. */
PCMPACK_API const char *pcmOutAudioCheckText(int32_t code);

/* Presets listed in ascending order of video type: stores in *video_type the
 * smallest video type above `after` that has a preset, and returns the
 * preset's display name (the one pcmOutAudioDefaults returns for it). Returns
 * NULL at the end of the list, and when video_type is NULL, leaving
 * *video_type as it was. Start with after = -1:
 *
 *   int32_t type = -1;
 *   const char *name;
 *   while ((name = pcmOutAudioNextPreset(type, &type)) != NULL) ...
 */
PCMPACK_API const char *pcmOutAudioNextPreset(int32_t after, int32_t *video_type);

/* The frame geometry the encoder for these settings will write, without
 * creating one: for a muxer that sizes its packets before the first frame.
 * frameRateCode and sample_rate as for pcmOutAudioNew (the frame rate code
 * is ignored by layers 4 and 13). Returns 0 and fills *geometry; returns 1,
 * writing nothing, when settings or geometry is NULL, when the settings fail
 * the checks pcmOutAudioNew makes, or when the frame rate code is invalid
 * for an AES3 layer. Sends no message and calls no host function. */
PCMPACK_API int32_t pcmOutAudioFrameGeometry(const pcm_a_settings *settings, int32_t frameRateCode,
                                             int32_t sample_rate, pcm_frame_geometry *geometry);

/* The version of the library actually loaded, which may differ from the
 * PCMPACK_VERSION_* macros the host was compiled with: as
 * PCMPACK_VERSION_NUMBER (major*10000 + minor*100 + patch), and as
 * "major.minor.patch", a constant string owned by the library. */
PCMPACK_API uint32_t pcmOutAudioVersionNumber(void);
PCMPACK_API const char *pcmOutAudioVersionString(void);

/* There is no further result to continue from: always 0. */
PCMPACK_API int32_t pcmOutAudioCheckNext(void);

/* The last-error text: always the same constant empty string. */
PCMPACK_API const char *pcmOutAudioGetLastErrString(void);

/* ------------------------------------------------------------------------
 * Encoder
 * ------------------------------------------------------------------------ */

/* Creates an encoder for *settings (copied by value). input_flags:
 * PCM_INPUT_BIG_ENDIAN or 0. frameRateCode: MPEG frame rate code 1..8
 * (24000/1001, 24, 25, 30000/1001, 30, 50, 60000/1001, 60), required by the
 * AES3 layers 10, 11, 12 and ignored by layers 4 and 13. sample_rate: 48000
 * or 96000. The settings are checked first (general rules only, messages to
 * the host's "err_printf"); returns NULL when they are refused, when
 * settings is NULL, when the frame rate code is invalid for an AES3 layer,
 * or when allocation fails. Release with pcmOutAudioFree.
 *
 * The AES3 layers (10, 11, 12) are timed at 48 kHz whatever sample_rate
 * says: each frame holds one video frame's worth of 48 kHz sample periods
 * (1920 at 25 fps) and is stamped as such. 96000 passes the checks for these
 * layers, but 96 kHz audio would be cut and stamped as if it were 48 kHz,
 * running at half speed; feed them 48 kHz audio only (the pcmpack tool
 * refuses anything else). */
PCMPACK_API pcm_a_encoder *pcmOutAudioNew(func_lookup lookup, const pcm_a_settings *settings,
                                          int32_t input_flags, int32_t frameRateCode,
                                          int32_t sample_rate);

/* pcmOutAudioNew with the host's callbacks in a pcm_host record (copied; see
 * pcm_host): the encoder and its frame buffers come from host->alloc and go
 * back through host->free, and every message of this encoder (the checks',
 * the frame rate code's, Init's, PutBytes', Done's) goes to host->message,
 * all with host->opaque. host NULL stands for the C library's allocator and
 * no messages. Returns NULL as pcmOutAudioNew does, and also, before
 * anything is allocated, for a record with only one of alloc and free
 * ("P001:Invalid parameter"). The encoder is then used and released with
 * the same calls as any other. */
PCMPACK_API pcm_a_encoder *pcmOutAudioNewWithHost(const pcm_host *host,
                                                  const pcm_a_settings *settings,
                                                  int32_t input_flags, int32_t frameRateCode,
                                                  int32_t sample_rate);

/* HDMV channel assignment codes (layer 13), as written in every frame
 * header. The library's default for each channel count comes first; the
 * others carry a layout in the frames of the default one: */
#define PCM_HDMV_MONO 1   /* 2 coded channels: FC, padding (frames of 2.0) */
#define PCM_HDMV_2_0  3   /* 2: FL FR (default for 2) */
#define PCM_HDMV_3_0  4   /* 4: FL FR FC, padding (default for 4) */
#define PCM_HDMV_3_2  8   /* 6: FL FR FC Ls Rs, padding (default for 6) */
#define PCM_HDMV_5_1  9   /* 6: FL FR FC Ls Rs LFE (frames of 3/2) */
#define PCM_HDMV_3_4  10  /* 8: FL FR FC SL BL BR SR, padding (default for 8) */
#define PCM_HDMV_7_1  11  /* 8: FL FR FC SL BL BR SR LFE (frames of 3/4) */

/* Chooses the channel assignment code that every HDMV frame header of this
 * encoder carries, in place of the default for its channel count: 1 with 2
 * channels, 9 with 6, 11 with 8 (or the default itself). The stream header
 * and the frame geometry stay those of the channel count. May be called
 * after New, until an Init binds a stream; returns 0, or 1 when encoder is
 * NULL, when an Init has bound a stream ("P001:Invalid parameter"), when
 * the layer is not 13 ("P027:Invalid HDMV channel assignment (%d) for audio
 * layer %d") or when the channel count does not allow the code
 * ("P028:Invalid HDMV channel assignment (%d) for %d channels"); a refused
 * call leaves the encoder as it was. */
PCMPACK_API int32_t pcmOutAudioSetHdmvChannelAssignment(pcm_a_encoder *encoder,
                                                        int32_t channel_assignment);

/* Binds the encoder to the host's stream (which must outlive the encoder's
 * use), computes the frame geometry and allocates the frame buffers.
 * Returns 0, or 1 when encoder or stream is NULL, when the stream's
 * write_bytes or auxinfo is NULL ("P001:Invalid parameter"; nothing is
 * allocated), or when allocation fails.
 *
 * A second Init on the same encoder (after Done, or in place of it) binds
 * the new stream and allocates fresh buffers; a pending partial frame is
 * dropped, not written. What restarts and what carries on:
 *   - no new stream header is written: the header goes out once per encoder,
 *     with its first PutBytes;
 *   - layers 4 and 13 restart their timestamps at 0;
 *   - layers 10, 11 and 12 carry on: the next frame has the timestamp and
 *     the cadence step that follow the last frame written.
 * A host that wants a new, complete stream creates a new encoder. */
PCMPACK_API int32_t pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream);

/* pcmOutAudioInit with the host's frame sink (copied; see pcm_frame_sink) in
 * place of a bufstream: every stream header and frame is written into memory
 * the sink lends, and its aux_record goes with it to take. The stream's
 * bytes, frame for frame, and the aux_records are those that Init's
 * bufstream would get; no bufstream is called. Returns 0, or 1 when encoder
 * or sink is NULL, when lend or take is NULL ("P001:Invalid parameter";
 * nothing is allocated), or when allocation fails. May be called wherever
 * Init may, and a second Init of either kind rebinds the encoder as Init
 * describes. */
PCMPACK_API int32_t pcmOutAudioInitWithSink(pcm_a_encoder *encoder, const pcm_frame_sink *sink);

/* Feeds size bytes of interleaved PCM (sample period by sample period,
 * channel 0 first; 2 bytes per 16-bit sample, 3 per 20- or 24-bit sample).
 * Any size, 0 included; a partial frame is kept for the next call. The first
 * call writes the stream header. Every complete frame is written with one
 * aux_record. The caller's bytes are only read. Returns 0, or 1 when a write
 * failed or the encoder is not initialised.
 *
 * When a write fails ("P002:...", or with a frame sink "P029:..." or
 * "P030:...", result 1), the call stops there:
 *   - the rest of the call's bytes are not taken, and the call does not say
 *     how many were; a failed stream header takes none (the next call tries
 *     the header again);
 *   - the failed frame gets no aux_record and is not counted: the next frame
 *     written carries the failed frame's timestamp (and, for AES3, its
 *     cadence step); a frame being completed from an earlier call's partial
 *     input keeps that input, a frame cut from this call's bytes is lost;
 *   - on layer 13 the 4-byte HDMV frame header may already be on the
 *     bufstream without its payload (a frame sink gets whole frames only).
 * The stream is then no longer a continuous recording: stop (Done with a
 * non-zero abort_flag, then Free), or start a new stream with a new
 * encoder. */
PCMPACK_API int32_t pcmOutAudioPutBytes(pcm_a_encoder *encoder, const uint8_t *data,
                                        uint32_t size);

/* Ends the stream: unless abort_flag is non-zero, writes the last partial
 * frame zero-padded to full size. Then releases the frame buffers (also
 * when the flush failed). Returns the flush result (0 or 1), 0 on abort. */
PCMPACK_API int32_t pcmOutAudioDone(pcm_a_encoder *encoder, int32_t abort_flag);

/* Releases the encoder through the host's "free". NULL does nothing. Call
 * pcmOutAudioDone first to write the last partial frame; Free releases the
 * frame buffers of an encoder that was never finished, without writing. */
PCMPACK_API void pcmOutAudioFree(pcm_a_encoder *encoder);

/* ------------------------------------------------------------------------
 * Compressed audio in a channel pair: SMPTE ST 337 data bursts. May be
 * called at any time, from any thread, without an encoder; they allocate
 * nothing and send no message.
 * ------------------------------------------------------------------------ */

/* Data types written in a burst's Pc (bits 0-4). They are part of the ABI and
 * never renumber. */
#define PCM_DATA_TYPE_AC3  1  /* one AC-3 frame per burst */
#define PCM_DATA_TYPE_EAC3 16 /* one E-AC-3 frame per burst */

/* What the header of one compressed frame says, for pcmOutAudioBurstWrite. */
typedef struct pcm_burst_frame {
    uint32_t data_type;     /* PCM_DATA_TYPE_* */
    uint32_t frame_bytes;   /* bytes of the whole frame, sync word included */
    uint32_t burst_period;  /* 48 kHz sample periods the frame lasts, and so
                               the spacing from its burst to the next one */
    uint32_t reserved;      /* 0 */
} pcm_burst_frame;

/* Reads the header of the AC-3 or E-AC-3 frame that starts at data (the sync
 * word 0x0B77 first; 6 bytes are enough). Returns 0 and fills *frame; returns
 * 1, writing nothing, when data or frame is NULL, size is below 6, or the
 * bytes are not the header of a 48 kHz AC-3 or E-AC-3 frame (the AES3 layers
 * run at 48 kHz). The caller's bytes are only read. */
PCMPACK_API int32_t pcmOutAudioBurstFrame(const uint8_t *data, size_t size,
                                          pcm_burst_frame *frame);

/* Writes the burst of one whole compressed frame, and the zeros that fill its
 * burst period, into the channel pair `pair` (0 = channels 1 and 2) of a
 * buffer of interleaved samples laid out as pcmOutAudioPutBytes takes them:
 * `channels` samples per sample period, 2 bytes each at PCM_QUANT_16 and 3 at
 * PCM_QUANT_20 and PCM_QUANT_24 (a 20-bit word in the upper 20 bits),
 * little-endian unless input_flags has PCM_INPUT_BIG_ENDIAN. The burst mode
 * is the word length `quantization`: the preamble is F872 4E1F, 6F872 54E1F or
 * 96F872 A54E1F, Pc carries the data type, the mode, data_stream (0..7) and,
 * for AC-3, the frame's bitstream mode; Pd the payload length in bits; the
 * frame's bytes follow most significant bit first, left subframe before
 * right. The burst period (pcmOutAudioBurstFrame) must fit in pcm: the call
 * writes that many sample periods from the start of pcm and touches no other
 * channel. Returns 0; returns 1, writing nothing, when frame or pcm is NULL,
 * frame_size is not the frame's own size, the burst would not fit its
 * period, pcm_size is short of the period, or an argument is out of range.
 * frame is only read; pcm stays the caller's. */
PCMPACK_API int32_t pcmOutAudioBurstWrite(const uint8_t *frame, size_t frame_size,
                                          int32_t quantization, int32_t data_stream,
                                          int32_t channels, int32_t pair, int32_t input_flags,
                                          uint8_t *pcm, size_t pcm_size);

#ifdef __cplusplus
}
#endif

#endif /* PCMPACK_H */
