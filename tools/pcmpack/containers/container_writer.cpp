// SPDX-License-Identifier: BSD-2-Clause
// Hands the library's frames to libavformat's muxers, one access unit per
// frame (DVD LPCM: per group of frames), stamped with the library's own
// presentation times.
#include "common.h"
#include "containers/container.h"
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
#include <cstring>

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

// A DVD program stream is cut into packs of 2048 bytes.
constexpr size_t kDvdPackBytes = 2048;

// The first-access-unit pointer counts from the pointer's last byte: past
// the 3 bytes of the audio frame header, the audio begins 4 bytes on.
constexpr unsigned kLpcmPointerToAudio = 4;

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

}  // namespace

struct ContainerWriter::Impl {
    Container container;
    StreamShape shape;
    ByteSink &out;
    MuxTiming timing;
    std::string name;
    AVFormatContext *format = nullptr;
    AVIOContext *io = nullptr;
    AVStream *stream = nullptr;
    std::string failure;  // why the output file refused bytes

    std::vector<uint8_t> unit;  // the access unit being gathered
    size_t frame_start = 0;     // where the current frame starts in `unit`
    int frames_in_unit = 0;
    int frames_per_unit = 1;
    int64_t unit_pts = 0;
    // One packet for every unit: a DVD stream hands the muxer 600 units a
    // second, and allocating each one's packet cost as much as muxing it.
    AVPacket *packet = nullptr;

    // DVD: the pack being written, and the audio bytes of the packs before
    // it, from which each pack's LPCM header learns the frames it holds.
    std::vector<uint8_t> pack;
    uint64_t audio_before = 0;
    uint64_t lpcm_frame_bytes = 0;

    Impl(Container c, const StreamShape &s, ByteSink &o, const std::string &n, const MuxTiming &t)
        : container(c), shape(s), out(o), timing(t), name(n) {}

    ~Impl() {
        av_packet_free(&packet);
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
            if (self->container == Container::program)
                self->write_packs(data, static_cast<size_t>(size));
            else
                self->out.write(data, static_cast<size_t>(size));
        } catch (const Failure &failure) {
            if (self->failure.empty()) self->failure = failure.what();
            return AVERROR(EIO);
        }
        return size;
    }

    // The program stream muxer writes 7 frame headers and a pointer to the
    // first byte whatever a pack holds; a player finds the frame that the
    // PES time stamps by that pointer. Each pack gets the count of the
    // 1/600 s frames that start in it and the pointer to the first one.
    void write_packs(const uint8_t *data, size_t size) {
        while (size > 0) {
            const size_t take = std::min(size, kDvdPackBytes - pack.size());
            pack.insert(pack.end(), data, data + take);
            data += take;
            size -= take;
            if (pack.size() < kDvdPackBytes) break;
            describe_frames(pack.data());
            out.write(pack.data(), pack.size());
            pack.clear();
        }
    }

    void describe_frames(uint8_t *p) {
        static constexpr uint8_t kPackStart[4] = {0, 0, 1, 0xBA};
        if (std::memcmp(p, kPackStart, 4) != 0) fail("internal: the muxer wrote a pack out of step", 0);
        size_t at = 14 + (p[13] & 7);
        while (at + 6 <= kDvdPackBytes && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1) {
            const size_t length = size_t{p[at + 4]} << 8 | p[at + 5];
            const size_t end = at + 6 + length;
            if (p[at + 3] == 0xBD && end <= kDvdPackBytes && at + 9 <= end) {
                // PES header, then substream id, frame headers, pointer, the
                // 3-byte audio frame header, and the audio.
                uint8_t *lpcm = p + at + 9 + p[at + 8];
                const uint64_t audio = static_cast<uint64_t>(end - static_cast<size_t>(lpcm + 7 - p));
                const uint64_t first = (audio_before + lpcm_frame_bytes - 1) / lpcm_frame_bytes;
                const uint64_t last = (audio_before + audio + lpcm_frame_bytes - 1) / lpcm_frame_bytes;
                const uint64_t starts = last - first;
                const uint64_t pointer =
                    starts ? kLpcmPointerToAudio + first * lpcm_frame_bytes - audio_before : 0;
                lpcm[1] = static_cast<uint8_t>(starts);
                lpcm[2] = static_cast<uint8_t>(pointer >> 8);
                lpcm[3] = static_cast<uint8_t>(pointer);
                audio_before += audio;
            }
            at = end;
        }
    }

    // The DVD audio frame header as libavcodec's DVD LPCM encoder writes it,
    // and as the program stream muxer writes its own: emphasis and mute off,
    // dynamic range 128, whatever the stream asks.
    pcmpack_format::DvdFrameHeader lpcm_frame_header() const {
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
    bool muxer_keeps(const uint8_t *stream_header) const {
        pcmpack_format::StreamParams params;
        pcmpack_format::HeaderFault fault;
        const pcmpack_format::DvdFrameHeader muxed = lpcm_frame_header();
        return pcmpack_format::decode_stream_header(stream_header, &params, &fault) &&
               params.emphasis == muxed.emphasis && params.mute == muxed.mute &&
               params.dynamic_range == muxed.dynamic_range;
    }

    // Sample periods of one access unit (of the first, for the AES3
    // cadence), which the muxer wants to know of audio streams.
    int frame_samples() const {
        switch (container) {
        // The first 302M frame, at cadence step 0, is the largest of the cadence.
        case Container::transport:
        case Container::bdav: return static_cast<int>(shape.geometry.sample_periods[0]);
        case Container::program:
            return frames_per_unit * static_cast<int>(shape.geometry.sample_periods[0]);
        case Container::elementary: break;
        }
        return 0;
    }

    void open() {
        const MuxerRow *row = nullptr;
        for (const MuxerRow &r : kMuxers)
            if (r.container == container) row = &r;
        if (!row) throw Failure("internal: no muxer for the container");
        int error = avformat_alloc_output_context2(&format, nullptr, row->format, nullptr);
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

        if (container == Container::program) {
            // One 1/600 s frame per access unit, so that the time the muxer
            // stamps on a pack is that of the first frame starting in it.
            lpcm_frame_bytes = shape.geometry.frame_bytes[0];
            pack.reserve(kDvdPackBytes);
            // The muxer replaces it with its own, the same for this stream.
            unit.resize(kLpcmHeaderBytes);
            pcmpack_format::encode_dvd_frame_header(lpcm_frame_header(), unit.data());
            frame_start = unit.size();
        }
        stream = avformat_new_stream(format, nullptr);
        if (!stream) fail("cannot add the audio stream", AVERROR(ENOMEM));
        AVCodecParameters *par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = row->codec;
        par->sample_rate = shape.params.sample_rate;
        av_channel_layout_default(&par->ch_layout, shape.params.channels);
        par->bits_per_coded_sample = shape.params.bits;
        par->bits_per_raw_sample = shape.params.bits;
        par->frame_size = frame_samples();
        stream->time_base = AVRational{1, 90000};

        AVDictionary *options = nullptr;
        if (container == Container::bdav) av_dict_set(&options, "mpegts_m2ts_mode", "1", 0);
        if (container != Container::program) {
            // One frame, one PES packet: a payload limit below any frame's
            // size keeps the muxer from gathering several into one.
            av_dict_set(&options, "pes_payload_size", "0", 0);
            // Left to itself the muxer guesses the clock reference's period
            // from the codec's frame length, which these codecs do not state.
            av_dict_set(&options, "pcr_period", kPcrPeriodMs, 0);
            if (timing.bit_rate > 0) {
                av_dict_set_int(&options, "muxrate", timing.bit_rate, 0);
                av_dict_set(&options, "pat_period", kTablePeriodSeconds, 0);
            }
            // The decoder's buffer delay: the muxer puts it between a
            // frame's clock reference and its presentation time (by default
            // 0.7 s, as ffmpeg sets it).
            format->max_delay = timing.latency_us >= 0 ? int(timing.latency_us) : 700000;
        }
        error = avformat_write_header(format, &options);
        av_dict_free(&options);
        if (error < 0) fail("cannot write the container header", error);
        if (stream->time_base.num != 1 || stream->time_base.den != 90000)
            fail("the muxer does not keep a 90 kHz clock", 0);

        unit.reserve(kLpcmHeaderBytes + 65536);
    }

    void write_unit(int frames) {
        if (!packet && !(packet = av_packet_alloc())) fail("out of memory", AVERROR(ENOMEM));
        packet->data = unit.data();
        packet->size = static_cast<int>(unit.size());
        packet->stream_index = 0;
        packet->pts = packet->dts = unit_pts;
        if (container == Container::program) packet->duration = int64_t{150} * frames;
        const int error = av_write_frame(format, packet);
        av_packet_unref(packet);
        if (error < 0 || io->error < 0) fail("write failed", error < 0 ? error : io->error);
        if (out.live()) {
            avio_flush(io);
            if (io->error < 0) fail("write failed", io->error);
            out.frame_done();
        }
        unit.resize(container == Container::program ? kLpcmHeaderBytes : 0);
        frame_start = unit.size();
        frames_in_unit = 0;
    }
};

int64_t transport_bit_rate_needed(const StreamShape &shape) {
    const pcm_frame_geometry &g = shape.geometry;
    int64_t packets = 0, periods = 0;
    // Each frame in whole packets, and one more for the clock reference or
    // the adaptation field that may share its first packet.
    for (uint32_t step = 0; step < g.cadence_steps; ++step) {
        packets += (int64_t{g.frame_bytes[step]} + kPesHeaderBytes + kTsPayloadBytes - 1) /
                       kTsPayloadBytes + 1;
        periods += g.sample_periods[step];
    }
    const int64_t per_second =
        (packets * shape.params.sample_rate + periods - 1) / periods + kOtherPacketsPerSecond;
    return per_second * kTsPacketBytes * 8;
}

int64_t transport_bit_rate_default(const StreamShape &shape) {
    const int64_t rate = transport_bit_rate_needed(shape) * (100 + kHeadroomPercent) / 100;
    return (rate + 999) / 1000 * 1000;
}

ContainerWriter::ContainerWriter(Container container, const StreamShape &shape, ByteSink &out,
                                 const std::string &output_name, const MuxTiming &timing)
    : impl_(std::make_unique<Impl>(container, shape, out, output_name, timing)) {
    impl_->open();
}

ContainerWriter::~ContainerWriter() = default;

void ContainerWriter::add(const uint8_t *data, size_t size) {
    impl_->unit.insert(impl_->unit.end(), data, data + size);
}

void ContainerWriter::end_unit(uint32_t byte_count, int64_t ticks) {
    Impl &w = *impl_;
    if (w.unit.size() - w.frame_start != byte_count)
        w.fail("internal: a frame of " + std::to_string(byte_count) + " bytes arrived as " +
                   std::to_string(w.unit.size() - w.frame_start),
               0);
    if (ticks < 0) {
        // The stream header: the container signals its parameters instead.
        // The program stream muxer writes emphasis off, mute off and dynamic
        // range 128 into every DVD LPCM frame header, so a stream asking
        // for anything else cannot go there.
        if (w.container == Container::program && !w.muxer_keeps(w.unit.data() + w.frame_start))
            w.fail("the program stream muxer writes emphasis off, mute off and dynamic range "
                   "128 only",
                   0);
        w.unit.resize(w.frame_start);
        return;
    }
    if (w.frames_in_unit == 0) w.unit_pts = ticks / kTicksPer90k;
    ++w.frames_in_unit;
    w.frame_start = w.unit.size();
    if (w.frames_in_unit == w.frames_per_unit) w.write_unit(w.frames_in_unit);
}

void ContainerWriter::finish() {
    Impl &w = *impl_;
    if (w.frames_in_unit > 0) w.write_unit(w.frames_in_unit);
    const int error = av_write_trailer(w.format);
    if (error >= 0) avio_flush(w.io);
    if (error < 0 || w.io->error < 0) w.fail("write failed", error < 0 ? error : w.io->error);
    // The program end code after the last pack.
    if (!w.pack.empty()) w.out.write(w.pack.data(), w.pack.size());
}

}  // namespace pcmtool
