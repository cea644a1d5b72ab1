// SPDX-License-Identifier: BSD-2-Clause
// pcmpack inspect: read a stream back through the stream reader,
// which recognises the layer by its stream header and validates every frame.
#include "commands/programme_report.h"
#include "commands/stream_walk.h"
#include "commands/inspect_options.h"
#include "common.h"
#include "containers/live_input.h"
#include "format/stream_format.h"
#include "source/burst_scan.h"

#include "reader/stream_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

namespace pcmtool {

namespace {

using pcmpack_reader::FrameInfo;
using pcmpack_reader::IncrementalReader;
using pcmpack_reader::StreamInfo;

// Text is written in blocks of this size.
constexpr size_t kTextBlock = size_t{1} << 20;

using pcmpack_format::is_aes3;

// The 1001 rates run through a five-frame cadence; at the other rates, and
// for DVD and HDMV, every frame is alike and a cadence step means nothing.
bool has_cadence(const StreamInfo &info) {
    const pcmpack_format::FrameRate *rate =
        is_aes3(info.layer) ? pcmpack_format::frame_rate(info.frame_rate_code) : nullptr;
    return rate && std::any_of(std::begin(rate->periods), std::end(rate->periods),
                               [rate](int periods) { return periods != rate->periods[0]; });
}

struct StepSize {
    int step;
    uint32_t size;
    uint32_t periods;
    uint64_t count;
};

// What inspect reports, gathered frame by frame: a few counters whatever the
// stream's length. The per-frame lines of --frames wait in an unnamed
// temporary file until the summary above them is printed.
class Summary : public pcmpack_reader::FrameSink {
public:
    Summary(bool frames, bool json) : json_(json) {
        if (frames) {
            lines_ = std::tmpfile();
            if (!lines_) throw Failure(std::string("cannot create a temporary file: ") + std::strerror(errno));
            std::setvbuf(lines_, nullptr, _IOFBF, kTextBlock);
        }
    }
    ~Summary() override {
        if (lines_) std::fclose(lines_);
    }

    void on_header(const StreamInfo &info) override {
        header_ok_ = true;
        channels_ = info.channels;
        cadence_ = has_cadence(info);
        bursts_ = std::make_unique<BurstScanner>(info.channels);
    }

    void on_frame(const FrameInfo &f, const int32_t *samples, size_t count) override {
        // Every sample is scanned: a pair may turn from PCM to data at any
        // point of a programme.
        if (channels_ > 0) bursts_->scan(samples, count / size_t(channels_));
        ++sizes_[{f.cadence_step, f.size, f.sample_periods}];
        periods_ += f.sample_periods;
        shortest_ = frames_ ? std::min(shortest_, f.sample_periods) : f.sample_periods;
        longest_ = std::max(longest_, f.sample_periods);
        if (lines_) {
            const std::string step = cadence_ ? std::to_string(f.cadence_step) : json_ ? "null" : "";
            if (json_)
                std::fprintf(lines_,
                             "%s{\"offset\":%llu,\"bytes\":%u,\"sample_periods\":%u,\"step\":%s,"
                             "\"ticks\":%lld}",
                             frames_ ? "," : "", static_cast<unsigned long long>(f.offset), f.size,
                             f.sample_periods, step.c_str(), static_cast<long long>(f.timestamp));
            else
                std::fprintf(lines_, "  %8llu %12llu %8u %8u %5s %14lld %12.6f\n",
                             static_cast<unsigned long long>(frames_),
                             static_cast<unsigned long long>(f.offset), f.size, f.sample_periods,
                             step.c_str(), static_cast<long long>(f.timestamp),
                             double(f.timestamp) / 27e6);
        }
        ++frames_;
    }

    bool header_ok() const { return header_ok_; }
    // What each channel pair holds: PCM or data bursts.
    std::vector<PairBursts> pairs() {
        if (!bursts_) return {};
        bursts_->finish();
        return bursts_->pairs();
    }
    uint64_t frames() const { return frames_; }
    uint64_t periods() const { return periods_; }
    uint32_t shortest() const { return shortest_; }
    uint32_t longest() const { return longest_; }

    std::vector<StepSize> frame_sizes() const {
        std::vector<StepSize> sizes;
        for (const auto &[key, count] : sizes_)
            sizes.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
        // A cadence whose steps all have the same frame is one size, not five.
        bool uniform = true;
        for (const StepSize &s : sizes)
            uniform = uniform && s.size == sizes[0].size && s.periods == sizes[0].periods;
        if (uniform && sizes.size() > 1) {
            uint64_t total = 0;
            for (const StepSize &s : sizes) total += s.count;
            sizes = {{-1, sizes[0].size, sizes[0].periods, total}};
        }
        return sizes;
    }

    // Copies the per-frame lines to standard output.
    void print_lines() {
        if (!lines_) return;
        if (std::fflush(lines_) != 0 || std::fseek(lines_, 0, SEEK_SET) != 0)
            throw Failure(std::string("temporary file: ") + std::strerror(errno));
        std::vector<char> block(kTextBlock);
        size_t n;
        while ((n = std::fread(block.data(), 1, block.size(), lines_)) > 0)
            std::fwrite(block.data(), 1, n, stdout);
        if (std::ferror(lines_)) throw Failure(std::string("temporary file: read failed"));
    }

private:
    bool json_;
    bool header_ok_ = false;
    FILE *lines_ = nullptr;
    int channels_ = 0;
    bool cadence_ = false;
    std::unique_ptr<BurstScanner> bursts_;
    uint64_t frames_ = 0;
    uint64_t periods_ = 0;
    uint32_t shortest_ = 0, longest_ = 0;  // sample periods of a frame
    std::map<std::tuple<int, uint32_t, uint32_t>, uint64_t> sizes_;
};

// How long an AES3 stream's frames (a container's packets) last: "one 29.97
// Hz video frame each (cadence ...)" with the format's five steps, "one 25 Hz video
// frame each (1920 sample periods)", or, for 302M whose packets follow no video
// frame, "1098-1115 sample periods, not aligned to a video frame rate".
std::string frame_length(const StreamInfo &i, const Summary &sum) {
    const pcmpack_format::FrameRate *rate = pcmpack_format::frame_rate(i.frame_rate_code);
    std::string text;
    if (!rate) {
        text = std::to_string(sum.shortest());
        if (sum.longest() != sum.shortest()) text += "-" + std::to_string(sum.longest());
        return text + " sample periods, not aligned to a video frame rate";
    }
    text = std::string("one ") + (*rate->decimal ? rate->decimal : rate->exact) + " Hz video frame each (";
    if (has_cadence(i)) {
        text += "cadence";
        for (int k = 0; k < pcmpack_format::kCadenceSteps; ++k)
            text += (k ? ", " : " ") + std::to_string(rate->periods[k]);
        return text + ")";
    }
    return text + std::to_string(rate->periods[0]) + " sample periods)";
}

// "FL FR FC Ls Rs LFE", padding left out.
std::string coded_speakers(const HdmvLayout &layout) {
    std::string text;
    for (int c = 0; c < layout.coded_channels; ++c)
        if (layout.coded[c] != Speaker::pad)
            text += (text.empty() ? "" : " ") + std::string(speaker_name(layout.coded[c]));
    return text;
}

bool padded(const HdmvLayout &layout) { return layout.coded[layout.coded_channels - 1] == Speaker::pad; }

std::string header_hex(const StreamInfo &i) {
    char hex[32];
    const uint8_t *h = i.header;
    std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X %02X %02X %02X %02X", h[0], h[1], h[2],
                  h[3], h[4], h[5], h[6], h[7]);
    return hex;
}

// "2: 1 id 0x100 (read), 2 id 0x101" for a container with several tracks.
std::string track_list(const TrackChoice &t) {
    std::string text = std::to_string(t.ids.size()) + ":";
    for (size_t k = 0; k < t.ids.size(); ++k) {
        char id[48];
        std::snprintf(id, sizeof id, "%s %zu id 0x%X%s", k ? "," : "", k + 1, unsigned(t.ids[k]),
                      int(k) + 1 == t.read ? " (read)" : "");
        text += id;
    }
    return text;
}

double seconds_at(uint64_t period, int sample_rate) {
    return sample_rate ? double(period) / sample_rate : 0.0;
}

// What a pair holds over the whole stream.
const char *content(const PairBursts &p) {
    return !p.first_data() ? "pcm" : p.all_data() ? "data" : "both";
}

// "PCM until 12.480 s, then AC-3 (data type 1, 16-bit mode) bursts until
// 20.000 s, then PCM", with the changes past those kept counted.
std::string segments_text(const PairBursts &p, int sample_rate) {
    std::string text;
    for (size_t n = 0; n < p.segments.size(); ++n) {
        const Segment &g = p.segments[n];
        char at[48];
        if (n) {
            std::snprintf(at, sizeof at, " until %.3f s, then ", seconds_at(g.start, sample_rate));
            text += at;
        }
        text += g.data ? describe_bursts(g.data_type, g.mode) + " bursts" : "PCM";
    }
    if (p.more_changes) text += ", and " + std::to_string(p.more_changes) + " more changes";
    return text;
}

// Each channel pair: PCM, or the data bursts it carries and where they
// change.
void print_pairs(Summary &sum, int sample_rate) {
    const std::vector<PairBursts> pairs = sum.pairs();
    for (size_t k = 0; k < pairs.size(); ++k) {
        const PairBursts &p = pairs[k];
        if (!p.first_data()) {
            std::printf("  pair %zu           PCM\n", k + 1);
            continue;
        }
        const std::string errors =
            p.errors() ? "bad Pd " + std::to_string(p.bad_pd) + ", past its period " +
                             std::to_string(p.past_period) + ", error flag " +
                             std::to_string(p.error_flag)
                       : "none";
        const std::string changes = p.all_data() ? "" : segments_text(p, sample_rate) + "; ";
        std::printf("  pair %zu           %sdata: %s, stream %u, %llu bursts, %llu bit/s, first burst "
                    "at sample period %llu, errors: %s\n",
                    k + 1, changes.c_str(), describe_bursts(p).c_str(), p.data_stream,
                    static_cast<unsigned long long>(p.bursts),
                    static_cast<unsigned long long>(p.bit_rate(sample_rate)),
                    static_cast<unsigned long long>(p.first_burst), errors.c_str());
    }
}

void print_text(const std::string &name, uint64_t stream_bytes, const IncrementalReader &reader,
                Summary &sum, bool frames, const TrackChoice &tracks) {
    // A stream header that was not understood gives no fields; the error
    // says what was wrong.
    if (!sum.header_ok()) return;
    const StreamInfo &i = reader.info();
    std::printf("%s: %s (layer %d) in %s\n", name.c_str(), pcmpack_reader::layer_name(i.layer), i.layer,
                tracks.container.c_str());
    if (tracks.programme.listed())
        std::printf("%s", programme_track_lines(tracks.programme).c_str());
    else if (tracks.ids.size() > 1)
        std::printf("  tracks           %s\n", track_list(tracks).c_str());
    if (i.frame_rate_code == pcmpack_format::kNoFrameRate && i.layer == pcmpack_format::kLayer302m)
        std::printf("  stream header    none (no stream header codes 302M without a frame rate)\n");
    else
        std::printf("  stream header    %s\n", header_hex(i).c_str());
    std::printf("  sample rate      %d Hz\n", i.sample_rate);
    if (i.layer == 13) {
        const HdmvLayout &layout = hdmv_layout_of(i);
        if (padded(layout))
            std::printf("  channels         %d coded (layout %s: %s and a padding channel)\n",
                        i.channels, layout.name, coded_speakers(layout).c_str());
        else
            std::printf("  channels         %d (layout %s: %s)\n", i.channels, layout.name,
                        coded_speakers(layout).c_str());
        std::printf("  assignment       %d\n", layout.assignment);
    } else
        std::printf("  channels         %d\n", i.channels);
    std::printf("  word length      %d bits\n", i.bits);
    if (is_aes3(i.layer)) {
        if (const pcmpack_format::FrameRate *rate = pcmpack_format::frame_rate(i.frame_rate_code))
            std::printf("  frame rate       %s (code %d)\n", rate->exact, i.frame_rate_code);
        else
            std::printf("  frame rate       none\n");
    }
    if (i.layer == 4)
        std::printf("  emphasis         %s\n  mute             %s\n  dynamic range    %d\n",
                    i.emphasis ? "on" : "off", i.mute ? "on" : "off", i.dynamic_range);
    std::printf("  frames           %llu\n", static_cast<unsigned long long>(sum.frames()));
    for (const StepSize &s : sum.frame_sizes()) {
        if (s.step >= 0 && has_cadence(i))
            std::printf("  frame size       step %d: %u bytes, %u sample periods (%llu frames)\n",
                        s.step, s.size, s.periods, static_cast<unsigned long long>(s.count));
        else
            std::printf("  frame size       %u bytes, %u sample periods (%llu frames)\n", s.size,
                        s.periods, static_cast<unsigned long long>(s.count));
    }
    if (is_aes3(i.layer) && sum.frames() > 0)
        std::printf("  frame length     %s\n", frame_length(i, sum).c_str());
    const uint64_t periods = sum.periods();
    std::printf("  duration         %.6f s (%llu sample periods)\n",
                i.sample_rate ? double(periods) / i.sample_rate : 0.0,
                static_cast<unsigned long long>(periods));
    std::printf("  stream bytes     %llu\n", static_cast<unsigned long long>(stream_bytes));
    print_pairs(sum, i.sample_rate);
    std::printf("%s", programme_alignment_lines(tracks.programme).c_str());
    if (frames) {
        std::printf("  %8s %12s %8s %8s %5s %14s %12s\n", "frame", "offset", "size", "samples",
                    "step", "timestamp", "seconds");
        sum.print_lines();
    }
}

// "error" and "error_offset" (null when the stream read cleanly) and, for a
// fault in a frame, which has a time in the audio, "error_seconds".
void print_json_verdict(const IncrementalReader &reader, const TrackChoice &tracks) {
    if (reader.ok()) {
        std::printf(",\"error\":null,\"error_offset\":null");
        return;
    }
    const int64_t byte = error_byte(reader, tracks);
    std::printf(",\"error\":%s,\"error_offset\":%s", json_string(reader.error()).c_str(),
                byte < 0 ? "null" : std::to_string(byte).c_str());
    if (reader.error_seconds() >= 0) std::printf(",\"error_seconds\":%.6f", reader.error_seconds());
}

// The stream's fields: its track and container, the layer, what its stream
// header codes, how long its frames last, and the layer's own fields.
void print_json_stream(const IncrementalReader &reader, const Summary &sum, const TrackChoice &tracks,
                       const pcmpack_format::FrameRate *rate) {
    const StreamInfo &i = reader.info();
    if (tracks.read > 0) {
        std::printf(",\"tracks\":[");
        for (size_t k = 0; k < tracks.ids.size(); ++k)
            std::printf("%s%d", k ? "," : "", tracks.ids[k]);
        std::printf("],\"track\":%d", tracks.read);
        if (tracks.programme.listed()) std::printf("%s", programme_json(tracks.programme).c_str());
    }
    std::printf(",\"container\":%s,\"layer\":%d,\"layer_name\":%s", json_string(tracks.container).c_str(),
                i.layer, json_string(pcmpack_reader::layer_name(i.layer)).c_str());
    std::printf(",\"header\":%s,\"sample_rate\":%d,\"channels\":%d,\"bits\":%d",
                is_aes3(i.layer) && !rate ? "null" : ("\"" + header_hex(i) + "\"").c_str(),
                i.sample_rate, i.channels, i.bits);
    if (rate)
        std::printf(",\"frame_rate_code\":%d,\"frame_rate\":\"%s\"", i.frame_rate_code, rate->exact);
    else if (is_aes3(i.layer))
        std::printf(",\"frame_rate_code\":null,\"frame_rate\":null");
    if (is_aes3(i.layer) && sum.frames() > 0) {
        // The sample periods of the frames seen, and the cadence they follow.
        std::printf(",\"frame_length\":{\"shortest\":%u,\"longest\":%u,\"video_frame_rate\":",
                    sum.shortest(), sum.longest());
        if (rate)
            std::printf("\"%s\",\"cadence\":[", rate->exact);
        else
            std::printf("null,\"cadence\":null");
        for (int k = 0; rate && k < pcmpack_format::kCadenceSteps; ++k)
            std::printf("%s%d", k ? "," : "", rate->periods[k]);
        std::printf("%s,\"text\":%s}", rate ? "]" : "", json_string(frame_length(i, sum)).c_str());
    }
    if (i.layer == 4)
        std::printf(",\"emphasis\":%d,\"mute\":%d,\"dynamic_range\":%d", i.emphasis, i.mute,
                    i.dynamic_range);
    if (i.layer == 13 && reader.ok()) {
        const HdmvLayout &layout = hdmv_layout_of(i);
        std::printf(",\"layout\":\"%s\",\"channel_assignment\":%d,\"speakers\":\"%s\"",
                    layout.name, layout.assignment, coded_speakers(layout).c_str());
    }
}

// "frame_sizes": one entry per cadence step and size; the step is null for
// a stream without a cadence.
void print_json_frame_sizes(const StreamInfo &i, const Summary &sum, const pcmpack_format::FrameRate *rate) {
    std::printf(",\"frame_sizes\":[");
    const std::vector<StepSize> sizes = sum.frame_sizes();
    for (size_t n = 0; n < sizes.size(); ++n) {
        const std::string step =
            sizes[n].step < 0 || (is_aes3(i.layer) && !rate) ? "null" : std::to_string(sizes[n].step);
        std::printf("%s{\"step\":%s,\"bytes\":%u,\"sample_periods\":%u,\"count\":%llu}",
                    n ? "," : "", step.c_str(), sizes[n].size, sizes[n].periods,
                    static_cast<unsigned long long>(sizes[n].count));
    }
    std::printf("]");
}

// One channel pair: its segments of PCM and data, and the first data's
// bursts with their errors.
void print_json_pair(size_t k, const PairBursts &p, int sample_rate) {
    std::printf("%s{\"pair\":%zu,\"content\":\"%s\"", k ? "," : "", k + 1, content(p));
    std::printf(",\"segments\":[");
    for (size_t n = 0; n < p.segments.size(); ++n) {
        const Segment &g = p.segments[n];
        std::printf("%s{\"start_period\":%llu,\"start\":%.6f,\"kind\":\"%s\"", n ? "," : "",
                    static_cast<unsigned long long>(g.start), seconds_at(g.start, sample_rate),
                    g.data ? "data" : "pcm");
        if (g.data) {
            const char *name = data_type_name(g.data_type);
            std::printf(",\"data_type\":%u,\"data_type_name\":%s,\"mode\":%d", g.data_type,
                        name ? json_string(name).c_str() : "null", g.mode);
        }
        std::printf("}");
    }
    std::printf("],\"more_changes\":%llu", static_cast<unsigned long long>(p.more_changes));
    if (p.first_data()) {
        const char *name = data_type_name(p.data_type);
        std::printf(",\"data_type\":%u,\"data_type_name\":%s,\"mode\":%d,\"data_stream\":%u,"
                    "\"bursts\":%llu,\"bit_rate\":%llu,\"first_burst\":%llu,"
                    "\"errors\":{\"bad_pd\":%llu,\"past_period\":%llu,\"error_flag\":%llu}",
                    p.data_type, name ? json_string(name).c_str() : "null", p.mode, p.data_stream,
                    static_cast<unsigned long long>(p.bursts),
                    static_cast<unsigned long long>(p.bit_rate(sample_rate)),
                    static_cast<unsigned long long>(p.first_burst),
                    static_cast<unsigned long long>(p.bad_pd),
                    static_cast<unsigned long long>(p.past_period),
                    static_cast<unsigned long long>(p.error_flag));
    }
    std::printf("}");
}

void print_json(const std::string &name, uint64_t stream_bytes, const IncrementalReader &reader,
                Summary &sum, bool frames, const TrackChoice &tracks) {
    const StreamInfo &i = reader.info();
    std::printf("{\"file\":%s,\"ok\":%s", json_string(name).c_str(), reader.ok() ? "true" : "false");
    print_json_verdict(reader, tracks);
    if (!sum.header_ok()) {
        // Only what was read: the fields of a header that is not understood
        // would be invented.
        const std::string header = stream_bytes < 8 ? "null" : "\"" + header_hex(i) + "\"";
        std::printf(",\"header\":%s,\"bytes\":%llu}\n", header.c_str(),
                    static_cast<unsigned long long>(stream_bytes));
        return;
    }
    const pcmpack_format::FrameRate *rate =
        is_aes3(i.layer) ? pcmpack_format::frame_rate(i.frame_rate_code) : nullptr;
    print_json_stream(reader, sum, tracks, rate);
    const uint64_t periods = sum.periods();
    std::printf(",\"frames\":%llu,\"sample_periods\":%llu,\"duration_seconds\":%.6f,\"bytes\":%llu",
                static_cast<unsigned long long>(sum.frames()), static_cast<unsigned long long>(periods),
                i.sample_rate ? double(periods) / i.sample_rate : 0.0,
                static_cast<unsigned long long>(stream_bytes));
    print_json_frame_sizes(i, sum, rate);
    std::printf(",\"pairs\":[");
    const std::vector<PairBursts> pairs = sum.pairs();
    for (size_t k = 0; k < pairs.size(); ++k) print_json_pair(k, pairs[k], i.sample_rate);
    std::printf("]");
    if (frames) {
        std::printf(",\"frame_list\":[");
        sum.print_lines();
        std::printf("]");
    }
    std::printf("}\n");
}

// `reported`: the failure that ends the run is already in what was printed.
int inspect(const InspectOptions &o, bool &reported) {
    if (is_rtp_input(o.input)) return run_rtp_monitor(o, reported);
    if (o.rtp.given()) throw Failure(o.input + ": " + kRtpOnly);
    if (is_url(o.input)) return run_monitor(o, reported);
    if (o.every > 0 || o.duration > 0 || o.fail_fast)
        throw Failure(o.input + ": --every, --duration and --fail-fast watch a live stream "
                                "(udp://, srt://); this is a file");
    // The frame list can be long: it leaves in large blocks.
    static std::vector<char> stdout_buffer(kTextBlock);
    std::setvbuf(stdout, stdout_buffer.data(), _IOFBF, stdout_buffer.size());
    InputFile in(o.input);
    Summary sum(o.frames, o.json);
    IncrementalReader reader(sum, true);
    TrackChoice tracks;
    tracks.asked = o.track;
    const uint64_t bytes = walk(in, reader, tracks);
    if (o.json)
        print_json(in.name(), bytes, reader, sum, o.frames, tracks);
    else
        print_text(in.name(), bytes, reader, sum, o.frames, tracks);
    reported = o.json;
    finish_stdout();
    if (!reader.ok()) throw Failure(describe_error(in.name(), reader, tracks));
    return 0;
}

}  // namespace

int run_inspect(const InspectOptions &o) {
    bool reported = false;
    try {
        return inspect(o, reported);
    } catch (const Failure &failure) {
        // A script reading --json gets an object whatever went wrong: the
        // input that could not be opened or demuxed, or the live stream that
        // never came, names itself here.
        if (o.json && !reported) {
            std::printf("{\"file\":%s,\"ok\":false,\"error\":%s}\n",
                        json_string(display_name(o.input)).c_str(), json_string(failure.what()).c_str());
            finish_stdout();
        }
        throw;
    }
}

}  // namespace pcmtool
