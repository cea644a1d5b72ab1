// SPDX-License-Identifier: BSD-2-Clause
// What an encode run will do, decided and checked before the run writes a
// byte: the settings the library accepted, the source with the stages it
// needs, which source channel each coded channel carries, the words handed
// to the library, the container and where the stream goes. Whatever the run
// cannot do is refused while planning, every rule the settings break in one
// message; the run itself refuses only what shows as the samples stream
// (data bursts that start after the source's first second).
#pragma once

#include "commands/encode_options.h"
#include "common.h"
#include "containers/container.h"
#include "outputs/network_output.h"
#include "source/audio_source.h"
#include "source/burst_scan.h"
#include "source/channel_layout.h"
#include "source/conversion.h"
#include "source/data_bursts.h"
#include "source/downmix.h"

#include <pcmpack.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

struct EncodePlan {
    // What the user named.
    std::string input;     // the audio's name for messages, or the data file's
    bool network = false;  // the output is udp:// or srt://

    // The settings, as the library checked them.
    int video_type = 0;
    pcm_a_settings settings{};
    int layer = 0;
    int frame_rate_code = 0;  // 0: the layer has no video frames
    int rate = 0;             // of the output
    int bits = 0;             // of the output words

    // The source, wrapped in the stages the run needs: the watch for data
    // bursts that start after its first second, then the conversion. Null
    // for --data alone.
    std::unique_ptr<AudioSource> source;
    int source_channels = 0;  // of the audio handed on: the downmix's, when there is one
    DownmixPlan downmix;      // the source's speakers mixed down in the conversion stage
    std::vector<PairBursts> wrapped;  // each source pair's first second
    ConversionRequest conversion{0, 0, Dither::tpdf, nullptr, nullptr};
    const ConvertedSource *converter = nullptr;  // its notes end the run
    std::unique_ptr<DataBursts> data;
    int data_pair = 0;  // 0-based

    // The channels: the layout's plan, then the data pair in its place.
    ChannelPlan channels;
    std::vector<int> source_of_coded;  // -1: silent
    int coded_channels = 0;

    // The words handed to the library: as the source stores them where it
    // stores the layer's words already, big-endian for HDMV.
    bool as_stored = false;
    bool big_endian = false;
    bool swap_stored = false;  // little-endian words stored, HDMV's taken

    // Where the stream goes.
    Container container = Container::elementary;
    StreamShape shape{};  // a container's only
    MuxTiming timing;
    Pace pace = Pace::audio;  // the network's only
};

// Opens the outputs, called once the names are checked and before anything
// else is: what would keep an output from appearing is refused first, and
// before the source's header is awaited (a pipe may hold back what follows
// its header).
using OpenOutputs = std::function<void(const EncodePlan &)>;

// Reads the source's header and first second, and refuses what the run
// cannot do. Notes that concern the user go to stderr as they are decided
// (under -v, what is converted and which source channel goes where). Throws
// Failure.
EncodePlan plan_encode(const EncodeOptions &options, const OpenOutputs &open_outputs = {});

}  // namespace pcmtool
