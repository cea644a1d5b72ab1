// SPDX-License-Identifier: BSD-2-Clause
#include "commands/encode_rtp.h"

#include "common.h"
#include "outputs/clock_reference.h"
#include "outputs/output.h"
#include "source/audio_source.h"
#include "source/burst_scan.h"
#include "source/channel_layout.h"
#include "source/conversion.h"
#include "source/data_bursts.h"
#include "source/input.h"

#include <pcmpack.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>

namespace pcmtool {

namespace fmt = pcmpack_format;

namespace {

// AES67 and ST 2110 put media on the expedited-forwarding class.
constexpr int kDscpExpedited = 46;

struct PacketTime {
    const char *name;
    int us;
};
constexpr PacketTime kPacketTimes[] = {{"1ms", 1000}, {"125us", 125}};

int packet_time_us(const std::string &name) {
    for (const PacketTime &p : kPacketTimes)
        if (name == p.name) return p.us;
    return 0;
}

// Options of the transport stream and the containers, which a stream of
// PCM over RTP has no use for.
std::vector<std::string> options_without_effect(const EncodeOptions &o) {
    std::vector<std::string> named;
    if (o.layer) named.push_back("--layer");
    if (!o.frame_rate.empty() || o.frame_rate_code) named.push_back("--frame-rate");
    if (!o.container.empty()) named.push_back("--container");
    if (!o.index.empty()) named.push_back("--index");
    if (!o.downmix.empty()) named.push_back("--downmix");
    if (o.muxrate) named.push_back("--muxrate");
    if (o.latency_ms >= 0) named.push_back("--latency");
    if (!o.pace.empty()) named.push_back("--pace");
    if (is_programme(o)) named.push_back("a programme (several INPUTs, --video, PIDs, languages)");
    return named;
}

std::string join(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &w : words) text += (text.empty() ? "" : ", ") + w;
    return text;
}

void check_rtp_options(const EncodeOptions &o, std::vector<std::string> &reasons) {
    const std::vector<std::string> unused = options_without_effect(o);
    if (!unused.empty()) reasons.push_back(join(unused) + " do not apply to rtp://");
    if (o.st2110 == 30 && !o.data.empty())
        reasons.push_back("--data rides in AES3 words: send it with --st2110 31");
    if (o.st2110 == 30 && o.bits == 20) reasons.push_back("--st2110 30 carries 16 or 24 bits (L16, L24)");
    if (o.payload_type < 96 || o.payload_type > 127)
        reasons.push_back("--payload-type " + std::to_string(o.payload_type) + " is not a dynamic type (96 to 127)");
}

void check_rtp_geometry(const RtpPlan &p, bool resampled, std::vector<std::string> &reasons) {
    if (p.rate != 48000 && p.rate != 96000)
        reasons.push_back((resampled ? "--resample " + std::to_string(p.rate) + ": "
                                     : "the audio is at " + std::to_string(p.rate) + " Hz; ") +
                          "ST 2110-30 and -31 streams run at 48000 or 96000 Hz" +
                          (resampled ? "" : " (--resample 48000 converts it)"));
    if (p.kind == fmt::RtpAudio::am824 && p.channels % 2 != 0)
        reasons.push_back("ST 2110-31 carries whole AES3 channel pairs; the audio has " +
                          std::to_string(p.channels) + " channels");
    const size_t bytes = fmt::rtp_packet_bytes(p.kind, p.channels, p.samples_per_packet);
    if (p.samples_per_packet > 0 && bytes > fmt::kMaxRtpPacketBytes)
        reasons.push_back(std::to_string(p.channels) + " channels of " + fmt::rtpmap_encoding(p.kind) + " in " +
                          std::to_string(p.ptime_us) + " us packets make " + std::to_string(bytes) +
                          "-byte datagrams, over the " + std::to_string(fmt::kMaxRtpPacketBytes) +
                          " that fit an Ethernet frame: give --ptime 125us");
}

void refuse(const EncodeOptions &o, const std::vector<std::string> &reasons) {
    if (reasons.empty()) return;
    std::string text = o.output + ": cannot send this stream:";
    for (const std::string &r : reasons) text += "\n  " + r;
    throw Failure(text);
}

uint32_t random_ssrc() {
    std::random_device device;
    return device();
}

}  // namespace

bool is_rtp_url(const std::string &output) { return output.rfind("rtp://", 0) == 0; }

RtpPlan plan_rtp(const EncodeOptions &o, const RtpSourceFacts &source) {
    RtpPlan p;
    std::vector<std::string> reasons;
    check_rtp_options(o, reasons);
    p.bits = o.bits ? o.bits : source.bits ? source.bits : 24;
    // L24 unless asked: AES67 receivers all take it, whatever the source.
    p.kind = o.st2110 == 31 ? fmt::RtpAudio::am824 : o.bits == 16 ? fmt::RtpAudio::l16 : fmt::RtpAudio::l24;
    if (p.kind == fmt::RtpAudio::l24) p.bits = 24;
    p.rate = o.resample ? o.resample : source.rate;
    p.channels = source.channels;
    p.ptime_us = packet_time_us(o.ptime);
    p.samples_per_packet = fmt::samples_per_packet(p.rate, p.ptime_us);
    p.payload_type = o.payload_type;
    p.ssrc = o.ssrc >= 0 ? uint32_t(o.ssrc) : random_ssrc();
    p.data_pairs = source.data_pairs;
    p.data_pairs.resize(size_t(p.channels / 2));
    if (!o.data.empty() && size_t(o.data_pair) <= p.data_pairs.size()) p.data_pairs[size_t(o.data_pair - 1)] = true;
    if (!o.data.empty() && size_t(o.data_pair) > p.data_pairs.size())
        reasons.push_back("--data-pair " + std::to_string(o.data_pair) + " is past the audio's " +
                          std::to_string(p.channels) + " channels");
    p.channel_order = fmt::channel_order(p.channels, source.surround);
    // A burst's words survive only untouched.
    if (p.rate != source.rate && std::find(source.data_pairs.begin(), source.data_pairs.end(), true) !=
                                     source.data_pairs.end())
        reasons.push_back("resampling to " + std::to_string(p.rate) +
                          " Hz would change the words of the source's data bursts (leave out --resample to "
                          "keep them)");
    check_rtp_geometry(p, o.resample != 0, reasons);
    p.to = parse_rtp_url(o.output);
    refuse(o, reasons);
    return p;
}

namespace {

void write_am824_payload(const RtpPlan &p, RtpCursor &c, const int32_t *samples, uint8_t *out) {
    const int pairs = p.channels / 2;
    std::array<uint8_t, fmt::kChannelStatusBytes> blocks[32];  // 64 channels at most
    for (int pair = 0; pair < pairs; ++pair)
        fmt::write_channel_status({p.rate, p.bits, p.data_pairs[size_t(pair)]}, blocks[size_t(pair)].data());
    const uint32_t keep = p.bits >= 24 ? ~0u : ~((1u << (32 - p.bits)) - 1);
    for (int s = 0; s < p.samples_per_packet; ++s, ++c.frame) {
        const int frame = int(c.frame % fmt::kChannelStatusFrames);
        for (int ch = 0; ch < p.channels; ++ch, out += 4) {
            fmt::Am824Subframe sub;
            sub.block_start = frame == 0 && ch % 2 == 0;
            sub.frame_start = ch % 2 == 0;
            sub.channel_status = fmt::channel_status_bit(blocks[size_t(ch / 2)].data(), frame);
            sub.word = int32_t(uint32_t(samples[s * p.channels + ch]) & keep);
            fmt::write_am824(sub, out);
        }
    }
}

}  // namespace

size_t build_rtp_packet(const RtpPlan &p, RtpCursor &c, const int32_t *samples, uint8_t *out) {
    fmt::RtpHeader header;
    header.payload_type = p.payload_type;
    header.sequence = c.sequence++;
    header.timestamp = uint32_t(uint64_t(c.tick));
    header.ssrc = p.ssrc;
    fmt::write_rtp_header(header, out);
    const size_t count = size_t(p.samples_per_packet) * size_t(p.channels);
    if (p.kind == fmt::RtpAudio::am824)
        write_am824_payload(p, c, samples, out + fmt::kRtpHeaderBytes);
    else
        fmt::write_linear(p.kind, samples, count, out + fmt::kRtpHeaderBytes);
    c.tick += p.samples_per_packet;
    return fmt::rtp_packet_bytes(p.kind, p.channels, p.samples_per_packet);
}

namespace {

// The samples of the stream: the source's (none with --data alone), with
// the data bursts of --data written over their pair.
struct RtpSource {
    std::unique_ptr<AudioSource> audio;
    std::unique_ptr<DataBursts> data;
    RtpSourceFacts facts;
};

bool is_surround(const std::vector<int> &map) {
    // A declared centre and LFE make the 6 or 8 channels a 5.1 or 7.1 group.
    const auto has = [&map](pcmpack_format::Speaker speaker) {
        return std::find(map.begin(), map.end(), sndfile_position(speaker)) != map.end();
    };
    return has(pcmpack_format::Speaker::fc) && has(pcmpack_format::Speaker::lfe);
}

RtpSource open_rtp_source(const EncodeOptions &o) {
    RtpSource s;
    if (!o.input.empty()) {
        const bool raw = o.rate != 0 || o.channels != 0 || !o.endian.empty();
        s.audio = raw ? open_raw_pcm(o.input, o.rate, o.channels, o.bits ? o.bits : 16, o.endian == "big")
                      : open_audio_file(o.input);
        std::vector<PairBursts> pairs;
        if (o.st2110 == 31) s.audio = peek_bursts(std::move(s.audio), pairs);
        for (const PairBursts &pair : pairs) s.facts.data_pairs.push_back(pair.data());
        s.facts.rate = s.audio->rate();
        s.facts.channels = s.audio->channels();
        s.facts.bits = s.audio->bits();
        s.facts.surround = is_surround(s.audio->channel_map());
    }
    if (!o.data.empty()) {
        const int bits = o.bits ? o.bits : s.audio && s.audio->bits() ? s.audio->bits() : 24;
        s.data = std::make_unique<DataBursts>(
            o.data, bits == 16 ? PCM_QUANT_16 : bits == 20 ? PCM_QUANT_20 : PCM_QUANT_24);
    }
    return s;
}

// --resample's conversion between the source and the packets, with TPDF
// dither at the stream's word length unless --dither none.
ConvertedSource *resample(const EncodeOptions &o, const RtpPlan &plan, RtpSource &source) {
    if (!source.audio || plan.rate == source.facts.rate) return nullptr;
    const ConversionRequest request{plan.rate, plan.kind == fmt::RtpAudio::l16 ? 16 : plan.bits,
                                    o.dither == "none" ? Dither::none : Dither::tpdf,
                                    find_resample_quality(o.resample_quality), nullptr};
    if (o.verbose)
        std::fprintf(stderr, "pcmpack: note: %s: %s\n", o.input.c_str(),
                     describe_conversion(*source.audio, request).c_str());
    std::unique_ptr<ConvertedSource> converted = convert(std::move(source.audio), request);
    ConvertedSource *stage = converted.get();
    source.audio = std::move(converted);
    return stage;
}

// The samples of the packets, read 20 ms at a time: one read of the source
// per packet would cost more than the packet's send at 125 us. A short read
// at the end is completed with silence, so that every packet keeps the
// stream's packet time.
class PacketSamples {
    static constexpr int kBlockUs = 20'000;

public:
    PacketSamples(RtpSource &source, const RtpPlan &plan, int data_pair)
        : source_(source), plan_(plan), data_pair_(data_pair),
          block_packets_(size_t(std::max(1, kBlockUs / plan.ptime_us))),
          packet_values_(size_t(plan.samples_per_packet) * size_t(plan.channels)),
          samples_(block_packets_ * packet_values_),
          burst_bytes_(source.data ? samples_.size() * 3 : 0) {}

    // Moves to the next packet; false once neither the audio nor the
    // bursts have any left.
    bool next() {
        if (++at_ < filled_) return true;
        at_ = 0;
        filled_ = refill();
        return filled_ > 0;
    }
    const int32_t *samples() const { return samples_.data() + at_ * packet_values_; }
    uint64_t periods() const { return packets_ * uint64_t(plan_.samples_per_packet); }

private:
    size_t refill() {
        std::fill(samples_.begin(), samples_.end(), 0);
        const size_t block = block_packets_ * size_t(plan_.samples_per_packet);
        size_t got = 0;
        while (source_.audio && !audio_ended_ && got < block) {
            const size_t n = source_.audio->read(samples_.data() + got * size_t(plan_.channels), block - got);
            audio_ended_ = n == 0;
            got += n;
        }
        const uint64_t done = periods();
        if (source_.data && done < source_.data->periods()) {
            add_bursts(block);
            got = std::max<size_t>(got, size_t(std::min<uint64_t>(block, source_.data->periods() - done)));
        }
        const size_t packets = (got + size_t(plan_.samples_per_packet) - 1) / size_t(plan_.samples_per_packet);
        packets_ += packets;
        return packets;
    }

    void add_bursts(size_t periods) {
        source_.data->fill(burst_bytes_.data(), periods, plan_.channels, data_pair_, 3);
        for (size_t s = 0; s < periods; ++s)
            for (int ch = 2 * data_pair_; ch < 2 * data_pair_ + 2; ++ch) {
                const uint8_t *b = &burst_bytes_[(s * size_t(plan_.channels) + size_t(ch)) * 3];
                samples_[s * size_t(plan_.channels) + size_t(ch)] =
                    int32_t(uint32_t(b[0]) << 8 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 24);
            }
    }

    RtpSource &source_;
    const RtpPlan &plan_;
    int data_pair_;
    size_t block_packets_, packet_values_;
    std::vector<int32_t> samples_;
    std::vector<uint8_t> burst_bytes_;
    size_t at_ = 0, filled_ = 0;
    uint64_t packets_ = 0;
    bool audio_ended_ = false;  // the source stays open: its conversion's notes follow the run
};

// The SDP's reference clock: the grandmaster named, or the one ptp4l
// follows here, or else the sending interface's hardware address.
void reference_clock(const EncodeOptions &o, const DatagramSender &sender, fmt::SdpSession &s) {
    s.local_mac = interface_mac(sender.local_address());
    s.ptp_grandmaster = o.ptp_grandmaster;
    if (!s.ptp_grandmaster.empty()) return;
    std::string state;
    s.ptp_grandmaster = find_ptp_grandmaster(state);
    if (o.verbose && s.ptp_grandmaster.empty() && !state.empty())
        std::fprintf(stderr,
                     "pcmpack: note: ptp4l runs here but follows no grandmaster (ports %s); the SDP names "
                     "this machine's clock (localmac) until it does, or give --ptp-grandmaster\n",
                     state.c_str());
}

bool is_multicast(const std::string &host) {
    const int first = std::atoi(host.c_str());
    return host.find(':') == std::string::npos ? first >= 224 && first <= 239
                                               : host.size() > 1 && (host[0] == 'f' || host[0] == 'F') &&
                                                     (host[1] == 'f' || host[1] == 'F');
}

std::string session_text(const RtpPlan &p, const EncodeOptions &o, const DatagramSender &sender) {
    fmt::SdpSession s;
    s.session_id = uint64_t(tai_ns() / 1'000'000'000);
    s.origin_address = sender.local_address();
    s.destination = p.to.host;
    s.port = p.to.port;
    s.multicast = is_multicast(p.to.host);
    s.kind = p.kind;
    s.payload_type = p.payload_type;
    s.sample_rate = p.rate;
    s.channels = p.channels;
    s.ptime_us = p.ptime_us;
    s.channel_order = p.channel_order;
    reference_clock(o, sender, s);
    return fmt::write_sdp(s);
}

// The SDP appears, committed, before the first packet leaves: a receiver
// reads it to join the stream.
void write_session(const EncodeOptions &o, const std::string &text, OutputSet &files, OutputFile *sdp) {
    if (o.verbose) std::fprintf(stderr, "%s", text.c_str());
    if (!sdp) return;
    sdp->write(text.data(), text.size());
    files.commit();
}

double process_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

int64_t percentile(std::vector<int64_t> sorted, double q) {
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))];
}

void report_run(const DatagramSender &sender, double seconds, double cpu) {
    const std::vector<int64_t> &late = sender.departures();
    std::fprintf(stderr,
                 "pcmpack: note: %llu packets (%.2f s of audio) sent, nobody listening at %llu of them; "
                 "processor time %.1f ms, %.2f%% of one core; departure after schedule p50 %.1f us, "
                 "p99 %.1f us, p99.9 %.1f us, max %.1f us\n",
                 static_cast<unsigned long long>(sender.sent()), seconds,
                 static_cast<unsigned long long>(sender.refused()), cpu * 1e3,
                 seconds > 0 ? cpu / seconds * 100 : 0.0, double(percentile(late, 0.5)) / 1e3,
                 double(percentile(late, 0.99)) / 1e3, double(percentile(late, 0.999)) / 1e3,
                 double(percentile(late, 1.0)) / 1e3);
}

}  // namespace

int encode_rtp(const EncodeOptions &o) {
    // What the options alone rule out is refused before a file is read.
    std::vector<std::string> reasons;
    check_rtp_options(o, reasons);
    refuse(o, reasons);
    parse_rtp_url(o.output);
    // The SDP's file is opened first: an existing one is refused before the
    // source is read.
    OutputSet files(o.overwrite);
    OutputFile *sdp = o.sdp.empty() ? nullptr : &files.open(o.sdp);
    RtpSource source = open_rtp_source(o);
    const RtpPlan plan = plan_rtp(o, source.facts);
    ConvertedSource *converter = resample(o, plan, source);
    DatagramSender sender(o.output, plan.to, kDscpExpedited);
    sender.keep_departures(o.verbose);
    if (o.realtime) sender.use_realtime_priority();
    if (sdp && source.audio) files.guard(source.audio->file().fd(), o.input, "input");
    write_session(o, session_text(plan, o, sender), files, sdp);
    end_stream_on_stop_signals();
    PacketSamples samples(source, plan, o.data_pair - 1);
    std::vector<uint8_t> packet(fmt::rtp_packet_bytes(plan.kind, plan.channels, plan.samples_per_packet));
    // The first packet starts on a packet boundary of the media clock, so
    // that senders of the same packet time cut the clock alike.
    RtpCursor cursor;
    const int64_t spp = plan.samples_per_packet;
    cursor.tick = (fmt::media_clock_ticks_ceil(tai_ns(), plan.rate) + spp - 1) / spp * spp;
    const double cpu_before = process_seconds();
    while (!stop_requested() && samples.next()) {
        // A packet leaves once its last sample is due, as a live capture's would.
        const int64_t due = fmt::media_clock_instant_ns(cursor.tick + spp, plan.rate);
        sender.send_at(due, packet.data(), build_rtp_packet(plan, cursor, samples.samples(), packet.data()));
    }
    if (o.verbose) report_run(sender, double(samples.periods()) / plan.rate, process_seconds() - cpu_before);
    for (const std::string &note : converter ? converter->notes() : std::vector<std::string>{})
        std::fprintf(stderr, "pcmpack: note: %s: %s\n", o.input.c_str(), note.c_str());
    return 0;
}

}  // namespace pcmtool
