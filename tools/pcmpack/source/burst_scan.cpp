// SPDX-License-Identifier: BSD-2-Clause
#include "source/burst_scan.h"

#include "vector_level.h"

#include <algorithm>
#include <cstring>

namespace pcmtool {

namespace {

// The sync words Pa Pb of each burst mode, left-justified in the word.
struct Preamble {
    int mode;
    uint32_t pa, pb;
};
constexpr Preamble kPreambles[] = {
    {24, 0x96F872, 0xA54E1F},
    {20, 0x6F872, 0x54E1F},
    {16, 0xF872, 0x4E1F},
};

// The burst mode whose Pa Pb the two words are, or 0.
int preamble_mode(uint32_t first, uint32_t second) {
    for (const Preamble &p : kPreambles)
        if (first >> (32 - p.mode) == p.pa && second >> (32 - p.mode) == p.pb) return p.mode;
    return 0;
}

struct DataTypeName {
    uint32_t data_type;
    const char *name;
};
constexpr DataTypeName kDataTypes[] = {
    {1, "AC-3"},
    {16, "E-AC-3"},
    {28, "Dolby E"},
};

// A source that hands on another's samples, described as the other
// describes them.
class RelaySource : public AudioSource {
public:
    explicit RelaySource(std::unique_ptr<AudioSource> inner) : inner_(std::move(inner)) {
        rate_ = inner_->rate();
        channels_ = inner_->channels();
        bits_ = inner_->bits();
        precision_ = inner_->precision();
        format_ = inner_->format();
        periods_ = inner_->periods();
    }
    Words stored_words() const override { return inner_->stored_words(); }
    std::vector<int> channel_map() const override { return inner_->channel_map(); }
    const InputFile &file() const override { return inner_->file(); }

protected:
    std::unique_ptr<AudioSource> inner_;
};

// The source's first samples again, then the rest of it.
class PeekedSource : public RelaySource {
public:
    PeekedSource(std::unique_ptr<AudioSource> inner, std::vector<int32_t> held)
        : RelaySource(std::move(inner)), held_(std::move(held)) {}

    size_t read(int32_t *out, size_t max_periods) override {
        if (given_ == held_.size()) return inner_->read(out, max_periods);
        const size_t n = take(max_periods);
        std::memcpy(out, held_.data() + given_, n * sizeof(int32_t));
        given_ += n;
        return n / size_t(channels_);
    }

    // The held samples back into the words the source stores: exact, since
    // only 16- and 24-bit integer samples are stored as words.
    size_t read_stored(uint8_t *out, size_t max_periods) override {
        if (given_ == held_.size()) return inner_->read_stored(out, max_periods);
        const size_t n = take(max_periods);
        const size_t width = size_t(inner_->bits() / 8);
        const bool big = inner_->stored_words() == Words::big_endian;
        for (size_t i = 0; i < n; ++i, out += width) {
            const uint32_t v = static_cast<uint32_t>(held_[given_ + i]);
            for (size_t b = 0; b < width; ++b) {
                const uint8_t byte = static_cast<uint8_t>(v >> (24 - 8 * b));
                out[big ? b : width - 1 - b] = byte;
            }
        }
        given_ += n;
        return n / size_t(channels_);
    }

private:
    size_t take(size_t max_periods) const {
        return std::min(held_.size() - given_, max_periods * size_t(channels_));
    }

    std::vector<int32_t> held_;
    size_t given_ = 0;
};

// The source's samples, scanned as they pass.
class WatchedSource : public RelaySource {
public:
    WatchedSource(std::unique_ptr<AudioSource> inner, std::vector<bool> watched, BurstAlarm seen)
        : RelaySource(std::move(inner)), scanner_(channels_), watched_(std::move(watched)),
          seen_(std::move(seen)) {}

    size_t read(int32_t *out, size_t max_periods) override {
        const size_t got = inner_->read(out, max_periods);
        look(out, got);
        return got;
    }

    // The stored words are read as they are; a copy of them, left-justified,
    // is scanned.
    size_t read_stored(uint8_t *out, size_t max_periods) override {
        const size_t got = inner_->read_stored(out, max_periods);
        const size_t count = got * size_t(channels_);
        words_.resize(count);
        const bool big = inner_->stored_words() == Words::big_endian;
        if (inner_->bits() == 16)
            big ? widen<2, true>(out, count) : widen<2, false>(out, count);
        else
            big ? widen<3, true>(out, count) : widen<3, false>(out, count);
        look(words_.data(), got);
        return got;
    }

private:
    // Stored words of `width` bytes, left-justified into words_; one loop
    // per layout, so that the compiler sees the byte order.
    template <size_t width, bool big>
    void widen(const uint8_t *in, size_t count) {
        int32_t *to = words_.data();
        for (size_t i = 0; i < count; ++i, in += width) {
            uint32_t v = 0;
            for (size_t b = 0; b < width; ++b) v |= uint32_t(in[big ? b : width - 1 - b]) << (24 - 8 * b);
            to[i] = static_cast<int32_t>(v);
        }
    }

    void look(const int32_t *samples, size_t periods) {
        if (periods)
            scanner_.scan(samples, periods);
        else
            scanner_.finish();
        const std::vector<PairBursts> &pairs = scanner_.pairs();
        for (size_t pair = 0; pair < pairs.size() && pair < watched_.size(); ++pair)
            if (watched_[pair] && pairs[pair].first_data()) {
                // Once a pair: the run may go on when its bursts pass untouched.
                watched_[pair] = false;
                seen_(pair, pairs[pair], rate_);
            }
    }

    BurstScanner scanner_;
    std::vector<bool> watched_;
    BurstAlarm seen_;
    std::vector<int32_t> words_;
};

}  // namespace

uint64_t PairBursts::bit_rate(int sample_rate) const {
    if (bursts < 2 || last_burst == first_burst) return 0;
    return (payload_bits - last_bits) * uint64_t(sample_rate) / (last_burst - first_burst);
}

const char *data_type_name(uint32_t data_type) {
    for (const DataTypeName &t : kDataTypes)
        if (t.data_type == data_type) return t.name;
    return nullptr;
}

std::string describe_bursts(const PairBursts &pair) { return describe_bursts(pair.data_type, pair.mode); }

std::string describe_bursts(uint32_t data_type, int bits) {
    const char *name = data_type_name(data_type);
    const std::string mode = std::to_string(bits) + "-bit mode";
    const std::string type = "data type " + std::to_string(data_type);
    return name ? std::string(name) + " (" + type + ", " + mode + ")" : type + " (" + mode + ")";
}

BurstScanner::BurstScanner(int channels, int extract, PayloadSink payload)
    : channels_(channels), extract_(extract), sink_(std::move(payload)),
      next_candidate_(candidate_loop()), follow_(size_t(channels / 2)), stretch_(size_t(channels / 2)),
      found_(size_t(channels / 2)) {}

namespace {

// Whether a word can be a Pb of some mode: the second word of a preamble is
// the one tested, so that the test is one look at the word itself. Its top
// 16 bits are the first 16 of Pb in each mode.
inline bool may_be_pb(uint32_t value) {
    const uint32_t top = value >> 16;
    return (top == 0xA54E) | (top == 0x54E1) | (top == 0x4E1F);
}

// The first word from `w` on of the pair whose left words are at `at`,
// `stride` apart, that may be a Pb; `words` when none is. Whole sample
// periods are tested at once, both subframes together.
size_t next_pb(const int32_t *at, size_t stride, size_t w, size_t words) {
    if (w % 2) {
        if (may_be_pb(static_cast<uint32_t>(at[w / 2 * stride + 1]))) return w;
        ++w;
    }
    for (size_t period = w / 2; period < words / 2; ++period) {
        const int32_t *q = at + period * stride;
        const bool left = may_be_pb(static_cast<uint32_t>(q[0]));
        if (left | may_be_pb(static_cast<uint32_t>(q[1]))) return 2 * period + (left ? 0 : 1);
    }
    return words;
}

// The first sample from `from` on, of any channel, that may be a Pb;
// `count` when none is. Runs of words are tested with no branch inside, so
// that the compiler can test several at once: audio seldom holds one, and
// the loop runs on every sample.
size_t next_candidate_portable(const int32_t *samples, size_t from, size_t count) {
    constexpr size_t kRun = 16;
    size_t i = from;
    for (; i + kRun <= count; i += kRun) {
        // Whole words, not bools: the compiler then tests the run as vectors.
        uint32_t hits = 0;
        for (size_t j = 0; j < kRun; ++j) {
            const uint32_t top = static_cast<uint32_t>(samples[i + j]) >> 16;
            hits |= uint32_t(top == 0xA54E) | uint32_t(top == 0x54E1) | uint32_t(top == 0x4E1F);
        }
        if (hits) break;
    }
    while (i < count && !may_be_pb(static_cast<uint32_t>(samples[i]))) ++i;
    return i;
}

#if TOOL_X86_VECTORS
// 32 words a step: the top halves of four registers of eight compared with
// the three Pb openings, one test of them all; the step that holds a
// candidate, and the end, are left to the portable loop.
TOOL_TARGET_AVX2 size_t next_candidate_avx2(const int32_t *samples, size_t from, size_t count) {
    const __m256i top = _mm256_set1_epi32(int32_t(0xFFFF0000u));
    const __m256i pb24 = _mm256_set1_epi32(int32_t(0xA54E0000u));
    const __m256i pb20 = _mm256_set1_epi32(0x54E10000);
    const __m256i pb16 = _mm256_set1_epi32(0x4E1F0000);
    size_t i = from;
    for (; i + 32 <= count; i += 32) {
        __m256i hits = _mm256_setzero_si256();
        for (size_t j = 0; j < 32; j += 8) {
            const __m256i t = _mm256_and_si256(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples + i + j)), top);
            hits = _mm256_or_si256(hits, _mm256_or_si256(_mm256_cmpeq_epi32(t, pb24),
                                                         _mm256_or_si256(_mm256_cmpeq_epi32(t, pb20),
                                                                         _mm256_cmpeq_epi32(t, pb16))));
        }
        if (!_mm256_testz_si256(hits, hits)) break;
    }
    // The compiler leaves the upper halves dirty before a tail call; the
    // plain SSE arithmetic of the conversion that runs next would pay for it
    // on every instruction.
    _mm256_zeroupper();
    return next_candidate_portable(samples, i, count);
}
#endif

}  // namespace

BurstScanner::CandidateLoop BurstScanner::candidate_loop() {
#if TOOL_X86_VECTORS
    if (pcmpack_reader::vector_level() == pcmpack_reader::VectorLevel::avx2) return next_candidate_avx2;
#endif
    return next_candidate_portable;
}

void BurstScanner::scan(const int32_t *samples, size_t periods) {
    const size_t stride = size_t(channels_);
    const auto idle = [this] {
        for (const Follow &f : follow_)
            if (f.mode) return false;
        return true;
    };
    // While no pair is inside a burst, only the periods that hold a word
    // that may close a preamble go to the parser, with the words before.
    size_t done = 0;
    while (done < periods && !follow_.empty() && idle()) {
        const size_t next = next_candidate_(samples, done * stride, periods * stride) / stride;
        if (next > done)
            for (size_t pair = 0; pair < follow_.size(); ++pair) {
                Follow &f = follow_[pair];
                f.previous = static_cast<uint32_t>(samples[(next - 1) * stride + 2 * pair + 1]);
                f.previous_period = period_ + next - 1;
                f.has_previous = true;
            }
        if (next >= periods) {
            done = periods;
            break;
        }
        for (size_t pair = 0; pair < follow_.size(); ++pair) {
            word(int(pair), static_cast<uint32_t>(samples[next * stride + 2 * pair]), period_ + next);
            word(int(pair), static_cast<uint32_t>(samples[next * stride + 2 * pair + 1]), period_ + next);
        }
        done = next + 1;
    }
    // A burst is open: each pair on its own, the parser taking every word of
    // a burst and the skip the words between.
    const size_t words = 2 * periods;
    for (size_t pair = 0; pair < follow_.size() && done < periods; ++pair) {
        Follow &f = follow_[pair];
        const int32_t *at = samples + 2 * pair;
        // Word w of the pair: left subframe before right, as bursts are laid.
        const auto value = [at, stride](size_t w) { return static_cast<uint32_t>(at[w / 2 * stride + w % 2]); };
        size_t w = 2 * done;
        while (w < words) {
            if (!f.mode) {
                const size_t k = next_pb(at, stride, w, words);
                if (k > w) {
                    f.previous = value(k - 1);
                    f.previous_period = period_ + (k - 1) / 2;
                    f.has_previous = true;
                }
                if (k == words) break;
                w = k;
            }
            word(int(pair), value(w), period_ + w / 2);
            ++w;
        }
    }
    period_ += periods;
}

void BurstScanner::word(int pair, uint32_t value, uint64_t period) {
    Follow &f = follow_[size_t(pair)];
    PairBursts &found = found_[size_t(pair)];
    const int mode = f.has_previous ? preamble_mode(f.previous, value) : 0;
    if (mode) {
        // A preamble inside the previous burst: that burst ran past its
        // period, or its Pd claims more than it holds.
        if (f.mode) {
            ++found.past_period;
            end_burst(pair, false, f.previous_period);
        }
        f.mode = mode;
        f.preamble_left = 2;
        f.pa_period = f.previous_period;
        f.has_previous = false;
        return;
    }
    f.previous = value;
    f.previous_period = period;
    f.has_previous = true;
    if (!f.mode) return;
    if (f.preamble_left == 2) {
        // Pc keeps its 16 bits at the top of the word in every mode.
        f.pc = value >> 16;
        f.preamble_left = 1;
        return;
    }
    if (f.preamble_left == 1) {
        f.preamble_left = 0;
        f.bits = value >> (32 - f.mode);
        const uint32_t data_type = f.pc & 0x1F;
        if (found.bursts == 0) {
            found.mode = f.mode;
            found.data_type = data_type;
            found.data_stream = f.pc >> 13 & 7;
            found.first_burst = f.pa_period;
        }
        ++found.bursts;
        found.payload_bits += f.bits;
        found.last_burst = f.pa_period;
        found.last_bits = f.bits;
        if (f.pc & 0x80) ++found.error_flag;
        burst_begins(pair, f.pa_period, data_type, f.mode);
        // Data type 0 is the null burst, which carries nothing.
        if (f.bits == 0 && data_type != 0) ++found.bad_pd;
        f.payload_left = (f.bits + uint64_t(f.mode) - 1) / uint64_t(f.mode);
        f.payload.clear();
        f.bit_fill = 8;
        if (f.payload_left == 0) end_burst(pair, true, period + 1);
        return;
    }
    if (pair == extract_) {
        const uint32_t bits = value >> (32 - f.mode);
        for (int b = f.mode - 1; b >= 0; --b) {
            if (f.bit_fill == 8) {
                f.payload.push_back(0);
                f.bit_fill = 0;
            }
            f.payload.back() = static_cast<uint8_t>(f.payload.back() | (bits >> b & 1) << (7 - f.bit_fill));
            ++f.bit_fill;
        }
    }
    if (--f.payload_left == 0) end_burst(pair, true, period + 1);
}

void BurstScanner::end_burst(int pair, bool complete, uint64_t end) {
    Follow &f = follow_[size_t(pair)];
    if (complete && pair == extract_ && sink_) {
        f.payload.resize(size_t((f.bits + 7) / 8));
        sink_(f.payload.data(), f.payload.size());
    }
    f.mode = 0;
    f.preamble_left = 0;
    f.payload_left = 0;
    Stretch &s = stretch_[size_t(pair)];
    if (s.in_data) s.last_end = end;
}

void BurstScanner::change(PairBursts &found, const Segment &segment) {
    std::vector<Segment> &kept = found.segments;
    if (found.more_changes || kept.size() > kChangesKept) {
        ++found.more_changes;
        return;
    }
    // A stretch that has not lasted a period gives way to the next.
    if (kept.back().start == segment.start) kept.pop_back();
    // A data stream lays its first burst at some phase of its period: the
    // samples before it, when no more than a gap, are the stream's own.
    if (kept.size() == 1 && !kept[0].data && segment.data && segment.start <= kDataGapPeriods) kept.pop_back();
    const bool same = !kept.empty() && kept.back().data == segment.data &&
                      kept.back().data_type == segment.data_type && kept.back().mode == segment.mode;
    if (!same) kept.push_back(segment);
    if (kept.size() == 1) kept[0].start = 0;
}

void BurstScanner::burst_begins(int pair, uint64_t pa, uint32_t data_type, int mode) {
    Stretch &s = stretch_[size_t(pair)];
    PairBursts &found = found_[size_t(pair)];
    const Segment burst{pa, true, data_type, mode};
    if (s.in_data && pa - s.last_pa <= kDataGapPeriods) {
        // Null bursts (data type 0) fill a data stream's gaps; another data
        // type, or another mode, is a new stretch.
        if (data_type != 0 && (data_type != s.current.data_type || mode != s.current.mode)) {
            s.current = burst;
            change(found, burst);
        }
        s.last_pa = pa;
        return;
    }
    if (s.in_data) {
        // The bursts stopped: PCM from the end of the last one.
        change(found, Segment{s.last_end, false, 0, 0});
        s.in_data = false;
    }
    if (s.lone && pa - s.current.start <= kDataGapPeriods) {
        change(found, s.current);
        s.in_data = true;
        s.lone = false;
        s.last_pa = pa;
        return;
    }
    s.lone = true;
    s.current = burst;
}

void BurstScanner::finish() {
    if (finished_) return;
    finished_ = true;
    for (size_t pair = 0; pair < follow_.size(); ++pair) {
        Follow &f = follow_[pair];
        if (f.mode && f.preamble_left == 0) ++found_[pair].bad_pd;
        if (f.mode) end_burst(int(pair), false, period_);
        Stretch &s = stretch_[pair];
        PairBursts &found = found_[pair];
        // The samples end: a data stretch lasts to the end when its bursts
        // would have gone on, and a lone burst near the end is the data of a
        // short piece.
        if (s.in_data && period_ - s.last_pa > kDataGapPeriods) change(found, Segment{s.last_end, false, 0, 0});
        if (s.lone && period_ - s.current.start <= kDataGapPeriods) change(found, s.current);
        s = Stretch{};
    }
}

const Segment *PairBursts::first_data() const {
    for (const Segment &segment : segments)
        if (segment.data) return &segment;
    return nullptr;
}

std::unique_ptr<AudioSource> peek_bursts(std::unique_ptr<AudioSource> source,
                                         std::vector<PairBursts> &pairs) {
    pairs.clear();
    if (source->precision() == 0) return source;
    const size_t channels = size_t(source->channels());
    std::vector<int32_t> held(kBurstPeekPeriods * channels);
    size_t periods = 0;
    while (periods < kBurstPeekPeriods) {
        const size_t got = source->read(held.data() + periods * channels, kBurstPeekPeriods - periods);
        if (got == 0) break;
        periods += got;
    }
    held.resize(periods * channels);
    BurstScanner scanner(source->channels());
    scanner.scan(held.data(), periods);
    pairs = scanner.pairs();
    return std::make_unique<PeekedSource>(std::move(source), std::move(held));
}

std::unique_ptr<AudioSource> watch_bursts(std::unique_ptr<AudioSource> source,
                                          std::vector<bool> watched, BurstAlarm seen) {
    if (source->precision() == 0 || std::none_of(watched.begin(), watched.end(), [](bool w) { return w; }))
        return source;
    return std::make_unique<WatchedSource>(std::move(source), std::move(watched), std::move(seen));
}

}  // namespace pcmtool
