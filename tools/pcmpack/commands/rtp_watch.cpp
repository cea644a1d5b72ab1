// SPDX-License-Identifier: BSD-2-Clause
// inspect and unpack of an ST 2110-30 or -31 stream: a line per interval of
// what the datagrams' sequence numbers and timestamps say, and of what each
// channel pair carries; or the audio recorded to WAV and a pair's data
// bursts to --data-out.
#include "commands/inspect_options.h"
#include "commands/rtp_stream.h"
#include "commands/unpack_options.h"
#include "common.h"
#include "outputs/output.h"
#include "outputs/wav_writer.h"
#include "source/burst_scan.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

namespace {

using pcmpack_format::RtpSession;

// The faults a line names, in this order.
enum Fault { kLost, kDuplicated, kOutOfOrder, kLate, kRejected, kTimestamp, kPacketTime, kSender, kFaults };
constexpr const char *kFaultNames[kFaults] = {"lost",      "duplicated", "out-of-order", "late",
                                              "rejected",  "timestamp",  "packet-time",  "sender"};

unsigned long long u(uint64_t v) { return static_cast<unsigned long long>(v); }

std::string ms_text(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ns / 1e6);
    return text;
}

// Each pair as PCM or as the data type of its bursts with their count.
std::vector<std::string> pair_names(BurstScanner &bursts, bool json) {
    bursts.finish();
    std::vector<std::string> names;
    for (const PairBursts &p : bursts.pairs()) {
        const char *name = data_type_name(p.data_type);
        const std::string type = name ? name : "data type " + std::to_string(p.data_type);
        if (json)
            names.push_back(p.data() ? "{\"data_type\":" + std::to_string(p.data_type) + ",\"name\":" +
                                           json_string(type) + ",\"bursts\":" + std::to_string(p.bursts) + "}"
                                     : "\"PCM\"");
        else
            names.push_back(p.data() ? type + " (" + std::to_string(p.bursts) + " bursts)" : "PCM");
    }
    return names;
}

std::string joined(const std::vector<std::string> &items, const char *between) {
    std::string text;
    for (const std::string &item : items) text += (text.empty() ? "" : between) + item;
    return text;
}

class RtpMonitor {
public:
    RtpMonitor(const InspectOptions &o, const RtpSession &s)
        : o_(o), session_(s), interval_(std::make_unique<BurstScanner>(s.channels)),
          whole_(s.channels),
          stream_(o.input, s, o.rtp.interface_name, [this](const int32_t *samples, size_t periods, bool) {
              interval_->scan(samples, periods);
              whole_.scan(samples, periods);
          }) {}

    int run(bool &reported) {
        const int64_t start = monotonic_ns();
        const int64_t every = int64_t((o_.every > 0 ? o_.every : 1.0) * 1e9);
        const int64_t end = o_.duration > 0 ? start + int64_t(o_.duration * 1e9) : 0;
        for (int64_t line = start + every; !stop_requested() && (end == 0 || line - every < end); line += every) {
            const int64_t until = end > 0 ? std::min(line, end) : line;
            stream_.receive_until(until, [] { return stop_requested(); });
            if (stop_requested() || until == end) stream_.finish();
            print_line(double(std::min(monotonic_ns(), until) - start) / 1e9);
            reported = true;
        }
        stream_.check_arrived();
        summary(double(std::min(monotonic_ns(), end > 0 ? end : monotonic_ns()) - start) / 1e9);
        finish_stdout();
        if (faulted_) throw Failure(o_.input + ": faults were seen (see above)");
        return 0;
    }

private:
    std::vector<const char *> faults(const RtpWindow &w) const {
        const uint64_t counts[kFaults] = {w.counts.lost, w.counts.duplicated, w.counts.out_of_order,
                                          w.counts.late, w.rejected, w.timestamp_jumps, packet_time_off(w),
                                          w.sender_changes};
        std::vector<const char *> names;
        for (int k = 0; k < kFaults; ++k)
            if (counts[k]) names.push_back(kFaultNames[k]);
        return names;
    }
    // A packet time other than the session's.
    uint64_t packet_time_off(const RtpWindow &w) const {
        return session_.ptime_ns && w.samples_per_packet &&
               int64_t(w.samples_per_packet) * 1000000000 != session_.ptime_ns * session_.rate;
    }
    double packet_us(const RtpWindow &w) const { return w.samples_per_packet * 1e6 / session_.rate; }

    void print_line(double seconds) {
        const RtpWindow w = stream_.take_window();
        totals_.add(w);
        const std::vector<const char *> bad = faults(w);
        faulted_ = faulted_ || !bad.empty();
        std::vector<std::string> fault_names(bad.begin(), bad.end());
        // Pairs are said of the samples that came, never of none.
        const std::vector<std::string> pairs = w.periods ? pair_names(*interval_, o_.json) : std::vector<std::string>{};
        interval_ = std::make_unique<BurstScanner>(session_.channels);
        if (o_.json) {
            std::printf("{\"input\":%s,\"seconds\":%.3f,", json_string(o_.input).c_str(), seconds);
            print_json_counts(w);
            for (std::string &f : fault_names) f = "\"" + f + "\"";
            std::printf(",\"pairs\":[%s],\"faults\":[%s]}\n", joined(pairs, ",").c_str(),
                        joined(fault_names, ",").c_str());
        } else {
            std::printf("%s %.3f s: ", o_.input.c_str(), seconds);
            print_text_counts(w);
            std::printf(", pairs %s, faults %s\n", pairs.empty() ? "none" : joined(pairs, " ").c_str(),
                        bad.empty() ? "none" : joined(fault_names, " ").c_str());
        }
        std::fflush(stdout);
    }

    void print_text_counts(const RtpWindow &w) {
        std::printf("%llu packets, %llu lost, %llu duplicated, %llu out of order, %llu late, %llu rejected, "
                    "packet time %.0f us, %s, ",
                    u(w.counts.packets), u(w.counts.lost), u(w.counts.duplicated), u(w.counts.out_of_order),
                    u(w.counts.late), u(w.rejected), packet_us(w), describe_session(session_).c_str());
        if (w.offset.count)
            std::printf("timestamp offset mean %s ms, spread %s ms (%s to %s ms)", ms_text(w.offset.mean()).c_str(),
                        ms_text(double(w.offset.most - w.offset.least)).c_str(),
                        ms_text(double(w.offset.least)).c_str(), ms_text(double(w.offset.most)).c_str());
        else
            std::printf("timestamp offset none");
        std::printf(", %llu timestamp jumps, %llu sender changes", u(w.timestamp_jumps), u(w.sender_changes));
    }

    void print_json_counts(const RtpWindow &w) {
        std::printf("\"packets\":%llu,\"lost\":%llu,\"duplicated\":%llu,\"out_of_order\":%llu,\"late\":%llu,"
                    "\"rejected\":%llu,\"packet_time_us\":%.3f,\"encoding\":%s,\"channels\":%d,",
                    u(w.counts.packets), u(w.counts.lost), u(w.counts.duplicated), u(w.counts.out_of_order),
                    u(w.counts.late), u(w.rejected), packet_us(w), json_string(describe_session(session_)).c_str(),
                    session_.channels);
        if (w.offset.count)
            std::printf("\"offset_ms\":{\"mean\":%s,\"least\":%s,\"most\":%s,\"spread\":%s}",
                        ms_text(w.offset.mean()).c_str(), ms_text(double(w.offset.least)).c_str(),
                        ms_text(double(w.offset.most)).c_str(),
                        ms_text(double(w.offset.most - w.offset.least)).c_str());
        else
            std::printf("\"offset_ms\":null");
        std::printf(",\"timestamp_jumps\":%llu,\"sender_changes\":%llu", u(w.timestamp_jumps),
                    u(w.sender_changes));
    }

    // The whole run in one line, the pairs' bursts counted over all of it.
    void summary(double seconds) {
        const std::vector<std::string> pairs = totals_.periods ? pair_names(whole_, o_.json) : std::vector<std::string>{};
        if (o_.json) {
            std::printf("{\"input\":%s,\"summary\":true,\"seconds\":%.3f,", json_string(o_.input).c_str(), seconds);
            print_json_counts(totals_);
            std::printf(",\"pairs\":[%s],\"status\":%d}\n", joined(pairs, ",").c_str(), faulted_ ? 1 : 0);
        } else {
            std::printf("%s: %.3f s watched: ", o_.input.c_str(), seconds);
            print_text_counts(totals_);
            std::printf(", pairs %s; status %d\n", pairs.empty() ? "none" : joined(pairs, " ").c_str(),
                        faulted_ ? 1 : 0);
        }
    }

    const InspectOptions &o_;
    RtpSession session_;
    std::unique_ptr<BurstScanner> interval_;
    BurstScanner whole_;
    RtpStream stream_;
    RtpWindow totals_;
    bool faulted_ = false;
};

// A recording's WAV and data bursts; a datagram lost on the way becomes
// silence of its length, said where it falls.
class RtpRecording {
public:
    RtpRecording(const UnpackOptions &o, const RtpSession &s, OutputFile *wav, OutputFile *data)
        : o_(o), rate_(s.rate) {
        if (wav)
            wav_ = std::make_unique<WavWriter>(*wav, s.rate, s.channels,
                                               s.encoding == pcmpack_format::RtpAudio::l16 ? 16 : 24, -1);
        if (data)
            bursts_ = std::make_unique<BurstScanner>(
                s.channels, o.data_pair - 1,
                [data](const uint8_t *payload, size_t size) { data->write(payload, size); });
    }

    void put(const int32_t *samples, size_t periods, bool lost) {
        if (lost) {
            ++breaks_;
            std::fprintf(stderr,
                         "pcmpack: %s: a datagram was lost at %.3f s: %llu sample periods of silence put "
                         "in its place\n",
                         o_.input.c_str(), double(periods_) / rate_, u(periods));
        }
        periods_ += periods;
        if (wav_) wav_->write(samples, periods);
        if (bursts_) bursts_->scan(samples, periods);
    }

    void finish(const std::string &data_name) {
        if (wav_) wav_->finish();
        if (!bursts_) return;
        bursts_->finish();
        const PairBursts &found = bursts_->pairs()[size_t(o_.data_pair - 1)];
        if (!found.first_data())
            throw Failure(o_.input + ": channel pair " + std::to_string(o_.data_pair) +
                          " holds no data bursts (see `pcmpack inspect`); " + data_name + " is not written");
    }

    void report(const std::string &name) const {
        std::fprintf(stderr, "pcmpack: %s: %.3f s recorded\n", name.c_str(), double(periods_) / rate_);
        if (breaks_)
            throw Failure(o_.input + ": the stream broke " + std::to_string(breaks_) +
                          (breaks_ == 1 ? " time" : " times") + " (see above); the recording is kept");
    }

private:
    const UnpackOptions &o_;
    int rate_;
    std::unique_ptr<WavWriter> wav_;
    std::unique_ptr<BurstScanner> bursts_;
    uint64_t periods_ = 0;
    uint64_t breaks_ = 0;
};

}  // namespace

int run_rtp_monitor(const InspectOptions &o, bool &reported) {
    if (o.frames)
        throw Failure(o.input + ": --frames lists a file's frames; a live stream is watched by the interval (--every)");
    if (o.track) throw Failure(o.input + ": --track chooses a container's track; an RTP stream has one");
    const RtpSession session = rtp_session(o.input, o.rtp);
    end_stream_on_stop_signals();
    RtpMonitor monitor(o, session);
    return monitor.run(reported);
}

int run_rtp_unpack(const UnpackOptions &o) {
    if (o.track) throw Failure(o.input + ": --track chooses a container's track; an RTP stream has one");
    const RtpSession session = rtp_session(o.input, o.rtp);
    if (o.output.empty() && o.data_out.empty())
        throw Failure(o.input + ": nothing to write: give -o FILE for the audio as WAV, --data-out FILE for "
                                "the payloads of a pair's data bursts, or both");
    if (!o.data_out.empty() && o.data_pair * 2 > session.channels)
        throw Failure(o.input + ": --data-pair " + std::to_string(o.data_pair) + " is past the stream's " +
                      std::to_string(session.channels) + " channels");
    OutputSet outputs(o.overwrite);
    OutputFile *wav = o.output.empty() ? nullptr : &outputs.open(o.output);
    OutputFile *data = o.data_out.empty() ? nullptr : &outputs.open(o.data_out);
    end_stream_on_stop_signals();
    RtpRecording recording(o, session, wav, data);
    RtpStream stream(o.input, session, o.rtp.interface_name,
                     [&recording](const int32_t *s, size_t periods, bool lost) { recording.put(s, periods, lost); });
    const int64_t until = o.duration > 0 ? monotonic_ns() + int64_t(o.duration * 1e9) : INT64_MAX;
    stream.receive_until(until, [] { return stop_requested(); });
    stream.finish();
    stream.check_arrived();
    recording.finish(display_name(o.data_out, true));
    outputs.commit();
    recording.report(display_name(o.output.empty() ? o.data_out : o.output, true));
    return 0;
}

}  // namespace pcmtool
