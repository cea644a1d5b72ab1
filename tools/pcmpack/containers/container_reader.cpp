// SPDX-License-Identifier: BSD-2-Clause
// Demultiplexes a container with libavformat and turns its audio track back
// into our elementary stream: the stream header is rebuilt from what the
// first access unit's own header signals, and the access units follow as
// the frames they are, so that the stream reader validates them.
#include "common.h"
#include "containers/container.h"
#include "containers/codec_titles.h"
#include "containers/programme_tracks.h"

#include "format/frame_headers.h"
#include "format/stream_format.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdio>
#include <deque>

namespace pcmtool {

namespace {

constexpr int kIoBufferBytes = 1 << 18;
// A container's first 1 MiB must show its audio track.
constexpr int64_t kProbeBytes = int64_t{1} << 20;
// A live transport stream's, its first 64 KiB: its tables come at least
// every 100 ms.
constexpr int64_t kLiveProbeBytes = int64_t{64} << 10;

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

// Access units read ahead to find where a recording starts in the five-frame
// cadence of the 1001 rates: four are needed to tell a cut at the third
// 60000/1001 step from 60 Hz and the steps of 60000/1001 apart.
constexpr size_t kPlanUnits = 5;

// Presentation times count modulo 2^33.
constexpr int64_t kPtsMask = (int64_t{1} << 33) - 1;

int64_t pts_of(int64_t libav_pts) { return libav_pts == AV_NOPTS_VALUE ? kNoPts : libav_pts; }

// The channels, word length and rate an audio track's first packet codes
// in its own frame header, where the track is one of the layers' (the
// demuxer's probe leaves some of them unsaid).
void read_frame_header(AVCodecID codec, const uint8_t *data, size_t size, ProgrammeAudio &audio) {
    switch (codec) {
    case AV_CODEC_ID_S302M: {
        pcmpack_format::S302mFrameHeader h;
        if (!pcmpack_format::decode_302m_frame_header(data, size, &h)) return;
        audio.channels = h.channels;
        audio.bits = pcmpack_format::word_length_bits(h.bits_code);
        return;
    }
    case AV_CODEC_ID_PCM_BLURAY: {
        pcmpack_format::HdmvFrameHeader h;
        if (!pcmpack_format::decode_hdmv_frame_header(data, size, &h)) return;
        if (const pcmpack_format::HdmvLayout *layout =
                pcmpack_format::hdmv_layout_of_assignment(h.assignment)) {
            audio.layout = layout->name;
            audio.channels = 0;
            for (int c = 0; c < layout->coded_channels; ++c)
                audio.channels += layout->coded[c] != pcmpack_format::Speaker::pad;
        }
        audio.bits = pcmpack_format::hdmv_bits(h.bits_code);
        audio.sample_rate = pcmpack_format::hdmv_sample_rate(h.rate_code);
        return;
    }
    case AV_CODEC_ID_PCM_DVD: {
        pcmpack_format::DvdFrameHeader h;
        if (!pcmpack_format::decode_dvd_frame_header(data, size, &h)) return;
        audio.channels = h.channels;
        audio.bits = pcmpack_format::word_length_bits(h.bits_code);
        audio.sample_rate = pcmpack_format::dvd_sample_rate(h.rate_code);
        return;
    }
    default: return;
    }
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
    int wanted_track = 1;      // --track: 1 for the first of the codec's tracks
    int track = -1;            // the audio stream's index, once seen
    std::vector<int> track_ids;
    bool header_sent = false;
    ContainerReader::FramePlan plan;
    std::deque<AVPacket *> ahead;  // access units read to make the plan
    pcmpack_format::DvdFrameHeader lpcm_header;  // the first packet's
    // Transport streams: each access unit is one frame whose presentation
    // time follows from the sample periods before it.
    int64_t first_pts = AV_NOPTS_VALUE;
    uint64_t periods_before = 0;
    int sample_rate = 0;
    uint32_t period_bytes = 0;  // payload bytes per sample period
    // A live stream: see ContainerReader::Live.
    bool live = false;
    ContainerReader::LossFn on_loss;
    uint64_t damaged = 0;  // units left out since the last whole one
    int64_t unit_pts = AV_NOPTS_VALUE;
    int step = 0;          // AES3 cadence step of the unit handed out last
    int64_t unit_pos = -1; // and its first byte in the input
    // Every video and audio track seen, each stream's place in it (-1 for
    // other streams; audio k is -2 - k), and whether its first packet came.
    Programme programme;
    std::vector<int> slots;
    std::vector<bool> first_seen;

    Impl(Container c, ContainerReader::ReadFn r, const std::string &n, int t,
         const ContainerReader::Live *l)
        : container(c), read(std::move(r)), name(n), wanted_track(t), live(l != nullptr),
          on_loss(l ? l->on_loss : nullptr) {}

    ~Impl() {
        for (AVPacket *p : ahead) av_packet_free(&p);
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

    // Seconds of audio before the unit in `packet`.
    double audio_seconds() const { return sample_rate ? double(periods_before) / sample_rate : 0.0; }

    // "the packet at byte 1692000 (4.960 s into the audio)": the unit in
    // `packet` where the user can find it, its first byte in the file. A
    // live stream has no file: its time alone.
    std::string unit_here() const {
        char text[96];
        if (packet->pos >= 0 && !live)
            std::snprintf(text, sizeof text, "the packet at byte %lld (%.3f s into the audio)",
                          static_cast<long long>(packet->pos), audio_seconds());
        else
            std::snprintf(text, sizeof text, "the packet at %.3f s into the audio", audio_seconds());
        return text;
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
        // A live stream names its track in the first tables that come; a
        // probe would hold back every frame of its first second.
        format->probesize = live ? kLiveProbeBytes : kProbeBytes;
        // A packet without a time of its own stays without one: a time made
        // up from the packet before would hide a gap, or show one that is
        // not there.
        format->flags |= AVFMT_FLAG_NOFILLIN;
        const AVInputFormat *demuxer = av_find_input_format(row->format);
        const int error = avformat_open_input(&format, nullptr, demuxer, nullptr);
        if (error < 0)
            fail(std::string("not readable as ") + container_title(container) + ": " +
                 av_text(error));
        // The program stream names its tracks only as their packets come:
        // the probe reads ahead (what it reads is handed out again) so that
        // every track is known before one is chosen.
        if (!live) avformat_find_stream_info(format, nullptr);
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (format->streams[i]->codecpar->codec_id == row->codec)
                track_ids.push_back(format->streams[i]->id);
        if (wanted_track < 1 ||
            (wanted_track > 1 && static_cast<size_t>(wanted_track) > track_ids.size()))
            fail("--track " + std::to_string(wanted_track) + ": it has " +
                 std::to_string(track_ids.size()) + " " + row->track + " track" +
                 (track_ids.size() == 1 ? "" : "s"));
        if (!track_ids.empty()) {
            int seen = 0;
            for (unsigned i = 0; i < format->nb_streams && track < 0; ++i)
                if (format->streams[i]->codecpar->codec_id == row->codec && ++seen == wanted_track)
                    track = static_cast<int>(i);
        }
    }

    // The stream's parameters, from the first access unit's own header.
    void read_params(const uint8_t *unit, size_t size) {
        pcmpack_format::StreamParams &params = plan.params;
        if (size < 4) fail(std::string(row->track) + " track: the first packet has " +
                           std::to_string(size) + " bytes, too few for a frame header");
        switch (container) {
        case Container::transport: {
            pcmpack_format::S302mFrameHeader header;
            pcmpack_format::decode_302m_frame_header(unit, size, &header);
            params.layer = pcmpack_format::kLayer302m;
            params.bits = pcmpack_format::word_length_bits(header.bits_code);
            params.channels = header.channels;
            sample_rate = 48000;
            params.sample_rate = sample_rate;
            period_bytes = pcmpack_format::period_bytes(params);
            params.frame_rate_code = aes3_plan(header.bits_code);
            break;
        }
        case Container::bdav: {
            pcmpack_format::HdmvFrameHeader header;
            pcmpack_format::decode_hdmv_frame_header(unit, size, &header);
            const pcmpack_format::HdmvLayout *layout =
                pcmpack_format::hdmv_layout_of_assignment(header.assignment);
            const int channels = layout ? layout->coded_channels : 0;
            sample_rate = pcmpack_format::hdmv_sample_rate(header.rate_code);
            const int bits = pcmpack_format::hdmv_bits(header.bits_code);
            if (channels == 0 || (sample_rate != 48000 && sample_rate != 96000) || bits == 0)
                fail("HDMV LPCM track: the frame header " + std::to_string(unit[2]) + "/" +
                     std::to_string(unit[3]) +
                     " names a layout, rate or word length pcmpack does not read");
            params.layer = pcmpack_format::kLayerHdmv;
            params.sample_rate = sample_rate;
            params.bits = bits;
            params.channels = channels;
            period_bytes = pcmpack_format::period_bytes(params);
            // Our frames last 1/200 s; other writers choose other lengths.
            const uint32_t frame_bytes = static_cast<uint32_t>(sample_rate / 200) * period_bytes;
            for (const AVPacket *p : ahead)
                if (clean(p) && payload_of(p->data, static_cast<size_t>(p->size)) != frame_bytes)
                    plan.sizes_from_headers = true;
            break;
        }
        case Container::program: {
            pcmpack_format::DvdFrameHeader &header = lpcm_header;
            pcmpack_format::decode_dvd_frame_header(unit, size, &header);
            sample_rate = pcmpack_format::dvd_sample_rate(header.rate_code);
            const int bits = pcmpack_format::word_length_bits(header.bits_code);
            if (bits != 16 || sample_rate == 0 || header.channels > 2)
                // Code 3 names no word length: 28 bits would be made up.
                fail("DVD LPCM track: " +
                     (header.bits_code == 3 ? std::string("reserved word-length code 3")
                                            : std::to_string(bits) + "-bit") + ", " +
                     std::to_string(header.channels) + " channels, rate code " +
                     std::to_string(header.rate_code) +
                     "; pcmpack reads 16-bit mono or stereo at 48 or 96 kHz");
            params.layer = pcmpack_format::kLayerDvd;
            params.sample_rate = sample_rate;
            params.bits = bits;
            params.channels = header.channels;
            params.emphasis = header.emphasis;
            params.mute = header.mute;
            params.dynamic_range = header.dynamic_range;
            period_bytes = pcmpack_format::period_bytes(params);
            break;
        }
        case Container::elementary: throw Failure("internal: no header for the elementary stream");
        }
    }

    static bool clean(const AVPacket *p) { return !(p->flags & AV_PKT_FLAG_CORRUPT); }
    // The payload size that opens a 302M or HDMV frame; 0 for a unit too
    // short to hold a frame header.
    static uint32_t payload_of(const uint8_t *unit, size_t size) {
        return size >= pcmpack_format::kFrameHeaderBytes ? pcmpack_format::coded_payload_bytes(unit)
                                                          : 0;
    }

    // The frame rate and the cadence step of the first block, from the
    // sample periods of the blocks read ahead: the first step, and of that
    // step the first frame rate code, whose cadence they follow. Returns the
    // MPEG frame rate code, or kNoFrameRate for blocks that follow none:
    // 302M need not last a video frame, and other writers cut it into
    // blocks of their own length (a fixed 1920 periods is 25 Hz's cadence).
    // Blocks that open on a cadence are held to it to the end, as our own
    // are: a block off the cadence of a stream that had one is a sample
    // period dropped or added by the sender, which a monitor must name.
    int aes3_plan(int bits_code) {
        std::vector<uint32_t> periods;
        for (const AVPacket *p : ahead) {
            if (!clean(p)) break;
            const uint32_t payload = payload_of(p->data, static_cast<size_t>(p->size));
            if (payload % period_bytes != 0) break;
            periods.push_back(payload / period_bytes);
        }
        if (bits_code != 3 && !periods.empty())
            for (int step = 0; step < pcmpack_format::kCadenceSteps; ++step)
                for (int code = 1; code <= 8; ++code) {
                    bool follows = true;
                    const pcmpack_format::FrameRate *rate = pcmpack_format::frame_rate(code);
                    for (size_t i = 0; i < periods.size() && follows; ++i)
                        follows = periods[i] == static_cast<uint32_t>(
                                                    rate->periods[(step + int(i)) % pcmpack_format::kCadenceSteps]);
                    if (follows) {
                        plan.first_cadence_step = step;
                        return code;
                    }
                }
        plan.first_cadence_step = 0;
        plan.sizes_from_headers = true;
        return pcmpack_format::kNoFrameRate;
    }

    // A pack lost from a program stream shows in the next presentation
    // time, which stamps an audio frame that starts in its packet: it must
    // fall within the time of that packet's own samples.
    void check_program_time(size_t size) {
        if (packet->pts != AV_NOPTS_VALUE) {
            if (first_pts == AV_NOPTS_VALUE) first_pts = packet->pts;
            const int64_t elapsed = (packet->pts - first_pts) & kPtsMask;
            const uint64_t rate = static_cast<uint64_t>(sample_rate);
            const int64_t earliest = static_cast<int64_t>(periods_before * 90000 / rate);
            const int64_t latest = static_cast<int64_t>(
                ((periods_before + size / period_bytes) * 90000 + rate - 1) / rate);
            if (elapsed + 1 < earliest || elapsed > latest) {
                char text[96];
                std::snprintf(text, sizeof text, " is presented at %.3f s",
                              double(elapsed) / 90000);
                fail("DVD LPCM track: packs are missing or out of place: " + unit_here() + text);
            }
        }
        periods_before += size / period_bytes;
    }

    // A frame lost or moved shows in its presentation time, which must be
    // the time of the sample periods before it after the first frame's. The
    // writer rounds it to a 90 kHz tick (we round down, others to the
    // nearest), so a packet may start up to one sample period, or one tick
    // where that is longer, from where the samples before it end.
    void check_time(const uint8_t *unit, size_t size) {
        if (packet->pts == AV_NOPTS_VALUE)
            fail(std::string(row->track) + " track: " + unit_here() + " has no presentation time");
        if (first_pts == AV_NOPTS_VALUE) {
            first_pts = packet->pts;
            // Units damaged before the first whole one are not a break: a
            // live stream is joined wherever it is.
            damaged = 0;
        }
        unit_pts = packet->pts;
        const int64_t elapsed = (packet->pts - first_pts) & kPtsMask;
        const int64_t expected =
            static_cast<int64_t>(periods_before * 90000 / static_cast<uint64_t>(sample_rate));
        // Both times in units of 1 / (90000 * rate) s.
        const int64_t off = elapsed * sample_rate - static_cast<int64_t>(periods_before) * 90000;
        const int64_t most = std::max<int64_t>(90000, sample_rate);
        if (off > most || off < -most || damaged > 0) {
            if (!on_loss) {
                char text[160];
                const int64_t apart = off < 0 ? -off : off;
                std::snprintf(text, sizeof text,
                              " is presented at %.6f s, %.6f s (%lld sample periods) %s the end "
                              "of the samples before it: a packet is missing or out of place",
                              double(elapsed) / 90000, double(apart) / 90000 / sample_rate,
                              static_cast<long long>((apart + 45000) / 90000),
                              off < 0 ? "before" : "after");
                fail(std::string(row->track) + " track: " + unit_here() + text);
            }
            // A time gone back (a sender restarted) counts on from here:
            // the next frames are measured from this one, nothing is lost.
            int64_t jump = (elapsed - expected) & kPtsMask;
            if (jump > kPtsMask / 2) jump -= kPtsMask + 1;
            if (jump < 0) first_pts = (packet->pts - expected) & kPtsMask;
            // The writer's time rounded down: the first sample period whose
            // time is this one's.
            const uint64_t rate = static_cast<uint64_t>(sample_rate);
            const uint64_t periods_now =
                jump < 0 ? periods_before : (static_cast<uint64_t>(elapsed) * rate + 89999) / 90000;
            ContainerReader::Loss loss;
            loss.due_pts = (first_pts + expected) & kPtsMask;
            loss.at = double(periods_before) / sample_rate;
            loss.jump = jump;
            loss.periods = static_cast<int64_t>(periods_now) - static_cast<int64_t>(periods_before);
            loss.damaged = damaged;
            periods_before = periods_now;
            step = cadence_step_at(periods_now);
            damaged = 0;
            on_loss(loss);
        }
        periods_before += payload_of(unit, size) / period_bytes;
    }

    // The AES3 cadence step of the frame that starts `periods` sample
    // periods after the first one; 0 for the layers without a cadence.
    int cadence_step_at(uint64_t periods) const {
        const pcmpack_format::FrameRate *rate =
            pcmpack_format::frame_rate(plan.params.frame_rate_code);
        if (container != Container::transport || !rate) return 0;
        uint64_t cycle = 0;
        for (int k = 0; k < pcmpack_format::kCadenceSteps; ++k)
            cycle += uint64_t(rate->periods[k]);
        uint64_t left = periods % cycle;
        int at = plan.first_cadence_step;
        while (left >= uint64_t(rate->periods[at])) {
            left -= uint64_t(rate->periods[at]);
            at = (at + 1) % pcmpack_format::kCadenceSteps;
        }
        return at;
    }

    // Each stream as the programme lists it, in the order libavformat found
    // them; a stream that shows only later is added when it does.
    void describe_streams() {
        for (unsigned i = static_cast<unsigned>(slots.size()); i < format->nb_streams; ++i) {
            const AVStream *stream = format->streams[i];
            const AVCodecParameters *par = stream->codecpar;
            int slot = -1;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
                ProgrammeVideo v;
                v.id = stream->id;
                v.codec = codec_title(par->codec_id);
                v.width = par->width;
                v.height = par->height;
                // The average rate is the frame rate of interlaced video,
                // whose base rate counts fields.
                const AVRational rate =
                    stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
                v.rate_num = rate.num;
                v.rate_den = rate.den;
                slot = static_cast<int>(programme.video.size());
                programme.video.push_back(v);
            } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
                ProgrammeAudio a;
                a.id = stream->id;
                a.codec = codec_title(par->codec_id);
                if (const AVDictionaryEntry *language = av_dict_get(stream->metadata, "language", nullptr, 0))
                    a.language = language->value;
                a.channels = par->ch_layout.nb_channels;
                a.bits = par->bits_per_raw_sample;
                a.sample_rate = par->sample_rate;
                a.frame_timed = par->codec_id == AV_CODEC_ID_S302M;
                slot = -2 - static_cast<int>(programme.audio.size());
                programme.audio.push_back(a);
            }
            slots.push_back(slot);
            first_seen.push_back(false);
        }
        // 302M is measured against the first video track's frames.
        if (!programme.video.empty() && programme.video[0].rate_num > 0)
            for (ProgrammeAudio &a : programme.audio)
                a.frames.set_frame_ticks(int64_t{90000} * programme.video[0].rate_den /
                                         programme.video[0].rate_num);
    }

    // Every packet demuxed, of whatever stream: the first frame of the
    // video, the first packet of each audio track, and each 302M packet
    // against the video's frames.
    void note(const AVPacket *p) {
        if (p->stream_index < 0) return;
        const size_t index = static_cast<size_t>(p->stream_index);
        if (index >= slots.size()) describe_streams();
        if (index >= slots.size() || slots[index] == -1) return;
        const int64_t pts = pts_of(p->pts);
        if (slots[index] >= 0) {
            ProgrammeVideo &v = programme.video[size_t(slots[index])];
            if (pts != kNoPts && (v.first_pts == kNoPts || pts < v.first_pts)) v.first_pts = pts;
            if (slots[index] == 0)
                for (ProgrammeAudio &a : programme.audio)
                    if (a.frame_timed) a.frames.frame(pts, pts_of(p->dts));
            return;
        }
        ProgrammeAudio &a = programme.audio[size_t(-2 - slots[index])];
        if (!first_seen[index] && p->size > 0) {
            first_seen[index] = true;
            read_frame_header(format->streams[index]->codecpar->codec_id, p->data,
                              static_cast<size_t>(p->size), a);
        }
        a.read = p->stream_index == track;
        if (a.first_pts == kNoPts) a.first_pts = pts;
        if (a.frame_timed && !programme.video.empty()) a.frames.packet(pts);
    }

    void finish_programme() {
        if (programme.complete) return;
        programme.complete = true;
        for (ProgrammeAudio &a : programme.audio) a.frames.finish();
    }

    // The next packet of the chosen track into `into`; false at the end.
    bool read_unit(AVPacket *into) {
        for (;;) {
            av_packet_unref(into);
            const int error = av_read_frame(format, into);
            if (error == AVERROR_EOF) return false;
            if (error < 0) fail("read failed: " + av_text(error));
            note(into);
            if (track < 0) {
                // A track that only showed after the probe: the first of
                // the codec's is the one asked for.
                const AVStream *stream = format->streams[into->stream_index];
                if (stream->codecpar->codec_id != row->codec) continue;
                track = into->stream_index;
                track_ids.assign(1, stream->id);
            }
            if (into->stream_index == track) return true;
        }
    }

    // The access unit in `packet` checked and appended to `out`; false for
    // a damaged unit of a live stream, which is left out.
    bool take(std::vector<uint8_t> &out) {
        // A frame whose start was lost comes without its time, or damaged.
        const bool untimed = container == Container::transport && packet->pts == AV_NOPTS_VALUE;
        if (live && ((packet->flags & AV_PKT_FLAG_CORRUPT) || untimed)) {
            ++damaged;
            return false;
        }
        if (packet->flags & AV_PKT_FLAG_CORRUPT)
            fail(std::string(row->track) + " track: " + unit_here() + " is damaged or cut short");
        const uint8_t *data = packet->data;
        size_t size = static_cast<size_t>(packet->size);
        if (!header_sent) {
            read_params(data, size);
            header_sent = true;
            step = plan.first_cadence_step - 1;
        }
        step = (step + 1) % pcmpack_format::kCadenceSteps;
        if (container == Container::program) {
            // Each packet opens with the DVD audio frame header: the audio
            // frame number counts on, the rest holds for the whole track.
            pcmpack_format::DvdFrameHeader header;
            if (!pcmpack_format::decode_dvd_frame_header(data, size, &header) ||
                !pcmpack_format::same_dvd_track(header, lpcm_header))
                fail("DVD LPCM track: " + unit_here() + " changes the audio frame header");
            data += pcmpack_format::kDvdFrameHeaderBytes;
            size -= pcmpack_format::kDvdFrameHeaderBytes;
            check_program_time(size);
        } else {
            check_time(data, size);
        }
        unit_pos = packet->pos;
        out.insert(out.end(), data, data + size);
        return true;
    }

    bool next(std::vector<uint8_t> &out) {
        out.clear();
        if (!header_sent && ahead.empty()) {
            while (ahead.size() < kPlanUnits) {
                AVPacket *p = av_packet_alloc();
                if (!p) fail("out of memory");
                if (!read_unit(p)) {
                    av_packet_free(&p);
                    break;
                }
                ahead.push_back(p);
            }
        }
        while (!ahead.empty()) {
            av_packet_unref(packet);
            if (av_packet_ref(packet, ahead.front()) < 0) fail("out of memory");
            // The plan is made from every unit ahead, the first included.
            const bool whole = take(out);
            av_packet_free(&ahead.front());
            ahead.pop_front();
            if (whole) return true;
        }
        while (read_unit(packet))
            if (take(out)) return true;
        finish_programme();
        if (!read_failure.empty()) throw Failure(read_failure);
        if (track < 0)
            fail(std::string("read as ") + container_title(container) + ", but it has no " +
                 row->track + " track");
        return false;
    }
};

ContainerReader::ContainerReader(Container container, ReadFn read, const std::string &input_name,
                                 int track, const Live *live)
    : impl_(std::make_unique<Impl>(container, std::move(read), input_name, track, live)) {
    impl_->open();
}

ContainerReader::~ContainerReader() = default;

bool ContainerReader::next(std::vector<uint8_t> &piece) { return impl_->next(piece); }

const std::vector<int> &ContainerReader::track_ids() const { return impl_->track_ids; }

const char *ContainerReader::track_title() const { return impl_->row->track; }

const ContainerReader::FramePlan &ContainerReader::frame_plan() const { return impl_->plan; }

int64_t ContainerReader::unit_pts() const { return impl_->unit_pts; }

int64_t ContainerReader::unit_pos() const { return impl_->unit_pos; }

int ContainerReader::unit_cadence_step() const { return impl_->step; }

const Programme &ContainerReader::programme() const { return impl_->programme; }

}  // namespace pcmtool
