// SPDX-License-Identifier: BSD-2-Clause
#include "source/conversion.h"

#include "common.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace pcmtool {

namespace {

// libsoxr's recipes by name. "very-high" keeps spurious components of the
// conversion below 24-bit audio's own noise; the faster ones suit drafts.
constexpr ResampleQuality kQualities[] = {
    {"quick", SOXR_QQ, "cubic interpolation"},
    {"low", SOXR_LQ, "16-bit, wide roll-off"},
    {"medium", SOXR_MQ, "16-bit, medium roll-off"},
    {"high", SOXR_HQ, "20-bit"},
    {"very-high", SOXR_VHQ, "28-bit"},
};

const ResampleQuality &quality_of(const ConversionRequest &request) {
    return request.quality ? *request.quality : kQualities[std::size(kQualities) - 1];
}

// Periods read from the source per step; the stage holds a few such pieces.
constexpr size_t kPiece = 8192;

// How a sample becomes a word of the output's length.
enum class Quantizer {
    round,     // floating-point or converted audio, or no reduction needed
    truncate,  // integer words shortened without dither, as a plain cut
    tpdf,      // integer words shortened with triangular dither
};

Quantizer quantizer_of(const AudioSource &source, const ConversionRequest &request) {
    const bool shortened = source.precision() > request.bits;
    if (!shortened) return Quantizer::round;
    if (request.dither == Dither::tpdf) return Quantizer::tpdf;
    return request.rate == source.rate() && !request.downmix ? Quantizer::truncate : Quantizer::round;
}

// Turns full-scale fractions into words of `bits` bits, held left-justified
// in 32 bits, and counts the samples it has to limit to full scale: those
// the source had beyond it, and those within it that the dither or the
// rounding carried past the shorter word's largest value.
class WordShortener {
public:
    WordShortener(int bits, Quantizer quantizer)
        : scale_(std::ldexp(1.0, bits - 1)), shift_(32 - bits), quantizer_(quantizer) {}

    void run(const double *in, size_t count, int32_t *out) {
        const double top = scale_ - 1.0, bottom = -scale_;
        for (size_t i = 0; i < count; ++i) {
            const double v = in[i] * scale_;
            // A NaN has no value to round; casting one is undefined.
            if (std::isnan(v)) {
                ++nans_;
                out[i] = 0;
                continue;
            }
            double q;
            if (quantizer_ == Quantizer::truncate) {
                q = std::floor(v);
            } else if (quantizer_ == Quantizer::tpdf && (dithering_ || v != std::floor(v))) {
                // Dither starts with the first sample the shorter word cannot
                // hold exactly: words whose low bits are zero (20-bit audio in
                // 24-bit words, leading digital silence) pass unchanged.
                dithering_ = true;
                q = std::floor(v + triangular() + 0.5);
            } else {
                q = std::floor(v + 0.5);
            }
            if (q > top || q < bottom) {
                ++(in[i] >= 1.0 || in[i] < -1.0 ? clipped_ : overshot_);
                q = q > top ? top : bottom;
            }
            out[i] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(q)) << shift_);
        }
    }

    uint64_t clipped() const { return clipped_; }
    uint64_t overshot() const { return overshot_; }
    uint64_t nans() const { return nans_; }

private:
    // The difference of two uniform values in [0, 1): triangular on (-1, 1),
    // one step of the output word wide on each side. One draw gives both.
    double triangular() {
        const uint64_t r = noise_();
        return (static_cast<double>(r >> 32) - static_cast<double>(r & 0xFFFFFFFFu)) * 0x1p-32;
    }

    double scale_;
    int shift_;
    Quantizer quantizer_;
    bool dithering_ = false;
    uint64_t clipped_ = 0;
    uint64_t overshot_ = 0;
    uint64_t nans_ = 0;
    // A fixed seed: the same input gives the same stream, run after run.
    std::mt19937_64 noise_{0x5eed};
};

struct SoxrDeleter {
    void operator()(soxr *resampler) const { soxr_delete(resampler); }
};

class Converter : public ConvertedSource {
public:
    const InputFile &file() const override { return source_->file(); }
    Converter(std::unique_ptr<AudioSource> source, const ConversionRequest &request)
        : source_(std::move(source)),
          quantizer_(quantizer_of(*source_, request)),
          shortener_(request.bits, quantizer_) {
        rate_ = request.rate;
        channels_ = request.downmix ? request.downmix->out_channels : source_->channels();
        bits_ = request.bits;
        precision_ = request.bits;
        format_ = source_->format();
        const size_t width = static_cast<size_t>(channels_);
        piece_.resize(kPiece * width);
        if (request.downmix) {
            mixer_ = std::make_unique<Mixer>(*request.downmix);
            unmixed_.resize(kPiece * static_cast<size_t>(source_->channels()));
        }
        if (request.rate != source_->rate()) {
            soxr_error_t error = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(quality_of(request).recipe, 0);
            resampler_.reset(soxr_create(source_->rate(), request.rate,
                                         static_cast<unsigned>(channels_), &error, &io, &quality,
                                         nullptr));
            if (!resampler_ || error)
                throw Failure(std::string("the sample-rate converter could not start: ") +
                              soxr_strerror(error));
            converted_.resize(kPiece * width);
        }
        if (source_->periods() >= 0) periods_ = exact_length(source_->periods());
    }

    size_t read(int32_t *out, size_t max_periods) override {
        const size_t width = static_cast<size_t>(channels_);
        size_t done = 0;
        while (done < max_periods) {
            if (head_ == ready_ && !refill()) break;
            const size_t take = std::min(max_periods - done, ready_ - head_);
            const double *from = (resampler_ ? converted_.data() : piece_.data()) + head_ * width;
            shortener_.run(from, take * width, out + done * width);
            head_ += take;
            done += take;
        }
        return done;
    }

    std::vector<std::string> notes() const override {
        std::vector<std::string> lines;
        const auto samples = [](uint64_t n) {
            return std::to_string(n) + (n == 1 ? " sample" : " samples");
        };
        if (const uint64_t n = shortener_.clipped())
            lines.push_back(samples(n) + (n == 1 ? " was" : " were") + " limited to full scale");
        if (const uint64_t n = shortener_.overshot())
            lines.push_back((quantizer_ == Quantizer::tpdf ? "dither" : "rounding") +
                            std::string(" reached past full scale on ") + samples(n) +
                            " (limited to full scale; the source did not clip)");
        if (const uint64_t n = shortener_.nans() + scrubbed_)
            lines.push_back(samples(n) + (n == 1 ? " was" : " were") +
                            " NaN (not a number), written as 0");
        return lines;
    }

private:
    // The output length the exact ratio gives for `periods` source periods.
    int64_t exact_length(int64_t periods) const {
        if (!resampler_) return periods;
        return static_cast<int64_t>(std::llround(static_cast<double>(periods) * rate_ /
                                                 source_->rate()));
    }

    // The next piece of the source into piece_, mixed down when asked;
    // returns its periods, 0 at the end.
    size_t read_piece() {
        if (!mixer_) return source_->read_double(piece_.data(), kPiece);
        const size_t periods = source_->read_double(unmixed_.data(), kPiece);
        // A NaN would spread to every channel it is mixed into.
        scrub(unmixed_.data(), periods * static_cast<size_t>(source_->channels()));
        mixer_->run(unmixed_.data(), periods, piece_.data());
        return periods;
    }

    // Fills the converted samples from the next piece of the source; false
    // at the end of the audio.
    bool refill() {
        head_ = ready_ = 0;
        if (!resampler_) {
            ready_ = read_piece();
            return ready_ > 0;
        }
        const size_t width = static_cast<size_t>(channels_);
        while (ready_ == 0 && !flushed_) {
            if (piece_used_ == piece_periods_ && !source_eof_) {
                piece_periods_ = read_piece();
                scrub(piece_.data(), piece_periods_ * width);
                piece_used_ = 0;
                source_eof_ = piece_periods_ == 0;
                consumed_ += static_cast<int64_t>(piece_periods_);
            }
            // At the end, a null input drains what the filter still holds.
            size_t used = 0;
            const soxr_error_t error = soxr_process(
                resampler_.get(), source_eof_ ? nullptr : piece_.data() + piece_used_ * width,
                piece_periods_ - piece_used_, &used, converted_.data(), converted_.size() / width,
                &ready_);
            if (error) throw Failure(std::string("sample-rate conversion failed: ") + error);
            piece_used_ += used;
            if (source_eof_ && ready_ == 0) flushed_ = true;
        }
        // The converted audio is as long as the exact ratio makes it; the
        // filter's ringing past the end is cut off.
        if (source_eof_) {
            const int64_t room = std::max<int64_t>(exact_length(consumed_) - delivered_, 0);
            if (room < static_cast<int64_t>(ready_)) ready_ = static_cast<size_t>(room);
        }
        delivered_ += static_cast<int64_t>(ready_);
        return ready_ > 0;
    }

    // A NaN in the filter would spread to every output sample it touches:
    // it goes in as silence.
    void scrub(double *samples, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (std::isnan(samples[i])) {
                samples[i] = 0.0;
                ++scrubbed_;
            }
    }

    std::unique_ptr<AudioSource> source_;
    Quantizer quantizer_;
    WordShortener shortener_;
    uint64_t scrubbed_ = 0;  // NaNs taken out before the resampler
    std::unique_ptr<soxr, SoxrDeleter> resampler_;
    std::unique_ptr<Mixer> mixer_;   // null: no downmix
    std::vector<double> unmixed_;    // source samples of one piece, before the downmix
    std::vector<double> piece_;      // source samples of one piece
    std::vector<double> converted_;  // resampled samples of one piece
    size_t piece_periods_ = 0, piece_used_ = 0;  // read into piece_, taken by the filter
    size_t head_ = 0, ready_ = 0;                 // periods handed out, periods at hand
    bool source_eof_ = false, flushed_ = false;
    int64_t consumed_ = 0;   // source periods read
    int64_t delivered_ = 0;  // converted periods produced
};

std::string word_text(const AudioSource &source) {
    return source.precision() ? std::to_string(source.precision()) + "-bit" : "floating-point";
}

}  // namespace

std::vector<std::string> resample_quality_names() {
    std::vector<std::string> names;
    for (const ResampleQuality &q : kQualities) names.emplace_back(q.name);
    return names;
}

std::string resample_quality_list() {
    std::string text;
    for (const ResampleQuality &q : kQualities)
        text += (text.empty() ? "" : ", ") + std::string(q.name) + " (" + q.what + ")";
    return text;
}

const ResampleQuality *find_resample_quality(const std::string &name) {
    for (const ResampleQuality &q : kQualities)
        if (name == q.name) return &q;
    return nullptr;
}

bool needs_conversion(const AudioSource &source, const ConversionRequest &request) {
    return request.downmix || request.rate != source.rate() || source.precision() == 0 ||
           source.precision() > request.bits;
}

std::string describe_conversion(const AudioSource &source, const ConversionRequest &request) {
    std::string text;
    if (request.downmix) text = "mixed down to " + request.downmix->to + "; ";
    if (request.rate != source.rate())
        text += std::to_string(source.rate()) + " Hz converted to " + std::to_string(request.rate) +
               " Hz (libsoxr, " + quality_of(request).name + " quality); ";
    text += word_text(source) + " samples to " + std::to_string(request.bits) + "-bit words ";
    switch (quantizer_of(source, request)) {
    case Quantizer::tpdf: text += "with TPDF dither"; break;
    case Quantizer::truncate: text += "by truncation (no dither)"; break;
    case Quantizer::round:
        text += source.precision() > request.bits || source.precision() == 0 ||
                        request.rate != source.rate() || request.downmix
                    ? "by rounding"
                    : "unchanged";
        break;
    }
    return text;
}

std::unique_ptr<ConvertedSource> convert(std::unique_ptr<AudioSource> source,
                                         const ConversionRequest &request) {
    return std::make_unique<Converter>(std::move(source), request);
}

}  // namespace pcmtool
