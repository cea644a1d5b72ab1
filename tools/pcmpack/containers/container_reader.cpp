// Demultiplexes a container with libavformat and turns its audio track back
// into our elementary stream: the stream header is rebuilt from what the
// first access unit's own header signals, and the access units follow as
// the frames they are, so that the stream reader validates them.
#include "common.h"
#include "containers/container.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cstring>

namespace pcmtool {

namespace {

constexpr int kIoBufferBytes = 1 << 18;
// A container's first 1 MiB must show its audio track.
constexpr int64_t kProbeBytes = int64_t{1} << 20;

struct DemuxerRow {
    Container container;
    const char *format;  // libavformat demuxer
    AVCodecID codec;
    const char *track;   // what the audio track carries, for messages
};

constexpr DemuxerRow kDemuxers[] = {
    {Container::transport, "mpegts", AV_CODEC_ID_S302M, "SMPTE 302M"},
    {Container::bdav, "mpegts", AV_CODEC_ID_PCM_BLURAY, "HDMV LPCM"},
    {Container::program, "mpeg", AV_CODEC_ID_PCM_DVD, "DVD LPCM"},
};

// 302M sample periods of a video frame at cadence step 0, by MPEG frame
// rate code 1..8: the first block of a stream names its frame rate.
constexpr int kAes3FirstFrame[9] = {0, 2002, 2000, 1920, 1602, 1600, 960, 801, 800};

// Coded channels of each HDMV channel assignment code pcmpack writes: mono
// and 2.0 in 2, 3/0 + padding in 4, 3/2 + padding and 5.1 in 6, 3/4 +
// padding and 7.1 in 8; 0: not one of them.
constexpr int kHdmvCodedChannels[16] = {0, 2, 0, 2, 4, 0, 0, 0, 6, 6, 8, 8, 0, 0, 0, 0};

std::string av_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace

struct ContainerReader::Impl {
    Container container;
    ContainerReader::ReadFn read;
    std::string name;
    const DemuxerRow *row = nullptr;
    AVFormatContext *format = nullptr;
    AVIOContext *io = nullptr;
    AVPacket *packet = nullptr;
    std::string read_failure;  // why the input could not be read
    int track = -1;            // the audio stream's index, once seen
    bool header_sent = false;
    uint64_t packets = 0;
    uint8_t lpcm_header[3] = {};
    // Transport streams: each access unit is one frame whose presentation
    // time follows from the sample periods before it.
    int64_t first_pts = AV_NOPTS_VALUE;
    uint64_t periods_before = 0;
    int sample_rate = 0;
    uint32_t period_bytes = 0;  // payload bytes per sample period

    Impl(Container c, ContainerReader::ReadFn r, const std::string &n)
        : container(c), read(std::move(r)), name(n) {}

    ~Impl() {
        av_packet_free(&packet);
        avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    [[noreturn]] void fail(const std::string &why) const {
        if (!read_failure.empty()) throw Failure(read_failure);
        throw Failure(name + ": " + why);
    }

    static int read_packet(void *opaque, uint8_t *data, int size) {
        auto *self = static_cast<Impl *>(opaque);
        try {
            const size_t got = self->read(data, static_cast<size_t>(size));
            return got == 0 ? AVERROR_EOF : static_cast<int>(got);
        } catch (const Failure &failure) {
            if (self->read_failure.empty()) self->read_failure = failure.what();
            return AVERROR(EIO);
        }
    }

    void open() {
        for (const DemuxerRow &r : kDemuxers)
            if (r.container == container) row = &r;
        if (!row) throw Failure("internal: no demuxer for the container");
        auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferBytes));
        if (!buffer) fail("out of memory");
        io = avio_alloc_context(buffer, kIoBufferBytes, 0, this, &Impl::read_packet, nullptr,
                                nullptr);
        if (!io) {
            av_free(buffer);
            fail("out of memory");
        }
        format = avformat_alloc_context();
        packet = av_packet_alloc();
        if (!format || !packet) fail("out of memory");
        format->pb = io;
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
        format->probesize = kProbeBytes;
        const AVInputFormat *demuxer = av_find_input_format(row->format);
        const int error = avformat_open_input(&format, nullptr, demuxer, nullptr);
        if (error < 0)
            fail(std::string("not readable as ") + container_title(container) + ": " +
                 av_text(error));
    }

    // The stream header of our elementary stream, rebuilt from the first
    // access unit's own header.
    void stream_header(const uint8_t *unit, size_t size, std::vector<uint8_t> &out) {
        uint8_t h[8] = {};
        if (size < 4) fail(std::string(row->track) + " track: the first packet has " +
                           std::to_string(size) + " bytes, too few for a frame header");
        switch (container) {
        case Container::transport: {
            // 302M block header: payload size, channel pairs, word length.
            const int pairs = (unit[2] >> 6) + 1;
            const int bits_code = (unit[3] >> 4) & 3;
            const uint32_t payload = uint32_t{unit[0]} << 8 | unit[1];
            const uint32_t pair_bytes = static_cast<uint32_t>(5 + bits_code);
            const uint32_t samples = payload / (pair_bytes * static_cast<uint32_t>(pairs));
            int code = 0;
            for (int c = 1; c <= 8; ++c)
                if (static_cast<uint32_t>(kAes3FirstFrame[c]) == samples &&
                    payload % (pair_bytes * static_cast<uint32_t>(pairs)) == 0)
                    code = c;
            if (code == 0 || bits_code == 3)
                fail("SMPTE 302M track: the first block (" + std::to_string(payload) +
                     " payload bytes) is the first frame of no video frame rate");
            sample_rate = 48000;
            period_bytes = pair_bytes * static_cast<uint32_t>(pairs);
            std::memcpy(h, "AES3", 4);
            h[4] = 10;
            h[5] = static_cast<uint8_t>((code - 1) << 5 | bits_code << 3 | (2 * pairs - 1));
            break;
        }
        case Container::bdav: {
            const int channels = kHdmvCodedChannels[unit[2] >> 4];
            const int rate_code = unit[2] & 15;
            const int bits_code = unit[3] >> 6;
            if (channels == 0 || (rate_code != 1 && rate_code != 4) || bits_code == 0)
                fail("HDMV LPCM track: the frame header " + std::to_string(unit[2]) + "/" +
                     std::to_string(unit[3]) +
                     " names a layout, rate or word length pcmpack does not read");
            sample_rate = rate_code == 4 ? 96000 : 48000;
            period_bytes = static_cast<uint32_t>(channels * (bits_code == 1 ? 2 : 3));
            std::memcpy(h, "HDMV", 4);
            h[4] = 13;
            h[5] = static_cast<uint8_t>((rate_code == 4 ? 1 : 0) << 5 | (bits_code - 1) << 3 |
                                        (channels - 1));
            break;
        }
        case Container::program: {
            // The DVD audio frame header: emphasis and mute flags, word
            // length, rate, channels, dynamic range.
            const int quantization = unit[1] >> 6;
            const int rate_code = (unit[1] >> 4) & 3;
            const int channels = (unit[1] & 7) + 1;
            if (quantization != 0 || rate_code > 1 || channels > 2)
                fail("DVD LPCM track: " + std::to_string(16 + 4 * quantization) + "-bit, " +
                     std::to_string(channels) + " channels, rate code " +
                     std::to_string(rate_code) +
                     "; pcmpack reads 16-bit mono or stereo at 48 or 96 kHz");
            std::memcpy(lpcm_header, unit, 3);
            std::memcpy(h, "LPCM", 4);
            h[4] = static_cast<uint8_t>(rate_code | (unit[0] >> 7) << 1 | (channels - 1) << 2 |
                                        ((unit[0] >> 6) & 1) << 7);
            h[5] = unit[2];
            break;
        }
        case Container::elementary: throw Failure("internal: no header for the elementary stream");
        }
        out.insert(out.end(), h, h + 8);
    }

    // A frame lost or moved shows in its presentation time, which must be
    // the 90 kHz time of the sample periods before it (rounded down, as the
    // writer stamps it) after the first frame's.
    void check_time(const uint8_t *unit, size_t size) {
        if (packet->pts == AV_NOPTS_VALUE)
            fail(std::string(row->track) + " track: packet " + std::to_string(packets) +
                 " has no presentation time");
        if (first_pts == AV_NOPTS_VALUE) first_pts = packet->pts;
        // Presentation times count modulo 2^33.
        const int64_t elapsed = (packet->pts - first_pts) & ((int64_t{1} << 33) - 1);
        const int64_t expected =
            static_cast<int64_t>(periods_before * 90000 / static_cast<uint64_t>(sample_rate));
        if (elapsed != expected)
            fail(std::string(row->track) + " track: packet " + std::to_string(packets) +
                 " is presented at +" + std::to_string(elapsed) +
                 " (90 kHz) but follows frames lasting +" + std::to_string(expected) +
                 ": a frame is missing or out of place");
        const uint32_t payload = size >= 4 ? (uint32_t{unit[0]} << 8 | unit[1]) : 0;
        periods_before += payload / period_bytes;
    }

    bool next(std::vector<uint8_t> &out) {
        out.clear();
        for (;;) {
            av_packet_unref(packet);
            const int error = av_read_frame(format, packet);
            if (error == AVERROR_EOF) break;
            if (error < 0) fail("read failed: " + av_text(error));
            if (track < 0) {
                const AVStream *stream = format->streams[packet->stream_index];
                if (stream->codecpar->codec_id != row->codec) continue;
                track = packet->stream_index;
            }
            if (packet->stream_index != track) continue;
            if (packet->flags & AV_PKT_FLAG_CORRUPT)
                fail(std::string(row->track) + " track: packet " + std::to_string(packets) +
                     " is damaged or cut short");
            const uint8_t *data = packet->data;
            size_t size = static_cast<size_t>(packet->size);
            if (!header_sent) {
                stream_header(data, size, out);
                header_sent = true;
            }
            if (container != Container::program) check_time(data, size);
            if (container == Container::program) {
                // Each packet opens with the DVD audio frame header, the same
                // for the whole track; the samples follow.
                if (size < 3 || std::memcmp(data, lpcm_header, 3) != 0)
                    fail("DVD LPCM track: packet " + std::to_string(packets) +
                         " changes the audio frame header");
                data += 3;
                size -= 3;
            }
            ++packets;
            out.insert(out.end(), data, data + size);
            return true;
        }
        if (!read_failure.empty()) throw Failure(read_failure);
        if (track < 0)
            fail(std::string("read as ") + container_title(container) + ", but it has no " +
                 row->track + " track");
        return false;
    }
};

ContainerReader::ContainerReader(Container container, ReadFn read, const std::string &input_name)
    : impl_(std::make_unique<Impl>(container, std::move(read), input_name)) {
    impl_->open();
}

ContainerReader::~ContainerReader() = default;

bool ContainerReader::next(std::vector<uint8_t> &piece) { return impl_->next(piece); }

}  // namespace pcmtool
