// SPDX-License-Identifier: BSD-2-Clause
// pcmpack encode: audio in, one elementary stream out, through the library's
// exported interface only (preset, check, New, Init, PutBytes, Done, Free).
// The run is its plan (encode_plan.h), carried out: the outputs opened while
// planning, then the encoder fed block by block, then the outputs committed.
#include "commands/encode_options.h"
#include "commands/encode_plan.h"
#include "commands/encode_programme.h"
#include "commands/encode_rtp.h"
#include "commands/library_host.h"
#include "common.h"
#include "containers/container.h"
#include "outputs/file_stream.h"
#include "outputs/network_output.h"
#include "outputs/output.h"
#include "source/input.h"
#include "source/word_order.h"

#include <pcmpack.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace pcmtool {

namespace {

// The outputs of the run, opened into one set before any audio is read.
struct Outputs {
    explicit Outputs(bool overwrite) : files(overwrite) {}
    OutputSet files;
    OutputFile *stream = nullptr;  // null for the network
    OutputFile *index = nullptr;
};

void open_outputs(const EncodeOptions &o, const EncodePlan &plan, Outputs &out) {
    if (!plan.network) out.stream = &out.files.open(o.output);
    if (!o.index.empty()) out.index = &out.files.open(o.index);
}

// The muxer takes the library's frames in place of the output, as the
// frames of one of its tracks, at the library's times or, given the ticks
// of a video frame, one frame each on the video's.
class MuxedFrames final : public FrameSink {
    static constexpr int64_t kTicksPer90k = 300;  // 27 MHz ticks per 90 kHz tick

public:
    explicit MuxedFrames(ContainerWriter &muxer, int track = 0, int64_t frame_ticks = 0)
        : muxer_(muxer), track_(track), frame_ticks_(frame_ticks) {}
    uint8_t *lend(size_t size) override { return muxer_.lend(track_, size); }
    void drop() override { muxer_.drop(track_); }
    void take(uint32_t byte_count, int64_t ticks) override {
        // The stream header (-1) keeps its mark. A frame's time goes to the
        // nearest 90 kHz tick, halves up, as libavformat rescales the video's
        // own: the 59.94 Hz frames fall on half ticks.
        if (frame_ticks_ && ticks >= 0)
            ticks = (frame_ticks_ * frames_++ + kTicksPer90k / 2) / kTicksPer90k * kTicksPer90k;
        muxer_.take(track_, byte_count, ticks);
    }

private:
    ContainerWriter &muxer_;
    int track_;
    int64_t frame_ticks_;
    int64_t frames_ = 0;
};

// The container and, for udp:// and srt://, the network it is sent to.
struct Muxing {
    std::unique_ptr<NetworkOutput> network;
    std::unique_ptr<ContainerWriter> muxer;
    std::unique_ptr<MuxedFrames> frames;
};

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

// A live stream ends cleanly on SIGINT and SIGTERM; -v states its timing.
std::unique_ptr<NetworkOutput> open_network(const EncodeOptions &o, const EncodePlan &plan) {
    auto network = std::make_unique<NetworkOutput>(o.output, plan.pace, plan.timing.bit_rate,
                                                   plan.source ? plan.source->file().first_bytes_ns() : -1);
    end_stream_on_stop_signals();
    if (o.verbose)
        std::fprintf(stderr,
                     "pcmpack: note: %s: a constant %lld bits/s (the audio needs %lld)%s, a "
                     "clock reference every 20 ms, PAT and PMT every 90 ms, presentation "
                     "%lld ms after the clock reference; datagrams of %zu bytes %s\n",
                     o.output.c_str(), static_cast<long long>(plan.timing.bit_rate),
                     static_cast<long long>(transport_bit_rate_needed(plan.shape)),
                     plan.pace == Pace::none ? " on the stream's clock, faster on the wire" : "",
                     static_cast<long long>(plan.timing.latency_us / 1000), network->datagram_bytes(),
                     pace_text(plan.pace));
    return network;
}

Muxing start_container(const EncodeOptions &o, const EncodePlan &plan, ByteSink *file, FileStream &stream) {
    Muxing m;
    route_libav_messages(false);
    ByteSink *sink = file;
    if (plan.network) {
        m.network = open_network(o, plan);
        sink = m.network.get();
    }
    m.muxer = std::make_unique<ContainerWriter>(plan.container, plan.shape, *sink, display_name(o.output, true),
                                                plan.timing);
    m.frames = std::make_unique<MuxedFrames>(*m.muxer);
    stream.frames = m.frames.get();
    return m;
}

struct EncoderDeleter {
    void operator()(pcm_a_encoder *encoder) const {
        pcmOutAudioDone(encoder, 1);  // abort: nothing more is written
        pcmOutAudioFree(encoder);
    }
};
using Encoder = std::unique_ptr<pcm_a_encoder, EncoderDeleter>;

Encoder start_encoder(const EncodePlan &plan, const LibraryHost &host, FileStream &stream) {
    Encoder encoder(pcmOutAudioNewWithHost(&host.record, &plan.settings,
                                           plan.big_endian ? PCM_INPUT_BIG_ENDIAN : 0, plan.frame_rate_code,
                                           plan.rate));
    if (!encoder) throw Failure("the library refused the settings" + host.see_above());
    // Mono, 5.1 and 7.1 travel in the frames of 2.0, 3/2 and 3/4; the
    // library writes their own channel assignment code in each frame header.
    if (plan.channels.sets_assignment() &&
        pcmOutAudioSetHdmvChannelAssignment(encoder.get(), plan.channels.assignment) != 0)
        throw Failure("the library refused HDMV " + std::string(plan.channels.layout->name) + host.see_above());
    if (stream.bind(encoder.get()) != 0)
        throw Failure("the encoder could not start" + host.see_above());
    return encoder;
}

Failure write_failure(const FileStream &stream, const std::string &output) {
    return Failure(stream.failure.empty() ? display_name(output, true) + ": write failed" : stream.failure);
}

// The audio handed to the library block by block, as the words the layer
// takes; with data, the output lasts as long as the longer of audio and
// bursts. Returns whether a stop signal ended a live stream early.
class Feed {
public:
    // `chunk`: sample periods handed over at a time.
    Feed(EncodePlan &plan, pcm_a_encoder *encoder, const FileStream &stream, const std::string &output,
         size_t chunk);
    bool run();
    // The stream header, written even for an empty source.
    void start() { put(0); }
    // One block; false at the end.
    bool step();
    double seconds_done() const { return double(periods_done_) / plan_.rate; }
    double seconds_total() const;

private:
    size_t next_block(size_t &size);
    void put(size_t size);

    EncodePlan &plan_;
    pcm_a_encoder *encoder_;
    const FileStream &stream_;
    const std::string &output_;
    // Converted samples become exactly the input the layer needs: 2- or
    // 3-byte words, little-endian (the library turns them into the layer's
    // order) or big-endian for HDMV.
    WordLayout words_;
    size_t chunk_;
    std::vector<int32_t> samples_;
    std::vector<uint8_t> bytes_;
    uint64_t data_periods_;
    uint64_t periods_done_ = 0;
    bool audio_left_;
};

Feed::Feed(EncodePlan &plan, pcm_a_encoder *encoder, const FileStream &stream, const std::string &output,
           size_t chunk)
    : plan_(plan), encoder_(encoder), stream_(stream), output_(output),
      words_{plan.bits == 16 ? 2u : 3u,
             plan.bits == 20 ? 0xFFFFF000u : plan.bits == 24 ? 0xFFFFFF00u : 0xFFFF0000u,
             plan.source_channels, plan.coded_channels, plan.big_endian, plan.source_of_coded.data()},
      chunk_(chunk),
      bytes_(chunk_ * static_cast<size_t>(plan.coded_channels) * words_.width),
      data_periods_(plan.data ? plan.data->periods() : 0), audio_left_(plan.source != nullptr) {
    if (!plan.as_stored) samples_.resize(chunk_ * static_cast<size_t>(plan.source_channels));
}

// The next block's sample periods, 0 at the end, and its bytes in `size`.
size_t Feed::next_block(size_t &size) {
    size_t got = 0;
    if (plan_.as_stored) {
        got = plan_.source->read_stored(bytes_.data(), chunk_);
        size = got * static_cast<size_t>(plan_.coded_channels) * words_.width;
        if (plan_.swap_stored) reverse_words(bytes_.data(), size, words_.width);
        return got;
    }
    got = audio_left_ ? plan_.source->read(samples_.data(), chunk_) : 0;
    audio_left_ = got != 0;
    if (got == 0 && periods_done_ < data_periods_) {
        got = static_cast<size_t>(std::min<uint64_t>(chunk_, data_periods_ - periods_done_));
        std::fill(samples_.begin(), samples_.end(), 0);
    }
    size = to_layer_words(samples_.data(), got, words_, bytes_.data());
    return got;
}

void Feed::put(size_t size) {
    if (pcmOutAudioPutBytes(encoder_, bytes_.data(), static_cast<uint32_t>(size)) != 0 ||
        !stream_.failure.empty())
        throw write_failure(stream_, output_);
}

double Feed::seconds_total() const {
    const int64_t audio_periods = plan_.source ? plan_.source->periods() : 0;
    const double total = double(std::max<int64_t>(audio_periods, int64_t(data_periods_)));
    return total > 0 ? total / plan_.rate : 0.0;
}

bool Feed::step() {
    size_t size = 0;
    const size_t got = next_block(size);
    if (got == 0) return false;
    if (plan_.data) plan_.data->fill(bytes_.data(), got, plan_.coded_channels, plan_.data_pair, words_.width);
    put(size);
    periods_done_ += got;
    return true;
}

bool Feed::run() {
    Progress progress("encode", seconds_total());
    start();
    for (;;) {
        if (plan_.network && stop_requested()) return true;
        if (!step()) return false;
        progress.update(seconds_done());
    }
}

// The conversion's notes follow the run.
void print_conversion_notes(const EncodePlan &plan) {
    if (plan.converter)
        for (const std::string &note : plan.converter->notes())
            std::fprintf(stderr, "pcmpack: note: %s: %s\n", plan.input.c_str(), note.c_str());
}

// The encoder, the muxer and the network end in that order; the
// conversion's notes follow the run.
void run_plan(const EncodeOptions &o, EncodePlan &plan, const Outputs &out) {
    LibraryHost host(o.verbose ? LibraryHost::Mode::print : LibraryHost::Mode::count);
    FileStream stream(out.stream, out.index, o.index_format == "json");
    Muxing muxing;
    if (plan.container != Container::elementary) muxing = start_container(o, plan, out.stream, stream);
    Encoder encoder = start_encoder(plan, host, stream);
    // A network stream takes the audio 10 ms at a time, so that a frame
    // leaves as soon as the input completes it and a stop signal is heard
    // within a frame.
    const size_t chunk = plan.network ? static_cast<size_t>(plan.rate / 100) : 16384;
    const bool stopped = Feed(plan, encoder.get(), stream, o.output, chunk).run();
    pcm_a_encoder *finished = encoder.release();
    // Stopped by a signal, the stream ends with the last complete frame.
    const int32_t flushed = pcmOutAudioDone(finished, stopped ? 1 : 0);
    pcmOutAudioFree(finished);
    if (flushed != 0 || !stream.failure.empty()) throw write_failure(stream, o.output);
    if (muxing.muxer) muxing.muxer->finish();
    if (muxing.network) muxing.network->finish();
    print_conversion_notes(plan);
}

// One audio track of a programme: its own encoder, whose frames go to the
// writer as that track's.
struct TrackRun {
    // `index`: where the track's frame index goes, or null.
    TrackRun(ProgrammePlan &programme, ContainerWriter &writer, size_t track, const EncodeOptions &o,
             ByteSink *index)
        : host(o.verbose ? LibraryHost::Mode::print : LibraryHost::Mode::count),
          stream(nullptr, index, o.index_format == "json"),
          frames(writer, static_cast<int>(track), programme.frame_ticks[track]) {
        EncodePlan &plan = programme.tracks[track];
        stream.frames = &frames;
        encoder = start_encoder(plan, host, stream);
        // About a video frame at a time, so that the tracks reach the writer
        // in time order, a few frames of each in turn.
        feed = std::make_unique<Feed>(plan, encoder.get(), stream, o.output, static_cast<size_t>(plan.rate / 25));
        feed->start();
    }
    LibraryHost host;
    FileStream stream;
    MuxedFrames frames;
    Encoder encoder;
    std::unique_ptr<Feed> feed;
    bool done = false;
};

// The track whose audio is furthest behind; null when every one has ended.
TrackRun *furthest_behind(const std::vector<std::unique_ptr<TrackRun>> &runs) {
    TrackRun *behind = nullptr;
    for (const auto &run : runs)
        if (!run->done && (!behind || run->feed->seconds_done() < behind->feed->seconds_done()))
            behind = run.get();
    return behind;
}

void finish_track(TrackRun &run, const std::string &output) {
    pcm_a_encoder *finished = run.encoder.release();
    const int32_t flushed = pcmOutAudioDone(finished, 0);
    pcmOutAudioFree(finished);
    if (flushed != 0 || !run.stream.failure.empty()) throw write_failure(run.stream, output);
}

// The tracks fed in time order; each encoder ends with its last frame, then
// the writer with the video still to come and the trailer.
void run_programme(const EncodeOptions &o, ProgrammePlan &plan, const Outputs &out) {
    route_libav_messages(false);
    ContainerWriter writer(plan.container, plan.audio_tracks, plan.video.get(), plan.service, *out.stream,
                           display_name(o.output, true), plan.timing);
    std::vector<std::unique_ptr<TrackRun>> runs;
    double total = 0;
    for (size_t track = 0; track < plan.tracks.size(); ++track) {
        // Only a programme of one track has an index (several are refused).
        runs.push_back(std::make_unique<TrackRun>(plan, writer, track, o, out.index));
        total = std::max(total, runs.back()->feed->seconds_total());
    }
    Progress progress("encode", total);
    while (TrackRun *run = furthest_behind(runs)) {
        run->done = !run->feed->step();
        progress.update(run->feed->seconds_done());
    }
    for (const auto &run : runs) finish_track(*run, o.output);
    writer.finish();
    for (const EncodePlan &track : plan.tracks) print_conversion_notes(track);
}

// A programme goes to a file, which appears only when complete.
int encode_programme(const EncodeOptions &o) {
    ProgrammePlan plan = plan_programme(o);
    Outputs out(o.overwrite);
    open_outputs(o, plan.tracks.front(), out);
    for (const EncodePlan &track : plan.tracks)
        if (track.source) out.files.guard(track.source->file().fd(), track.input, "input");
    run_programme(o, plan, out);
    out.files.commit();
    return 0;
}

}  // namespace

int run_encode(const EncodeOptions &o) {
    if (is_rtp_url(o.output)) return encode_rtp(o);
    if (!o.rtp_option_given.empty())
        throw Failure(o.rtp_option_given + " applies to an rtp:// output only; the output is " +
                      display_name(o.output, true));
    if (is_programme(o)) return encode_programme(o);
    Outputs out(o.overwrite);
    EncodePlan plan = plan_encode(o, [&](const EncodePlan &planned) { open_outputs(o, planned, out); });
    // The renames must not replace the open input, whatever its name is then.
    if (plan.source) out.files.guard(plan.source->file().fd(), plan.input, "input");
    run_plan(o, plan, out);
    out.files.commit();
    return 0;
}

}  // namespace pcmtool
