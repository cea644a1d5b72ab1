// SPDX-License-Identifier: BSD-2-Clause
// SMPTE ST 337 data bursts found in the channel pairs of PCM samples: where
// encode learns that a source is pre-wrapped (and must be carried word for
// word), and where inspect and unpack learn what a stream's pairs hold.
#pragma once

#include "source/audio_source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

// The samples encode reads while it plans, before it chooses its defaults
// (no dither, D-10's 20-bit words) for a pair that holds data: one second at
// 48 kHz, several bursts of any data type. Bursts that start later are
// found as the samples stream (watch_bursts).
constexpr size_t kBurstPeekPeriods = 48000;

// A pair is data while its bursts follow one another at most this many
// sample periods apart, Pa to Pa, and PCM otherwise. Every data type named
// here repeats well within it: AC-3 every 1536 periods, Dolby E every video
// frame (at most 2002), E-AC-3 every 1536 as encode lays it and at most 6144
// as others do; twice the longest leaves room for a burst lost or damaged in
// between. A lone Pa Pb with no burst near it is taken for a chance pattern
// of the audio, not for data.
constexpr uint64_t kDataGapPeriods = 2 * 6144;
// The changes between PCM and data kept for each pair; the rest are counted.
constexpr size_t kChangesKept = 32;

// A stretch of one pair's samples: PCM, or data bursts of one data type.
struct Segment {
    uint64_t start = 0;  // sample period
    bool data = false;
    uint32_t data_type = 0;  // of its first burst
    int mode = 0;            // 16, 20 or 24 for data
};

// What one channel pair holds, gathered burst by burst.
struct PairBursts {
    int mode = 0;            // 16, 20 or 24 (the first burst's); 0: no burst, PCM
    uint32_t data_type = 0;  // Pc bits 0-4 of the first burst
    uint32_t data_stream = 0;  // Pc bits 13-15 of the first burst
    uint64_t bursts = 0;
    uint64_t payload_bits = 0;   // all bursts' Pd
    uint64_t first_burst = 0;    // sample period of the first Pa
    uint64_t last_burst = 0;     // sample period of the last Pa
    uint64_t last_bits = 0;      // Pd of the last burst
    uint64_t bad_pd = 0;         // Pd of zero, or a payload cut by the end
    uint64_t past_period = 0;    // a burst cut by the next one's preamble
    uint64_t error_flag = 0;     // bursts with Pc bit 7 set

    // PCM from period 0, then each change; at most kChangesKept + 1.
    std::vector<Segment> segments{Segment{}};
    uint64_t more_changes = 0;  // changes past the ones kept

    // Some burst was seen, even a lone one.
    bool data() const { return mode != 0; }
    // The first stretch of data bursts, or nullptr when the pair is PCM.
    const Segment *first_data() const;
    bool all_data() const { return segments.size() == 1 && segments[0].data && more_changes == 0; }
    uint64_t errors() const { return bad_pd + past_period + error_flag; }
    // Payload bits a second: the bursts before the last over the periods
    // they span; one burst alone gives 0.
    uint64_t bit_rate(int sample_rate) const;
};

// "AC-3", "E-AC-3", "Dolby E", or nullptr for a data type without a name here.
const char *data_type_name(uint32_t data_type);
// "Dolby E (data type 28, 20-bit mode)" or "data type 7 (16-bit mode)".
std::string describe_bursts(const PairBursts &pair);
std::string describe_bursts(uint32_t data_type, int mode);

// Walks interleaved samples, left-justified in 32 bits, and follows the
// bursts of every pair. The payloads of one pair (`extract`, 0-based; -1:
// none) go to `payload` whole, one call a burst.
class BurstScanner {
public:
    using PayloadSink = std::function<void(const uint8_t *data, size_t size)>;
    explicit BurstScanner(int channels, int extract = -1, PayloadSink payload = nullptr);
    void scan(const int32_t *samples, size_t periods);
    // The end of the samples: a burst whose payload is still open is cut,
    // and the last stretch of data ends. Once; later calls do nothing.
    void finish();
    const std::vector<PairBursts> &pairs() const { return found_; }

private:
    struct Follow {
        uint32_t previous = 0;
        uint64_t previous_period = 0;
        bool has_previous = false;
        uint64_t pa_period = 0;  // of the burst being read
        uint32_t pc = 0;
        int mode = 0;          // of the burst being read
        int preamble_left = 0; // Pc and Pd still to come
        uint64_t payload_left = 0;  // words
        uint64_t bits = 0;     // Pd of the burst being read
        std::vector<uint8_t> payload;
        int bit_fill = 0;      // bits used in payload.back()
    };
    // Where the pair's data stretches stand, between bursts.
    struct Stretch {
        bool in_data = false;
        uint64_t last_pa = 0;   // of the last burst of the data stretch
        uint64_t last_end = 0;  // the period after that burst's last word
        bool lone = false;      // a burst seen outside data, not yet followed
        Segment current;        // the lone burst, or the data stretch's first
    };
    void word(int pair, uint32_t value, uint64_t period);
    void end_burst(int pair, bool complete, uint64_t end);
    void burst_begins(int pair, uint64_t pa, uint32_t data_type, int mode);
    void change(PairBursts &found, const Segment &segment);
    // The loop that finds the next word that may be a Pb, chosen once for
    // this processor (portable, or AVX2).
    using CandidateLoop = size_t (*)(const int32_t *samples, size_t from, size_t count);
    static CandidateLoop candidate_loop();

    int channels_;
    int extract_;
    PayloadSink sink_;
    CandidateLoop next_candidate_;
    uint64_t period_ = 0;
    std::vector<Follow> follow_;
    std::vector<Stretch> stretch_;
    std::vector<PairBursts> found_;
    bool finished_ = false;
};

// Reads the first second or so of `source` and scans it, then hands back a
// source that gives those samples again followed by the rest: files and pipes
// alike are read once, forwards. Floating-point sources are not scanned (a
// burst is integer words) and come back as they are.
std::unique_ptr<AudioSource> peek_bursts(std::unique_ptr<AudioSource> source,
                                         std::vector<PairBursts> &pairs);

// Hands on `source`'s samples as they are and scans every one on the way, so
// that data bursts are found wherever they start, in constant memory. Once a
// pair marked in `watched` (by source pair, 0-based) holds data, `seen` is
// called with it and the source's rate; it is expected to throw, since the
// samples after it are about to be changed. Floating-point sources are not
// scanned and come back as they are.
using BurstAlarm = std::function<void(size_t pair, const PairBursts &found, int rate)>;
std::unique_ptr<AudioSource> watch_bursts(std::unique_ptr<AudioSource> source,
                                          std::vector<bool> watched, BurstAlarm seen);

}  // namespace pcmtool
