// SPDX-License-Identifier: BSD-2-Clause
#include "containers/codec_titles.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pcmtool {

namespace {

struct CodecTitle {
    AVCodecID codec;
    const char *title;
};

constexpr CodecTitle kCodecTitles[] = {
    {AV_CODEC_ID_MPEG2VIDEO, "MPEG-2 video"}, {AV_CODEC_ID_MPEG1VIDEO, "MPEG-1 video"},
    {AV_CODEC_ID_H264, "H.264"},              {AV_CODEC_ID_HEVC, "HEVC"},
    {AV_CODEC_ID_VC1, "VC-1"},                {AV_CODEC_ID_S302M, "SMPTE 302M"},
    {AV_CODEC_ID_PCM_BLURAY, "HDMV LPCM"},    {AV_CODEC_ID_PCM_DVD, "DVD LPCM"},
};

}  // namespace

const char *codec_title(AVCodecID codec) {
    for (const CodecTitle &row : kCodecTitles)
        if (row.codec == codec) return row.title;
    return avcodec_get_name(codec);
}

}  // namespace pcmtool
