// SPDX-License-Identifier: BSD-2-Clause
#include "libav_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
}

namespace interop {
namespace {

void take_frame(const AVFrame *frame, Decoded &out, DecodedPacket *packet) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const char *name = av_get_sample_fmt_name(format);
    const int channels = frame->ch_layout.nb_channels;
    const uint64_t mask =
        frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
    if (out.sample_format.empty()) {
        out.sample_format = name ? name : "?";
        out.channels = channels;
        out.channel_mask = mask;
        out.sample_rate = frame->sample_rate;
    } else if (out.sample_format != (name ? name : "?") || out.channels != channels ||
               out.channel_mask != mask || out.sample_rate != frame->sample_rate) {
        out.consistent = false;
    }
    if (packet) packet->samples += frame->nb_samples;
    const size_t count = static_cast<size_t>(frame->nb_samples) * channels;
    if (format == AV_SAMPLE_FMT_S16) {
        const auto *s = reinterpret_cast<const int16_t *>(frame->data[0]);
        out.samples.insert(out.samples.end(), s, s + count);
    } else if (format == AV_SAMPLE_FMT_S32) {
        const auto *s = reinterpret_cast<const int32_t *>(frame->data[0]);
        out.samples.insert(out.samples.end(), s, s + count);
    } else if (format == AV_SAMPLE_FMT_S16P || format == AV_SAMPLE_FMT_S32P) {
        for (int i = 0; i < frame->nb_samples; ++i) {
            for (int c = 0; c < channels; ++c) {
                out.samples.push_back(
                    format == AV_SAMPLE_FMT_S16P
                        ? reinterpret_cast<const int16_t *>(frame->extended_data[c])[i]
                        : reinterpret_cast<const int32_t *>(frame->extended_data[c])[i]);
            }
        }
    } else {
        out.consistent = false;  // a float format: not expected here
    }
}

void receive_all(AVCodecContext *ctx, AVFrame *frame, Decoded &out, DecodedPacket *packet) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
        take_frame(frame, out, packet);
        av_frame_unref(frame);
    }
}

}  // namespace

Decoded decode(const char *decoder_name, const std::vector<std::vector<uint8_t>> &packets,
               int channels, int sample_rate) {
    Decoded out;
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec *codec = avcodec_find_decoder_by_name(decoder_name);
    if (!codec) return out;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    if (ctx && channels > 0) av_channel_layout_default(&ctx->ch_layout, channels);
    if (ctx && sample_rate > 0) ctx->sample_rate = sample_rate;
    if (ctx && pkt && frame && avcodec_open2(ctx, codec, nullptr) == 0) {
        out.opened = true;
        for (const std::vector<uint8_t> &bytes : packets) {
            DecodedPacket result;
            if (av_new_packet(pkt, static_cast<int>(bytes.size())) == 0) {
                std::copy(bytes.begin(), bytes.end(), pkt->data);
                result.send_result = avcodec_send_packet(ctx, pkt);
                av_packet_unref(pkt);
                receive_all(ctx, frame, out, &result);
            } else {
                result.send_result = -1;
            }
            out.packets.push_back(result);
        }
        avcodec_send_packet(ctx, nullptr);
        receive_all(ctx, frame, out, nullptr);
        out.bits_per_raw_sample = ctx->bits_per_raw_sample;
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

}  // namespace interop
