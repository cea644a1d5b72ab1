// SPDX-License-Identifier: BSD-2-Clause
// The containers that encode writes around three of the layers, and that
// inspect and unpack read back, all through libavformat: an MPEG-2 transport
// stream for SMPTE 302M, a BDAV (Blu-ray) transport stream for HDMV LPCM, an
// MPEG-2 program stream for DVD LPCM. Nothing here packetizes by hand.
#pragma once

#include "format/stream_format.h"

#include <pcmpack.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

class ByteSink;
struct Programme;

enum class Container {
    elementary,  // our own stream: 8-byte stream header, then the frames
    transport,   // MPEG-2 transport stream, 188-byte packets (.ts)
    bdav,        // BDAV transport stream, 192-byte packets (.m2ts, .mts)
    program,     // MPEG-2 program stream, DVD flavour (.vob, .mpg, .mpeg)
};

// The container that --container names, or, when it is empty, the one the
// output name's extension calls for. Throws Failure for an unknown name.
Container choose_container(const std::string &option, const std::string &output);

// "an MPEG transport stream (.ts)" and so on.
const char *container_title(Container container);

// Each --container name, what it is ("MPEG transport stream"), and the
// extensions that choose it, as other words for it ("vob", "mpg", "mpeg").
struct ContainerName {
    std::string name, title;
    std::vector<std::string> extensions;
};
std::vector<ContainerName> container_names();

// Throws Failure, naming the containers the layer has, when `container`
// cannot carry the layer.
void check_container_fits(Container container, int layer, const std::string &output);

// What the muxer needs to know of the stream before the first frame: what
// its stream header says, and the size and sample periods of each frame by
// cadence step, as the library will write them.
struct StreamShape {
    pcmpack_format::StreamParams params;
    pcm_frame_geometry geometry;
};

// The timing of a transport stream that receivers check as it arrives.
struct MuxTiming {
    // A constant bit rate, filled with null packets, in bits per second; 0:
    // the packets as the frames come, as in a file for a later multiplexer.
    int64_t bit_rate = 0;
    // From a frame's clock reference to its presentation time, the decoder's
    // buffer delay, in microseconds; -1: 0.7 s, as in a file.
    int64_t latency_us = -1;
};

// The lowest constant bit rate that carries a 302M stream of this shape in
// a transport stream with the clock references and tables MuxTiming's
// rate brings, and the default that adds headroom to it, in bits per second.
int64_t transport_bit_rate_needed(const StreamShape &shape);
int64_t transport_bit_rate_default(const StreamShape &shape);

class VideoInput;

// The same for a programme: every audio track, the video at the peak rate
// its file states (VideoInput::bit_rate; left out when it states none), and
// the clock references and tables once.
int64_t programme_bit_rate_needed(const std::vector<StreamShape> &tracks, const VideoInput *video);

// One audio track of a programme.
struct AudioTrackSpec {
    StreamShape shape;
    std::string language;  // ISO 639-2, three lowercase letters; "" for none
    int pid = 0;           // transport streams; 0: the container's default
};

// What a transport stream says of its programme. A program stream has none
// of it but the audio offset.
struct ServiceSpec {
    int program_number = 1;
    std::string name, provider;  // "": the muxer's own
    int video_pid = 0;           // 0: the container's default
    // 90 kHz: where the audio's first sample period goes after the video's
    // first frame (negative: before it). Without video the audio stays
    // where the single-track writer puts it.
    int64_t audio_offset_90k = 0;
};

// Audio streams a container takes in one programme: 8 on a DVD, 32 in a
// Blu-ray clip, as many as the transport stream's PIDs hold.
int container_audio_track_limit(Container container);

// The PID of a transport stream's video (`is_video`) or of its audio track
// `audio_index` (0-based): `given`, or the container's default: in a BDAV
// stream 0x1011 for the video and 0x1100 on for the audio; in a plain
// transport stream 0x0100 on in stream order, the video first.
int programme_pid(Container container, int given, bool is_video, size_t audio_index, bool has_video);

// Throws Failure, with the reason and the fix, when the container cannot
// carry the programme: a track's layer, more audio tracks than it takes, a
// video codec it does not take (a DVD: also a picture size and rate no DVD
// title has), a PID out of range, given twice or given to
// a program stream, a program number out of range, a language that is not
// three lowercase letters. Everything the writer would refuse, refused
// before an output is opened; `video` may be null.
void check_programme(Container container, const std::vector<AudioTrackSpec> &tracks,
                     const VideoInput *video, const ServiceSpec &service,
                     const std::string &output);

// Wraps the library's frames into a container. The library packs each
// stream header and frame into memory lend() gives it (the buffer of the
// packet the muxer is handed), and take() gets it back with its aux_record's
// byte count and timestamp, the frame's presentation time. The container
// bytes go to `out` through a custom AVIOContext, so the output's rules hold
// (a file: temporary name, then rename; the network: its pacing); each frame
// is handed on whole as soon as the muxer has written it (DVD frames, which
// go to the muxer a pack's worth at a time, are never sent live). Every
// method throws Failure naming the output.
class ContainerWriter {
public:
    ContainerWriter(Container container, const StreamShape &shape, ByteSink &out,
                    const std::string &output_name, const MuxTiming &timing = MuxTiming());
    // A programme: the audio tracks in order (DVD: substreams 0xA0, 0xA1,
    // ...; transport streams: PIDs from the container's default up, or as
    // given) and, when `video` is not null, its packets copied in, pulled
    // in time order as the audio arrives. Every track's first sample period
    // goes to the video's first frame time plus the service's audio offset.
    // Feed the tracks in rough time order, a few frames of each in turn.
    // Checks the programme first (check_programme). `video` must outlive
    // the writer.
    ContainerWriter(Container container, const std::vector<AudioTrackSpec> &tracks,
                    VideoInput *video, const ServiceSpec &service, ByteSink &out,
                    const std::string &output_name, const MuxTiming &timing = MuxTiming());
    ~ContainerWriter();
    ContainerWriter(const ContainerWriter &) = delete;
    ContainerWriter &operator=(const ContainerWriter &) = delete;

    // Memory for the next stream header or frame of the 0-based `track`, of
    // size bytes: one at a time, each given back by take() or drop().
    uint8_t *lend(int track, size_t size);
    // The lent memory now holds byte_count bytes; ticks: 27 MHz presentation
    // time, counted from the track's start; -1 marks the stream header.
    void take(int track, uint32_t byte_count, int64_t ticks);
    // The lent memory comes back unused.
    void drop(int track);
    // Writes what is still grouped, the video packets still to come and the
    // container's trailer.
    void finish();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Sends libavformat's messages to stderr as the tool's own, errors and
// warnings only; none while reading, where the tool reports damage itself.
// Called before any libavformat work.
void route_libav_messages(bool reading);

// The container a stream file is in, from its first bytes: the transport
// streams by their sync bytes, the program stream by its pack start code;
// anything else is taken for an elementary stream.
Container sniff_container(const uint8_t *data, size_t size);

// Reads one audio track of a container back into our elementary stream (a
// stream header made from what the container signals, then the frames in
// order), so that the stream reader checks it as it checks our own files.
// `read` supplies the file's bytes (returns 0 at the end, throws Failure on
// error); `track` is 1 for the first track of the layer's codec, 2 for the
// second, and so on. Every method throws Failure naming the file and the
// reason.
class ContainerReader {
public:
    using ReadFn = std::function<size_t(uint8_t *, size_t)>;
    // A live stream goes on past a frame lost on the way: a damaged access
    // unit is left out, and a break in the presentation times is handed to
    // `on_loss` (when given) instead of ending the read; an access unit cut
    // short by the end of the input is left out too. Its tables are read
    // from the first packets, without reading ahead to probe.
    struct Loss {
        int64_t due_pts = 0;   // 90 kHz presentation time of the first lost frame
        double at = 0;         // its time in seconds after the first frame's
        int64_t periods = 0;   // sample periods lost; 0 when the time went back
        uint64_t damaged = 0;  // access units that came damaged and were left out
        // 90 kHz: how far the time is from where the frames before put it,
        // the short way round the 33-bit wrap (negative: back, a restart)
        int64_t jump = 0;
    };
    using LossFn = std::function<void(const Loss &)>;
    struct Live {
        LossFn on_loss;
    };
    ContainerReader(Container container, ReadFn read, const std::string &input_name,
                    int track = 1, const Live *live = nullptr);
    ~ContainerReader();
    ContainerReader(const ContainerReader &) = delete;
    ContainerReader &operator=(const ContainerReader &) = delete;

    // Replaces `piece` with the next access unit of the track, one frame or
    // a few whole frames; false at the end.
    bool next(std::vector<uint8_t> &piece);

    // The tracks of the layer's codec, by their PID (transport streams) or
    // stream id (program stream), in the order --track counts them.
    const std::vector<int> &track_ids() const;
    // "SMPTE 302M" and so on.
    const char *track_title() const;

    // How the stream reader takes the frames; known after the first next().
    struct FramePlan {
        pcmpack_format::StreamParams params;  // what a stream header would say
        int first_cadence_step = 0;       // AES3: a recording cut anywhere
        bool sizes_from_headers = false;  // access units of another writer's length
    };
    const FramePlan &frame_plan() const;

    // The 90 kHz presentation time of the access unit next() handed out last
    // (transport streams), and its step in the AES3 cadence.
    int64_t unit_pts() const;
    int unit_cadence_step() const;
    // The input's byte where the access unit next() handed out last starts
    // (its first transport or program stream packet); -1 if not known.
    int64_t unit_pos() const;

    // The programme's video and audio tracks, and where the audio sits on
    // the video's frames: complete once next() has returned false.
    const Programme &programme() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pcmtool
