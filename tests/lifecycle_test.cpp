// SPDX-License-Identifier: BSD-2-Clause
// The encoder's life cycle as a host drives it: which names the library asks
// the lookup for, what each refusal reports and releases, the out-of-order
// calls the library refuses, and that every block goes back through the
// host's "free".
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/host_fakes.h"

namespace {

using fakes::describe_events;
using fakes::Host;
using fakes::make_settings;
using fakes::Message;
using fakes::RecordingStream;

const Message kInvalidParameter{"P001:Invalid parameter", {}};
const Message kNoBufferMemory{"P001:Could not allocate memory for PCM audio sample buffer", {}};
const Message kWriteFailed{"P002:Could not write PCM buffer to audio bufstream", {}};
const char kBadFrameRate[] = "P021:Invalid frameRateCode (%d) for AES3 audio";

// Every name, in the order New asks for them: the settings check's sink
// first, then the allocator, then the rest of the object's callbacks.
const std::vector<std::string> kAllLookups = {"err_printf", "malloc",     "free",
                                              "err_printf", "wrn_printf", "inf_printf"};

// One valid settings record per layer, with the frame sizes it gives at
// 48 kHz and frame rate code 3 (25 frames/s, 1920 samples): input bytes per
// frame and bytes per frame on the stream.
struct LayerCase {
    const char *name;
    pcm_a_settings settings;
    uint32_t frame_input;
    uint32_t frame_written;
    int buffers;  // frame_buf, plus stage_buf for the AES3 layers
};

const LayerCase kLayers[] = {
    // Stereo 16-bit DVD LPCM: 80 periods of 4 bytes.
    {"dvd", make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_16), 320, 320, 1},
    // Stereo 16-bit 302M: 1920 periods, 4 bytes in, one 5-byte pair out, +4 header.
    {"302m", make_settings(2, PCM_LAYER_AES3_302M, PCM_QUANT_16), 7680, 9604, 2},
    // Two 24-bit channels as D-10: 3 bytes per channel in, 8 x 4 bytes out, +4 header.
    {"d10", make_settings(2, PCM_LAYER_AES3_D10, PCM_QUANT_24), 11520, 61444, 2},
    // Stereo 16-bit planar: same size in and out, no header.
    {"planar", make_settings(2, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16), 7680, 7680, 2},
    // Stereo 16-bit HDMV: 240 periods of 4 bytes, written as 4 + 960.
    {"hdmv", make_settings(2, PCM_LAYER_HDMV_LPCM, PCM_QUANT_16), 960, 964, 1},
};

constexpr int32_t kRateCode25 = 3;

std::vector<uint8_t> counting_bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::vector<uint8_t> swapped_pairs(std::vector<uint8_t> bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

const std::vector<uint8_t> kDvdStereo48kHeader = {0x4C, 0x50, 0x43, 0x4D, 0x04, 0x80, 0x00, 0x00};

TEST(Lifecycle, LookupIsAskedForEveryNameInOrder) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(host.lookups, kAllLookups);
        EXPECT_EQ(host.malloc_calls, 1);
        EXPECT_TRUE(host.errors.empty());
        pcmOutAudioFree(enc);
        EXPECT_EQ(host.free_calls, 1);
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
    }
}

TEST(Lifecycle, RefusedSettingsStopBeforeMalloc) {
    struct Case {
        const char *name;
        pcm_a_settings settings;
        int32_t sample_rate;
        Message message;
    } const cases[] = {
        {"layer 5", make_settings(2, 5, PCM_QUANT_16), 48000,
         {"P023:Invalid audio layer (%d), must be %d or %d", {5, 4, 10}}},
        {"44.1 kHz", make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_16), 44100,
         {"P006:Invalid PCM audio sample rate (%d), should be 48000 or 96000", {44100}}},
        {"mono 302M", make_settings(1, PCM_LAYER_AES3_302M, PCM_QUANT_16), 48000,
         {"P026:Invalid number of PCM audio channels (%d) for 302M, must be %d, %d, %d or %d",
          {0, 1, 3, 5, 7}}},
        {"16-bit D-10", make_settings(2, PCM_LAYER_AES3_D10, PCM_QUANT_16), 48000,
         {"P022:Invalid AES3 audio quantization (%d), must be %d .. %d", {0, 1, 2}}},
        {"DVD 24-bit", make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_24), 48000,
         {"P009:Invalid PCM audio quantization (%d), must be %d", {2, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host host;
        EXPECT_EQ(host.new_encoder(&c.settings, 0, kRateCode25, c.sample_rate),
                  nullptr);
        EXPECT_EQ(host.lookups, std::vector<std::string>{"err_printf"});
        EXPECT_EQ(host.errors, std::vector<Message>{c.message});
        EXPECT_EQ(host.malloc_calls, 0);
        EXPECT_EQ(host.free_calls, 0);
    }
}

TEST(Lifecycle, NewWithNullSettingsReturnsNullAfterP012) {
    Host host;
    EXPECT_EQ(pcmOutAudioNew(host.lookup(), nullptr, 0, kRateCode25, 48000), nullptr);
    EXPECT_EQ(host.lookups, std::vector<std::string>{"err_printf"});
    const Message null_settings{"P012:Invalid pcm_a_settings parameter", {}};
    EXPECT_EQ(host.errors, std::vector<Message>{null_settings});
    EXPECT_EQ(host.malloc_calls, 0);
    EXPECT_EQ(host.free_calls, 0);
}

TEST(Lifecycle, ObjectAllocationFailureReturnsNullWithoutMessage) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        host.fail_malloc_call = 1;
        EXPECT_EQ(host.new_encoder(&c.settings, 0, kRateCode25, 48000), nullptr);
        // The pair is whole before the first block is asked for.
        if (host.form == fakes::HostForm::lookup) {
            EXPECT_EQ(host.lookups, kAllLookups);
        }
        EXPECT_TRUE(host.errors.empty());
        EXPECT_EQ(host.free_calls, 0);
        EXPECT_EQ(host.live_count(), 0u);
    }
}

TEST(Lifecycle, AesLayersRefuseFrameRateCodeOutsideOneToEight) {
    const int32_t layers[] = {PCM_LAYER_AES3_302M, PCM_LAYER_AES3_D10, PCM_LAYER_AES3_PLANAR};
    const int32_t codes[] = {0, 9, -1};
    for (int32_t layer : layers) {
        for (int32_t code : codes) {
            SCOPED_TRACE("layer " + std::to_string(layer) + " code " + std::to_string(code));
            Host host;
            const pcm_a_settings settings = make_settings(2, layer, PCM_QUANT_24);
            EXPECT_EQ(host.new_encoder(&settings, 0, code, 48000), nullptr);
            EXPECT_EQ(host.lookups, kAllLookups);
            EXPECT_EQ(host.errors, (std::vector<Message>{{kBadFrameRate, {code}}}));
            // The object was allocated and goes back through the host's free.
            EXPECT_EQ(host.malloc_calls, 1);
            EXPECT_EQ(host.free_calls, 1);
            EXPECT_EQ(host.live_count(), 0u);
            EXPECT_TRUE(host.freed_foreign.empty());
        }
    }
}

TEST(Lifecycle, LpcmLayersIgnoreTheFrameRateCode) {
    const int32_t codes[] = {0, 9, -1, 1000, 1, 8};
    for (const LayerCase &c : kLayers) {
        if (c.buffers != 1) continue;  // the two linear PCM layers
        for (int32_t code : codes) {
            SCOPED_TRACE(std::string(c.name) + " code " + std::to_string(code));
            Host host;
            pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, code, 48000);
            ASSERT_NE(enc, nullptr);
            RecordingStream out;
            ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
            const std::vector<uint8_t> input = counting_bytes(c.frame_input);
            ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input), 0);
            EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
            pcmOutAudioFree(enc);
            const std::string expected =
                c.settings.audio_layer == PCM_LAYER_DVD_LPCM ? "W8 A8@-1 W320 A320@0"
                                                              : "W8 A8@-1 W4 W960 A964@0";
            EXPECT_EQ(describe_events(out.events), expected);
            EXPECT_TRUE(host.errors.empty());
            EXPECT_EQ(host.live_count(), 0u);
        }
    }
}

TEST(Lifecycle, InitWithNullEncoderFails) {
    Host host;
    RecordingStream out;
    EXPECT_EQ(pcmOutAudioInit(nullptr, out.stream()), 1);
    EXPECT_EQ(pcmOutAudioInit(nullptr, nullptr), 1);
    EXPECT_TRUE(out.events.empty());
    EXPECT_EQ(host.malloc_calls, 0);
}

TEST(Lifecycle, InitWithNullStreamReportsP001AndLeavesTheEncoderUnbound) {
    Host host;
    const pcm_a_settings settings = kLayers[0].settings;
    pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(pcmOutAudioInit(enc, nullptr), 1);
    EXPECT_EQ(host.errors, std::vector<Message>{kInvalidParameter});
    EXPECT_EQ(host.malloc_calls, 1);  // no buffer

    // Still unbound: feeding is refused.
    const std::vector<uint8_t> input = counting_bytes(320);
    EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 320), 1);
    EXPECT_EQ(host.errors, (std::vector<Message>{kInvalidParameter, kInvalidParameter}));

    // A later Init with a stream works as if the first had not happened.
    RecordingStream out;
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 320), 0);
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_EQ(describe_events(out.events), "W8 A8@-1 W320 A320@0");
    EXPECT_EQ(host.live_count(), 0u);
}

// A stream without one of the two callbacks the library calls would crash on
// the first frame; Init refuses it as it refuses a null stream.
TEST(Lifecycle, InitRefusesAStreamWithoutWriteBytesOrAuxinfo) {
    struct Case {
        bool has_write_bytes, has_auxinfo;
    };
    for (const Case c : {Case{false, true}, Case{true, false}, Case{false, false}}) {
        SCOPED_TRACE(std::to_string(c.has_write_bytes) + std::to_string(c.has_auxinfo));
        Host host;
        RecordingStream out;
        bufstream *stream = out.stream();
        if (!c.has_write_bytes) stream->write_bytes = nullptr;
        if (!c.has_auxinfo) stream->auxinfo = nullptr;
        const pcm_a_settings settings = kLayers[0].settings;
        pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(pcmOutAudioInit(enc, stream), 1);
        EXPECT_EQ(host.errors, std::vector<Message>{kInvalidParameter});
        EXPECT_EQ(host.malloc_calls, 1);  // no buffer

        const std::vector<uint8_t> input = counting_bytes(320);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 320), 1);
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);
        EXPECT_TRUE(out.events.empty());
        EXPECT_EQ(host.live_count(), 0u);
    }
}

// A frame sink without one of its two callbacks is refused in the same way.
TEST(Lifecycle, InitWithSinkRefusesASinkWithoutLendOrTake) {
    fakes::LendingSink lender;
    const pcm_frame_sink whole = *lender.sink();
    const pcm_frame_sink without_lend{nullptr, whole.take, whole.opaque};
    const pcm_frame_sink without_take{whole.lend, nullptr, whole.opaque};
    for (const pcm_frame_sink *sink : {&without_lend, &without_take,
                                       static_cast<const pcm_frame_sink *>(nullptr)}) {
        Host host;
        const pcm_a_settings settings = kLayers[0].settings;
        pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(pcmOutAudioInitWithSink(enc, sink), 1);
        EXPECT_EQ(host.errors, std::vector<Message>{kInvalidParameter});
        EXPECT_EQ(host.malloc_calls, 1);  // no buffer
        const std::vector<uint8_t> input = counting_bytes(320);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 320), 1);
        pcmOutAudioFree(enc);
        EXPECT_EQ(host.live_count(), 0u);
    }
    EXPECT_EQ(pcmOutAudioInitWithSink(nullptr, &whole), 1);
    EXPECT_EQ(lender.lend_calls, 0);
}

// A frame the host's sink does not lend memory for, lends too little memory
// for, or cannot keep, fails as a failed write does: the call returns 1 with
// its coded message, the frame is not counted (the next one written carries
// its timestamp), and every block lent goes back, a refused one unwritten.
// At the stream header, at a frame cut from the caller's bytes, and at the
// flush in Done.
TEST(Lifecycle, RefusedLentFrameFailsLikeAFailedWrite) {
    struct Fault {
        const char *name;
        int fakes::LendingSink::*call;
        bool sized_message;  // P029 with the size, or P030
    };
    const Fault kFaults[] = {
        {"lend returns null", &fakes::LendingSink::refuse_lend_call, true},
        {"lend returns too little", &fakes::LendingSink::short_lend_call, true},
        {"take refuses", &fakes::LendingSink::refuse_take_call, false},
    };
    enum At { header = 1, frame, flush };
    for (const LayerCase &c : kLayers) {
        for (const Fault &fault : kFaults) {
            for (At at : {header, frame, flush}) {
                SCOPED_TRACE(std::string(c.name) + ", " + fault.name + " at call " +
                             std::to_string(at));
                Host host;
                fakes::LendingSink sink;
                sink.*fault.call = at;
                pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
                ASSERT_NE(enc, nullptr);
                ASSERT_EQ(pcmOutAudioInitWithSink(enc, sink.sink()), 0);
                const std::vector<uint8_t> input = counting_bytes(c.frame_input + 6);
                const uint32_t size = at == header ? 8 : c.frame_written;
                const Message refused =
                    fault.sized_message
                        ? Message{"P029:Could not get %d bytes for a PCM frame from the host",
                                  {static_cast<int32_t>(size)}}
                        : Message{"P030:Could not hand the PCM frame to the host", {}};
                const std::string fw = std::to_string(c.frame_written);
                const int32_t put = pcmOutAudioPutBytes(enc, input.data(), c.frame_input + 6);
                if (at == flush) {
                    EXPECT_EQ(put, 0);
                    EXPECT_EQ(pcmOutAudioDone(enc, 0), 1);
                    EXPECT_EQ(describe_events(sink.events),
                              "W8 A8@-1 W" + fw + " A" + fw + "@0 W" + fw + "!");
                } else {
                    EXPECT_EQ(put, 1);
                    // The header is tried again; the failed frame's time
                    // goes to the next frame written.
                    EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input), 0);
                    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
                    EXPECT_EQ(describe_events(sink.events),
                              at == header ? "W8! W8 A8@-1 W" + fw + " A" + fw + "@0"
                                           : "W8 A8@-1 W" + fw + "! W" + fw + " A" + fw + "@0");
                }
                EXPECT_EQ(host.errors, std::vector<Message>{refused});
                pcmOutAudioFree(enc);
                EXPECT_EQ(sink.outstanding(), 0u);
                EXPECT_EQ(sink.written_refusals + sink.foreign_takes + sink.overlong_frames, 0);
                EXPECT_EQ(host.live_count(), 0u);
            }
        }
    }
}

TEST(Lifecycle, FrameBufferAllocationFailure) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        host.fail_malloc_call = 2;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 1);
        EXPECT_EQ(host.errors, std::vector<Message>{kNoBufferMemory});
        EXPECT_EQ(host.malloc_calls, 2);  // no staging buffer tried after the frame buffer
        EXPECT_EQ(host.live_count(), 1u);

        // The object can still be finished and released.
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);
        EXPECT_TRUE(out.events.empty());
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
    }
}

TEST(Lifecycle, StagingBufferAllocationFailureReleasesTheFrameBuffer) {
    for (const LayerCase &c : kLayers) {
        if (c.buffers != 2) continue;
        SCOPED_TRACE(c.name);
        Host host;
        host.fail_malloc_call = 3;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 1);
        EXPECT_EQ(host.errors, std::vector<Message>{kNoBufferMemory});
        EXPECT_EQ(host.malloc_calls, 3);
        EXPECT_EQ(host.free_calls, 1);  // the frame buffer went back at once
        EXPECT_EQ(host.live_count(), 1u);

        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        EXPECT_EQ(host.free_calls, 1);  // nothing left for Done to release
        pcmOutAudioFree(enc);
        EXPECT_TRUE(out.events.empty());
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
    }
}

TEST(Lifecycle, NullEncoderIsRefusedByPutBytesAndDone) {
    Host host;
    const uint8_t byte = 0;
    EXPECT_EQ(pcmOutAudioPutBytes(nullptr, &byte, 1), 1);
    EXPECT_EQ(pcmOutAudioPutBytes(nullptr, nullptr, 0), 1);
    EXPECT_EQ(pcmOutAudioDone(nullptr, 0), 1);
    EXPECT_EQ(pcmOutAudioDone(nullptr, 1), 1);
    pcmOutAudioFree(nullptr);  // does nothing
    EXPECT_EQ(host.malloc_calls + host.free_calls, 0);
}

// PutBytes on an encoder that has no bound stream and buffers (Init never
// called, Init failed, or Done already called) is refused with P001 and
// writes nothing; Done on it writes nothing and succeeds.
TEST(Lifecycle, PutBytesWithoutSuccessfulInitOrAfterDoneIsRefused) {
    enum class Situation { never_initialised, init_without_stream, init_out_of_memory,
                           after_done, after_aborted_done, after_done_mid_stream };
    struct Case {
        const char *name;
        Situation situation;
    } const cases[] = {
        {"Init never called", Situation::never_initialised},
        {"Init without stream", Situation::init_without_stream},
        {"Init out of memory", Situation::init_out_of_memory},
        {"after Done", Situation::after_done},
        {"after aborted Done", Situation::after_aborted_done},
        {"after Done mid-stream", Situation::after_done_mid_stream},
    };
    const std::vector<uint8_t> input = counting_bytes(1000);
    for (const LayerCase &layer : kLayers) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(layer.name) + ", " + c.name);
            Host host;
            pcm_a_encoder *enc =
                host.new_encoder(&layer.settings, 0, kRateCode25, 48000);
            ASSERT_NE(enc, nullptr);
            RecordingStream out;
            switch (c.situation) {
            case Situation::never_initialised: break;
            case Situation::init_without_stream:
                ASSERT_EQ(pcmOutAudioInit(enc, nullptr), 1);
                break;
            case Situation::init_out_of_memory:
                host.fail_malloc_call = 2;
                ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 1);
                break;
            case Situation::after_done:
                ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
                ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
                break;
            case Situation::after_aborted_done:
                ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
                ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 10), 0);
                ASSERT_EQ(pcmOutAudioDone(enc, 1), 0);
                break;
            case Situation::after_done_mid_stream:
                ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
                ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 10), 0);
                ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
                break;
            }
            const size_t events_before = out.events.size();
            host.errors.clear();

            EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 1000), 1);
            EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 0), 1);
            EXPECT_EQ(host.errors, (std::vector<Message>{kInvalidParameter, kInvalidParameter}));
            EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
            EXPECT_EQ(pcmOutAudioDone(enc, 1), 0);
            EXPECT_EQ(out.events.size(), events_before);
            EXPECT_EQ(host.errors.size(), 2u);
            pcmOutAudioFree(enc);
            EXPECT_EQ(host.live_count(), 0u);
            EXPECT_TRUE(host.freed_foreign.empty());
        }
    }
}

TEST(Lifecycle, PutBytesWithNullDataAndNonZeroSizeIsRefused) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, nullptr, 1), 1);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, nullptr, c.frame_input), 1);
        EXPECT_EQ(host.errors, (std::vector<Message>{kInvalidParameter, kInvalidParameter}));
        EXPECT_TRUE(out.events.empty());  // not even the stream header

        // Nothing was taken: the encoder still streams normally, and a null
        // pointer with nothing to read is an ordinary empty call.
        EXPECT_EQ(pcmOutAudioPutBytes(enc, nullptr, 0), 0);
        EXPECT_EQ(describe_events(out.events), "W8 A8@-1");
        const std::vector<uint8_t> input = counting_bytes(c.frame_input);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input), 0);
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);
        EXPECT_EQ(out.aux_records().back().byte_count, c.frame_written);
        EXPECT_EQ(out.aux_records().back().timestamp, 0);
        EXPECT_EQ(host.live_count(), 0u);
    }
}

TEST(Lifecycle, SecondInitReleasesTheFirstBuffers) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream first, second;
        ASSERT_EQ(pcmOutAudioInit(enc, first.stream()), 0);
        EXPECT_EQ(host.live_count(), 1u + c.buffers);
        ASSERT_EQ(pcmOutAudioInit(enc, second.stream()), 0);
        EXPECT_EQ(host.free_calls, c.buffers);
        EXPECT_EQ(host.live_count(), 1u + c.buffers);

        // A third Init whose frame buffer cannot be had still gives the
        // buffers of the second back: the release comes before the attempt.
        host.fail_malloc_call = host.malloc_calls + 1;
        EXPECT_EQ(pcmOutAudioInit(enc, second.stream()), 1);
        EXPECT_EQ(host.live_count(), 1u);
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
        EXPECT_TRUE(first.events.empty());
        EXPECT_TRUE(second.events.empty());
    }
}

// Init resets the frame count and drops a pending partial frame; the stream
// header counts as written for the encoder's whole life.
TEST(Lifecycle, SecondInitRestartsFramesButNotTheHeader) {
    Host host;
    const pcm_a_settings settings = kLayers[0].settings;
    pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
    ASSERT_NE(enc, nullptr);
    RecordingStream first, second;
    ASSERT_EQ(pcmOutAudioInit(enc, first.stream()), 0);
    const std::vector<uint8_t> a = counting_bytes(330);
    ASSERT_EQ(pcmOutAudioPutBytes(enc, a.data(), 330), 0);
    ASSERT_EQ(pcmOutAudioInit(enc, second.stream()), 0);
    std::vector<uint8_t> b(320);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0xFF - i);
    ASSERT_EQ(pcmOutAudioPutBytes(enc, b.data(), 320), 0);
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);

    EXPECT_EQ(describe_events(first.events), "W8 A8@-1 W320 A320@0");
    EXPECT_EQ(describe_events(second.events), "W320 A320@0");
    EXPECT_EQ(second.bytes(), swapped_pairs(b));
    EXPECT_EQ(host.live_count(), 0u);
}

TEST(Lifecycle, FreeWithoutDoneReleasesTheFrameBuffers) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> input = counting_bytes(c.frame_input + 10);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input + 10), 0);
        const size_t events_before = out.events.size();
        pcmOutAudioFree(enc);
        EXPECT_EQ(out.events.size(), events_before);  // the partial frame is dropped
        EXPECT_EQ(host.free_calls, 1 + c.buffers);
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
    }
}

TEST(Lifecycle, DoneWithoutPutBytesWritesNothing) {
    for (const LayerCase &c : kLayers) {
        for (int32_t abort_flag : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + " abort " + std::to_string(abort_flag));
            Host host;
            pcm_a_encoder *enc =
                host.new_encoder(&c.settings, 0, kRateCode25, 48000);
            ASSERT_NE(enc, nullptr);
            RecordingStream out;
            ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
            EXPECT_EQ(pcmOutAudioDone(enc, abort_flag), 0);
            EXPECT_TRUE(out.events.empty());
            EXPECT_EQ(host.live_count(), 1u);  // buffers released, object left
            pcmOutAudioFree(enc);
            EXPECT_EQ(host.live_count(), 0u);
        }
    }
}

TEST(Lifecycle, DoneWithAbortDropsThePartialFrameAndReleasesBuffers) {
    for (const LayerCase &c : kLayers) {
        for (int32_t abort_flag : {1, -1, 0x100}) {
            SCOPED_TRACE(std::string(c.name) + " abort " + std::to_string(abort_flag));
            Host host;
            pcm_a_encoder *enc =
                host.new_encoder(&c.settings, 0, kRateCode25, 48000);
            ASSERT_NE(enc, nullptr);
            RecordingStream out;
            ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
            const std::vector<uint8_t> input = counting_bytes(c.frame_input + 6);
            ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input + 6), 0);
            const std::string before = describe_events(out.events);
            EXPECT_EQ(pcmOutAudioDone(enc, abort_flag), 0);
            EXPECT_EQ(describe_events(out.events), before);
            EXPECT_EQ(host.live_count(), 1u);
            // Done again, either way, on released buffers: nothing at all.
            EXPECT_EQ(pcmOutAudioDone(enc, abort_flag), 0);
            EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
            EXPECT_EQ(describe_events(out.events), before);
            EXPECT_EQ(host.free_calls, c.buffers);
            pcmOutAudioFree(enc);
            EXPECT_EQ(host.live_count(), 0u);
        }
    }
}

TEST(Lifecycle, DoneTwiceFlushesOnce) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> input = counting_bytes(6);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 6), 0);
        ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
        const std::vector<aux_record> aux = out.aux_records();
        ASSERT_EQ(aux.size(), 2u);
        EXPECT_EQ(aux.back().byte_count, c.frame_written);  // the padded frame, full size
        EXPECT_EQ(aux.back().timestamp, 0);
        const size_t events_after_first = out.events.size();
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        EXPECT_EQ(out.events.size(), events_after_first);
        EXPECT_EQ(host.free_calls, c.buffers);
        pcmOutAudioFree(enc);
        EXPECT_EQ(host.live_count(), 0u);
    }
}

TEST(Lifecycle, FailedFlushStillReleasesTheBuffers) {
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> input = counting_bytes(6);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 6), 0);
        out.fail_write_call = out.write_calls + 1;
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 1);
        EXPECT_EQ(host.errors, std::vector<Message>{kWriteFailed});
        EXPECT_TRUE(out.events.back().write_failed);
        EXPECT_EQ(out.aux_records().size(), 1u);  // the stream header's only
        EXPECT_EQ(host.live_count(), 1u);
        pcmOutAudioFree(enc);
        EXPECT_EQ(host.live_count(), 0u);
    }
}

// A stream header that cannot be written is tried again by the next call;
// the failed call takes none of its input.
TEST(Lifecycle, HeaderWriteFailureTakesNoInputAndIsRetried) {
    const uint32_t results[] = {0, 7, 9, 0xFFFFFFFF};
    for (const LayerCase &c : kLayers) {
        for (uint32_t result : results) {
            SCOPED_TRACE(std::string(c.name) + " write returns " + std::to_string(result));
            Host host;
            pcm_a_encoder *enc =
                host.new_encoder(&c.settings, 0, kRateCode25, 48000);
            ASSERT_NE(enc, nullptr);
            RecordingStream out;
            ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
            out.fail_write_call = 1;
            out.fail_result = result;
            const std::vector<uint8_t> input = counting_bytes(c.frame_input * 2 + 6);
            EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input + 6), 1);
            EXPECT_EQ(describe_events(out.events), "W8!");
            EXPECT_EQ(host.errors, std::vector<Message>{kWriteFailed});

            // Retried: header, then exactly one frame of this call's input.
            EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data() + 6, c.frame_input), 0);
            EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);  // nothing of the first call pending
            pcmOutAudioFree(enc);
            const std::vector<aux_record> aux = out.aux_records();
            ASSERT_EQ(aux.size(), 2u);
            EXPECT_EQ(aux[0].byte_count, 8u);
            EXPECT_EQ(aux[0].timestamp, -1);
            EXPECT_EQ(aux[1].byte_count, c.frame_written);
            EXPECT_EQ(aux[1].timestamp, 0);
            const std::vector<uint8_t> stream = out.bytes();
            ASSERT_GE(stream.size(), 8u);
            if (c.settings.audio_layer == PCM_LAYER_DVD_LPCM) {
                std::vector<uint8_t> expected = kDvdStereo48kHeader;
                const std::vector<uint8_t> frame =
                    swapped_pairs({input.begin() + 6, input.begin() + 6 + c.frame_input});
                expected.insert(expected.end(), frame.begin(), frame.end());
                EXPECT_EQ(fakes::hex(stream), fakes::hex(expected));
            }
            if (c.settings.audio_layer == PCM_LAYER_HDMV_LPCM) {
                // Stream header and frame header, then the payload as given.
                std::vector<uint8_t> expected = {0x48, 0x44, 0x4D, 0x56, 0x0D, 0x01, 0x00, 0x00,
                                                 0x03, 0xC0, 0x31, 0x40};
                for (size_t i = 0; i < c.frame_input; ++i) expected.push_back(input[6 + i]);
                EXPECT_EQ(fakes::hex(stream), fakes::hex(expected));
            }
            EXPECT_EQ(host.live_count(), 0u);
        }
    }
}

// Each sink is resolved on its own: a host may supply any subset, and every
// missing one falls back to a sink that drops messages. The allocator pair
// comes whole or not at all (AllocatorPairIsWholeOrAbsent).
TEST(Lifecycle, EachWithheldSinkFallsBackOnItsOwn) {
    const char *const names[] = {"err_printf", "wrn_printf", "inf_printf"};
    for (const char *name : names) {
        SCOPED_TRACE(std::string("withheld ") + name);
        const std::string withheld = name;
        Host host;
        host.withheld.insert(withheld);
        const pcm_a_settings settings = kLayers[0].settings;
        pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(pcmOutAudioInit(enc, nullptr), 1);  // one error for the sink
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> input = counting_bytes(330);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 330), 0);
        ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);

        EXPECT_EQ(host.lookups, kAllLookups);
        EXPECT_EQ(describe_events(out.events), "W8 A8@-1 W320 A320@0 W320 A320@45000");
        EXPECT_TRUE(host.warnings.empty());
        EXPECT_TRUE(host.infos.empty());
        if (withheld == "err_printf") {
            EXPECT_TRUE(host.errors.empty());
        } else {
            EXPECT_EQ(host.errors, std::vector<Message>{kInvalidParameter});
        }
        EXPECT_EQ(host.malloc_calls, 2);
        EXPECT_EQ(host.free_calls, 2);
        EXPECT_EQ(host.live_count(), 0u);
        EXPECT_TRUE(host.freed_foreign.empty());
    }
}

TEST(Lifecycle, NullLookupUsesTheCLibraryAndDropsMessages) {
    Host host;  // only to show that none of its functions is called
    for (const LayerCase &c : kLayers) {
        SCOPED_TRACE(c.name);
        pcm_a_encoder *enc = pcmOutAudioNew(nullptr, &c.settings, 0, kRateCode25, 48000);
        ASSERT_NE(enc, nullptr);
        EXPECT_EQ(pcmOutAudioInit(enc, nullptr), 1);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> input = counting_bytes(c.frame_input + 6);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.frame_input + 6), 0);
        out.fail_write_call = out.write_calls + 1;
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 1);  // P002 goes nowhere
        pcmOutAudioFree(enc);
        EXPECT_EQ(describe_events(out.events).substr(0, 8), "W8 A8@-1");
        EXPECT_EQ(out.aux_records().size(), 2u);  // header and the one whole frame
        EXPECT_TRUE(out.events.back().write_failed);

        // A refused frame rate code releases the object through the C library.
        if (c.buffers == 2) {
            EXPECT_EQ(pcmOutAudioNew(nullptr, &c.settings, 0, 0, 48000), nullptr);
        }
        const pcm_a_settings bad_layer = make_settings(2, 5, PCM_QUANT_16);
        EXPECT_EQ(pcmOutAudioNew(nullptr, &bad_layer, 0, kRateCode25, 48000), nullptr);
        EXPECT_EQ(pcmOutAudioNew(nullptr, nullptr, 0, kRateCode25, 48000), nullptr);
    }
    EXPECT_TRUE(host.lookups.empty());
    EXPECT_EQ(host.malloc_calls + host.free_calls, 0);
    EXPECT_TRUE(host.errors.empty());
}

TEST(Lifecycle, LookupAnsweringNullIsAskedSixTimes) {
    const pcm_a_settings settings = kLayers[0].settings;
    const int before = fakes::null_lookup_calls();
    pcm_a_encoder *enc = pcmOutAudioNew(fakes::null_lookup, &settings, 0, 0, 48000);
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(fakes::null_lookup_calls() - before, 6);
    RecordingStream out;
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    const std::vector<uint8_t> input = counting_bytes(320);
    ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 320), 0);
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_EQ(fakes::null_lookup_calls() - before, 6);
    EXPECT_EQ(describe_events(out.events), "W8 A8@-1 W320 A320@0");
}

}  // namespace
