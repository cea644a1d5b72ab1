// pcmpack inspect and unpack: read a stream back through the stream reader,
// which recognises the layer by its stream header and validates every frame.
#include "channel_layout.h"
#include "common.h"
#include "container.h"
#include "settings.h"

#include "reader/stream_reader.h"

#include <sndfile.h>

#include <cstdio>
#include <map>
#include <tuple>

namespace pcmtool {

namespace {

using pcmpack_reader::ReadResult;

bool is_aes3(int layer) { return layer == 10 || layer == 11 || layer == 12; }

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct StepSize {
    int step;
    uint32_t size;
    uint32_t periods;
    uint64_t count;
};

std::vector<StepSize> frame_sizes(const ReadResult &r) {
    std::map<std::tuple<int, uint32_t, uint32_t>, uint64_t> seen;
    for (const auto &f : r.frames) ++seen[{f.cadence_step, f.size, f.sample_periods}];
    std::vector<StepSize> sizes;
    for (const auto &[key, count] : seen)
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

uint64_t total_periods(const ReadResult &r) {
    uint64_t n = 0;
    for (const auto &f : r.frames) n += f.sample_periods;
    return n;
}

// The HDMV layout the frame headers name (the library's for a stream
// without frames).
const HdmvLayout &hdmv_layout_of(const pcmpack_reader::StreamInfo &i) {
    constexpr int kLibraryCode[9] = {0, 0, 3, 0, 4, 0, 8, 0, 10};
    const HdmvLayout *layout =
        hdmv_layout_of_assignment(i.hdmv_assignment ? i.hdmv_assignment : kLibraryCode[i.channels]);
    if (!layout) throw Failure("no HDMV layout for channel assignment " + std::to_string(i.hdmv_assignment));
    return *layout;
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

std::string header_hex(const ReadResult &r) {
    char hex[32];
    const uint8_t *h = r.info.header;
    std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X %02X %02X %02X %02X", h[0], h[1], h[2],
                  h[3], h[4], h[5], h[6], h[7]);
    return hex;
}

void print_text(const std::string &name, uint64_t stream_bytes, const ReadResult &r,
                bool frames) {
    const auto &i = r.info;
    if (i.layer == 0) return;  // no stream header recognised: the error says it all
    std::printf("%s: %s (layer %d)\n", name.c_str(), pcmpack_reader::layer_name(i.layer), i.layer);
    std::printf("  stream header    %s\n", header_hex(r).c_str());
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
    if (is_aes3(i.layer))
        std::printf("  frame rate       %s (code %d)\n", frame_rate_text(i.frame_rate_code),
                    i.frame_rate_code);
    if (i.layer == 4)
        std::printf("  emphasis         %s\n  mute             %s\n  dynamic range    %d\n",
                    i.emphasis ? "on" : "off", i.mute ? "on" : "off", i.dynamic_range);
    std::printf("  frames           %zu\n", r.frames.size());
    for (const StepSize &s : frame_sizes(r)) {
        if (s.step >= 0 && is_aes3(i.layer))
            std::printf("  frame size       step %d: %u bytes, %u sample periods (%llu frames)\n",
                        s.step, s.size, s.periods, static_cast<unsigned long long>(s.count));
        else
            std::printf("  frame size       %u bytes, %u sample periods (%llu frames)\n", s.size,
                        s.periods, static_cast<unsigned long long>(s.count));
    }
    const uint64_t periods = total_periods(r);
    std::printf("  duration         %.6f s (%llu sample periods)\n",
                i.sample_rate ? double(periods) / i.sample_rate : 0.0,
                static_cast<unsigned long long>(periods));
    std::printf("  stream bytes     %llu\n", static_cast<unsigned long long>(stream_bytes));
    if (frames) {
        std::printf("  %8s %12s %8s %8s %5s %14s %12s\n", "frame", "offset", "size", "samples",
                    "step", "timestamp", "seconds");
        for (size_t n = 0; n < r.frames.size(); ++n) {
            const auto &f = r.frames[n];
            std::printf("  %8zu %12llu %8u %8u %5d %14lld %12.6f\n", n,
                        static_cast<unsigned long long>(f.offset), f.size, f.sample_periods,
                        f.cadence_step, static_cast<long long>(f.timestamp),
                        double(f.timestamp) / 27e6);
        }
    }
}

void print_json(const std::string &name, uint64_t stream_bytes, const ReadResult &r, bool frames) {
    const auto &i = r.info;
    std::printf("{\"file\":%s,\"ok\":%s", json_string(name).c_str(), r.ok ? "true" : "false");
    if (r.ok)
        std::printf(",\"error\":null,\"error_offset\":null");
    else
        std::printf(",\"error\":%s,\"error_offset\":%llu", json_string(r.error).c_str(),
                    static_cast<unsigned long long>(r.error_offset));
    std::printf(",\"layer\":%d,\"layer_name\":%s", i.layer,
                i.layer ? json_string(pcmpack_reader::layer_name(i.layer)).c_str() : "null");
    std::printf(",\"header\":\"%s\",\"sample_rate\":%d,\"channels\":%d,\"bits\":%d",
                header_hex(r).c_str(), i.sample_rate, i.channels, i.bits);
    if (is_aes3(i.layer))
        std::printf(",\"frame_rate_code\":%d,\"frame_rate\":\"%s\"", i.frame_rate_code,
                    frame_rate_text(i.frame_rate_code));
    if (i.layer == 4)
        std::printf(",\"emphasis\":%d,\"mute\":%d,\"dynamic_range\":%d", i.emphasis, i.mute,
                    i.dynamic_range);
    if (i.layer == 13 && r.ok) {
        const HdmvLayout &layout = hdmv_layout_of(i);
        std::printf(",\"layout\":\"%s\",\"channel_assignment\":%d,\"speakers\":\"%s\"",
                    layout.name, layout.assignment, coded_speakers(layout).c_str());
    }
    const uint64_t periods = total_periods(r);
    std::printf(",\"frames\":%zu,\"sample_periods\":%llu,\"duration_seconds\":%.6f,\"bytes\":%llu",
                r.frames.size(), static_cast<unsigned long long>(periods),
                i.sample_rate ? double(periods) / i.sample_rate : 0.0,
                static_cast<unsigned long long>(stream_bytes));
    std::printf(",\"frame_sizes\":[");
    const std::vector<StepSize> sizes = frame_sizes(r);
    for (size_t n = 0; n < sizes.size(); ++n) {
        const std::string step = sizes[n].step < 0 ? "null" : std::to_string(sizes[n].step);
        std::printf("%s{\"step\":%s,\"bytes\":%u,\"sample_periods\":%u,\"count\":%llu}",
                    n ? "," : "", step.c_str(), sizes[n].size, sizes[n].periods,
                    static_cast<unsigned long long>(sizes[n].count));
    }
    std::printf("]");
    if (frames) {
        std::printf(",\"frame_list\":[");
        for (size_t n = 0; n < r.frames.size(); ++n) {
            const auto &f = r.frames[n];
            std::printf("%s{\"offset\":%llu,\"bytes\":%u,\"sample_periods\":%u,\"step\":%d,"
                        "\"ticks\":%lld}",
                        n ? "," : "", static_cast<unsigned long long>(f.offset), f.size,
                        f.sample_periods, f.cadence_step, static_cast<long long>(f.timestamp));
        }
        std::printf("]");
    }
    std::printf("}\n");
}

// The stream in a file: the file itself, or the audio track of a container
// turned back into our elementary stream.
std::vector<uint8_t> stream_of(const std::string &input) {
    std::vector<uint8_t> data = read_all(input);
    const Container container = sniff_container(data.data(), data.size());
    if (container == Container::elementary) return data;
    route_libav_messages(true);
    return demux_to_stream(container, data, display_name(input));
}

std::string describe_error(const std::string &name, const ReadResult &r) {
    return name + ": byte " + std::to_string(r.error_offset) + ": " + r.error;
}

}  // namespace

int run_inspect(const InspectOptions &o) {
    const std::string name = display_name(o.input);
    const std::vector<uint8_t> data = stream_of(o.input);
    const ReadResult r = pcmpack_reader::read_stream(data.data(), data.size(), false);
    if (o.json)
        print_json(name, data.size(), r, o.frames);
    else
        print_text(name, data.size(), r, o.frames);
    std::fflush(stdout);
    if (!r.ok) throw Failure(describe_error(name, r));
    return 0;
}

int run_unpack(const UnpackOptions &o) {
    const std::string name = display_name(o.input);
    if (o.output == "-") throw Failure("unpack writes a WAV file; give a file name with -o");
    const std::vector<uint8_t> data = stream_of(o.input);
    const ReadResult r = pcmpack_reader::read_stream(data.data(), data.size(), true);
    if (!r.ok) throw Failure(describe_error(name, r));
    // Mono, 5.1 and 7.1 come back as the source's channels: in the order a
    // WAV file holds them, with their channel mask, without padding. The
    // library's layouts keep every coded channel in the coded order.
    std::vector<int32_t> samples;
    const std::vector<int32_t> *audio = &r.samples;
    int channels = r.info.channels;
    std::vector<int> positions;
    if (r.info.layer == 13 && r.info.hdmv_assignment != 0) {
        const HdmvLayout &layout = hdmv_layout_of(r.info);
        if (layout.assignment != layout.library_assignment) {
            int coded_of_file[8];
            channels = file_order(layout, coded_of_file);
            const size_t coded = static_cast<size_t>(r.info.channels);
            samples.reserve(r.samples.size() / coded * static_cast<size_t>(channels));
            for (size_t p = 0; p + coded <= r.samples.size(); p += coded)
                for (int k = 0; k < channels; ++k) samples.push_back(r.samples[p + size_t(coded_of_file[k])]);
            audio = &samples;
            if (channels > 2)
                for (int k = 0; k < channels; ++k)
                    positions.push_back(sndfile_position(layout.coded[coded_of_file[k]]));
        }
    }
    OutputFile out(o.output);
    SF_INFO info{};
    info.samplerate = r.info.sample_rate;
    info.channels = channels;
    // 20-bit samples travel in 24-bit words, their low four bits zero.
    info.format = (positions.empty() ? SF_FORMAT_WAV : SF_FORMAT_WAVEX) |
                  (r.info.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE *wav = sf_open_fd(fileno(out.file()), SFM_WRITE, &info, SF_FALSE);
    if (!wav) throw Failure(o.output + ": cannot write WAV: " + sf_strerror(nullptr));
    if (!positions.empty() &&
        sf_command(wav, SFC_SET_CHANNEL_MAP_INFO, positions.data(),
                   static_cast<int>(positions.size() * sizeof(int))) != SF_TRUE) {
        sf_close(wav);
        throw Failure(o.output + ": cannot write the channel mask");
    }
    const sf_count_t periods = static_cast<sf_count_t>(audio->size() / size_t(channels));
    const bool failed =
        periods > 0 && sf_writef_int(wav, audio->data(), periods) != periods;
    const std::string why = failed ? sf_strerror(wav) : "";
    const bool closed = sf_close(wav) == 0;
    if (failed || !closed) throw Failure(o.output + ": write failed" + (why.empty() ? "" : ": " + why));
    out.commit();
    return 0;
}

}  // namespace pcmtool
