// SPDX-License-Identifier: BSD-2-Clause
// Programmes the container writer makes of a video clip from ffmpeg and the
// library's audio tracks, read back through libavformat and, for DVD,
// authored by dvdauthor: streams, PIDs, languages and service, the video's
// packets as the clip holds them, the audio on the video's first frame, and
// every DVD pack's LPCM header true per substream. In process, one table
// across containers, video codecs and track counts.
#include "common.h"
#include "containers/container.h"
#include "containers/video_input.h"
#include "outputs/sink.h"

#include <pcmpack.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using pcmtool::AudioTrackSpec;
using pcmtool::Container;
using pcmtool::ServiceSpec;

using Bytes = std::vector<uint8_t>;

// Runs a shell command; whether it exited 0, and its output.
bool run(const std::string &command, std::string *output = nullptr) {
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    std::string text;
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (output) *output = text;
    return pclose(pipe) == 0;
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct FileSink final : pcmtool::ByteSink {
    explicit FileSink(const std::string &path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {}
    ~FileSink() override { std::fclose(file_); }
    void write(const void *data, size_t size) override {
        if (std::fwrite(data, 1, size, file_) != size) throw pcmtool::Failure(path_ + ": write failed");
    }
    const std::string &name() const override { return path_; }
    std::string path_;
    FILE *file_;
};

// One audio track: its layer and shape, its language and PID, and the PID
// or stream id a reader must find it on.
struct TrackRow {
    int layer, channels, bits;
    const char *language;
    int pid;       // given; 0: the container's default
    int found_id;  // expected PID, or DVD substream id
};

struct ProgrammeRow {
    const char *name;
    const char *output;        // its extension chooses the container
    const char *clip;          // ffmpeg's arguments for a clip of about a second
    const char *clip_file;     // its container, by extension; a raw stream stamps nothing
    const char *codec_title;
    int rate_num, rate_den;    // the clip's frame rate
    int frame_rate_code;       // of 302M
    std::vector<TrackRow> tracks;
    ServiceSpec service;
    int video_id;              // expected PID or stream id of the video
    const char *dvd_format;    // dvdauthor's VIDEO_FORMAT; nullptr: not a DVD
    int64_t muxrate;           // bits/s of a constant rate; 0: as the frames come
};

const char *const kMpeg2Pal =
    "-f lavfi -i testsrc=size=720x576:rate=25 -t 1.2 -c:v mpeg2video -b:v 4M -maxrate 6M "
    "-bufsize 1835k -g 12 -bf 2 -pix_fmt yuv420p -aspect 4:3";
const char *const kMpeg2Ntsc =
    "-f lavfi -i testsrc=size=720x480:rate=30000/1001 -t 1.2 -c:v mpeg2video -b:v 4M -maxrate 6M "
    "-bufsize 1835k -g 15 -bf 2 -pix_fmt yuv420p -aspect 16:9";
const char *const kH264 =
    "-f lavfi -i testsrc2=size=320x240:rate=30000/1001 -t 1.2 -c:v libx264 -preset ultrafast -bf 2 "
    "-g 12 -pix_fmt yuv420p";
const char *const kHevc =
    "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1.2 -c:v libx265 -preset ultrafast "
    "-x265-params log-level=error:bframes=2 -pix_fmt yuv420p";
const char *const kH264Film =
    "-f lavfi -i testsrc2=size=320x240:rate=24000/1001 -t 1.2 -c:v libx264 -preset ultrafast "
    "-bf 3 -g 24 -pix_fmt yuv420p";

// x264 writes access unit delimiters, as the transport stream muxer would
// add them; without B-frames the decoding order is the display order.
const char *const kH264InOrder =
    "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1.2 -c:v libx264 -preset ultrafast -bf 0 "
    "-x264-params aud=1 -pix_fmt yuv420p";

const ProgrammeRow kProgrammes[] = {
    {"ts_mpeg2_one_302m_cbr", "out.ts", kMpeg2Pal, "ts", "MPEG-2 video", 25, 1, 3,
     {{10, 8, 24, "eng", 0, 0x101}}, {7, "News One", "pcmpack tests", 0, 0}, 0x100, nullptr, 21000000},
    {"ts_h264_two_302m_pids_offset", "out.ts", kH264, "ts", "H.264", 30000, 1001, 4,
     {{10, 2, 24, "eng", 0x200, 0x200}, {10, 4, 16, "spa", 0x201, 0x201}}, {300, "Sport", "", 0x1E1, 3003},
     0x1E1, nullptr, 0},
    // MP4 and Matroska store H.264 and HEVC with length fields, which the
    // transport stream muxer turns into start codes: the packets' count and
    // times are kept, not their bytes.
    {"ts_hevc_from_mp4_before_video", "out.ts", kHevc, "mp4", "HEVC", 25, 1, 3, {{10, 2, 20, "", 0, 0x101}},
     {1, "", "Provider", 0, -3600}, 0x100, nullptr, 0},
    {"m2ts_h264_51_and_stereo", "out.m2ts", kH264Film, "ts", "H.264", 24000, 1001, 0,
     {{13, 6, 24, "eng", 0, 0x1100}, {13, 2, 16, "fra", 0, 0x1101}}, {1, "", "", 0, 0}, 0x1011, nullptr, 0},
    {"m2ts_hevc_one_pids", "out.m2ts", kHevc, "ts", "HEVC", 25, 1, 0, {{13, 2, 24, "deu", 0x1102, 0x1102}},
     {1, "", "", 0x1012, 0}, 0x1012, nullptr, 0},
    {"m2ts_mpeg2_from_matroska", "out.m2ts", kMpeg2Pal, "mkv", "MPEG-2 video", 25, 1, 0,
     {{13, 2, 16, "", 0, 0x1100}}, {1, "", "", 0, 0}, 0x1011, nullptr, 0},
    {"m2ts_h264_from_matroska", "out.m2ts", kH264, "mkv", "H.264", 30000, 1001, 0,
     {{13, 2, 24, "eng", 0, 0x1100}}, {1, "", "", 0, 0}, 0x1011, nullptr, 0},
    {"m2ts_h264_elementary_in_order", "out.m2ts", kH264InOrder, "264", "H.264", 25, 1, 0,
     {{13, 2, 24, "eng", 0, 0x1100}}, {1, "", "", 0, 0}, 0x1011, nullptr, 0},
    {"vob_pal_two_languages", "out.vob", kMpeg2Pal, "ts", "MPEG-2 video", 25, 1, 0,
     {{4, 2, 16, "eng", 0, 0xA0}, {4, 2, 16, "fra", 0, 0xA1}}, {1, "", "", 0, 0}, 0x1E0, "PAL", 0},
    {"vob_ntsc_elementary", "out.vob", kMpeg2Ntsc, "m2v", "MPEG-2 video", 30000, 1001, 0,
     {{4, 2, 16, "eng", 0, 0xA0}}, {1, "", "", 0, 0}, 0x1E0, "NTSC", 0},
    {"vob_pal_mono_offset", "out.vob", kMpeg2Pal, "ts", "MPEG-2 video", 25, 1, 0, {{4, 1, 16, "", 0, 0xA0}},
     {1, "", "", 0, 900}, 0x1E0, "PAL", 0},
};

// The library's frames of one track handed to the writer as encode hands
// them: each packed into memory the writer lends, and taken back with its
// frame record.
struct TrackFeed {
    pcmtool::ContainerWriter *writer = nullptr;
    int track = 0;
    pcm_frame_sink sink{};
    pcm_a_encoder *encoder = nullptr;

    static uint8_t *lend(void *opaque, uint32_t size, uint32_t *lent) {
        auto *self = static_cast<TrackFeed *>(opaque);
        *lent = size;
        return self->writer->lend(self->track, size);
    }
    static int32_t take(void *opaque, uint8_t *, const aux_record *record) {
        auto *self = static_cast<TrackFeed *>(opaque);
        self->writer->take(self->track, record->byte_count, record->timestamp);
        return 0;
    }
};

pcm_a_settings settings_of(const TrackRow &t) {
    pcm_a_settings settings{};
    pcmOutAudioDefaults(&settings, 0);
    settings.audio_layer = t.layer;
    settings.channels_minus_one = t.channels - 1;
    settings.quantization = t.bits == 16 ? 0 : t.bits == 20 ? 1 : 2;
    return settings;
}

std::vector<AudioTrackSpec> audio_of(const ProgrammeRow &row) {
    std::vector<AudioTrackSpec> audio;
    for (const TrackRow &t : row.tracks) {
        AudioTrackSpec track;
        const pcm_a_settings settings = settings_of(t);
        pcmOutAudioFrameGeometry(&settings, row.frame_rate_code, 48000, &track.shape.geometry);
        track.shape.params = {t.layer, t.channels, t.bits, 48000, row.frame_rate_code, 0, 0, 128};
        track.language = t.language;
        track.pid = t.pid;
        audio.push_back(track);
    }
    return audio;
}

// A constant rate makes room for the video at the peak its clip states
// (8 Mbit/s) besides the audio: 8 channels of 24-bit words take 56 bits a
// channel pair in 302M.
void check_least_rate(const ProgrammeRow &row, const std::vector<AudioTrackSpec> &audio,
                      const pcmtool::VideoInput &video) {
    std::vector<pcmtool::StreamShape> shapes;
    for (const AudioTrackSpec &track : audio) shapes.push_back(track.shape);
    const int64_t needed = pcmtool::programme_bit_rate_needed(shapes, &video);
    EXPECT_EQ(video.bit_rate(), 6000000);
    EXPECT_GT(needed, video.bit_rate() + 48000 * 4 * 56);
    EXPECT_LT(needed, row.muxrate);
}

// A second of each track, a 25th of a second of each in turn.
void write_programme(const ProgrammeRow &row, pcmtool::VideoInput &video, const std::string &path) {
    const std::vector<AudioTrackSpec> audio = audio_of(row);
    pcmtool::MuxTiming timing;
    timing.bit_rate = row.muxrate;
    if (row.muxrate) check_least_rate(row, audio, video);
    FileSink sink(path);
    pcmtool::ContainerWriter writer(pcmtool::choose_container("", path), audio, &video, row.service, sink,
                                    path, timing);
    std::vector<TrackFeed> feeds(row.tracks.size());
    for (size_t i = 0; i < feeds.size(); ++i) {
        const pcm_a_settings settings = settings_of(row.tracks[i]);
        const int rate_code = row.frame_rate_code ? row.frame_rate_code : 3;  // the LPCM layers take any
        feeds[i] = {&writer, int(i), {&TrackFeed::lend, &TrackFeed::take, &feeds[i]},
                    pcmOutAudioNew(nullptr, &settings, 0, rate_code, 48000)};
        ASSERT_EQ(pcmOutAudioInitWithSink(feeds[i].encoder, &feeds[i].sink), 0);
    }
    for (int block = 0; block < 25; ++block)
        for (size_t i = 0; i < feeds.size(); ++i) {
            Bytes samples(1920 * size_t(row.tracks[i].channels) * (row.tracks[i].bits == 16 ? 2 : 3));
            for (size_t b = 0; b < samples.size(); ++b) samples[b] = uint8_t(b * 7 + size_t(block));
            EXPECT_EQ(pcmOutAudioPutBytes(feeds[i].encoder, samples.data(), uint32_t(samples.size())), 0);
        }
    for (TrackFeed &f : feeds) {
        EXPECT_EQ(pcmOutAudioDone(f.encoder, 0), 0);
        pcmOutAudioFree(f.encoder);
    }
    writer.finish();
}

// What libavformat reads of a file: the video, the audio tracks, each with
// its packets' bytes and 90 kHz times, and the programme's service.
struct Stream {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int id = 0;
    std::string language;
    Bytes bytes;
    std::vector<int64_t> pts;
};

struct Demuxed {
    Stream video;
    std::vector<Stream> audio;
    int program_number = 0;
    std::string service_name, service_provider;
};

std::string meta(AVDictionary *dictionary, const char *key) {
    const AVDictionaryEntry *entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry ? entry->value : "";
}

Demuxed demux(const std::string &path) {
    Demuxed d;
    AVFormatContext *format = nullptr;
    // A program stream stamps some packets only; the parser fills in the rest.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "fflags", "+genpts", 0);
    const int opened = avformat_open_input(&format, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0 || avformat_find_stream_info(format, nullptr) < 0) return d;
    std::vector<Stream *> streams;
    d.audio.reserve(format->nb_streams);  // the pointers to its streams stay
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters *par = format->streams[i]->codecpar;
        Stream *s = par->codec_type == AVMEDIA_TYPE_VIDEO ? &d.video : nullptr;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) s = &d.audio.emplace_back();
        const std::string language = meta(format->streams[i]->metadata, "language");
        if (s) *s = {par->codec_id, format->streams[i]->id, language, {}, {}};
        streams.push_back(s);
    }
    if (format->nb_programs > 0) {
        d.program_number = format->programs[0]->program_num;
        d.service_name = meta(format->programs[0]->metadata, "service_name");
        d.service_provider = meta(format->programs[0]->metadata, "service_provider");
    }
    AVPacket *packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        if (Stream *s = streams[size_t(packet->stream_index)]) {
            s->bytes.insert(s->bytes.end(), packet->data, packet->data + packet->size);
            const AVRational base = format->streams[packet->stream_index]->time_base;
            s->pts.push_back(packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                                           : av_rescale_q(packet->pts, base, {1, 90000}));
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return d;
}

int64_t lowest(const std::vector<int64_t> &times) {
    return times.empty() ? -1 : *std::min_element(times.begin(), times.end());
}

// The clip's presentation times; a raw stream that stamps none is shown one
// frame after another from 0.
std::vector<int64_t> clip_times(const Stream &clip, const ProgrammeRow &row) {
    std::vector<int64_t> times = clip.pts;
    for (size_t i = 0; i < times.size(); ++i)
        if (times[i] == AV_NOPTS_VALUE) times[i] = int64_t(i) * 90000 * row.rate_den / row.rate_num;
    return times;
}

// Every audio pack of a DVD program stream against the frames of its own
// substream: the frame header count is the number of 1/600 s frames that
// start in the pack, and the pointer leads to the first (4 past itself when
// the pack's audio opens with one, 0 when none starts). Video packs must
// come between the audio packs, and every pack keeps the disc's rate. Returns the audio packs checked.
size_t check_dvd_packs(const Bytes &vob, const std::vector<TrackRow> &tracks) {
    std::vector<size_t> before(tracks.size(), 0);
    size_t checked = 0, video_between = 0, audio_seen = 0;
    for (size_t pack = 0; pack + 2048 <= vob.size(); pack += 2048) {
        const uint8_t *p = vob.data() + pack;
        // Every pack is timed at a DVD's read rate, in units of 50 bytes a second.
        EXPECT_EQ((p[10] << 14 | p[11] << 6 | p[12] >> 2) * 400, 10080000) << "pack " << pack / 2048;
        const size_t at = 14 + (p[13] & 7);
        if (p[at + 3] == 0xE0 && audio_seen > 0) ++video_between;
        if (p[at + 3] != 0xBD) continue;
        const uint8_t *lpcm = p + at + 9 + p[at + 8];
        const size_t track = size_t(lpcm[0] - 0xA0);
        if (lpcm[0] < 0xA0 || track >= tracks.size()) {
            ADD_FAILURE() << "pack " << pack / 2048 << ": substream " << int(lpcm[0]);
            continue;
        }
        const size_t frame = 80 * size_t(tracks[track].channels) * 2;  // 1/600 s of 16-bit words at 48 kHz
        const size_t audio = size_t(at + 6 + (p[at + 4] << 8 | p[at + 5])) - size_t(lpcm + 7 - p);
        size_t starts = 0, first = 0;
        for (size_t byte = before[track]; byte < before[track] + audio; ++byte)
            if (byte % frame == 0 && starts++ == 0) first = byte - before[track];
        EXPECT_EQ(lpcm[1], starts) << "pack " << pack / 2048 << ", substream " << int(lpcm[0]);
        EXPECT_EQ(lpcm[2] << 8 | lpcm[3], starts ? 4 + first : 0) << "pack " << pack / 2048;
        before[track] += audio;
        ++audio_seen;
        ++checked;
    }
    EXPECT_GT(video_between, 10u) << "video packs between the audio packs";
    for (size_t t = 0; t < tracks.size(); ++t)
        EXPECT_GE(before[t], 48000u * size_t(tracks[t].channels) * 2) << "substream " << t;
    return checked;
}

// dvdauthor takes the .vob into a title with every track, and writes no
// warning or error line.
void check_dvdauthor(const std::string &folder, const std::string &vob, const char *format, size_t tracks) {
    std::string log;
    const std::string env = std::string("VIDEO_FORMAT=") + format + " ";
    EXPECT_TRUE(run("mkdir -p " + folder + " && " + env + "dvdauthor -o " + folder + "/dvd -t " + vob, &log));
    EXPECT_TRUE(run(env + "dvdauthor -o " + folder + "/dvd -T"));
    EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERR"), std::string::npos) << log;
    for (size_t t = 0; t < tracks; ++t)
        EXPECT_NE(log.find("Audio ch " + std::to_string(t) + " format: pcm/"), std::string::npos) << log;
}

// libavformat's warnings and errors while the writer works: a muxer that
// has to guess (a buffer size, a time) says so.
std::string g_libav_warnings;

extern "C" void keep_libav_warning(void *context, int level, const char *format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(context, level, format, args, line, sizeof line, &prefix);
    // The tool silences this one: 302M's registration descriptor is how
    // readers recognise it.
    if (!std::strstr(line, "codec s302m, is muxed as a private data stream")) g_libav_warnings += line;
}

// A constant rate: every clock reference tells the time its packet's
// position in the file takes at that rate, to the 27 MHz tick.
void check_constant_rate(const Bytes &ts, int64_t rate) {
    int64_t first_pcr = -1, first_at = 0, checked = 0;
    for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
        const uint8_t *p = ts.data() + at;
        if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
        const int64_t base = int64_t(p[6]) << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7;
        const int64_t pcr = base * 300 + ((p[10] & 1) << 8 | p[11]);
        if (first_pcr < 0) {
            first_pcr = pcr;
            first_at = int64_t(at);
            continue;
        }
        const int64_t due = first_pcr + (int64_t(at) - first_at) * 8 * 27000000 / rate;
        EXPECT_LE(std::abs(pcr - due), 1) << "clock reference at byte " << at;
        ++checked;
    }
    EXPECT_GT(checked, 40);
}

class Programme : public ::testing::Test {
protected:
    void SetUp() override {
        const char *base = std::getenv("TMPDIR");
        folder_ = std::string(base && *base ? base : "/tmp") + "/pcmpack-programme-XXXXXX";
        ASSERT_TRUE(mkdtemp(&folder_[0]));
        pcmtool::route_libav_messages(true);
    }
    void TearDown() override { run("rm -rf '" + folder_ + "'"); }
    std::string folder_;
};

TEST_F(Programme, VideoAndTracksAsReadersFindThem) {
    for (const ProgrammeRow &row : kProgrammes) {
        SCOPED_TRACE(row.name);
        const std::string clip = folder_ + "/" + row.name + "-clip." + row.clip_file;
        const std::string out = folder_ + "/" + row.name + "-" + row.output;
        std::string log;
        ASSERT_TRUE(run(std::string("ffmpeg -v error -y ") + row.clip + " " + clip, &log)) << log;
        const Stream src = demux(clip).video;
        const std::vector<int64_t> src_pts = clip_times(src, row);
        {
            pcmtool::VideoInput video(clip);
            EXPECT_STREQ(video.codec_title(), row.codec_title);
            EXPECT_EQ(video.frame_rate().num, row.rate_num);
            EXPECT_EQ(video.frame_rate().den, row.rate_den);
            EXPECT_EQ(video.first_pts_90k(), lowest(src_pts));
            g_libav_warnings.clear();
            av_log_set_callback(keep_libav_warning);
            write_programme(row, video, out);
            av_log_set_callback(av_log_default_callback);
            EXPECT_EQ(g_libav_warnings, "");
        }
        const Demuxed muxed = demux(out);
        EXPECT_EQ(muxed.video.codec, src.codec);
        EXPECT_EQ(muxed.video.id, row.video_id);
        // The clip's video byte for byte, its times as far apart as they were.
        const bool length_fields = std::string(row.clip_file) == "mkv" || std::string(row.clip_file) == "mp4";
        if (!length_fields || src.codec == AV_CODEC_ID_MPEG2VIDEO) {
            EXPECT_TRUE(muxed.video.bytes == src.bytes)
                << muxed.video.bytes.size() << " bytes, not " << src.bytes.size();
        }
        ASSERT_EQ(muxed.video.pts.size(), src_pts.size());
        for (size_t i = 0; i < src_pts.size(); ++i)
            EXPECT_EQ(muxed.video.pts[i] - muxed.video.pts[0], src_pts[i] - src_pts[0]) << "packet " << i;
        ASSERT_EQ(muxed.audio.size(), row.tracks.size());
        for (size_t t = 0; t < row.tracks.size(); ++t) {
            EXPECT_EQ(muxed.audio[t].id, row.tracks[t].found_id) << "track " << t;
            EXPECT_EQ(muxed.audio[t].language, row.dvd_format ? "" : row.tracks[t].language) << "track " << t;
            EXPECT_EQ(lowest(muxed.audio[t].pts), lowest(muxed.video.pts) + row.service.audio_offset_90k)
                << "track " << t;
        }
        if (row.muxrate) check_constant_rate(read_file(out), row.muxrate);
        if (row.dvd_format) {
            EXPECT_GT(check_dvd_packs(read_file(out), row.tracks), 40u);
            check_dvdauthor(folder_ + "/" + row.name, out, row.dvd_format, row.tracks.size());
            continue;
        }
        EXPECT_EQ(muxed.program_number, row.service.program_number);
        EXPECT_EQ(muxed.service_name, row.service.name.empty() ? "Service01" : row.service.name);
        EXPECT_EQ(muxed.service_provider, row.service.provider.empty() ? "FFmpeg" : row.service.provider);
    }
}

// A file without the video asked for, and a video its container does not
// take, are refused naming the file and what it holds.
TEST_F(Programme, VideoThatCannotGoIsRefused) {
    const std::string wav = folder_ + "/tone.wav", clip = folder_ + "/clip.ts", text = folder_ + "/notes.txt",
                      raw = folder_ + "/reordered.264", small = folder_ + "/small.m2v",
                      fast = folder_ + "/fast.m2v";
    std::string log;
    ASSERT_TRUE(run("ffmpeg -v error -f lavfi -i sine=sample_rate=48000 -t 0.2 -c:a pcm_s16le " + wav +
                        " && ffmpeg -v error " + kH264 + " -t 0.3 " + clip + " && ffmpeg -v error -i " +
                        clip + " -c copy " + raw + " && ffmpeg -v error -f lavfi -i " +
                        "testsrc=size=352x288:rate=30 -t 0.3 -c:v mpeg2video " + small +
                        " && ffmpeg -v error -f lavfi -i testsrc=size=720x576:rate=25 -t 0.3 "
                        "-c:v mpeg2video -b:v 8M -maxrate 8.5M -bufsize 1835k " + fast +
                        " && echo words > " + text,
                    &log))
        << log;
    struct Row {
        std::string file;
        int track;
        const char *output;  // "": the video is only opened
        std::string refusal;
    };
    const Row rows[] = {
        {wav, 1, "", wav + ": holds no video track, only 1 audio track (pcm_s16le)"},
        {clip, 2, "", clip + ": holds 1 video track (H.264); there is no video track 2"},
        {text, 1, "", text + ": cannot read it as video: "},
        {raw, 1, "",
         raw + ": video packet 1 has no time stamp, and its frames are reordered, so their "
               "presentation times cannot be copied: give the video in a file that stamps them "
               "(.ts, .m2ts, .mkv or .mp4)"},
        {clip, 1, "out.vob",
         "out.vob: a DVD program stream takes MPEG-2 video only; " + clip +
             " holds H.264: re-encode it to MPEG-2 video, or write .m2ts or .ts"},
        {clip, 1, "out.m2ts", ""},
        {small, 1, "out.vob",
         "out.vob: a DVD title takes pictures of 720x576, 704x576, 352x576 or 352x288 at 25 frames "
         "a second, or of 720x480, 704x480, 352x480 or 352x240 at 30000/1001; " +
             small + " holds 352x288 at 30: re-encode it to one of them (ffmpeg's -target pal-dvd or "
                     "ntsc-dvd)"},
        {small, 1, "out.ts", ""},
        // 8.5 Mbit/s and a stereo track's 1.536 pass 9.88, what the packs
        // leave the streams of 10.08.
        {fast, 1, "out.vob",
         "out.vob: a DVD is read at 10.08 Mbit/s, 9.88 Mbit/s of it for the streams once the "
         "packs' headers are paid, and " +
             fast + "'s peak of 8.50 Mbit/s with the audio's 1.54 Mbit/s comes to 10.04 Mbit/s: "
                    "make the video with a peak (ffmpeg's -maxrate) of at most 8.34 Mbit/s, or give "
                    "fewer audio tracks"},
        {fast, 1, "out.m2ts", ""},
    };
    for (const Row &row : rows) {
        std::string refusal;
        try {
            pcmtool::VideoInput video(row.file, row.track);
            if (*row.output) {
                std::vector<AudioTrackSpec> tracks(1);
                const Container container = pcmtool::choose_container("", row.output);
                tracks[0].shape.params.layer =
                    container == Container::program ? 4 : container == Container::bdav ? 13 : 10;
                // 48 kHz stereo 16-bit in DVD frames of 80 sample periods.
                tracks[0].shape.params.sample_rate = 48000;
                tracks[0].shape.geometry.frame_bytes[0] = 320;
                tracks[0].shape.geometry.sample_periods[0] = 80;
                pcmtool::check_programme(container, tracks, &video, ServiceSpec(), row.output);
            }
        } catch (const pcmtool::Failure &refused) {
            refusal = refused.what();
        }
        EXPECT_EQ(refusal.substr(0, row.refusal.size()), row.refusal) << row.file;
        EXPECT_EQ(refusal.empty(), row.refusal.empty()) << row.file << ": " << refusal;
    }
}

}  // namespace
