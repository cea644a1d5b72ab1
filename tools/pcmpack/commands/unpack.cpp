// SPDX-License-Identifier: BSD-2-Clause
// pcmpack unpack: a stream, or a container's audio track, back into a WAV
// file, through the stream reader, which validates every frame first.
#include "commands/stream_walk.h"
#include "common.h"
#include "containers/live_input.h"
#include "outputs/wav_writer.h"
#include "source/burst_scan.h"

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
    // `most_bytes`: the stream's size where known; the WAV's audio is never
    // larger than the stream that carried it.
    WavSink(OutputFile &out, int64_t most_bytes) : out_(out), most_bytes_(most_bytes) {}
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

    void on_frame(const FrameInfo &, const int32_t *samples, size_t count) override {
        if (!wav_) start();
        if (bursts_) bursts_->scan(samples, count / coded_);
        if (!reorder_) {
            wav_->write(samples, count / coded_);
            return;
        }
        file_samples_.clear();
        for (size_t p = 0; p + coded_ <= count; p += coded_)
            for (int k = 0; k < channels_; ++k) file_samples_.push_back(samples[p + size_t(coded_of_file_[k])]);
        wav_->write(file_samples_.data(), file_samples_.size() / size_t(channels_));
    }

    void finish() {
        if (!wav_) start();
        wav_->finish();
        if (bursts_) bursts_->finish();
    }

private:
    void start() {
        const StreamInfo &info = reader_->info();
        coded_ = static_cast<size_t>(info.channels);
        channels_ = info.channels;
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
        wav_ = std::make_unique<WavWriter>(out_, info.sample_rate, channels_,
                                           info.bits == 16 ? 16 : 24, most_bytes_, positions);
    }

    OutputFile &out_;
    int64_t most_bytes_;
    const IncrementalReader *reader_ = nullptr;
    std::unique_ptr<WavWriter> wav_;
    size_t coded_ = 1;
    int channels_ = 1;
    bool reorder_ = false;
    int coded_of_file_[8] = {};
    std::vector<int32_t> file_samples_;
    OutputFile *data_ = nullptr;
    int data_pair_ = 0;
    std::unique_ptr<BurstScanner> bursts_;
};

}  // namespace

int run_unpack(const UnpackOptions &o) {
    const bool live = is_url(o.input);
    if (live) {
        check_live_url(o.input);
        // Without an end the recording would last until a signal, which
        // removes what this run began to write.
        if (o.duration <= 0)
            throw Failure(o.input + ": recording a live stream needs --duration SECONDS");
    } else if (o.duration > 0) {
        throw Failure(o.input +
                      ": --duration records a live stream (udp://, srt://); this is a file");
    }
    std::vector<FileRole> names = {{o.output, "WAV file"}};
    if (!o.data_out.empty()) names.push_back({o.data_out, "data"});
    if (!live) refuse_shared_files({{o.input, "stream"}}, names);
    OutputSet outputs(o.overwrite);
    OutputFile &out = outputs.open(o.output);
    OutputFile *data = o.data_out.empty() ? nullptr : &outputs.open(o.data_out);
    std::unique_ptr<InputFile> file;
    std::unique_ptr<LiveInput> net;
    const int64_t until = monotonic_ns() + static_cast<int64_t>(o.duration * 1e9);
    if (live) {
        net = std::make_unique<LiveInput>(o.input, [until] { return monotonic_ns() >= until; });
    } else {
        file = std::make_unique<InputFile>(o.input);
        outputs.guard(file->fd(), file->name(), "stream");
    }
    const std::string name = live ? o.input : file->name();
    WavSink wav(out, live ? -1 : file->size());
    IncrementalReader reader(wav, true);
    wav.read_by(reader);
    if (data) wav.extract(*data, o.data_pair - 1);
    TrackChoice tracks;
    tracks.asked = o.track;
    if (live)
        walk_live(*net, until, reader, tracks);
    else
        walk(*file, reader, tracks);
    if (!reader.ok()) throw Failure(describe_error(name, reader));
    wav.finish();
    if (data) {
        const PairBursts *found = wav.extracted();
        if (!found || !found->data())
            throw Failure(name + ": channel pair " + std::to_string(o.data_pair) +
                          " holds no data bursts (see `pcmpack inspect`); " +
                          display_name(o.data_out, true) + " is not written");
        if (found->errors())
            std::fprintf(stderr, "pcmpack: %s: pair %d: %llu damaged bursts left out of %s\n",
                         name.c_str(), o.data_pair,
                         static_cast<unsigned long long>(found->bad_pd + found->past_period),
                         display_name(o.data_out, true).c_str());
    }
    outputs.commit();
    return 0;
}

}  // namespace pcmtool
