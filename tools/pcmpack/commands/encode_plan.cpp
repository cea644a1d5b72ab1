// SPDX-License-Identifier: BSD-2-Clause
#include "commands/encode_plan.h"

#include "commands/library_host.h"
#include "commands/refusals.h"
#include "format/stream_format.h"
#include "outputs/output.h"
#include "settings.h"
#include "source/input.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace pcmtool {

namespace {

using pcmpack_format::is_aes3;
using pcmpack_format::layer_name;

int quantization_of(int bits) { return bits == 16 ? PCM_QUANT_16 : bits == 20 ? PCM_QUANT_20 : PCM_QUANT_24; }

// The names the run reads and writes; no output may be an input or another
// output.
void plan_names(const EncodeOptions &o, EncodePlan &p) {
    const bool with_data = !o.data.empty();
    const bool with_audio = !o.input.empty();
    if (!with_audio && !with_data) throw Failure(no_input_refusal());
    p.input = with_audio ? display_name(o.input) : o.data;
    // A URL output has no file under its name to protect or replace.
    p.network = is_live_url(o.output);
    std::vector<FileRole> outputs;
    if (!p.network) outputs.push_back({o.output, "stream"});
    if (!o.index.empty()) outputs.push_back({o.index, "index"});
    std::vector<FileRole> inputs;
    if (with_audio) inputs.push_back({o.input, "input"});
    if (with_data) inputs.push_back({o.data, "data"});
    refuse_shared_files(inputs, outputs);
}

// With video, the AES3 layers are cut on its frames: its rate is theirs,
// and a rate given that differs is a mistake, not a choice.
int video_frame_rate_code(const EncodeOptions &o, int code, int layer) {
    const EncodeOptions::VideoRate &video = o.video_rate;
    // A file that states no rate leaves it to --frame-rate.
    if (video.num == 0) return code;
    const int video_code = frame_rate_code_of(video.num, video.den);
    if (video_code == 0) throw Failure(video_rate_not_carried_refusal(video.name, video.num, video.den, layer));
    if (code != 0 && code != video_code)
        throw Failure(video_rate_differs_refusal(o, code, video.name, video_code));
    return video_code;
}

// The AES3 layers are cut one frame per video frame, the others in frames
// of their own length.
int plan_frame_rate(const EncodeOptions &o, int layer) {
    int code = o.frame_rate_code;
    if (!o.frame_rate.empty()) {
        code = parse_frame_rate(o.frame_rate);
        if (code == 0) throw Failure(unknown_frame_rate_refusal(o.frame_rate));
    }
    if (is_aes3(layer) && !o.video_rate.name.empty()) code = video_frame_rate_code(o, code, layer);
    if (is_aes3(layer) && code == 0) throw Failure(missing_frame_rate_refusal(layer));
    return code;
}

// The target's preset, then the explicit overrides.
void plan_settings(const EncodeOptions &o, EncodePlan &p) {
    p.video_type = o.video_type < 0 ? target_video_type(o.target) : o.video_type;
    const char *preset = pcmOutAudioDefaults(&p.settings, p.video_type);
    if (!preset && o.layer == 0) throw Failure(no_preset_refusal(p.video_type));
    // A layer other than the one the named target takes is worth a word.
    if (preset && o.target_given && o.layer != 0 && o.layer != p.settings.audio_layer)
        std::fprintf(stderr, "pcmpack: note: --layer %d replaces the target's %s with %s\n", o.layer,
                     layer_name(p.settings.audio_layer), layer_name(o.layer));
    if (o.layer != 0) p.settings.audio_layer = o.layer;
    p.layer = p.settings.audio_layer;
    refuse_options_that_do_not_apply(o, p.layer, p.network);
    p.frame_rate_code = plan_frame_rate(o, p.layer);
}

// The source's header, and its first second, where a pair that already
// holds data bursts is found before anything is planned around its words.
void open_source(const EncodeOptions &o, EncodePlan &p) {
    if (o.input.empty()) return;
    const bool raw = o.rate != 0 || o.channels != 0 || !o.endian.empty();
    if (raw)
        p.source = open_raw_pcm(o.input, o.rate, o.channels, o.bits ? o.bits : 16, o.endian == "big");
    else
        p.source = open_audio_file(o.input);
    p.source = peek_bursts(std::move(p.source), p.wrapped);
    p.source_channels = p.source->channels();
}

// A downmix asked for makes the rest of the run see its channels: the
// channel plan, the settings' count, the words handed on.
void plan_mix(const EncodeOptions &o, EncodePlan &p) {
    if (o.downmix.empty()) return;
    if (!p.source) throw Failure("--downmix mixes the channels of an INPUT; --data alone has none");
    p.downmix = plan_downmix(p.source->channels(), p.source->channel_map(), {o.downmix, o.channel_layout},
                             p.input);
    p.source_channels = p.downmix.channels;
}

bool carries_wrapped(const EncodePlan &p) {
    return std::any_of(p.wrapped.begin(), p.wrapped.end(), [](const PairBursts &pair) { return pair.data(); });
}

// The word length is the source's, or the preset's for data alone; only an
// explicit --bits changes it.
void plan_bits(const EncodeOptions &o, EncodePlan &p) {
    const int preset_bits = p.settings.quantization == PCM_QUANT_16   ? 16
                            : p.settings.quantization == PCM_QUANT_20 ? 20
                                                                       : 24;
    p.bits = o.bits ? o.bits : p.source ? p.source->bits() : preset_bits;
    if (p.bits == 0) throw Failure(no_word_length_refusal(p.input, p.source->format()));
    p.settings.quantization = quantization_of(p.bits);
    const bool d10 = p.layer == PCM_LAYER_AES3_D10;
    // A D-10 element keeps 20 bits of each word: a burst of the 24-bit mode
    // would lose the low 4 bits of every payload word.
    if (!o.data.empty() && d10 && p.bits == 24) throw Failure(d10_cuts_data_refusal());
    if (!o.data.empty()) p.data = std::make_unique<DataBursts>(o.data, p.settings.quantization);
    // D-10 takes no 16-bit words: bursts of the 16-bit mode ride in the upper
    // 16 bits of 20-bit words, the low 4 bits zero.
    if ((p.data || (carries_wrapped(p) && !o.bits)) && d10 && p.bits == 16) {
        p.bits = 20;
        p.settings.quantization = PCM_QUANT_20;
    }
    if (d10 && p.bits == 24 && p.source)
        std::fprintf(stderr,
                     "pcmpack: note: %s: a D-10 element carries 20 bits of each 24-bit sample: "
                     "the 20 most significant bits, what --bits 20 would give; an MXF reader "
                     "that takes channel word bits 4 to 23 as a signed sample gets them back "
                     "exactly, one that takes bits 4 to 27 gets them 4 bits down without their "
                     "sign (see docs/interop.md)\n",
                     p.input.c_str());
}

// The rate is the source's unless --resample converts it. Dither would turn
// every burst into noise, so a run that carries one has none unless asked,
// and asking is refused with the words it would change.
void plan_conversion(const EncodeOptions &o, EncodePlan &p) {
    p.rate = o.resample ? o.resample : p.source ? p.source->rate() : 48000;
    const bool dither = o.dither == "tpdf" || (o.dither.empty() && !carries_wrapped(p));
    p.conversion = {p.rate, p.bits, dither ? Dither::tpdf : Dither::none,
                    find_resample_quality(o.resample_quality), nullptr};
}

// Which source channel each coded channel carries: HDMV layouts in the coded
// order readers take, the other layers in the source's order. The data pair
// takes the place of the input's channels there, or adds channels after the
// input's, silent up to it.
void plan_coded_channels(const EncodeOptions &o, EncodePlan &p) {
    ChannelRequest request;
    request.hdmv_layout = o.hdmv_layout;
    request.keep_order = o.channel_order == "keep";
    request.hdmv_pad_last = o.hdmv_pad_last;
    if (p.source)
        p.channels = o.downmix.empty()
                         ? plan_channels(*p.source, p.layer, request, p.input)
                         : plan_channels(p.downmix.channels, p.downmix.channel_map, p.layer, request, p.input);
    // A layout that does not hold is named with the other problems;
    // meanwhile a stereo stand-in lets the rest of the run be checked.
    if (p.channels.source_of_coded.empty() && !p.channels.problems.empty())
        p.channels.source_of_coded = {0, p.source_channels > 1 ? 1 : -1};
    p.source_of_coded = p.channels.source_of_coded;
    p.data_pair = o.data_pair - 1;
    if (p.data) {
        const int pair_end = 2 * p.data_pair + 2;
        if (static_cast<int>(p.source_of_coded.size()) < pair_end)
            p.source_of_coded.resize(size_t(pair_end), -1);
        if (p.source_channels > 2 * p.data_pair)
            std::fprintf(stderr,
                         "pcmpack: note: %s: channels %d and %d carry the %s data, not the input's audio\n",
                         p.input.c_str(), 2 * p.data_pair + 1, 2 * p.data_pair + 2, p.data->data_type_name());
    }
    p.coded_channels = static_cast<int>(p.source_of_coded.size());
    p.settings.channels_minus_one = p.coded_channels - 1;
}

// What the run does to each source pair's words.
WordPlan plan_word_changes(const EncodeOptions &o, const EncodePlan &p) {
    WordPlan w;
    w.dither = p.conversion.dither == Dither::tpdf &&
               (o.dither == "tpdf" || (p.source && p.source->precision() > p.bits));
    w.source_rate = p.source ? p.source->rate() : p.rate;
    w.rate = p.rate;
    w.bits = p.bits;
    w.layer = p.layer;
    w.order = p.channels.layout ? "HDMV " + std::string(p.channels.layout->name) : layer_text(p.layer);
    if (p.downmix.mix) w.downmix = o.downmix;
    // The source's own pairs, before any downmix.
    const int source_channels = p.source ? p.source->channels() : 0;
    for (int left = 0; left + 1 < source_channels; left += 2) {
        // The pair's two words must stay side by side as a pair of the layer.
        bool kept = false;
        for (size_t c = 0; c + 1 < p.source_of_coded.size(); c += 2)
            kept = kept || (p.source_of_coded[c] == left && p.source_of_coded[c + 1] == left + 1);
        // A channel plan that does not hold has only a stereo stand-in: its
        // own rule is named, not a split it never makes.
        w.split.push_back(!kept && p.channels.problems.empty());
    }
    return w;
}

bool is_data_pair(const EncodePlan &p, size_t pair) { return p.data && p.data_pair == int(pair); }

// A pair that holds data bursts in the first second is refused when the run
// would change their words; the data pair's words are the data's, not the
// input's.
void refuse_changed_bursts(const EncodePlan &p, const WordPlan &words) {
    for (size_t pair = 0; pair < words.split.size() && pair < p.wrapped.size(); ++pair) {
        const PairBursts &found = p.wrapped[pair];
        if (is_data_pair(p, pair) || !found.data()) continue;
        const std::string why = word_change(words, pair, found.mode);
        if (!why.empty())
            throw Failure(refuse_bursts(p.input, pair, found.data_type, found.mode,
                                        double(found.first_burst) / p.source->rate(), why));
    }
}

// The pairs whose bursts, should they start later, the run would change: a
// source's words hold bursts of their own length or shorter.
std::vector<bool> watched_pairs(const EncodePlan &p, const WordPlan &words) {
    std::vector<bool> watched(words.split.size());
    for (size_t pair = 0; pair < watched.size(); ++pair) {
        if (is_data_pair(p, pair)) continue;
        for (int mode : {16, 20, 24})
            if (mode <= p.source->precision())
                watched[pair] = watched[pair] || !word_change(words, pair, mode).empty();
    }
    return watched;
}

// Every rule the run breaks is named, one plain line each; the library's
// coded lines follow under -v, for a report or a search.
void check_settings(const EncodeOptions &o, const EncodePlan &p) {
    LibraryHost check_host(o.verbose ? LibraryHost::Mode::hold : LibraryHost::Mode::count);
    const int32_t code = pcmOutAudioChkSettingsWithHost(&check_host.record, &p.settings, p.video_type, p.rate,
                                                        PCM_CHECK_REPORT_ALL);
    const RefusalContext context{p.input,           p.settings, p.video_type,   p.rate,
                                 p.source_channels, p.bits,     o.resample != 0};
    std::vector<std::string> problems = settings_refusals(code, context);
    problems.insert(problems.end(), p.downmix.problems.begin(), p.downmix.problems.end());
    problems.insert(problems.end(), p.channels.problems.begin(), p.channels.problems.end());
    if (problems.empty()) return;
    if (o.verbose) problems.insert(problems.end(), check_host.held.begin(), check_host.held.end());
    refuse(problems);
}

// Bursts that start after the first second are found as the samples pass,
// before a conversion changes them: the run stops there, and its outputs
// are never committed.
void watch_later_bursts(EncodePlan &p, const WordPlan &words) {
    std::vector<bool> watched = watched_pairs(p, words);
    const std::string input = p.input;
    p.source = watch_bursts(std::move(p.source), std::move(watched),
                            [words, input](size_t pair, const PairBursts &found, int source_rate) {
                                const Segment &at = *found.first_data();
                                const std::string why = word_change(words, pair, at.mode);
                                if (!why.empty())
                                    throw Failure(refuse_bursts(input, pair, at.data_type, at.mode,
                                                                double(at.start) / source_rate, why));
                            });
}

// The downmix, rate conversion and word-length reduction, only where asked
// or where the source needs them to reach the output's rate and word length.
void add_conversion(const EncodeOptions &o, EncodePlan &p) {
    for (const std::string &note : p.downmix.notes) std::fprintf(stderr, "pcmpack: note: %s\n", note.c_str());
    p.conversion.downmix = p.downmix.mix;
    if (o.verbose && p.downmix.mix)
        std::fprintf(stderr, "pcmpack: note: %s: %s\n", p.input.c_str(), describe_downmix(*p.downmix.mix).c_str());
    if (needs_conversion(*p.source, p.conversion)) {
        if (o.verbose)
            std::fprintf(stderr, "pcmpack: note: %s: %s\n", p.input.c_str(),
                         describe_conversion(*p.source, p.conversion).c_str());
        std::unique_ptr<ConvertedSource> converted = convert(std::move(p.source), p.conversion);
        p.converter = converted.get();
        p.source = std::move(converted);
    } else if (o.verbose && p.source->precision() < p.conversion.bits) {
        // Widening changes no sample, but the stream is larger than the
        // source's word length would suggest; -v says why.
        std::fprintf(stderr, "pcmpack: note: %s: %d-bit samples widened to %d-bit words (low bits zero)\n",
                     p.input.c_str(), p.source->precision(), p.conversion.bits);
    }
}

// Padding is always said; under -v, the layout when there is something to
// say: a declared layout, a new order, or an assignment code the library
// does not write.
void note_channels(const EncodeOptions &o, const EncodePlan &p) {
    const ChannelPlan &plan = p.channels;
    const bool padded = !p.data && std::any_of(plan.source_of_coded.begin(), plan.source_of_coded.end(),
                                               [](int from) { return from < 0; });
    if (padded)
        std::fprintf(stderr,
                     "pcmpack: note: %s: %d %s packed as HDMV %s in %d coded channels; channel %d is "
                     "silent padding\n",
                     p.input.c_str(), p.source_channels, p.source_channels == 1 ? "channel" : "channels",
                     plan.layout->name, p.coded_channels, p.coded_channels);
    if (o.verbose && plan.layout && (!plan.identity() || !plan.source_speakers.empty() || plan.sets_assignment()))
        // A downmix's channels are the "source" channels the plan names.
        std::fprintf(stderr, "pcmpack: note: %s%s: %s\n", p.input.c_str(),
                     p.downmix.mix ? (", mixed down to " + p.downmix.mix->to).c_str() : "", describe_plan(plan).c_str());
}

// How a network output sends: the input is the clock when it comes from a
// pipe or device, the audio's own time when it is a file to be read.
Pace choose_pace(const std::string &option, const AudioSource *source) {
    if (option == "audio") return Pace::audio;
    if (option == "none") return Pace::none;
    return source && !source->file().regular() ? Pace::input : Pace::audio;
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
        throw Failure(muxrate_too_low_refusal(o.muxrate, shape.params.channels, shape.params.bits, needed));
    return timing;
}

// The container comes from the extension or --container; a container that
// cannot carry the layer is refused before anything is written.
void plan_container(const EncodeOptions &o, EncodePlan &p) {
    p.container = p.network ? Container::transport : choose_container(o.container, o.output);
    check_container_fits(p.container, p.layer, o.output);
    if ((o.muxrate || o.latency_ms >= 0) && p.container != Container::transport)
        throw Failure(transport_option_refusal(o, container_title(p.container)));
    if (p.container == Container::elementary) return;
    p.shape.params.layer = p.layer;
    p.shape.params.sample_rate = p.rate;
    p.shape.params.channels = p.coded_channels;
    p.shape.params.bits = p.bits;
    p.shape.params.frame_rate_code = p.frame_rate_code;
    if (pcmOutAudioFrameGeometry(&p.settings, p.frame_rate_code, p.rate, &p.shape.geometry) != 0)
        throw Failure("internal: the library gives no frame geometry for settings it accepted");
    p.timing = plan_timing(o, p.network, p.shape);
    if (p.network) p.pace = choose_pace(o.pace, p.source.get());
}

// Samples that the source stores as the layer's words already go to the
// library as they are read; HDMV passes its input through unchanged, so it
// takes big-endian words, turned round when the source's are little-endian.
// Any other source is converted word by word.
void plan_input_words(EncodePlan &p) {
    const AudioSource::Words stored = p.source ? p.source->stored_words() : AudioSource::Words::converted;
    // (20-bit words keep 24 bits of storage whose low 4 bits are cleared.)
    p.as_stored = !p.data && stored != AudioSource::Words::converted && p.source->bits() == p.bits &&
                  p.bits != 20 && p.channels.identity() && p.coded_channels == p.source_channels;
    const bool hdmv = p.layer == PCM_LAYER_HDMV_LPCM;
    p.big_endian = hdmv || (p.as_stored && stored == AudioSource::Words::big_endian);
    p.swap_stored = p.as_stored && hdmv && stored == AudioSource::Words::little_endian;
}

}  // namespace

EncodePlan plan_encode(const EncodeOptions &o, const OpenOutputs &open_outputs) {
    EncodePlan p;
    plan_names(o, p);
    if (open_outputs) open_outputs(p);
    plan_settings(o, p);
    open_source(o, p);
    plan_mix(o, p);
    plan_bits(o, p);
    plan_conversion(o, p);
    plan_coded_channels(o, p);
    const WordPlan words = plan_word_changes(o, p);
    refuse_changed_bursts(p, words);
    check_settings(o, p);
    if (p.source) {
        watch_later_bursts(p, words);
        add_conversion(o, p);
    }
    note_channels(o, p);
    plan_container(o, p);
    plan_input_words(p);
    return p;
}

}  // namespace pcmtool
