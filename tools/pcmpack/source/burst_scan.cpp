// SPDX-License-Identifier: BSD-2-Clause
#include "source/burst_scan.h"

#include "common.h"

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

// One second at 48 kHz: several bursts of every data type that has a period
// as long as a video frame or an AC-3 frame.

// The source's first samples again, then the rest of it.
class PeekedSource : public AudioSource {
public:
    PeekedSource(std::unique_ptr<AudioSource> inner, std::vector<int32_t> held)
        : inner_(std::move(inner)), held_(std::move(held)) {
        rate_ = inner_->rate();
        channels_ = inner_->channels();
        bits_ = inner_->bits();
        precision_ = inner_->precision();
        format_ = inner_->format();
        periods_ = inner_->periods();
    }

    size_t read(int32_t *out, size_t max_periods) override {
        if (given_ == held_.size()) return inner_->read(out, max_periods);
        const size_t n = take(max_periods);
        std::memcpy(out, held_.data() + given_, n * sizeof(int32_t));
        given_ += n;
        return n / size_t(channels_);
    }

    Words stored_words() const override { return inner_->stored_words(); }

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

    std::vector<int> channel_map() const override { return inner_->channel_map(); }
    const InputFile &file() const override { return inner_->file(); }

private:
    size_t take(size_t max_periods) const {
        return std::min(held_.size() - given_, max_periods * size_t(channels_));
    }

    std::unique_ptr<AudioSource> inner_;
    std::vector<int32_t> held_;
    size_t given_ = 0;
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

std::string describe_bursts(const PairBursts &pair) {
    const char *name = data_type_name(pair.data_type);
    const std::string mode = std::to_string(pair.mode) + "-bit mode";
    const std::string type = "data type " + std::to_string(pair.data_type);
    return name ? std::string(name) + " (" + type + ", " + mode + ")" : type + " (" + mode + ")";
}

BurstScanner::BurstScanner(int channels, int extract, PayloadSink payload)
    : channels_(channels), extract_(extract), sink_(std::move(payload)),
      follow_(size_t(channels / 2)), found_(size_t(channels / 2)) {}

void BurstScanner::scan(const int32_t *samples, size_t periods) {
    const size_t pairs = follow_.size();
    for (size_t p = 0; p < periods; ++p, ++period_) {
        const int32_t *at = samples + p * size_t(channels_);
        // Left subframe before right: a burst's words alternate between them.
        for (size_t pair = 0; pair < pairs; ++pair) {
            word(int(pair), static_cast<uint32_t>(at[2 * pair]), period_);
            word(int(pair), static_cast<uint32_t>(at[2 * pair + 1]), period_);
        }
    }
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
            end_burst(pair, false);
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
        // Data type 0 is the null burst, which carries nothing.
        if (f.bits == 0 && data_type != 0) ++found.bad_pd;
        f.payload_left = (f.bits + uint64_t(f.mode) - 1) / uint64_t(f.mode);
        f.payload.clear();
        f.bit_fill = 8;
        if (f.payload_left == 0) end_burst(pair, true);
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
    if (--f.payload_left == 0) end_burst(pair, true);
}

void BurstScanner::end_burst(int pair, bool complete) {
    Follow &f = follow_[size_t(pair)];
    if (complete && pair == extract_ && sink_) {
        f.payload.resize(size_t((f.bits + 7) / 8));
        sink_(f.payload.data(), f.payload.size());
    }
    f.mode = 0;
    f.preamble_left = 0;
    f.payload_left = 0;
}

void BurstScanner::finish() {
    for (size_t pair = 0; pair < follow_.size(); ++pair) {
        Follow &f = follow_[pair];
        if (f.mode && f.preamble_left == 0) ++found_[pair].bad_pd;
        if (f.mode) end_burst(int(pair), false);
    }
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

}  // namespace pcmtool
