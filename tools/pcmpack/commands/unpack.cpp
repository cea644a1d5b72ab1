// SPDX-License-Identifier: BSD-2-Clause
// pcmpack unpack: a stream, or a container's audio track, back into a WAV
// file, through the stream reader, which validates every frame first.
#include "commands/stream_walk.h"
#include "commands/unpack_options.h"
#include "common.h"
#include "containers/live_input.h"
#include "outputs/output.h"
#include "outputs/wav_writer.h"
#include "source/burst_scan.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace pcmtool {

namespace {

using pcmpack_reader::FrameInfo;
using pcmpack_reader::IncrementalReader;
using pcmpack_reader::StreamInfo;

// Unpack's WAV, begun with the first frame, whose header names the HDMV
// layout. Mono, 5.1 and 7.1 come back as the source's channels: in the
// order a WAV file holds them, with their channel mask, without padding.
// The library's layouts keep every coded channel in the coded order.
class WavSink : public pcmpack_reader::FrameSink {
public:
    // `out`: the WAV file, null when only the data bursts are wanted.
    // `most_bytes`: the stream's size where known; the WAV's audio is never
    // larger than the stream that carried it.
    WavSink(OutputFile *out, int64_t most_bytes) : out_(out), most_bytes_(most_bytes) {}
    // The reader whose stream header and first frame header say what the
    // audio is.
    void read_by(const IncrementalReader &reader) { reader_ = &reader; }

    // The payloads of the bursts in `pair` (0-based) go to `data`.
    void extract(OutputFile &data, int pair) {
        data_ = &data;
        data_pair_ = pair;
    }
    // The bursts found in the extracted pair; valid after finish().
    const PairBursts *extracted() const {
        return bursts_ && size_t(data_pair_) < bursts_->pairs().size()
                   ? &bursts_->pairs()[size_t(data_pair_)]
                   : nullptr;
    }

    void on_frame(const FrameInfo &f, const int32_t *samples, size_t count) override {
        if (!started_) start();
        frame_periods_ = f.sample_periods;
        put(samples, count / coded_);
    }

    // `periods` sample periods of silence, in place of frames lost on the
    // way; nothing before the first frame.
    void silence(uint64_t periods) {
        if (!started_) return;
        const size_t block = 4096;
        const std::vector<int32_t> zeros(block * coded_, 0);
        for (uint64_t left = periods; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block));
            put(zeros.data(), n);
            left -= n;
        }
    }

    // Sample periods written, and those of the last frame read.
    uint64_t periods() const { return periods_; }
    uint32_t frame_periods() const { return frame_periods_; }
    int rate() const { return rate_; }

    void finish() {
        if (!started_) start();
        if (wav_) wav_->finish();
        if (bursts_) bursts_->finish();
    }

private:
    void put(const int32_t *samples, size_t periods) {
        periods_ += periods;
        if (bursts_) bursts_->scan(samples, periods);
        if (!wav_) return;
        if (!reorder_) {
            wav_->write(samples, periods);
            return;
        }
        file_samples_.clear();
        for (size_t p = 0; p < periods * coded_; p += coded_)
            for (int k = 0; k < channels_; ++k) file_samples_.push_back(samples[p + size_t(coded_of_file_[k])]);
        wav_->write(file_samples_.data(), periods);
    }

    void start() {
        started_ = true;
        const StreamInfo &info = reader_->info();
        coded_ = static_cast<size_t>(info.channels);
        channels_ = info.channels;
        rate_ = info.sample_rate;
        std::vector<int> positions;
        if (info.layer == 13 && info.hdmv_assignment != 0) {
            const HdmvLayout &layout = hdmv_layout_of(info);
            if (layout.assignment != layout.library_assignment) {
                channels_ = file_order(layout, coded_of_file_);
                reorder_ = true;
                if (channels_ > 2)
                    for (int k = 0; k < channels_; ++k)
                        positions.push_back(sndfile_position(layout.coded[coded_of_file_[k]]));
            }
        }
        if (data_) {
            OutputFile *data = data_;
            bursts_ = std::make_unique<BurstScanner>(
                info.channels, data_pair_,
                [data](const uint8_t *payload, size_t size) { data->write(payload, size); });
        }
        // 20-bit samples travel in 24-bit words, their low four bits zero.
        if (out_)
            wav_ = std::make_unique<WavWriter>(*out_, info.sample_rate, channels_,
                                               info.bits == 16 ? 16 : 24, most_bytes_, positions);
    }

    OutputFile *out_;
    int64_t most_bytes_;
    const IncrementalReader *reader_ = nullptr;
    bool started_ = false;
    std::unique_ptr<WavWriter> wav_;
    size_t coded_ = 1;
    int channels_ = 1;
    int rate_ = 0;
    bool reorder_ = false;
    int coded_of_file_[8] = {};
    std::vector<int32_t> file_samples_;
    OutputFile *data_ = nullptr;
    int data_pair_ = 0;
    std::unique_ptr<BurstScanner> bursts_;
    uint64_t periods_ = 0;
    uint32_t frame_periods_ = 0;
};

// Where a live recording lost frames, said as it happens: the time in the
// recording, and the silence of exactly their sample periods put there.
// Frames out of place cannot be put back in order; they are counted.
class LossReport {
public:
    LossReport(const std::string &name, WavSink &wav) : name_(name), wav_(wav) {}

    void lost(const ContainerReader::Loss &loss) {
        ++breaks_;
        if (loss.periods <= 0) {
            std::fprintf(stderr, "pcmpack: %s: frames came out of place at %.3f s\n", name_.c_str(),
                         loss.at);
            return;
        }
        const uint32_t frame = wav_.frame_periods();
        const int64_t frames =
            frame ? std::max<int64_t>(1, (loss.periods + frame / 2) / int64_t(frame)) : 1;
        if (frames == 1)
            std::fprintf(stderr,
                         "pcmpack: %s: a frame was lost at %.3f s: %lld sample periods of silence "
                         "put in its place\n",
                         name_.c_str(), loss.at, static_cast<long long>(loss.periods));
        else
            std::fprintf(stderr,
                         "pcmpack: %s: %lld frames were lost at %.3f s: %lld sample periods of "
                         "silence put in their place\n",
                         name_.c_str(), static_cast<long long>(frames), loss.at,
                         static_cast<long long>(loss.periods));
        wav_.silence(static_cast<uint64_t>(loss.periods));
    }
    uint64_t breaks() const { return breaks_; }

private:
    std::string name_;
    WavSink &wav_;
    uint64_t breaks_ = 0;
};

// What is refused before any output is opened: a live option on a file, a
// run with nothing to write, an output that is the input.
void check_unpack(const UnpackOptions &o, bool live) {
    if (live) {
        check_live_url(o.input);
    } else if (o.duration > 0) {
        throw Failure(o.input +
                      ": --duration records a live stream (udp://, srt://); this is a file");
    }
    if (o.output.empty() && o.data_out.empty())
        throw Failure(display_name(o.input) +
                      ": nothing to write: give -o FILE for the audio as WAV, --data-out FILE for "
                      "the payloads of a pair's data bursts, or both");
    std::vector<FileRole> names;
    if (!o.output.empty()) names.push_back({o.output, "WAV file"});
    if (!o.data_out.empty()) names.push_back({o.data_out, "data"});
    if (!live) refuse_shared_files({{o.input, "stream"}}, names);
}

// A recording ends on --duration, SIGINT or SIGTERM, and keeps every whole
// frame that came.
std::unique_ptr<LiveInput> open_recording(const UnpackOptions &o) {
    end_stream_on_stop_signals();
    const int64_t until = o.duration > 0 ? monotonic_ns() + static_cast<int64_t>(o.duration * 1e9) : 0;
    return std::make_unique<LiveInput>(o.input, [until] {
        return stop_requested() || (until > 0 && monotonic_ns() >= until);
    });
}

// --data-out is written only when the pair held data as inspect sees it:
// bursts that follow one another, not one chance Pa Pb in the audio.
void check_extracted(const WavSink &wav, const UnpackOptions &o, const std::string &name) {
    const PairBursts *found = wav.extracted();
    if (!found || !found->first_data())
        throw Failure(name + ": channel pair " + std::to_string(o.data_pair) +
                      " holds no data bursts (see `pcmpack inspect`); " +
                      display_name(o.data_out, true) + " is not written");
    if (found->errors())
        std::fprintf(stderr, "pcmpack: %s: pair %d: %llu damaged bursts left out of %s\n",
                     name.c_str(), o.data_pair,
                     static_cast<unsigned long long>(found->bad_pd + found->past_period),
                     display_name(o.data_out, true).c_str());
}

// A recording says how long it is, and fails, kept, if the stream broke.
void report_recording(const UnpackOptions &o, const WavSink &wav, const LossReport &losses,
                      const std::string &name) {
    std::fprintf(stderr, "pcmpack: %s: %.3f s recorded\n",
                 display_name(o.output.empty() ? o.data_out : o.output, true).c_str(),
                 wav.rate() ? double(wav.periods()) / wav.rate() : 0.0);
    if (losses.breaks())
        throw Failure(name + ": the stream broke " + std::to_string(losses.breaks()) +
                      (losses.breaks() == 1 ? " time" : " times") + " (see above); the recording is kept");
}

}  // namespace

int run_unpack(const UnpackOptions &o) {
    if (is_rtp_input(o.input)) return run_rtp_unpack(o);
    if (o.rtp.given()) throw Failure(o.input + ": " + kRtpOnly);
    const bool live = is_url(o.input);
    check_unpack(o, live);
    OutputSet outputs(o.overwrite);
    OutputFile *out = o.output.empty() ? nullptr : &outputs.open(o.output);
    OutputFile *data = o.data_out.empty() ? nullptr : &outputs.open(o.data_out);
    std::unique_ptr<InputFile> file;
    std::unique_ptr<LiveInput> net;
    if (live) {
        net = open_recording(o);
    } else {
        file = std::make_unique<InputFile>(o.input);
        outputs.guard(file->fd(), file->name(), "stream");
    }
    const std::string name = live ? o.input : file->name();
    WavSink wav(out, live ? -1 : file->size());
    if (data) wav.extract(*data, o.data_pair - 1);
    LossReport losses(name, wav);
    std::unique_ptr<IncrementalReader> reader;
    const auto make_reader = [&wav] {
        auto made = std::make_unique<IncrementalReader>(wav, true);
        wav.read_by(*made);
        return made;
    };
    TrackChoice tracks;
    tracks.asked = o.track;
    if (live) {
        walk_live(*net, {make_reader, [&losses](const ContainerReader::Loss &loss) { losses.lost(loss); }},
                  reader, tracks);
        if (!reader) throw Failure(name + ": no whole frame arrived; nothing is written");
    } else {
        reader = make_reader();
        walk(*file, *reader, tracks);
    }
    if (!reader->ok()) throw Failure(describe_error(name, *reader, tracks));
    wav.finish();
    if (data) check_extracted(wav, o, name);
    outputs.commit();
    if (live) report_recording(o, wav, losses, name);
    return 0;
}

}  // namespace pcmtool
