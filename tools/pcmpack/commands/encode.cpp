// SPDX-License-Identifier: BSD-2-Clause
// pcmpack encode: audio in, one elementary stream out, through the library's
// exported interface only (preset, check, New, Init, PutBytes, Done, Free).
#include "source/audio_source.h"
#include "source/channel_layout.h"
#include "commands/encode_options.h"
#include "common.h"
#include "format/stream_format.h"
#include "source/conversion.h"
#include "source/burst_scan.h"
#include "source/data_bursts.h"
#include "source/input.h"
#include "source/word_order.h"
#include "containers/container.h"
#include "outputs/network_output.h"
#include "outputs/output.h"
#include "settings.h"

#include <pcmpack.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace pcmtool {

namespace {

// --- messages from the library --------------------------------------------

// The tool as the library's host: its allocator is the C library's. The
// coded messages are for a report or a search, so they reach the user under
// -v only: those of the running encoder are then printed as they come and
// counted, so that a refusal points at them only when there are some; those
// of the settings check are held, to follow the plain-words refusal.
struct LibraryHost {
    int messages = 0;
    std::vector<std::string> held;
    pcm_host record{};

    // What becomes of each message: held for later, printed at once, or
    // only counted.
    enum class Mode { hold, print, count };
    Mode mode;

    explicit LibraryHost(Mode m) : mode(m) {
        record.message = &LibraryHost::message;
        record.opaque = this;
    }

    static void message(void *opaque, const char *format, ...) {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        auto *self = static_cast<LibraryHost *>(opaque);
        ++self->messages;
        if (self->mode == Mode::count) return;
        // No exception may cross the library: a message that cannot be held
        // is printed instead.
        if (self->mode == Mode::hold) {
            try {
                self->held.emplace_back(text);
                return;
            } catch (...) {
            }
        }
        std::fprintf(stderr, "pcmpack: %s\n", text);
    }

    std::string see_above() const { return messages && mode == Mode::print ? " (see the messages above)" : ""; }
};

// --- the output stream ------------------------------------------------------

// The bufstream handed to the library. Its first host slot points back here.
// Index lines are written as the frames are announced, so that the index of
// any length of audio takes no memory.
struct FileStream {
    bufstream bs{};
    ByteSink *out = nullptr;
    ContainerWriter *container = nullptr;  // null: the elementary stream itself
    OutputFile *index = nullptr;
    bool json = false;
    uint64_t written = 0;   // bytes on the stream so far
    uint64_t recorded = 0;  // bytes covered by aux_records so far
    std::string failure;    // why a write failed; the library only says P002

    static uint32_t write_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
        auto *self = static_cast<FileStream *>(stream->host_slot1);
        // No exception may cross the library: a failed write is answered
        // with a short count, which the library turns into P002.
        if (!self->failure.empty()) return 0;
        try {
            if (self->container)
                self->container->add(data, size);
            else
                self->out->write(data, size);
        } catch (const Failure &failure) {
            if (self->failure.empty()) self->failure = failure.what();
            return 0;
        }
        self->written += size;
        return size;
    }

    static uint32_t auxinfo(bufstream *stream, uint32_t, uint32_t info_id, void *info,
                            uint32_t info_size) {
        auto *self = static_cast<FileStream *>(stream->host_slot1);
        if (info_id != AUX_FRAME_INFO_ID || info_size != sizeof(aux_record) || !info) return 0;
        aux_record record;
        std::memcpy(&record, info, sizeof record);
        if (self->index) self->index_line(record);
        self->recorded += record.byte_count;
        // A muxer failure stops the next write, which the library reports.
        if (self->container && self->failure.empty()) {
            try {
                self->container->end_unit(record.byte_count, record.timestamp);
            } catch (const Failure &failure) {
                self->failure = failure.what();
            }
        }
        return 0;
    }

    void index_line(const aux_record &record) {
        char line[160];
        const unsigned long long offset = recorded;
        const unsigned bytes = record.byte_count;
        const long long ticks = record.timestamp;
        const double seconds = static_cast<double>(record.timestamp) / 27e6;
        int n;
        if (!json)
            n = ticks < 0 ? std::snprintf(line, sizeof line, "%llu,%u,%lld,\n", offset, bytes, ticks)
                          : std::snprintf(line, sizeof line, "%llu,%u,%lld,%.9f\n", offset, bytes,
                                          ticks, seconds);
        else
            n = ticks < 0
                    ? std::snprintf(line, sizeof line,
                                    "{\"offset\":%llu,\"bytes\":%u,\"ticks\":%lld,\"seconds\":null}\n",
                                    offset, bytes, ticks)
                    : std::snprintf(line, sizeof line,
                                    "{\"offset\":%llu,\"bytes\":%u,\"ticks\":%lld,\"seconds\":%.9f}\n",
                                    offset, bytes, ticks, seconds);
        try {
            index->write(line, static_cast<size_t>(n));
        } catch (const Failure &failure) {
            if (this->failure.empty()) this->failure = failure.what();
        }
    }

    FileStream(ByteSink *file, OutputFile *index_file, bool index_json)
        : out(file), index(index_file), json(index_json) {
        bs.host_slot1 = this;
        bs.write_bytes = &FileStream::write_bytes;
        bs.auxinfo = &FileStream::auxinfo;
        if (index && !json) index->write("offset,bytes,ticks,seconds\n", 27);
    }
};

struct EncoderDeleter {
    void operator()(pcm_a_encoder *encoder) const {
        pcmOutAudioDone(encoder, 1);  // abort: nothing more is written
        pcmOutAudioFree(encoder);
    }
};

int quantization_of(int bits) { return bits == 16 ? PCM_QUANT_16 : bits == 20 ? PCM_QUANT_20 : PCM_QUANT_24; }

std::string plural(int n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a refusal says about the run, in the user's terms: the input's
// channels, bits and rate as the user gave or converted them.
struct RefusalContext {
    const std::string &input;
    const pcm_a_settings &settings;
    int video_type;
    int rate;
    int source_channels;
    int bits;
    bool resampled;  // the rate is --resample's, not the input's
};

// The rate the run would write, the input's or the one --resample gives.
std::string rate_subject(const RefusalContext &c) {
    return c.input + ": " + std::to_string(c.rate) + " Hz; ";
}

std::string rate_fix(const RefusalContext &c) {
    return c.resampled ? " (give --resample 48000)" : " (--resample 48000 converts it)";
}

// One plain line for one failed check, naming the value the user counts and
// the option that fixes it where one does.
std::string explain_refusal(int32_t code, const RefusalContext &c) {
    const int layer = c.settings.audio_layer;
    const std::string layer_text = pcmpack_format::layer_name(layer);
    const int channels = c.settings.channels_minus_one + 1;
    const std::string channel_text = c.input + ": " + plural(channels, "channel", "channels") + "; ";
    const std::string bits_text = c.input + ": " + std::to_string(c.bits) + "-bit samples; ";
    const char *const shorten = " (--bits 16 shortens them with TPDF dither)";
    switch (code) {
    case PCM_CHECK_SAMPLE_RATE:
        // The general rule takes 96000 Hz, which the AES3 layers do not.
        if (layer == PCM_LAYER_AES3_302M || layer == PCM_LAYER_AES3_D10 || layer == PCM_LAYER_AES3_PLANAR)
            return (c.resampled ? "--resample " + std::to_string(c.rate) + ": " : rate_subject(c)) +
                   "the AES3 layers (10, 11, 12) carry 48000 Hz only" +
                   (c.resampled ? "" : " (--resample 48000 converts it)");
        return rate_subject(c) + "this target needs 48000 or 96000 Hz" + rate_fix(c);
    case PCM_CHECK_CHANNELS:
        if (channels > 8) return channel_text + "at most 8 are carried";
        if (layer == PCM_LAYER_DVD_LPCM)
            return channel_text + layer_text +
                   " carries 1 or 2 channels (mix down to 2 first; HDMV LPCM, --target hdmv, "
                   "carries 5.1 and 7.1)";
        if (layer == PCM_LAYER_HDMV_LPCM)
            return c.input + ": " + plural(c.source_channels, "channel", "channels") + "; " +
                   layer_text + " carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, 3/4)";
        return channel_text + layer_text + " carries channel pairs: 2, 4, 6 or 8 channels";
    case PCM_CHECK_QUANTIZATION:
        if (layer == PCM_LAYER_DVD_LPCM) return bits_text + layer_text + " carries 16-bit words only" + shorten;
        return bits_text + layer_text + " carries 20- or 24-bit words (--bits 24 widens 16-bit samples exactly)";
    case PCM_CHECK_DVD_NEEDS_PCM:
        return "video type " + std::to_string(c.video_type) + " (DVD) takes layer 4 (DVD LPCM), not layer " +
               std::to_string(layer) + " (" + layer_text + ")";
    case PCM_CHECK_DVDVR_SAMPLE_RATE:
        return rate_subject(c) + "DVD-VR needs 48000 Hz" + rate_fix(c);
    case PCM_CHECK_DVDVR_CHANNELS:
        return channel_text + "DVD-VR carries 1 or 2 (mix down to 2 first)";
    case PCM_CHECK_DVDVR_QUANTIZATION:
        return bits_text + "DVD-VR carries 16-bit words only" + shorten;
    case PCM_CHECK_DVHS_SAMPLE_RATE:
        return rate_subject(c) + "DVHS needs 48000 Hz" + rate_fix(c);
    case PCM_CHECK_DVHS_CHANNELS:
        return channel_text + "DVHS carries 2 (mix down to 2 first)";
    case PCM_CHECK_DVHS_QUANTIZATION:
        return bits_text + "DVHS carries 16-bit words only" + shorten;
    case PCM_CHECK_VCD_NEEDS_MPEG:
    case PCM_CHECK_SVCD_NEEDS_MPEG:
    case PCM_CHECK_HDV_NEEDS_MPEG:
        return "video type " + std::to_string(c.video_type) +
               " needs MPEG audio, which pcmpack does not write";
    default:
        return "the settings do not suit video type " + std::to_string(c.video_type) + ": " +
               pcmOutAudioCheckText(code);
    }
}

// The property a failed check is about, and a value of it that every layer
// and target accepts, so that the check can run on to the next rule.
enum class Property { rate, channels, words, mute, emphasis };

struct CheckProperty {
    int32_t code;
    Property property;
};

constexpr CheckProperty kCheckProperties[] = {
    {PCM_CHECK_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_DVDVR_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_DVHS_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_CHANNELS, Property::channels},
    {PCM_CHECK_DVDVR_CHANNELS, Property::channels},
    {PCM_CHECK_DVHS_CHANNELS, Property::channels},
    {PCM_CHECK_QUANTIZATION, Property::words},
    {PCM_CHECK_DVDVR_QUANTIZATION, Property::words},
    {PCM_CHECK_DVHS_QUANTIZATION, Property::words},
    {PCM_CHECK_MUTE, Property::mute},
    {PCM_CHECK_EMPHASIS, Property::emphasis},
    {PCM_CHECK_DVHS_EMPHASIS, Property::emphasis},
};

// Sets the property a failed check is about to an accepted value; false for
// a check no property value passes (the layer, or audio pcmpack does not
// write), after which the remaining rules say nothing useful.
bool accept_property(int32_t code, pcm_a_settings &s, int &rate) {
    for (const CheckProperty &row : kCheckProperties) {
        if (row.code != code) continue;
        switch (row.property) {
        case Property::rate: rate = 48000; return true;
        case Property::channels: s.channels_minus_one = 1; return true;
        // D-10 takes no 16-bit words; every other layer takes them.
        case Property::words:
            s.quantization = s.audio_layer == PCM_LAYER_AES3_D10 ? PCM_QUANT_20 : PCM_QUANT_16;
            return true;
        case Property::mute: s.mute_flag = 0; return true;
        case Property::emphasis: s.emphasis = 0; return true;
        }
    }
    return false;
}

// Every check the settings fail, in the library's rule order. The library
// returns one code per check, so each failed property is given an accepted
// value and the check runs again, until the settings pass or a check fails
// that no property value passes.
std::vector<int32_t> failed_checks(pcm_a_settings s, int video_type, int rate) {
    std::vector<int32_t> codes;
    for (;;) {
        const int32_t code = pcmOutAudioCheckSettings(&s, video_type, rate);
        // A code seen before means the accepted value was not accepted:
        // stop rather than report it twice.
        if (code == PCM_CHECK_OK || std::find(codes.begin(), codes.end(), code) != codes.end()) break;
        codes.push_back(code);
        if (!accept_property(code, s, rate)) break;
    }
    return codes;
}

// How the tool lays out the samples it hands to the library.
struct WordLayout {
    size_t width;         // bytes per sample: 2, or 3 for 20 and 24 bits
    uint32_t mask;        // the bits of a left-justified sample that are kept
    int source_channels;  // channels read from the source
    int coded_channels;   // channels the layer carries (HDMV may add padding)
    bool big_endian;
    const int *source_of_coded;  // source channel of each coded channel; -1: padding
};

// Left-justified 32-bit samples to the layer's input words, each coded
// channel from its source channel; a padding channel is silent. Returns the
// bytes written.
size_t to_layer_words(const int32_t *samples, size_t periods, const WordLayout &w, uint8_t *out) {
    uint8_t *p = out;
    for (size_t period = 0; period < periods; ++period) {
        for (int ch = 0; ch < w.coded_channels; ++ch, p += w.width) {
            const int from = w.source_of_coded[ch];
            const uint32_t v =
                from >= 0
                    ? static_cast<uint32_t>(samples[period * size_t(w.source_channels) + size_t(from)]) & w.mask
                    : 0u;
            const uint8_t b3 = static_cast<uint8_t>(v >> 24), b2 = static_cast<uint8_t>(v >> 16),
                          b1 = static_cast<uint8_t>(v >> 8);
            if (w.width == 2) {
                p[0] = w.big_endian ? b3 : b2;
                p[1] = w.big_endian ? b2 : b3;
            } else {
                p[0] = w.big_endian ? b3 : b1;
                p[1] = b2;
                p[2] = w.big_endian ? b1 : b3;
            }
        }
    }
    return static_cast<size_t>(p - out);
}

// What a run does to the words of the source's channel pairs.
struct WordPlan {
    bool dither = false;  // TPDF dither reaches the words
    int source_rate = 0;
    int rate = 0;         // of the output
    int bits = 0;         // of the output words
    int layer = 0;
    std::vector<bool> split;  // by source pair: the channel order parts its two words
    std::string order;        // whose channel order: "HDMV 5.1", or the layer
};

// Why the run would change the words of a source pair's bursts of `mode`
// bits, and the option that keeps them; empty when they pass untouched.
std::string word_change(const WordPlan &w, size_t pair, int mode) {
    if (w.rate != w.source_rate)
        return "resampling to " + std::to_string(w.rate) +
               " Hz would change their words (leave out --resample to keep them)";
    // D-10 keeps 20 bits of a 24-bit word whatever --bits says.
    if (w.layer == PCM_LAYER_AES3_D10 && mode == 24)
        return "D-10 (layer 11) carries 20 bits of each 24-bit word, which would cut every burst of "
               "the 24-bit mode (--layer 10 or --layer 12 keeps them)";
    if (w.bits < mode)
        return std::to_string(w.bits) + "-bit words would cut the bursts' " + std::to_string(mode) +
               "-bit words (--bits " + std::to_string(mode) + " keeps them)";
    if (w.dither) return "TPDF dither would change their words (--dither none keeps them)";
    if (pair < w.split.size() && w.split[pair])
        return "the channel order of " + w.order + " would split the pair" +
               (w.layer == PCM_LAYER_HDMV_LPCM ? " (--channel-order keep keeps it)" : "");
    return {};
}

// The refusal of a pair that holds bursts the run would change.
std::string refuse_bursts(const std::string &input, size_t pair, uint32_t data_type, int mode,
                          double seconds, const std::string &why) {
    char from[48];
    std::snprintf(from, sizeof from, " from %.3f s", seconds);
    return input + ": channels " + std::to_string(2 * pair + 1) + " and " + std::to_string(2 * pair + 2) +
           " (pair " + std::to_string(pair + 1) + ") hold " + describe_bursts(data_type, mode) +
           " data bursts" + from + ", which are carried word for word: " + why;
}

// How a network output sends: the input is the clock when it comes from a
// pipe or device, the audio's own time when it is a file to be read.
Pace choose_pace(const std::string &option, const AudioSource *source) {
    if (option == "audio") return Pace::audio;
    if (option == "none") return Pace::none;
    return source && !source->file().regular() ? Pace::input : Pace::audio;
}

const char *pace_text(Pace pace) {
    switch (pace) {
    case Pace::audio: return "paced by the audio";
    case Pace::input:
        return "each frame sent as the input completes it, not before its time in the audio "
               "(paced by the audio while the pipe runs ahead of it)";
    case Pace::none: return "sent as fast as the network takes them";
    }
    return "";
}

// The transport stream's timing: what the user asked for, and for a network
// output a constant rate and a short delay that receivers check, refused
// when the rate cannot carry the audio.
MuxTiming plan_timing(const EncodeOptions &o, bool network, const StreamShape &shape) {
    MuxTiming timing;
    // The contribution default: a decoder's buffer of 100 ms.
    if (o.latency_ms >= 0 || network) timing.latency_us = int64_t{o.latency_ms >= 0 ? o.latency_ms : 100} * 1000;
    if (o.muxrate == 0 && !network) return timing;
    const int64_t needed = transport_bit_rate_needed(shape);
    timing.bit_rate = o.muxrate ? o.muxrate : transport_bit_rate_default(shape);
    if (timing.bit_rate < needed)
        throw Failure("--muxrate " + std::to_string(o.muxrate) + ": " +
                      std::to_string(shape.params.channels) + " channels of " +
                      std::to_string(shape.params.bits) + "-bit words need at least " +
                      std::to_string(needed) + " bits/s in a transport stream");
    return timing;
}

}  // namespace

int run_encode(const EncodeOptions &o) {
    const bool with_data = !o.data.empty();
    const bool with_audio = !o.input.empty();
    if (!with_audio && !with_data)
        throw Failure("encode needs an INPUT (an audio file, or '-'), or --data with compressed audio");
    const std::string input = with_audio ? display_name(o.input) : o.data;
    // A URL output has no file under its name to protect or replace.
    const bool network = is_live_url(o.output);
    std::vector<FileRole> outputs;
    if (!network) outputs.push_back({o.output, "stream"});
    if (!o.index.empty()) outputs.push_back({o.index, "index"});
    std::vector<FileRole> inputs;
    if (with_audio) inputs.push_back({o.input, "input"});
    if (with_data) inputs.push_back({o.data, "data"});
    refuse_shared_files(inputs, outputs);
    // The outputs are planned before the input is opened: whatever would
    // keep them from appearing is refused before any audio is read.
    OutputSet files(o.overwrite);
    OutputFile *file_out = network ? nullptr : &files.open(o.output);
    OutputFile *index = o.index.empty() ? nullptr : &files.open(o.index);

    // Settings: the target's preset, then the explicit overrides.
    int video_type = o.video_type;
    if (video_type < 0) video_type = target_video_type(o.target);
    pcm_a_settings s;
    const char *preset = pcmOutAudioDefaults(&s, video_type);
    if (!preset && o.layer == 0)
        throw Failure("video type " + std::to_string(video_type) +
                      " has no preset; give --layer (see `pcmpack presets`)");
    // A layer other than the one the named target takes is worth a word.
    if (preset && o.target_given && o.layer != 0 && o.layer != s.audio_layer)
        std::fprintf(stderr, "pcmpack: note: --layer %d replaces the target's layer %d (%s) with %s\n",
                     o.layer, s.audio_layer, pcmpack_format::layer_name(s.audio_layer), pcmpack_format::layer_name(o.layer));
    if (o.layer != 0) s.audio_layer = o.layer;
    const int layer = s.audio_layer;
    const bool aes3 = layer == PCM_LAYER_AES3_302M || layer == PCM_LAYER_AES3_D10 ||
                      layer == PCM_LAYER_AES3_PLANAR;
    const std::string layer_text =
        std::string("layer ") + std::to_string(layer) + " (" + pcmpack_format::layer_name(layer) + ")";

    // Options that do not apply are refused, not ignored.
    const bool rate_given = !o.frame_rate.empty() || o.frame_rate_code != 0;
    if (rate_given && !aes3)
        throw Failure(std::string(!o.frame_rate.empty() ? "--frame-rate" : "--frame-rate-code") +
                      " applies to the AES3 layers (10, 11, 12) only; " + layer_text +
                      (layer == PCM_LAYER_HDMV_LPCM ? " has frames of 1/200 s" : " has frames of 1/600 s") +
                      " whatever the video");
    if (with_data && !aes3)
        throw Failure("--data carries data bursts in an AES3 channel pair: layers 10, 11 and 12 "
                      "only; " + layer_text + " carries no AES3 words");
    if (o.hdmv_pad_last && layer != PCM_LAYER_HDMV_LPCM)
        throw Failure("--hdmv-pad-last applies to layer 13 (HDMV LPCM) only, not to " + layer_text);
    const bool raw = o.rate != 0 || o.channels != 0 || !o.endian.empty();
    if (network && layer != PCM_LAYER_AES3_302M)
        throw Failure(o.output + ": the network carries layer 10 (SMPTE 302M), the layer with a "
                      "transport-stream mapping for contribution, not " + layer_text);
    if (network && !o.container.empty() && o.container != "ts")
        throw Failure(o.output + ": the network carries an MPEG transport stream (--container ts), "
                      "not --container " + o.container);
    if (!network && !o.pace.empty())
        throw Failure("--pace applies to a udp:// or srt:// output only");

    int frame_rate_code = o.frame_rate_code;
    if (!o.frame_rate.empty()) {
        frame_rate_code = parse_frame_rate(o.frame_rate);
        if (frame_rate_code == 0)
            throw Failure("--frame-rate " + o.frame_rate + ": not a frame rate; use one of " +
                          frame_rate_list() + " (or --frame-rate-code 1..8)");
    }
    if (aes3 && frame_rate_code == 0)
        throw Failure(std::string(pcmpack_format::layer_name(layer)) + " (layer " + std::to_string(layer) +
                      ") is cut one frame per video frame: give --frame-rate (" +
                      frame_rate_list() + ")");

    // The source.
    std::unique_ptr<AudioSource> source;
    if (!with_audio) {
    } else if (raw) {
        source = open_raw_pcm(o.input, o.rate, o.channels, o.bits ? o.bits : 16, o.endian == "big");
    } else {
        source = open_audio_file(o.input);
    }
    if (source) files.guard(source->file().fd(), input, "input");
    // A pre-wrapped source (data bursts already in a pair) is found in its
    // first second, before anything is planned around its words.
    std::vector<PairBursts> wrapped;
    if (source) source = peek_bursts(std::move(source), wrapped);
    const bool carries_wrapped =
        std::any_of(wrapped.begin(), wrapped.end(), [](const PairBursts &p) { return p.data(); });
    const int source_channels = source ? source->channels() : 0;

    // The word length is the source's, or the preset's for data alone; only
    // an explicit --bits changes it.
    const int preset_bits = s.quantization == PCM_QUANT_16 ? 16 : s.quantization == PCM_QUANT_20 ? 20 : 24;
    int bits = o.bits ? o.bits : source ? source->bits() : preset_bits;
    if (bits == 0)
        throw Failure(input + ": " + source->format() +
                      " samples have no word length the layers carry; choose one with --bits "
                      "16, 20 or 24");
    s.quantization = quantization_of(bits);
    // A D-10 element keeps 20 bits of each word: a burst of the 24-bit mode
    // would lose the low 4 bits of every payload word.
    if (with_data && layer == PCM_LAYER_AES3_D10 && bits == 24)
        throw Failure("--data: D-10 (layer 11) carries 20 bits of each 24-bit word, which would cut "
                      "every burst of the 24-bit mode; give --bits 16 or 20");
    std::unique_ptr<DataBursts> data;
    if (with_data) data = std::make_unique<DataBursts>(o.data, s.quantization);
    // D-10 takes no 16-bit words: bursts of the 16-bit mode ride in the upper
    // 16 bits of 20-bit words, the low 4 bits zero.
    if ((data || (carries_wrapped && !o.bits)) && layer == PCM_LAYER_AES3_D10 && bits == 16) {
        bits = 20;
        s.quantization = PCM_QUANT_20;
    }
    if (layer == PCM_LAYER_AES3_D10 && bits == 24 && source)
        std::fprintf(stderr,
                     "pcmpack: note: %s: a D-10 element carries 20 bits of each 24-bit sample: "
                     "the 20 most significant bits, what --bits 20 would give; an MXF reader "
                     "that takes channel word bits 4 to 23 as a signed sample gets them back "
                     "exactly, one that takes bits 4 to 27 gets them 4 bits down without their "
                     "sign (see docs/interop.md)\n",
                     input.c_str());
    // The rate is the source's unless --resample converts it.
    const int rate = o.resample ? o.resample : source ? source->rate() : 48000;
    // Dither would turn every burst into noise, so a run that carries one
    // has none unless asked, and asking is refused below.
    const bool dither = o.dither == "tpdf" || (o.dither.empty() && !carries_wrapped);
    ConversionRequest conversion{rate, bits, dither ? Dither::tpdf : Dither::none,
                                 find_resample_quality(o.resample_quality)};

    // Which source channel each coded channel carries: HDMV layouts in the
    // coded order readers take, the other layers in the source's order.
    ChannelRequest channel_request;
    channel_request.hdmv_layout = o.hdmv_layout;
    channel_request.keep_order = o.channel_order == "keep";
    channel_request.hdmv_pad_last = o.hdmv_pad_last;
    ChannelPlan plan;
    if (source) plan = plan_channels(*source, layer, channel_request, input);
    // A layout that does not hold is named with the other problems below;
    // meanwhile a stereo stand-in lets the rest of the run be checked.
    if (plan.source_of_coded.empty() && !plan.problems.empty())
        plan.source_of_coded = {0, source_channels > 1 ? 1 : -1};
    // The data pair takes the place of the input's channels there, or adds
    // channels after the input's, silent up to it.
    std::vector<int> source_of_coded = plan.source_of_coded;
    const int data_pair = o.data_pair - 1;
    if (data) {
        if (static_cast<int>(source_of_coded.size()) < 2 * data_pair + 2)
            source_of_coded.resize(2 * data_pair + 2, -1);
        if (source_channels > 2 * data_pair)
            std::fprintf(stderr, "pcmpack: note: %s: channels %d and %d carry the %s data, not the input's audio\n",
                         input.c_str(), 2 * data_pair + 1, 2 * data_pair + 2, data->data_type_name());
    }
    const int coded_channels = static_cast<int>(source_of_coded.size());
    // What the run does to each source pair's words; a pair it would change
    // is refused when it holds data bursts, now for those of the first
    // second, and as the samples stream for those that start later.
    WordPlan word_plan;
    word_plan.dither = conversion.dither == Dither::tpdf &&
                       (o.dither == "tpdf" || (source && source->precision() > bits));
    word_plan.source_rate = source ? source->rate() : rate;
    word_plan.rate = rate;
    word_plan.bits = bits;
    word_plan.layer = layer;
    word_plan.order = plan.layout ? "HDMV " + std::string(plan.layout->name) : layer_text;
    for (int left = 0; left + 1 < source_channels; left += 2) {
        // The pair's two words must stay side by side as a pair of the layer.
        bool kept = false;
        for (int c = 0; c + 1 < coded_channels; c += 2)
            kept = kept || (source_of_coded[size_t(c)] == left && source_of_coded[size_t(c) + 1] == left + 1);
        // A channel plan that does not hold has only a stereo stand-in: its
        // own rule is named below, not a split it never makes.
        word_plan.split.push_back(!kept && plan.problems.empty());
    }
    std::vector<bool> watched(word_plan.split.size());
    for (size_t pair = 0; pair < watched.size(); ++pair) {
        // The data pair's words are the data's, not the input's.
        if (data && data_pair == int(pair)) continue;
        // A source's words hold bursts of their own length or shorter.
        for (int mode : {16, 20, 24})
            if (mode <= source->precision())
                watched[pair] = watched[pair] || !word_change(word_plan, pair, mode).empty();
        if (pair < wrapped.size() && wrapped[pair].data()) {
            const std::string why = word_change(word_plan, pair, wrapped[pair].mode);
            if (!why.empty())
                throw Failure(refuse_bursts(input, pair, wrapped[pair].data_type, wrapped[pair].mode,
                                            double(wrapped[pair].first_burst) / source->rate(), why));
        }
    }
    bool pad_channel = false;
    if (!data)
        for (int from : plan.source_of_coded) pad_channel = pad_channel || from < 0;
    s.channels_minus_one = coded_channels - 1;

    // Every rule the run breaks is named, one plain line each; the library's
    // coded lines follow under -v, for a report or a search.
    LibraryHost check_host(o.verbose ? LibraryHost::Mode::hold : LibraryHost::Mode::count);
    const int32_t code =
        pcmOutAudioChkSettingsWithHost(&check_host.record, &s, video_type, rate, PCM_CHECK_REPORT_ALL);
    std::vector<std::string> problems;
    const RefusalContext context{input, s, video_type, rate, source_channels, bits, o.resample != 0};
    std::vector<int32_t> codes;
    if (code != PCM_CHECK_OK) codes = failed_checks(s, video_type, rate);
    if (code != PCM_CHECK_OK && codes.empty()) codes.push_back(code);
    // The AES3 layers carry 48000 Hz only, a rule of the tool's frame cut
    // that the library's general rule (48000 or 96000) leaves to it.
    const auto about_rate = [](int32_t failed) {
        for (const CheckProperty &row : kCheckProperties)
            if (row.code == failed) return row.property == Property::rate;
        return false;
    };
    if (aes3 && rate != 48000 && std::none_of(codes.begin(), codes.end(), about_rate))
        codes.push_back(PCM_CHECK_SAMPLE_RATE);
    for (int32_t failed : codes) problems.push_back(explain_refusal(failed, context));
    problems.insert(problems.end(), plan.problems.begin(), plan.problems.end());
    if (!problems.empty()) {
        if (o.verbose) problems.insert(problems.end(), check_host.held.begin(), check_host.held.end());
        std::string text = problems.front();
        for (size_t i = 1; i < problems.size(); ++i) text += "\npcmpack: " + problems[i];
        throw Failure(text);
    }

    LibraryHost host(o.verbose ? LibraryHost::Mode::print : LibraryHost::Mode::count);

    // Bursts that start after the first second are found as the samples
    // pass, before a conversion changes them: the run stops there, and its
    // outputs are never committed.
    if (source)
        source = watch_bursts(std::move(source), watched,
                              [&](size_t pair, const PairBursts &found, int source_rate) {
                                  const Segment &at = *found.first_data();
                                  const std::string why = word_change(word_plan, pair, at.mode);
                                  if (!why.empty())
                                      throw Failure(refuse_bursts(input, pair, at.data_type, at.mode,
                                                                  double(at.start) / source_rate, why));
                              });

    // Rate conversion and word-length reduction, only where the source needs
    // them to reach the output's rate and word length.
    const ConvertedSource *converter = nullptr;
    if (source && needs_conversion(*source, conversion)) {
        if (o.verbose)
            std::fprintf(stderr, "pcmpack: note: %s: %s\n", input.c_str(),
                         describe_conversion(*source, conversion).c_str());
        std::unique_ptr<ConvertedSource> converted = convert(std::move(source), conversion);
        converter = converted.get();
        source = std::move(converted);
    } else if (o.verbose && source && source->precision() < conversion.bits) {
        // Widening changes no sample, but the stream is larger than the
        // source's word length would suggest; -v says why.
        std::fprintf(stderr, "pcmpack: note: %s: %d-bit samples widened to %d-bit words (low bits zero)\n",
                     input.c_str(), source->precision(), conversion.bits);
    }

    if (pad_channel)
        std::fprintf(stderr, "pcmpack: note: %s: %d %s packed as HDMV %s in %d coded channels; channel %d is silent padding\n",
                     input.c_str(), source_channels, source_channels == 1 ? "channel" : "channels",
                     plan.layout->name, coded_channels, coded_channels);
    // Said when there is something to say: a declared layout, a new order,
    // padding, or an assignment code the library does not write.
    if (o.verbose && plan.layout &&
        (!plan.identity() || !plan.source_speakers.empty() || plan.sets_assignment()))
        std::fprintf(stderr, "pcmpack: note: %s: %s\n", input.c_str(), describe_plan(plan).c_str());

    // The container comes from the extension or --container; a container
    // that cannot carry the layer is refused before anything is written.
    const Container container = network ? Container::transport : choose_container(o.container, o.output);
    check_container_fits(container, layer, o.output);
    if ((o.muxrate || o.latency_ms >= 0) && container != Container::transport)
        throw Failure(std::string(o.muxrate ? "--muxrate" : "--latency") +
                      " applies to a transport stream of 302M (.ts, udp://, srt://), not to " +
                      container_title(container));

    // The encoder and what it writes to.
    FileStream stream(file_out, index, o.index_format == "json");
    std::unique_ptr<NetworkOutput> network_out;
    std::unique_ptr<ContainerWriter> muxer;
    if (container != Container::elementary) {
        route_libav_messages(false);
        StreamShape shape;
        shape.params.layer = layer;
        shape.params.sample_rate = rate;
        shape.params.channels = coded_channels;
        shape.params.bits = bits;
        shape.params.frame_rate_code = frame_rate_code;
        if (pcmOutAudioFrameGeometry(&s, frame_rate_code, rate, &shape.geometry) != 0)
            throw Failure("internal: the library gives no frame geometry for settings it accepted");
        const MuxTiming timing = plan_timing(o, network, shape);
        ByteSink *sink = file_out;
        if (network) {
            const Pace pace = choose_pace(o.pace, source.get());
            network_out = std::make_unique<NetworkOutput>(
                o.output, pace, timing.bit_rate, source ? source->file().first_bytes_ns() : -1);
            sink = network_out.get();
            end_stream_on_stop_signals();
            if (o.verbose)
                std::fprintf(stderr,
                             "pcmpack: note: %s: a constant %lld bits/s (the audio needs %lld)%s, a "
                             "clock reference every 20 ms, PAT and PMT every 90 ms, presentation "
                             "%lld ms after the clock reference; datagrams of %zu bytes %s\n",
                             o.output.c_str(), static_cast<long long>(timing.bit_rate),
                             static_cast<long long>(transport_bit_rate_needed(shape)),
                             pace == Pace::none ? " on the stream's clock, faster on the wire" : "",
                             static_cast<long long>(timing.latency_us / 1000),
                             network_out->datagram_bytes(), pace_text(pace));
        }
        muxer = std::make_unique<ContainerWriter>(container, shape, *sink, display_name(o.output, true),
                                                  timing);
        stream.container = muxer.get();
    }
    // Samples that the source stores as the layer's words already go to the
    // library as they are read; HDMV passes its input through unchanged, so
    // it takes big-endian words, turned round here when the source's are
    // little-endian. Any other source is converted word by word.
    const AudioSource::Words stored = source ? source->stored_words() : AudioSource::Words::converted;
    // (20-bit words keep 24 bits of storage whose low 4 bits are cleared.)
    const bool as_stored = !data && stored != AudioSource::Words::converted && source->bits() == bits &&
                           bits != 20 && plan.identity() && coded_channels == source_channels;
    const bool hdmv = layer == PCM_LAYER_HDMV_LPCM;
    const bool big_endian =
        hdmv || (as_stored && stored == AudioSource::Words::big_endian);
    const bool swap_stored = as_stored && hdmv && stored == AudioSource::Words::little_endian;
    std::unique_ptr<pcm_a_encoder, EncoderDeleter> encoder(pcmOutAudioNewWithHost(
        &host.record, &s, big_endian ? PCM_INPUT_BIG_ENDIAN : 0, frame_rate_code, rate));
    if (!encoder) throw Failure("the library refused the settings" + host.see_above());
    // Mono, 5.1 and 7.1 travel in the frames of 2.0, 3/2 and 3/4; the
    // library writes their own channel assignment code in each frame header.
    if (plan.sets_assignment() && pcmOutAudioSetHdmvChannelAssignment(encoder.get(), plan.assignment) != 0)
        throw Failure("the library refused HDMV " + std::string(plan.layout->name) + host.see_above());
    if (pcmOutAudioInit(encoder.get(), &stream.bs) != 0)
        throw Failure("the encoder could not start" + host.see_above());

    const auto fail_write = [&]() -> Failure {
        return Failure(stream.failure.empty() ? display_name(o.output, true) + ": write failed"
                                              : stream.failure);
    };

    // Converted samples become exactly the input the layer needs: 2- or
    // 3-byte words, little-endian (the library turns them into the layer's
    // order) or big-endian for HDMV.
    const WordLayout words{bits == 16 ? 2u : 3u, bits == 20 ? 0xFFFFF000u : bits == 24 ? 0xFFFFFF00u : 0xFFFF0000u,
                           source_channels, coded_channels, big_endian,
                           source_of_coded.data()};
    // A network stream takes the audio 10 ms at a time, so that a frame
    // leaves as soon as the input completes it and a stop signal is heard
    // within a frame.
    const size_t chunk = network ? static_cast<size_t>(rate / 100) : 16384;
    std::vector<int32_t> samples;
    std::vector<uint8_t> bytes(chunk * static_cast<size_t>(coded_channels) * words.width);
    if (!as_stored) samples.resize(chunk * static_cast<size_t>(source_channels));
    // With data the output lasts as long as the longer of audio and bursts.
    const uint64_t data_periods = data ? data->periods() : 0;
    const int64_t audio_periods = source ? source->periods() : 0;
    const double total = double(std::max<int64_t>(audio_periods, int64_t(data_periods)));
    Progress progress("encode", total > 0 ? total / rate : 0.0);
    bool audio_left = source != nullptr;
    uint64_t periods_done = 0;
    // Write the stream header even for an empty source.
    if (pcmOutAudioPutBytes(encoder.get(), bytes.data(), 0) != 0 || !stream.failure.empty())
        throw fail_write();
    bool stopped = false;
    for (;;) {
        if (network && stop_requested()) {
            stopped = true;
            break;
        }
        size_t got = 0, size = 0;
        if (as_stored) {
            got = source->read_stored(bytes.data(), chunk);
            size = got * static_cast<size_t>(coded_channels) * words.width;
            if (swap_stored) reverse_words(bytes.data(), size, words.width);
        } else {
            got = audio_left ? source->read(samples.data(), chunk) : 0;
            audio_left = got != 0;
            if (got == 0 && periods_done < data_periods) {
                got = static_cast<size_t>(std::min<uint64_t>(chunk, data_periods - periods_done));
                std::fill(samples.begin(), samples.end(), 0);
            }
            size = to_layer_words(samples.data(), got, words, bytes.data());
        }
        if (got == 0) break;
        if (data) data->fill(bytes.data(), got, coded_channels, data_pair, words.width);
        if (pcmOutAudioPutBytes(encoder.get(), bytes.data(), static_cast<uint32_t>(size)) != 0 ||
            !stream.failure.empty())
            throw fail_write();
        periods_done += got;
        progress.update(double(periods_done) / rate);
    }
    pcm_a_encoder *finished = encoder.release();
    // Stopped by a signal, the stream ends with the last complete frame.
    const int32_t flushed = pcmOutAudioDone(finished, stopped ? 1 : 0);
    pcmOutAudioFree(finished);
    if (flushed != 0 || !stream.failure.empty()) throw fail_write();
    if (muxer) muxer->finish();
    if (network_out) network_out->finish();
    if (converter)
        for (const std::string &note : converter->notes())
            std::fprintf(stderr, "pcmpack: note: %s: %s\n", input.c_str(), note.c_str());

    files.commit();
    return 0;
}

}  // namespace pcmtool
