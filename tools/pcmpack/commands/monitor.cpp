// SPDX-License-Identifier: BSD-2-Clause
// pcmpack inspect udp://... or srt://...: watches a live 302M transport
// stream and prints a line per interval. The transport stream's own timing
// is checked as the bytes arrive; the frames are demultiplexed and
// validated as a file's are, and a lost frame shows as a break in the
// presentation times, named by the time it was due.
#include "commands/inspect_options.h"
#include "common.h"
#include "containers/container.h"
#include "containers/live_input.h"
#include "containers/transport_tap.h"
#include "outputs/output.h"
#include "format/stream_format.h"
#include "source/burst_scan.h"

#include "reader/stream_reader.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

namespace {

using pcmpack_reader::FrameInfo;
using pcmpack_reader::IncrementalReader;
using pcmpack_reader::StreamInfo;

// What a receiver holds to be a fault in the transport stream's timing, in
// 27 MHz ticks: PCRs more than 40 ms apart, program tables more than 0.5 s
// apart (pcmpack's sender repeats them every 100 ms; other muxers' files,
// with tables every 120 ms, are not faulty).
constexpr double kTicksPerMs = 27000.0;
constexpr int64_t kPcrIntervalMost = 40 * 27000;
constexpr int64_t kTableIntervalMost = 500 * 27000;
// A read takes what has arrived, a datagram or a few: the demuxer hands on
// each frame as soon as its last packet is in.
constexpr size_t kReadBytes = 64 * 1024;

// The faults a line names, in this order.
enum Fault { kSync, kCc, kPts, kPcr, kTables, kFrame, kJump, kFaults };
constexpr const char *kFaultNames[kFaults] = {"sync",  "cc",    "pts",          "pcr",
                                              "tables", "frame", "discontinuity"};

// What the whole run saw, for the summary at its end.
struct Totals {
    uint64_t frames = 0;
    uint64_t packets_lost = 0;
    uint64_t packets_duplicated = 0;
    uint64_t packets_out_of_order = 0;
    uint64_t sync_losses = 0;
    uint64_t pcr_discontinuities = 0;
    uint64_t pts_discontinuities = 0;
    uint64_t pts_breaks = 0;
    int64_t periods_lost = 0;
    uint64_t rejected = 0;
    int64_t pcr_interval_max = -1;
    int64_t pat_interval_max = -1;
    int64_t pmt_interval_max = -1;
    bool faults[kFaults] = {};
};

// What one interval brought, besides the transport stream's timing.
struct Interval {
    uint64_t frames = 0;
    uint64_t periods = 0;
    uint32_t step_periods[pcmpack_format::kCadenceSteps] = {};
    uint64_t rejected = 0;
    std::vector<ContainerReader::Loss> breaks;  // in the presentation times
    std::vector<double> jumps;  // PTS discontinuities, seconds
    bool faults[kFaults] = {};
    std::unique_ptr<BurstScanner> bursts;
};

std::string ms(int64_t value, double unit) {
    if (value < 0) return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", double(value) / unit);
    return text;
}

std::string json_ms(int64_t value, double unit) {
    if (value < 0) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(value) / unit);
    return text;
}

class Monitor : public pcmpack_reader::FrameSink {
public:
    Monitor(const InspectOptions &o, int64_t start)
        : o_(o), start_(start), tap_([this](TapFault kind, const std::string &text) {
              fault(kind == TapFault::continuity ? kCc : kJump, text);
          }) {}

    TransportTap &tap() { return tap_; }
    int64_t line_start() const { return line_start_; }
    bool any_fault() const { return faulted_; }

    void on_header(const StreamInfo &info) override {
        info_ = info;
        if (!now_.bursts) now_.bursts = std::make_unique<BurstScanner>(info.channels);
    }
    void on_frame(const FrameInfo &f, const int32_t *samples, size_t count) override {
        ++now_.frames;
        ++totals_.frames;
        now_.periods += f.sample_periods;
        now_.step_periods[f.cadence_step] = f.sample_periods;
        if (now_.bursts && info_.channels > 0)
            now_.bursts->scan(samples, count / size_t(info_.channels));
    }

    // A presentation time away from where the frames before put it: frames
    // lost on the way when packets were lost (or a frame came damaged) and
    // the clock ran on, else the sender's clock jumped (a restart, a
    // splice), back or forward.
    void lost(const ContainerReader::Loss &loss) {
        char text[160];
        const uint64_t packets_lost = tap_.packets_lost_total();
        const uint64_t clock_jumps = tap_.pcr_discontinuities_total();
        const bool explained = (loss.damaged > 0 || packets_lost > lost_at_last_break_) &&
                               clock_jumps == jumps_at_last_break_;
        lost_at_last_break_ = packets_lost;
        jumps_at_last_break_ = clock_jumps;
        if (loss.jump < 0 || !explained) {
            now_.jumps.push_back(double(loss.jump) / 90000);
            ++totals_.pts_discontinuities;
            std::snprintf(text, sizeof text, "PTS discontinuity: %+.3f s, after %.3f s of audio",
                          double(loss.jump) / 90000, loss.at);
            fault(kJump, text);
            return;
        }
        now_.breaks.push_back(loss);
        ++totals_.pts_breaks;
        totals_.periods_lost += loss.periods;
        std::snprintf(text, sizeof text,
                      "PTS break: the frame due at %.3f s (PTS %lld) is missing, %lld sample "
                      "periods lost%s",
                      loss.at, static_cast<long long>(loss.due_pts),
                      static_cast<long long>(loss.periods),
                      loss.damaged ? " (it came damaged)" : "");
        fault(kPts, text);
    }
    void rejected(const std::string &why) {
        ++now_.rejected;
        ++totals_.rejected;
        fault(kFrame, why);
    }

    // Prints the line of the interval that ends at `now` and starts the next.
    void line(int64_t now) {
        const TapWindow tap = tap_.close_window();
        add_up(tap);
        if (tap.sync_losses > 0)
            fault(kSync,
                  std::to_string(tap.sync_losses) + " times a packet's sync byte was missing");
        if (tap.pcr_interval_max > kPcrIntervalMost)
            fault(kPcr, "PCR interval " + ms(tap.pcr_interval_max, kTicksPerMs) + ", over 40 ms");
        if (tap.pat_interval_max > kTableIntervalMost || tap.pmt_interval_max > kTableIntervalMost)
            fault(kTables, "PAT every " + ms(tap.pat_interval_max, kTicksPerMs) + ", PMT every " +
                               ms(tap.pmt_interval_max, kTicksPerMs) + ", over 500 ms");
        const double seconds = double(now - start_) / 1e9;
        const double length = double(now - line_start_) / 1e9;
        const double bit_rate = length > 0 ? double(tap.bytes) * 8 / length : 0;
        if (o_.json)
            print_json(seconds, tap, bit_rate);
        else
            print_text(seconds, tap, bit_rate);
        std::fflush(stdout);
        line_start_ = now;
        now_ = Interval{};
        if (info_.channels > 0) now_.bursts = std::make_unique<BurstScanner>(info_.channels);
    }

private:
    void add_up(const TapWindow &tap) {
        totals_.packets_lost += tap.packets_lost;
        totals_.packets_duplicated += tap.packets_duplicated;
        totals_.packets_out_of_order += tap.packets_out_of_order;
        totals_.sync_losses += tap.sync_losses;
        totals_.pcr_discontinuities += tap.pcr_discontinuities;
        totals_.pcr_interval_max = std::max(totals_.pcr_interval_max, tap.pcr_interval_max);
        totals_.pat_interval_max = std::max(totals_.pat_interval_max, tap.pat_interval_max);
        totals_.pmt_interval_max = std::max(totals_.pmt_interval_max, tap.pmt_interval_max);
    }

    void fault(Fault kind, const std::string &text) {
        faulted_ = true;
        now_.faults[kind] = true;
        totals_.faults[kind] = true;
        if (o_.fail_fast) throw Failure(o_.input + ": " + text);
        std::fprintf(stderr, "pcmpack: %s: %s\n", o_.input.c_str(), text.c_str());
    }

    // The sample periods of each cadence step seen, when they differ.
    std::vector<uint32_t> cadence() const {
        std::vector<uint32_t> steps;
        bool differ = false;
        for (const uint32_t periods : now_.step_periods) {
            if (periods == 0) continue;
            differ = differ || (!steps.empty() && periods != steps[0]);
            steps.push_back(periods);
        }
        return differ ? steps : std::vector<uint32_t>{};
    }

    std::vector<std::string> pairs() const {
        std::vector<std::string> names;
        if (!now_.bursts || now_.frames == 0) return names;
        now_.bursts->finish();
        for (const PairBursts &p : now_.bursts->pairs()) {
            const char *name = data_type_name(p.data_type);
            names.push_back(!p.data() ? "PCM"
                            : name    ? name
                                      : "data type " + std::to_string(p.data_type));
        }
        return names;
    }

    void print_text(double seconds, const TapWindow &tap, double bit_rate) {
        std::string steps;
        for (const uint32_t periods : cadence())
            steps += (steps.empty() ? "" : " ") + std::to_string(periods);
        std::string pts = now_.breaks.empty() && now_.jumps.empty() ? "PTS continuous" : "";
        for (const ContainerReader::Loss &g : now_.breaks) {
            char text[96];
            std::snprintf(text, sizeof text, "%sPTS break at %.3f s (PTS %lld)",
                          pts.empty() ? "" : ", ", g.at, static_cast<long long>(g.due_pts));
            pts += text;
        }
        for (const double jump : now_.jumps) {
            char text[64];
            std::snprintf(text, sizeof text, "%sPTS discontinuity %+.3f s", pts.empty() ? "" : ", ", jump);
            pts += text;
        }
        std::string pair_list;
        for (const std::string &p : pairs()) pair_list += " " + p;
        std::string faults;
        for (int k = 0; k < kFaults; ++k)
            if (now_.faults[k]) faults += std::string(faults.empty() ? "" : " ") + kFaultNames[k];
        std::printf(
            "%s %.3f s: %llu frames, %llu sample periods, cadence %s, %s, %llu packets lost, "
            "%llu duplicated, %llu out of order, %llu PCR discontinuities, "
            "PCR interval max %s, PAT max %s, PMT max %s, %.3f Mbit/s, pairs%s, "
            "%llu frames rejected, faults %s\n",
            o_.input.c_str(), seconds, static_cast<unsigned long long>(now_.frames),
            static_cast<unsigned long long>(now_.periods), steps.empty() ? "none" : steps.c_str(),
            pts.c_str(), static_cast<unsigned long long>(tap.packets_lost),
            static_cast<unsigned long long>(tap.packets_duplicated),
            static_cast<unsigned long long>(tap.packets_out_of_order),
            static_cast<unsigned long long>(tap.pcr_discontinuities),
            ms(tap.pcr_interval_max, kTicksPerMs).c_str(), ms(tap.pat_interval_max, kTicksPerMs).c_str(),
            ms(tap.pmt_interval_max, kTicksPerMs).c_str(), bit_rate / 1e6,
            pair_list.empty() ? " none" : pair_list.c_str(),
            static_cast<unsigned long long>(now_.rejected),
            faults.empty() ? "none" : faults.c_str());
    }

    void print_json(double seconds, const TapWindow &tap, double bit_rate) {
        std::printf(
            "{\"input\":%s,\"seconds\":%.3f,\"frames\":%llu,\"sample_periods\":%llu,\"cadence\":",
            json_string(o_.input).c_str(), seconds, static_cast<unsigned long long>(now_.frames),
            static_cast<unsigned long long>(now_.periods));
        const std::vector<uint32_t> steps = cadence();
        if (steps.empty()) std::printf("null");
        for (size_t k = 0; k < steps.size(); ++k) std::printf("%s%u", k ? "," : "[", steps[k]);
        if (!steps.empty()) std::printf("]");
        std::printf(",\"pts_breaks\":[");
        for (size_t k = 0; k < now_.breaks.size(); ++k)
            std::printf("%s{\"at\":%.6f,\"pts\":%lld,\"sample_periods\":%lld,\"damaged\":%llu}",
                        k ? "," : "", now_.breaks[k].at, static_cast<long long>(now_.breaks[k].due_pts),
                        static_cast<long long>(now_.breaks[k].periods),
                        static_cast<unsigned long long>(now_.breaks[k].damaged));
        std::printf("],\"pts_discontinuities\":[");
        for (size_t k = 0; k < now_.jumps.size(); ++k) std::printf("%s%.6f", k ? "," : "", now_.jumps[k]);
        std::printf(
            "],\"sync_losses\":%llu,\"packets_lost\":%llu,\"packets_duplicated\":%llu,"
            "\"packets_out_of_order\":%llu,\"pcr_discontinuities\":%llu,\"pcr_interval_max_ms\":%s,"
            "\"pat_interval_max_ms\":%s,\"pmt_interval_max_ms\":%s,\"bit_rate\":%.0f,\"pairs\":[",
            static_cast<unsigned long long>(tap.sync_losses),
            static_cast<unsigned long long>(tap.packets_lost),
            static_cast<unsigned long long>(tap.packets_duplicated),
            static_cast<unsigned long long>(tap.packets_out_of_order),
            static_cast<unsigned long long>(tap.pcr_discontinuities),
            json_ms(tap.pcr_interval_max, kTicksPerMs).c_str(),
            json_ms(tap.pat_interval_max, kTicksPerMs).c_str(),
            json_ms(tap.pmt_interval_max, kTicksPerMs).c_str(), bit_rate);
        const std::vector<std::string> names = pairs();
        for (size_t k = 0; k < names.size(); ++k)
            std::printf("%s%s", k ? "," : "", json_string(names[k]).c_str());
        std::printf("],\"rejected\":%llu,\"faults\":[",
                    static_cast<unsigned long long>(now_.rejected));
        bool first = true;
        for (int k = 0; k < kFaults; ++k)
            if (now_.faults[k]) {
                std::printf("%s\"%s\"", first ? "" : ",", kFaultNames[k]);
                first = false;
            }
        std::printf("]}\n");
    }

public:
    // The whole run in one line (one JSON object with --json): what came,
    // the faults by kind, and the exit status that follows.
    void summary(double seconds, double received) {
        // What the packets held back until the end showed, when the last
        // line came before them.
        add_up(tap_.close_window());
        const Totals &t = totals_;
        std::string faults;
        for (int k = 0; k < kFaults; ++k)
            if (t.faults[k])
                faults += std::string(faults.empty() ? "" : o_.json ? "," : " ") +
                          (o_.json ? "\"" + std::string(kFaultNames[k]) + "\"" : kFaultNames[k]);
        const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
        if (o_.json) {
            std::printf(
                "{\"input\":%s,\"summary\":true,\"seconds\":%.3f,\"received_seconds\":%.3f,"
                "\"frames\":%llu,\"packets_lost\":%llu,\"packets_duplicated\":%llu,"
                "\"packets_out_of_order\":%llu,\"sync_losses\":%llu,\"pcr_discontinuities\":%llu,"
                "\"pts_discontinuities\":%llu,\"pts_breaks\":%llu,\"sample_periods_lost\":%lld,"
                "\"rejected\":%llu,\"pcr_interval_max_ms\":%s,\"pat_interval_max_ms\":%s,"
                "\"pmt_interval_max_ms\":%s,\"faults\":[%s],\"status\":%d}\n",
                json_string(o_.input).c_str(), seconds, received, u(t.frames), u(t.packets_lost),
                u(t.packets_duplicated), u(t.packets_out_of_order), u(t.sync_losses),
                u(t.pcr_discontinuities), u(t.pts_discontinuities), u(t.pts_breaks),
                static_cast<long long>(t.periods_lost), u(t.rejected),
                json_ms(t.pcr_interval_max, kTicksPerMs).c_str(),
                json_ms(t.pat_interval_max, kTicksPerMs).c_str(),
                json_ms(t.pmt_interval_max, kTicksPerMs).c_str(), faults.c_str(), faulted_ ? 1 : 0);
            return;
        }
        std::printf(
            "%s summary: %.3f s watched, stream received for %.3f s, %llu frames; %llu packets "
            "lost, %llu duplicated, %llu out of order, %llu sync losses; %llu PCR and %llu PTS "
            "discontinuities; %llu PTS breaks (%lld sample periods lost); %llu frames rejected; "
            "PCR interval max %s, PAT max %s, PMT max %s; faults %s; status %d\n",
            o_.input.c_str(), seconds, received, u(t.frames), u(t.packets_lost),
            u(t.packets_duplicated), u(t.packets_out_of_order), u(t.sync_losses),
            u(t.pcr_discontinuities), u(t.pts_discontinuities), u(t.pts_breaks),
            static_cast<long long>(t.periods_lost), u(t.rejected),
            ms(t.pcr_interval_max, kTicksPerMs).c_str(), ms(t.pat_interval_max, kTicksPerMs).c_str(),
            ms(t.pmt_interval_max, kTicksPerMs).c_str(), faults.empty() ? "none" : faults.c_str(),
            faulted_ ? 1 : 0);
    }

private:

    const InspectOptions &o_;
    int64_t start_;
    int64_t line_start_ = start_;
    TransportTap tap_;
    StreamInfo info_;
    Interval now_;
    Totals totals_;
    uint64_t lost_at_last_break_ = 0;
    uint64_t jumps_at_last_break_ = 0;
    bool faulted_ = false;
};

// One watch of a live stream: the bytes as they arrive, timed and handed to
// the tap; the demuxer and the stream reader behind it; a line per interval,
// drawn on time whether or not anything comes; the summary at the end.
class Watch {
public:
    Watch(const InspectOptions &o, int64_t start, bool &reported)
        : o_(o),
          reported_(reported),
          start_(start),
          every_(static_cast<int64_t>((o.every > 0 ? o.every : 1.0) * 1e9)),
          end_(o.duration > 0 ? start + static_cast<int64_t>(o.duration * 1e9) : 0),
          next_line_(start + every_),
          in_(o.input, [this] { return stopping(); }),
          monitor_(o, start) {}

    // Demultiplexes what arrives and checks every frame, until the stream
    // ends, --duration is up or a stop signal comes.
    void watch() {
        // After a break the stream reader starts again at the frame that
        // came, in the cadence step its time gives.
        std::unique_ptr<IncrementalReader> reader;
        ContainerReader::Live live;
        live.on_loss = [&](const ContainerReader::Loss &loss) {
            monitor_.lost(loss);
            reader.reset();
        };
        route_libav_messages(true);
        try {
            ContainerReader demuxer(
                Container::transport, [this](uint8_t *data, size_t size) { return read(data, size); },
                o_.input, o_.track ? o_.track : 1, &live);
            std::vector<uint8_t> unit;
            while (demuxer.next(unit)) {
                if (!reader) reader = start_reader(demuxer);
                if (!reader->feed(unit.data(), unit.size())) {
                    char at[48];
                    std::snprintf(at, sizeof at,
                                  "frame at PTS %lld: ", static_cast<long long>(demuxer.unit_pts()));
                    monitor_.rejected(at + reader->error());
                    reader.reset();
                }
            }
        } catch (const Failure &) {
            if (received_ == 0 && !in_.refused()) throw Failure(o_.input + ": no transport stream arrived");
            throw;
        }
    }

    // The interval cut short by the end, and the summary; a fault seen
    // fails the run.
    int finish() {
        const int64_t now = end_ > 0 ? std::min(monotonic_ns(), end_) : monotonic_ns();
        if (now > monitor_.line_start()) {
            monitor_.line(now);
            reported_ = true;
        }
        monitor_.summary(double(now - start_) / 1e9,
                         first_arrival_ < 0 ? 0.0 : double(last_arrival_ - first_arrival_) / 1e9);
        finish_stdout();
        if (monitor_.any_fault()) throw Failure(o_.input + ": faults were seen (see above)");
        return 0;
    }

private:
    bool stopping() const { return stop_requested() || (end_ > 0 && monotonic_ns() >= end_); }

    // The demuxer reads the packets in stream order, as the tap puts them
    // back together.
    size_t read(uint8_t *data, size_t size) {
        for (;;) {
            if (const size_t given = monitor_.tap().give(data, size)) return given;
            const int64_t now = monotonic_ns();
            if (now >= next_line_) {
                monitor_.line(next_line_);
                reported_ = true;
                next_line_ += every_;
            }
            if (flushed_) return 0;
            if (in_.ended() || stopping()) {
                monitor_.tap().flush();
                flushed_ = true;
                continue;
            }
            const size_t got = in_.read(arrived_.data(), arrived_.size(),
                                        end_ > 0 ? std::min(next_line_, end_) : next_line_);
            if (got == 0) continue;
            received_ += got;
            last_arrival_ = monotonic_ns();
            if (first_arrival_ < 0) first_arrival_ = last_arrival_;
            monitor_.tap().take(arrived_.data(), got, last_arrival_);
        }
    }

    // A stream reader for the frames from here on, at the cadence step of
    // the frame that came.
    std::unique_ptr<IncrementalReader> start_reader(const ContainerReader &demuxer) {
        auto reader = std::make_unique<IncrementalReader>(monitor_, true);
        const ContainerReader::FramePlan &plan = demuxer.frame_plan();
        reader->start_at_cadence_step(demuxer.unit_cadence_step());
        if (plan.sizes_from_headers) reader->take_frame_sizes_from_headers();
        if (!reader->begin(plan.params)) throw Failure(o_.input + ": " + reader->error());
        return reader;
    }

    const InspectOptions &o_;
    bool &reported_;  // a line is out, which the faults are counted in
    const int64_t start_;
    const int64_t every_;  // nanoseconds between lines
    const int64_t end_;    // when --duration is up; 0: never
    int64_t next_line_;
    LiveInput in_;
    Monitor monitor_;
    uint64_t received_ = 0;
    int64_t first_arrival_ = -1, last_arrival_ = -1;
    std::vector<uint8_t> arrived_ = std::vector<uint8_t>(kReadBytes);
    bool flushed_ = false;
};

}  // namespace

int run_monitor(const InspectOptions &o, bool &reported) {
    if (o.frames)
        throw Failure(o.input +
                      ": --frames lists a file's frames; a live stream is watched by "
                      "the interval (--every)");
    end_stream_on_stop_signals();
    Watch watch(o, monotonic_ns(), reported);
    watch.watch();
    return watch.finish();
}

}  // namespace pcmtool
