// SPDX-License-Identifier: BSD-2-Clause
#include "commands/programme_report.h"

#include "common.h"

#include <cstdio>
#include <cstdlib>

namespace pcmtool {

namespace {

// "29.97 Hz (30000/1001)", "25 Hz".
std::string video_rate(int num, int den) {
    if (num <= 0 || den <= 0) return "not signalled";
    if (num % den == 0) return std::to_string(num / den) + " Hz";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", double(num) / den);
    std::string decimal = text;
    while (decimal.back() == '0') decimal.pop_back();
    if (decimal.back() == '.') decimal.pop_back();
    return decimal + " Hz (" + std::to_string(num) + "/" + std::to_string(den) + ")";
}

std::string line(const std::string &label, const std::string &text) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-17s", label.c_str());
    return head + text + "\n";
}

std::string hex_id(int id) {
    char text[24];
    std::snprintf(text, sizeof text, "id 0x%X", unsigned(id));
    return text;
}

std::string ms(int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", double(std::llabs(ticks)) / 90);
    return text;
}

std::string ms_json(int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(ticks) / 90);
    return text;
}

std::string number_or_null(int64_t value, bool known) { return known ? std::to_string(value) : "null"; }

// A presentation time as the file codes it, in 33 bits: libavformat counts
// on past the wrap, and below zero before it.
std::string pts_json(int64_t pts) {
    return number_or_null(pts & ((int64_t{1} << 33) - 1), pts != kNoPts);
}

// Alignment is measured against the first video track.
bool aligned_figures(const Programme &p) {
    return p.complete && !p.video.empty() && p.video[0].first_pts != kNoPts;
}

bool has_start(const Programme &p, const ProgrammeAudio &a) {
    return aligned_figures(p) && a.first_pts != kNoPts;
}

bool has_frame_match(const Programme &p, const ProgrammeAudio &a) {
    return aligned_figures(p) && a.frame_timed;
}

std::string audio_text(const ProgrammeAudio &a) {
    std::string text = hex_id(a.id) + ": " + a.codec;
    if (!a.language.empty()) text += ", language " + a.language;
    if (a.channels > 0) {
        text += ", " + std::to_string(a.channels) + (a.channels == 1 ? " channel" : " channels");
        if (!a.layout.empty()) text += " (" + a.layout + ")";
    }
    if (a.bits > 0) text += ", " + std::to_string(a.bits) + " bits";
    if (a.sample_rate > 0) text += ", " + std::to_string(a.sample_rate) + " Hz";
    return text + (a.read ? " (read)" : "");
}

std::string start_text(int64_t offset) {
    if (offset == 0) return "on the first video frame";
    return ms(offset) + (offset > 0 ? " after" : " before") + " the first video frame";
}

std::string frames_text(const FrameMatch &m) {
    const uint64_t within = m.packets() - m.outside();
    if (within == 0) return "none of " + std::to_string(m.packets()) + " packets within the video's frames";
    std::string text;
    if (m.off_frame() == 0)
        text = "all " + std::to_string(within) + " packets on a video frame's time";
    else
        text = std::to_string(m.off_frame()) + " of " + std::to_string(within) +
               " packets off a video frame's time, the farthest " + ms(m.farthest()) +
               (m.farthest() > 0 ? " after" : " before") + " its frame";
    if (m.outside() > 0)
        text += "; " + std::to_string(m.outside()) + " outside the video's frames";
    return text;
}

}  // namespace

std::string programme_track_lines(const Programme &p) {
    std::string text;
    for (size_t k = 0; k < p.video.size(); ++k) {
        const ProgrammeVideo &v = p.video[k];
        std::string about = hex_id(v.id) + ": " + v.codec;
        if (v.width > 0) about += ", " + std::to_string(v.width) + "x" + std::to_string(v.height);
        about += ", " + video_rate(v.rate_num, v.rate_den);
        text += line(p.video.size() == 1 ? "video" : "video " + std::to_string(k + 1), about);
    }
    for (size_t k = 0; k < p.audio.size(); ++k)
        text += line("audio " + std::to_string(k + 1), audio_text(p.audio[k]));
    return text;
}

std::string programme_alignment_lines(const Programme &p) {
    std::string text;
    for (size_t k = 0; k < p.audio.size(); ++k) {
        const ProgrammeAudio &a = p.audio[k];
        const std::string label = "audio " + std::to_string(k + 1);
        if (has_start(p, a)) text += line(label + " start", start_text(a.first_pts - p.video[0].first_pts));
        if (has_frame_match(p, a)) text += line(label + " frames", frames_text(a.frames));
    }
    return text;
}

std::string programme_json(const Programme &p) {
    std::string text = ",\"programme\":{\"video\":[";
    for (size_t k = 0; k < p.video.size(); ++k) {
        const ProgrammeVideo &v = p.video[k];
        text += std::string(k ? "," : "") + "{\"id\":" + std::to_string(v.id) +
                ",\"codec\":" + json_string(v.codec) + ",\"width\":" + std::to_string(v.width) +
                ",\"height\":" + std::to_string(v.height) + ",\"frame_rate\":" +
                (v.rate_num > 0 ? json_string(std::to_string(v.rate_num) + "/" + std::to_string(v.rate_den))
                                : "null") +
                ",\"first_pts\":" + pts_json(v.first_pts) + "}";
    }
    text += "],\"audio\":[";
    for (size_t k = 0; k < p.audio.size(); ++k) {
        const ProgrammeAudio &a = p.audio[k];
        text += std::string(k ? "," : "") + "{\"id\":" + std::to_string(a.id) +
                ",\"codec\":" + json_string(a.codec) +
                ",\"language\":" + (a.language.empty() ? "null" : json_string(a.language)) +
                ",\"channels\":" + number_or_null(a.channels, a.channels > 0) +
                ",\"layout\":" + (a.layout.empty() ? "null" : json_string(a.layout)) +
                ",\"bits\":" + number_or_null(a.bits, a.bits > 0) +
                ",\"sample_rate\":" + number_or_null(a.sample_rate, a.sample_rate > 0) +
                ",\"read\":" + (a.read ? "true" : "false") +
                ",\"first_pts\":" + pts_json(a.first_pts) +
                ",\"start_offset_ms\":" +
                (has_start(p, a) ? ms_json(a.first_pts - p.video[0].first_pts) : "null") +
                ",\"frame_alignment\":";
        if (has_frame_match(p, a)) {
            const FrameMatch &m = a.frames;
            text += "{\"packets\":" + std::to_string(m.packets()) +
                    ",\"off_frame\":" + std::to_string(m.off_frame()) +
                    ",\"outside_video\":" + std::to_string(m.outside()) +
                    ",\"farthest_ms\":" + ms_json(m.farthest()) + "}";
        } else {
            text += "null";
        }
        text += "}";
    }
    return text + "]}";
}

}  // namespace pcmtool
