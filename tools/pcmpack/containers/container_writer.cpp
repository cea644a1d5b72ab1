// SPDX-License-Identifier: BSD-2-Clause
// Hands the library's frames to libavformat's muxers, one access unit per
// frame (DVD LPCM: per pack's worth of frames), stamped with the library's
// own presentation times. The library packs
// each frame straight into the packet buffer the muxer is handed.
#include "common.h"
#include "containers/container.h"
#include "containers/dvd_packs.h"
#include "containers/video_packets.h"
#include "outputs/sink.h"

#include "format/frame_headers.h"
#include "format/stream_format.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace pcmtool {

namespace {

// 27 MHz ticks per 90 kHz tick: the conversion is an exact integer division
// for every whole tick count, and truncates the half ticks of the 1001 rates
// the same way the library truncates its own running time.
constexpr int64_t kTicksPer90k = 300;

// A DVD LPCM packet of libavcodec starts with the 3 bytes of the audio frame
// header (flags, word length / rate / channels, dynamic range); the program
// stream muxer drops them and writes its own from the stream parameters.
constexpr size_t kLpcmHeaderBytes = pcmpack_format::kDvdFrameHeaderBytes;

// A DVD player's video buffer, in bits.
constexpr int64_t kDvdVideoBufferBits = 224 * 1024 * 8;

// Bytes buffered between libavformat and the output file.
constexpr int kIoBufferBytes = 1 << 18;

// A clock reference every 20 ms, and the program tables every 90 ms: under
// the 40 ms and 100 ms that receivers check, with room for the packet that
// is being written when the time comes.
constexpr const char *kPcrPeriodMs = "20";
constexpr const char *kTablePeriodSeconds = "0.09";

// Bytes of a PES packet header with a presentation time, and of a transport
// packet and its payload.
constexpr int64_t kPesHeaderBytes = 14;
constexpr int64_t kTsPacketBytes = 188;
constexpr int64_t kTsPayloadBytes = 184;
// Packets a second besides the audio: clock references (50), PAT and PMT
// (2 every 90 ms), and the service description (2 every 0.5 s), rounded up.
constexpr int64_t kOtherPacketsPerSecond = 50 + 23 + 4;
// Headroom of the default rate over the least one, in percent.
constexpr int64_t kHeadroomPercent = 5;

struct MuxerRow {
    Container container;
    const char *format;  // libavformat muxer
    AVCodecID codec;
};

constexpr MuxerRow kMuxers[] = {
    {Container::transport, "mpegts", AV_CODEC_ID_S302M},
    {Container::bdav, "mpegts", AV_CODEC_ID_PCM_BLURAY},
    {Container::program, "dvd", AV_CODEC_ID_PCM_DVD},
};

const MuxerRow &muxer_of(Container container) {
    for (const MuxerRow &row : kMuxers)
        if (row.container == container) return row;
    throw Failure("internal: no muxer for the container");
}

// The DVD audio frame header as libavcodec's DVD LPCM encoder writes it,
// and as the program stream muxer writes its own: emphasis and mute off,
// dynamic range 128, whatever the stream asks.
pcmpack_format::DvdFrameHeader lpcm_frame_header(const StreamShape &shape) {
    pcmpack_format::DvdFrameHeader header;
    header.frame_number = 12;  // its first byte is 0x0C
    header.bits_code = pcmpack_format::word_length_code(16);
    header.rate_code = pcmpack_format::dvd_rate_code(shape.params.sample_rate);
    header.channels = shape.params.channels;
    header.dynamic_range = 128;
    return header;
}

// Whether the frame headers the muxer writes say what the stream header
// asks for.
bool muxer_keeps(const StreamShape &shape, const uint8_t *stream_header) {
    pcmpack_format::StreamParams params;
    pcmpack_format::HeaderFault fault;
    const pcmpack_format::DvdFrameHeader muxed = lpcm_frame_header(shape);
    return pcmpack_format::decode_stream_header(stream_header, &params, &fault) &&
           params.emphasis == muxed.emphasis && params.mute == muxed.mute &&
           params.dynamic_range == muxed.dynamic_range;
}

// An access unit: a packet of whole frames, the library's packed in place.
struct Unit {
    uint8_t *packet = nullptr;       // null: none yet
    AVBufferRef *pooled = nullptr;   // the pool's buffer it is in, if any
    size_t bytes = 0;                // of its frames
    int frames = 0;
    int64_t pts = 0;                 // of its first frame
};

// One audio track: its stream in the muxer, and the packet buffers the
// library packs its frames into, each with the DVD frame header in front and
// the packet padding behind. A muxer that interleaves several streams keeps
// a packet until its turn comes, and would copy one whose buffer it cannot
// keep: it gets buffers of a pool, each back in the pool once muxed. A muxer
// of one stream is done with a packet at once: the track's own two buffers
// serve every unit, with nothing allocated per frame.
//
// A unit is one frame, or on a DVD as many 1/600 s frames as fit in what a
// pack carries: the muxer then takes a sixth of the packets, and every full
// pack still holds the start of a unit and with it a presentation time
// (which DvdPacks makes that of the first frame starting in the pack). The
// last pack may hold only the end of a unit: so a full unit is held back
// until the next one is full, and at the end the frames held go out one per
// packet.
struct Track {
    StreamShape shape;
    AVStream *stream = nullptr;
    AVBufferPool *buffers = nullptr;  // when the muxer interleaves
    std::vector<uint8_t> own[2];      // when it does not
    size_t frame_offset = 0;  // where the library's frames start in a packet
    size_t frame_room = 0;    // the most bytes a frame may have
    int frames_per_unit = 1;
    Unit filling;             // the unit the library's frames go to
    Unit held;                // a full DVD unit not yet muxed
    bool lent = false;        // the library is packing a frame at filling's end

    size_t unit_room() const {
        return frame_offset + frame_room * size_t(frames_per_unit) + AV_INPUT_BUFFER_PADDING_SIZE;
    }
    // Sample periods of one access unit (of the first, for the AES3
    // cadence), which the muxer wants to know of audio streams. The first
    // 302M frame, at cadence step 0, is the largest of the cadence.
    int frame_samples() const { return static_cast<int>(shape.geometry.sample_periods[0]); }
};

}  // namespace

struct ContainerWriter::Impl {
    Container container;
    std::vector<Track> tracks;
    VideoInput::Impl *video = nullptr;
    ServiceSpec service;
    ByteSink &out;
    MuxTiming timing;
    std::string name;
    AVFormatContext *format = nullptr;
    AVIOContext *io = nullptr;
    AVStream *video_stream = nullptr;
    std::string failure;  // why the output file refused bytes
    // 90 kHz: where every track's first sample period goes.
    int64_t audio_start = 0;
    // One packet for every unit: a DVD stream hands the muxer 600 units a
    // second, and allocating each one's packet cost as much as muxing it.
    AVPacket *packet = nullptr;
    // DVD: the packs on their way out, each LPCM header made true.
    std::unique_ptr<DvdPacks> packs;

    Impl(Container c, ByteSink &o, const std::string &n, const MuxTiming &t)
        : container(c), out(o), timing(t), name(n) {}

    ~Impl() {
        av_packet_free(&packet);
        for (Track &track : tracks) {
            av_buffer_unref(&track.filling.pooled);
            av_buffer_unref(&track.held.pooled);
            av_buffer_pool_uninit(&track.buffers);
        }
        if (format) avformat_free_context(format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    [[noreturn]] void fail(const std::string &what, int error) {
        if (!failure.empty()) throw Failure(failure);
        throw Failure(name + ": " + what + (error < 0 ? ": " + av_text(error) : std::string()));
    }

#if LIBAVFORMAT_VERSION_MAJOR >= 61
    static int write_packet(void *opaque, const uint8_t *data, int size) {
#else
    static int write_packet(void *opaque, uint8_t *data, int size) {
#endif
        auto *self = static_cast<Impl *>(opaque);
        try {
            if (self->packs)
                self->packs->write(data, static_cast<size_t>(size));
            else
                self->out.write(data, static_cast<size_t>(size));
        } catch (const Failure &failure) {
            if (self->failure.empty()) self->failure = failure.what();
            return AVERROR(EIO);
        }
        return size;
    }

    void start_muxer() {
        int error = avformat_alloc_output_context2(&format, nullptr, muxer_of(container).format, nullptr);
        if (error < 0 || !format) fail("cannot start the muxer", error);
        auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferBytes));
        if (!buffer) fail("out of memory", AVERROR(ENOMEM));
        io = avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, &Impl::write_packet,
                                nullptr);
        if (!io) {
            av_free(buffer);
            fail("out of memory", AVERROR(ENOMEM));
        }
        format->pb = io;
        if (container == Container::program) packs = std::make_unique<DvdPacks>(out, name);
    }

    // The program stream muxer sizes its packs to the video decoder's
    // buffer: the one the source states (an elementary stream's parser
    // states none), or a DVD player's 224 KiB.
    void set_video_buffer() {
        const AVStream *source = video->stream;
        size_t size = 0;
        const uint8_t *stated = av_stream_get_side_data(source, AV_PKT_DATA_CPB_PROPERTIES, &size);
        uint8_t *props = av_stream_new_side_data(video_stream, AV_PKT_DATA_CPB_PROPERTIES,
                                                 sizeof(AVCPBProperties));
        if (!props) fail("out of memory", AVERROR(ENOMEM));
        if (stated && size >= sizeof(AVCPBProperties) &&
            reinterpret_cast<const AVCPBProperties *>(stated)->buffer_size > 0) {
            std::memcpy(props, stated, sizeof(AVCPBProperties));
        } else {
            AVCPBProperties dvd{};
            dvd.buffer_size = kDvdVideoBufferBits;
            dvd.vbv_delay = UINT64_MAX;
            std::memcpy(props, &dvd, sizeof dvd);
        }
    }

    // The video comes first: the muxers number streams, and choose the
    // clock reference's, in the order they are added.
    void add_video() {
        video_stream = avformat_new_stream(format, nullptr);
        if (!video_stream) fail("cannot add the video stream", AVERROR(ENOMEM));
        const int error = avcodec_parameters_copy(video_stream->codecpar, &video->codec());
        if (error < 0) fail("cannot add the video stream", error);
        // The source container's tag means nothing in this one.
        video_stream->codecpar->codec_tag = 0;
        video_stream->time_base = AVRational{1, 90000};
        if (container == Container::program) set_video_buffer();
        if (container != Container::program)
            video_stream->id = programme_pid(container, service.video_pid, true, 0, true);
    }

    void add_audio(Track &track, const AudioTrackSpec &asked, size_t index) {
        track.shape = asked.shape;
        // The first cadence step's frame is the largest; the stream header
        // is smaller than any frame.
        track.frame_room = track.shape.geometry.frame_bytes[0];
        if (container == Container::program) {
            track.frames_per_unit =
                std::max(1, static_cast<int>(kDvdPackPayloadBytes / int64_t(track.frame_room)));
            packs->add_substream(track.frame_room);
            track.frame_offset = kLpcmHeaderBytes;
        }
        track.stream = avformat_new_stream(format, nullptr);
        if (!track.stream) fail("cannot add the audio stream", AVERROR(ENOMEM));
        AVCodecParameters *par = track.stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = muxer_of(container).codec;
        par->sample_rate = track.shape.params.sample_rate;
        av_channel_layout_default(&par->ch_layout, track.shape.params.channels);
        par->bits_per_coded_sample = track.shape.params.bits;
        par->bits_per_raw_sample = track.shape.params.bits;
        par->frame_size = track.frame_samples();
        track.stream->time_base = AVRational{1, 90000};
        if (container != Container::program)
            track.stream->id = programme_pid(container, asked.pid, false, index, video != nullptr);
        if (!asked.language.empty()) av_dict_set(&track.stream->metadata, "language", asked.language.c_str(), 0);
    }

    void set_transport_options(AVDictionary **options) {
        if (container == Container::bdav) av_dict_set(options, "mpegts_m2ts_mode", "1", 0);
        // One frame, one PES packet: a payload limit below any frame's
        // size keeps the muxer from gathering several into one.
        av_dict_set(options, "pes_payload_size", "0", 0);
        // Left to itself the muxer guesses the clock reference's period
        // from the codec's frame length, which these codecs do not state.
        av_dict_set(options, "pcr_period", kPcrPeriodMs, 0);
        if (timing.bit_rate > 0) {
            av_dict_set_int(options, "muxrate", timing.bit_rate, 0);
            av_dict_set(options, "pat_period", kTablePeriodSeconds, 0);
        }
        if (service.program_number != 1)
            av_dict_set_int(options, "mpegts_service_id", service.program_number, 0);
        if (!service.name.empty()) av_dict_set(&format->metadata, "service_name", service.name.c_str(), 0);
        if (!service.provider.empty())
            av_dict_set(&format->metadata, "service_provider", service.provider.c_str(), 0);
        // The decoder's buffer delay: the muxer puts it between a
        // frame's clock reference and its presentation time (by default
        // 0.7 s, as ffmpeg sets it).
        format->max_delay = timing.latency_us >= 0 ? int(timing.latency_us) : 700000;
    }

    void open(const std::vector<AudioTrackSpec> &asked) {
        start_muxer();
        if (video) {
            add_video();
            audio_start = video->first_pts + service.audio_offset_90k;
        }
        tracks.resize(asked.size());
        for (size_t i = 0; i < asked.size(); ++i) add_audio(tracks[i], asked[i], i);
        AVDictionary *options = nullptr;
        if (container != Container::program) set_transport_options(&options);
        // A DVD title's packs are timed at the disc's rate; left to itself
        // the muxer guesses the video's from nothing.
        if (container == Container::program && video) av_dict_set_int(&options, "muxrate", kDvdMuxRate, 0);
        const int error = avformat_write_header(format, &options);
        av_dict_free(&options);
        if (error < 0) fail("cannot write the container header", error);
        for (Track &track : tracks) add_buffers(track);
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (format->streams[i]->time_base.num != 1 || format->streams[i]->time_base.den != 90000)
                fail("the muxer does not keep a 90 kHz clock", 0);
    }

    // One stream alone goes straight through; several are put in time
    // order by libavformat.
    bool interleaves() const { return format->nb_streams > 1; }

    void add_buffers(Track &track) {
        if (!interleaves()) {
            for (std::vector<uint8_t> &buffer : track.own) buffer.resize(track.unit_room());
            return;
        }
        track.buffers = av_buffer_pool_init(track.unit_room(), nullptr);
        if (!track.buffers) fail("out of memory", AVERROR(ENOMEM));
    }

    void mux(AVPacket *p) {
        const int error = interleaves() ? av_interleaved_write_frame(format, p)
                                        : av_write_frame(format, p);
        av_packet_unref(p);
        if (error < 0 || io->error < 0) fail("write failed", error < 0 ? error : io->error);
    }

    // The video packets due by `dts` (90 kHz, the video's own clock).
    void pump_video(int64_t dts) {
        int64_t next = 0;
        while (video && video->peek_dts(&next) && next <= dts) {
            AVPacket *p = video->next();
            p->stream_index = video_stream->index;
            p->pos = -1;
            mux(p);
        }
    }

    // The packet of the next unit, with the DVD frame header in front,
    // which the muxer replaces with its own, the same for this stream.
    void open_unit(Track &track) {
        Unit &unit = track.filling;
        if (track.buffers) {
            unit.pooled = av_buffer_pool_get(track.buffers);
            if (!unit.pooled) fail("out of memory", AVERROR(ENOMEM));
            unit.packet = unit.pooled->data;
        } else {
            unit.packet = track.own[track.held.packet == track.own[0].data() ? 1 : 0].data();
        }
        if (track.frame_offset)
            pcmpack_format::encode_dvd_frame_header(lpcm_frame_header(track.shape), unit.packet);
    }

    // A unit without frames goes back unused.
    void close_empty_unit(Track &track) {
        if (track.filling.frames != 0) return;
        av_buffer_unref(&track.filling.pooled);
        track.filling = Unit();
    }

    // Hands the muxer `bytes` of a unit from `at` (the DVD frame header's
    // place: the muxer skips those bytes) as one packet; a pooled buffer gets
    // one more reference, which the muxer keeps or releases.
    void write_packet_of(Track &track, const Unit &unit, size_t at, size_t bytes, int frames,
                         int64_t pts) {
        if (!packet && !(packet = av_packet_alloc())) fail("out of memory", AVERROR(ENOMEM));
        if (unit.pooled && !(packet->buf = av_buffer_ref(unit.pooled)))
            fail("out of memory", AVERROR(ENOMEM));
        packet->data = unit.packet + at;
        packet->size = static_cast<int>(track.frame_offset + bytes);
        packet->stream_index = track.stream->index;
        packet->pts = packet->dts = pts;
        if (container == Container::program) packet->duration = int64_t{150} * frames;
        pump_video(pts);
        mux(packet);
        if (out.live()) {
            avio_flush(io);
            if (io->error < 0) fail("write failed", io->error);
            out.frame_done();
        }
    }

    // The unit as one packet, or frame by frame; then its buffer is the
    // pool's again, or free for the next unit.
    void write_unit(Track &track, Unit &unit, bool frame_by_frame) {
        Unit sent = unit;
        unit = Unit();
        std::unique_ptr<AVBufferRef *, void (*)(AVBufferRef **)> release(&sent.pooled, av_buffer_unref);
        std::memset(sent.packet + track.frame_offset + sent.bytes, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        if (!frame_by_frame || sent.frames <= 1) {
            write_packet_of(track, sent, 0, sent.bytes, sent.frames, sent.pts);
            return;
        }
        const size_t frame = sent.bytes / size_t(sent.frames);
        for (int k = 0; k < sent.frames; ++k)
            write_packet_of(track, sent, size_t(k) * frame, frame, 1, sent.pts + int64_t{150} * k);
    }

    // A full unit goes out at once, or on a DVD once the next is full.
    void unit_full(Track &track) {
        if (track.frames_per_unit == 1) {
            write_unit(track, track.filling, false);
            return;
        }
        if (track.held.frames) write_unit(track, track.held, false);
        track.held = track.filling;
        track.filling = Unit();
    }

    Track &track_at(int index) {
        if (index < 0 || static_cast<size_t>(index) >= tracks.size())
            fail("internal: no audio track " + std::to_string(index), 0);
        return tracks[static_cast<size_t>(index)];
    }
};

namespace {

// Transport packets a second of one audio track: each frame in whole
// packets, and one more for the clock reference or the adaptation field
// that may share its first packet.
int64_t audio_packets_per_second(const StreamShape &shape) {
    const pcm_frame_geometry &g = shape.geometry;
    int64_t packets = 0, periods = 0;
    for (uint32_t step = 0; step < g.cadence_steps; ++step) {
        packets += (int64_t{g.frame_bytes[step]} + kPesHeaderBytes + kTsPayloadBytes - 1) /
                       kTsPayloadBytes + 1;
        periods += g.sample_periods[step];
    }
    return (packets * shape.params.sample_rate + periods - 1) / periods;
}

// Transport packets a second of the video at its stated rate: its bytes in
// payloads, and a packet a frame for the PES header and the last, part
// filled, packet.
int64_t video_packets_per_second(const VideoInput &video) {
    const Rational rate = video.frame_rate();
    const int64_t frames = rate.num > 0 ? (int64_t{rate.num} + rate.den - 1) / rate.den : 60;
    return (video.bit_rate() + kTsPayloadBytes * 8 - 1) / (kTsPayloadBytes * 8) + frames;
}

}  // namespace

int64_t transport_bit_rate_needed(const StreamShape &shape) {
    return (audio_packets_per_second(shape) + kOtherPacketsPerSecond) * kTsPacketBytes * 8;
}

int64_t programme_bit_rate_needed(const std::vector<StreamShape> &tracks, const VideoInput *video) {
    int64_t packets = kOtherPacketsPerSecond;
    for (const StreamShape &shape : tracks) packets += audio_packets_per_second(shape);
    if (video && video->bit_rate() > 0) packets += video_packets_per_second(*video);
    return packets * kTsPacketBytes * 8;
}

int64_t transport_bit_rate_default(const StreamShape &shape) {
    const int64_t rate = transport_bit_rate_needed(shape) * (100 + kHeadroomPercent) / 100;
    return (rate + 999) / 1000 * 1000;
}

ContainerWriter::ContainerWriter(Container container, const StreamShape &shape, ByteSink &out,
                                 const std::string &output_name, const MuxTiming &timing)
    : impl_(std::make_unique<Impl>(container, out, output_name, timing)) {
    impl_->open({AudioTrackSpec{shape, "", 0}});
}

ContainerWriter::ContainerWriter(Container container, const std::vector<AudioTrackSpec> &tracks,
                                 VideoInput *video, const ServiceSpec &service, ByteSink &out,
                                 const std::string &output_name, const MuxTiming &timing)
    : impl_(std::make_unique<Impl>(container, out, output_name, timing)) {
    check_programme(container, tracks, video, service, output_name);
    impl_->video = video ? &video->impl() : nullptr;
    impl_->service = service;
    impl_->open(tracks);
}

ContainerWriter::~ContainerWriter() = default;

uint8_t *ContainerWriter::lend(int index, size_t size) {
    Impl &w = *impl_;
    Track &track = w.track_at(index);
    if (track.lent || size > track.frame_room)
        w.fail("internal: a frame of " + std::to_string(size) + " bytes asked for out of turn", 0);
    if (!track.filling.packet) w.open_unit(track);
    track.lent = true;
    return track.filling.packet + track.frame_offset + track.filling.bytes;
}

void ContainerWriter::take(int index, uint32_t byte_count, int64_t ticks) {
    Impl &w = *impl_;
    Track &track = w.track_at(index);
    Unit &unit = track.filling;
    const bool lent = track.lent;
    track.lent = false;
    if (!lent || byte_count > track.frame_room) {
        w.close_empty_unit(track);
        w.fail("internal: a frame of " + std::to_string(byte_count) + " bytes arrived out of turn", 0);
    }
    if (ticks < 0) {
        // The stream header: the container signals its parameters instead.
        // The program stream muxer writes emphasis off, mute off and dynamic
        // range 128 into every DVD LPCM frame header, so a stream asking
        // for anything else cannot go there.
        const bool kept = w.container != Container::program ||
                          muxer_keeps(track.shape, unit.packet + track.frame_offset + unit.bytes);
        w.close_empty_unit(track);
        if (!kept)
            w.fail("the program stream muxer writes emphasis off, mute off and dynamic range "
                   "128 only",
                   0);
        return;
    }
    if (unit.frames == 0) unit.pts = w.audio_start + ticks / kTicksPer90k;
    unit.bytes += byte_count;
    if (++unit.frames == track.frames_per_unit) w.unit_full(track);
}

void ContainerWriter::drop(int index) {
    Track &track = impl_->track_at(index);
    track.lent = false;
    impl_->close_empty_unit(track);
}

void ContainerWriter::finish() {
    Impl &w = *impl_;
    for (Track &track : w.tracks) {
        if (track.held.frames) w.write_unit(track, track.held, true);
        if (track.filling.frames) w.write_unit(track, track.filling, true);
    }
    w.pump_video(INT64_MAX);
    const int error = av_write_trailer(w.format);
    if (error >= 0) avio_flush(w.io);
    if (error < 0 || w.io->error < 0) w.fail("write failed", error < 0 ? error : w.io->error);
    // The program end code after the last pack.
    if (w.packs) w.packs->finish();
}

}  // namespace pcmtool
