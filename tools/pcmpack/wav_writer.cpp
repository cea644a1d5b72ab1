#include "wav_writer.h"

#include "common.h"

namespace pcmtool {

sf_count_t WavWriter::get_filelen(void *user) {
    return static_cast<WavWriter *>(user)->out_.length();
}

sf_count_t WavWriter::seek(sf_count_t offset, int whence, void *user) {
    return static_cast<WavWriter *>(user)->out_.seek(offset, whence);
}

sf_count_t WavWriter::read(void *, sf_count_t, void *) { return 0; }

sf_count_t WavWriter::write_bytes(const void *ptr, sf_count_t count, void *user) {
    auto *self = static_cast<WavWriter *>(user);
    // No exception may cross libsndfile: a failed write is a short count.
    try {
        self->out_.write(ptr, static_cast<size_t>(count));
    } catch (const Failure &failure) {
        if (self->failure_.empty()) self->failure_ = failure.what();
        return 0;
    }
    return count;
}

sf_count_t WavWriter::tell(void *user) { return static_cast<WavWriter *>(user)->out_.tell(); }

WavWriter::WavWriter(OutputFile &out, int rate, int channels, int bits, int64_t most_bytes,
                     const std::vector<int> &positions)
    : out_(out) {
    if (!out_.seekable())
        throw Failure(out_.name() +
                      ": a WAV file's header is completed after its audio, so it cannot be "
                      "written to a pipe or socket; give a file name");
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    // The header's 32-bit sizes count the whole file; leave room for the header.
    const bool fits_wav = most_bytes >= 0 && most_bytes <= int64_t{0xFFFFFFFF} - 65536;
    const int wav = positions.empty() ? SF_FORMAT_WAV : SF_FORMAT_WAVEX;
    info.format = (fits_wav ? wav : SF_FORMAT_RF64) |
                  (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SF_VIRTUAL_IO io{get_filelen, seek, read, write_bytes, tell};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (!file_) {
        if (!failure_.empty()) throw Failure(failure_);
        throw Failure(out_.name() + ": cannot write WAV: " + sf_strerror(nullptr));
    }
    if (!fits_wav) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    std::vector<int> map = positions;
    if (!map.empty() && sf_command(file_, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                                   static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
        sf_close(file_);
        file_ = nullptr;
        throw Failure(out_.name() + ": cannot write the channel mask");
    }
}

WavWriter::~WavWriter() {
    if (file_) sf_close(file_);
}

void WavWriter::fail() {
    const std::string why = failure_.empty() ? out_.name() + ": write failed: " + sf_strerror(file_)
                                             : failure_;
    throw Failure(why);
}

void WavWriter::write(const int32_t *samples, size_t periods) {
    if (periods == 0) return;
    if (sf_writef_int(file_, samples, static_cast<sf_count_t>(periods)) !=
            static_cast<sf_count_t>(periods) ||
        !failure_.empty())
        fail();
}

void WavWriter::finish() {
    SNDFILE *file = file_;
    file_ = nullptr;
    if (sf_close(file) != 0 || !failure_.empty()) {
        throw Failure(failure_.empty() ? out_.name() + ": write failed" : failure_);
    }
}

}  // namespace pcmtool
