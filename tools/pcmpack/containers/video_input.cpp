// SPDX-License-Identifier: BSD-2-Clause
// One video track of a file, opened through libavformat and handed on as
// its packets, never decoded.
#include "containers/video_input.h"

#include "containers/codec_titles.h"

#include "common.h"
#include "containers/video_packets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <vector>

namespace pcmtool {

namespace {

constexpr AVRational k90k = {1, 90000};

bool is_video(const AVStream *stream) {
    return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

std::string counted(size_t n, const char *what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// "1 audio track (pcm_s16le)", "2 video tracks (H.264, MPEG-2 video) and
// 1 audio track (ac3)": what a refusal says the file holds.
std::string holdings(const AVFormatContext *format) {
    struct Kind {
        AVMediaType type;
        const char *name;
    };
    static constexpr Kind kKinds[] = {{AVMEDIA_TYPE_VIDEO, "video track"},
                                      {AVMEDIA_TYPE_AUDIO, "audio track"},
                                      {AVMEDIA_TYPE_SUBTITLE, "subtitle track"},
                                      {AVMEDIA_TYPE_DATA, "data track"}};
    std::string text;
    for (const Kind &kind : kKinds) {
        size_t n = 0;
        std::string codecs;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            const AVStream *stream = format->streams[i];
            if (stream->codecpar->codec_type != kind.type ||
                (kind.type == AVMEDIA_TYPE_VIDEO && !is_video(stream)))
                continue;
            codecs += std::string(n++ ? ", " : "") + codec_title(stream->codecpar->codec_id);
        }
        if (n) text += std::string(text.empty() ? "" : " and ") + counted(n, kind.name) + " (" + codecs + ")";
    }
    return text.empty() ? "no tracks" : text;
}

void free_packets(std::deque<AVPacket *> &packets) {
    for (AVPacket *packet : packets) av_packet_free(&packet);
    packets.clear();
}

}  // namespace

VideoInput::Impl::~Impl() {
    free_packets(ahead);
    free_packets(dated);
    free_packets(undated);
    av_packet_free(&packet);
    avformat_close_input(&format);
}

AVPacket *VideoInput::Impl::read_file() {
    AVPacket *packet = av_packet_alloc();
    if (!packet) throw Failure(name + ": out of memory");
    for (;;) {
        const int error = av_read_frame(format, packet);
        if (error == AVERROR_EOF) break;
        if (error < 0) {
            av_packet_free(&packet);
            throw Failure(name + ": cannot read video packet " + std::to_string(packets_read + 1) +
                          ": " + av_text(error));
        }
        if (packet->stream_index != stream->index) {
            av_packet_unref(packet);
            continue;
        }
        ++packets_read;
        av_packet_rescale_ts(packet, stream->time_base, k90k);
        return packet;
    }
    av_packet_free(&packet);
    return nullptr;
}

int64_t VideoInput::Impl::frame_ticks() const {
    const AVRational rate = av_guess_frame_rate(format, stream, nullptr);
    if (rate.num <= 0 || rate.den <= 0) return 3600;
    return av_rescale_q(1, av_inv_q(rate), k90k);
}

// A file may leave out decoding times (Matroska those of the first frames,
// an elementary stream all): each is the one before plus a frame, and those
// before the first stated one count back from it. A frame without any time
// is stamped so only where display order is decoding order.
void VideoInput::Impl::date(AVPacket *packet) {
    if (packet->pts == AV_NOPTS_VALUE) {
        if (reorders()) {
            av_packet_free(&packet);
            throw Failure(name + ": video packet " + std::to_string(packets_read) +
                          " has no time stamp, and its frames are reordered, so their "
                          "presentation times cannot be copied: give the video in a file that "
                          "stamps them (.ts, .m2ts, .mkv or .mp4)");
        }
        if (packet->dts == AV_NOPTS_VALUE) packet->dts = last_dts == AV_NOPTS_VALUE ? 0 : last_dts + frame_ticks();
        packet->pts = packet->dts;
    }
    if (packet->dts == AV_NOPTS_VALUE) {
        if (last_dts == AV_NOPTS_VALUE) {
            undated.push_back(packet);
            return;
        }
        packet->dts = last_dts + frame_ticks();
    }
    for (size_t back = undated.size(); back > 0; --back) {
        AVPacket *early = undated[undated.size() - back];
        early->dts = packet->dts - static_cast<int64_t>(back) * frame_ticks();
        dated.push_back(early);
    }
    undated.clear();
    last_dts = packet->dts;
    dated.push_back(packet);
}

// No decoding time at all: the n-th frame decoded is due a reorder delay
// before the n-th presentation time.
void VideoInput::Impl::date_by_presentation() {
    std::vector<int64_t> times;
    for (const AVPacket *packet : undated) times.push_back(packet->pts);
    std::sort(times.begin(), times.end());
    const int64_t delay = int64_t{stream->codecpar->video_delay} * frame_ticks();
    for (size_t i = 0; i < undated.size(); ++i) {
        undated[i]->dts = times[i] - delay;
        dated.push_back(undated[i]);
    }
    undated.clear();
}

AVPacket *VideoInput::Impl::read() {
    while (dated.empty()) {
        AVPacket *packet = read_file();
        if (packet) {
            date(packet);
        } else {
            date_by_presentation();
            if (dated.empty()) return nullptr;
        }
    }
    AVPacket *packet = dated.front();
    dated.pop_front();
    return packet;
}

AVPacket *VideoInput::Impl::next() {
    av_packet_free(&packet);
    if (!ahead.empty()) {
        packet = ahead.front();
        ahead.pop_front();
    } else {
        packet = read();
    }
    return packet;
}

bool VideoInput::Impl::peek_dts(int64_t *dts) {
    if (ahead.empty()) {
        AVPacket *packet = read();
        if (!packet) return false;
        ahead.push_back(packet);
    }
    *dts = ahead.front()->dts;
    return true;
}

VideoInput::VideoInput(const std::string &path, int track) : impl_(std::make_unique<Impl>(path)) {
    Impl &v = *impl_;
    const std::string shown = display_name(path);
    v.name = shown;
    AVDictionary *options = nullptr;
    // An elementary stream's packets get their presentation times from the
    // parser, as a reader of the copy will find them.
    av_dict_set(&options, "fflags", "+genpts", 0);
    int error = avformat_open_input(&v.format, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (error < 0) throw Failure(shown + ": cannot read it as video: " + av_text(error));
    error = avformat_find_stream_info(v.format, nullptr);
    if (error < 0) throw Failure(shown + ": cannot read its tracks: " + av_text(error));

    int seen = 0;
    for (unsigned i = 0; i < v.format->nb_streams; ++i) {
        AVStream *stream = v.format->streams[i];
        if (is_video(stream) && ++seen == track) v.stream = stream;
        else stream->discard = AVDISCARD_ALL;
    }
    if (!v.stream) {
        if (seen == 0) throw Failure(shown + ": holds no video track, only " + holdings(v.format));
        throw Failure(shown + ": holds " + holdings(v.format) + "; there is no video track " +
                      std::to_string(track));
    }

    // The first frame in display order is the one of lowest presentation
    // time; no packet decoded after one whose decoding time has passed that
    // can come before it.
    AVPacket *packet = v.read();
    if (!packet) throw Failure(shown + ": its video track " + std::to_string(track) + " holds no frame");
    v.ahead.push_back(packet);
    v.first_pts = packet->pts;
    while (packet && packet->dts < v.first_pts) {
        if ((packet = v.read())) {
            v.ahead.push_back(packet);
            v.first_pts = std::min(v.first_pts, packet->pts);
        }
    }
}

VideoInput::~VideoInput() = default;

const std::string &VideoInput::name() const { return impl_->name; }

const char *VideoInput::codec_title() const { return pcmtool::codec_title(impl_->codec().codec_id); }

Rational VideoInput::frame_rate() const {
    const AVRational rate = av_guess_frame_rate(impl_->format, impl_->stream, nullptr);
    if (rate.num <= 0 || rate.den <= 0) return Rational{0, 1};
    return Rational{rate.num, rate.den};
}

int64_t VideoInput::first_pts_90k() const { return impl_->first_pts; }

int64_t VideoInput::frame_count_hint() const {
    const AVStream *stream = impl_->stream;
    if (stream->nb_frames > 0) return stream->nb_frames;
    const AVRational rate = av_guess_frame_rate(impl_->format, impl_->stream, nullptr);
    if (stream->duration == AV_NOPTS_VALUE || rate.num <= 0 || rate.den <= 0) return -1;
    return av_rescale_q(stream->duration, stream->time_base, av_inv_q(rate));
}

int64_t VideoInput::bit_rate() const {
    size_t size = 0;
    const uint8_t *stated = av_stream_get_side_data(impl_->stream, AV_PKT_DATA_CPB_PROPERTIES, &size);
    if (stated && size >= sizeof(AVCPBProperties)) {
        const auto *buffer = reinterpret_cast<const AVCPBProperties *>(stated);
        if (buffer->max_bitrate > 0) return buffer->max_bitrate;
    }
    return impl_->codec().bit_rate > 0 ? impl_->codec().bit_rate : 0;
}

int VideoInput::width() const { return impl_->codec().width; }

int VideoInput::height() const { return impl_->codec().height; }

}  // namespace pcmtool
