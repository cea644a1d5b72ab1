// SPDX-License-Identifier: BSD-2-Clause
// Which container a file gets, which layer each container carries, and how
// libavformat's messages reach the user.
#include "containers/container.h"

#include "common.h"
#include "format/stream_format.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pcmtool {

namespace {

// One row per container: its --container name, the output extensions that
// choose it, and the layer it carries (0: any, our own stream).
struct ContainerRow {
    Container container;
    const char *name;
    const char *extensions[3];
    int layer;
    const char *title;
};

constexpr ContainerRow kContainers[] = {
    {Container::elementary, "es", {}, 0, "an elementary stream"},
    {Container::transport, "ts", {".ts"}, 10, "an MPEG transport stream (.ts)"},
    {Container::bdav, "m2ts", {".m2ts", ".mts"}, 13, "a BDAV transport stream (.m2ts, .mts)"},
    {Container::program, "ps", {".vob", ".mpg", ".mpeg"}, 4,
     "an MPEG program stream (.vob, .mpg, .mpeg)"},
};

// Output names whose extension promises a file pcmpack does not write: an
// elementary stream under such a name would be taken for that file by
// players and multiplexers. --container es keeps the name on purpose.
struct ForeignFile {
    const char *extension;
    const char *what;
};
constexpr ForeignFile kForeignFiles[] = {
    {".wav", "a WAV file"},       {".w64", "a Wave64 file"},     {".rf64", "an RF64 file"},
    {".aif", "an AIFF file"},     {".aiff", "an AIFF file"},     {".flac", "a FLAC file"},
    {".mp4", "an MP4 file"},      {".m4a", "an MP4 file"},       {".mov", "a QuickTime file"},
    {".mkv", "a Matroska file"},  {".mka", "a Matroska file"},   {".mxf", "an MXF file"},
    {".ac3", "an AC-3 stream"},   {".eac3", "an E-AC-3 stream"}, {".mp3", "an MP3 file"},
    {".aac", "an AAC stream"},
};

const ContainerRow &row_of(Container container) {
    for (const ContainerRow &row : kContainers)
        if (row.container == container) return row;
    throw Failure("internal: container without a row");
}

bool ends_with_nocase(const std::string &text, const char *suffix) {
    const size_t n = std::strlen(suffix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i])
            return false;
    return true;
}

}  // namespace

Container choose_container(const std::string &option, const std::string &output) {
    if (!option.empty()) {
        for (const ContainerRow &row : kContainers)
            if (option == row.name) return row.container;
        throw Failure("--container: " + option + " is no container; use es, ts, m2ts or ps");
    }
    for (const ContainerRow &row : kContainers)
        for (const char *extension : row.extensions)
            if (extension && ends_with_nocase(output, extension)) return row.container;
    for (const ForeignFile &file : kForeignFiles)
        if (ends_with_nocase(output, file.extension))
            throw Failure(output + ": " + file.extension + " names " + file.what +
                          ", which encode does not write: it writes an elementary stream (under another "
                          "name, or this one with --container es), a .ts, an .m2ts or a .vob");
    return Container::elementary;
}

const char *container_title(Container container) { return row_of(container).title; }

std::vector<ContainerName> container_names() {
    std::vector<ContainerName> names;
    for (const ContainerRow &row : kContainers) {
        // "an MPEG transport stream (.ts)": what it is, without the article
        // and the extensions.
        std::string title = row.title;
        title = title.substr(title.find(' ') + 1);
        title = title.substr(0, title.find(" ("));
        ContainerName name{row.name, title, {}};
        for (const char *extension : row.extensions)
            if (extension && row.name != std::string(extension + 1)) name.extensions.push_back(extension + 1);
        names.push_back(name);
    }
    return names;
}

void check_container_fits(Container container, int layer, const std::string &output) {
    const ContainerRow &chosen = row_of(container);
    if (chosen.layer == 0 || chosen.layer == layer) return;
    std::string homes = "an elementary stream (--container es)";
    for (const ContainerRow &row : kContainers)
        if (row.layer == layer)
            homes = "an elementary stream or " + std::string(row.title) + " (--container es|" +
                    row.name + ")";
    std::string text = display_name(output, true) + ": " + chosen.title + " carries " +
                       pcmpack_format::layer_name(chosen.layer) + " only; " + pcmpack_format::layer_name(layer) +
                       " is written as " + homes;
    // D-10 and planar AES3 belong in MXF, which no packaged library writes
    // from pre-packed elements.
    if (layer == 11 || layer == 12) text += "; its frame index comes with --index";
    throw Failure(text);
}

namespace {

extern "C" void print_libav_message(void *context, int level, const char *format,
                                    va_list args) {
    if (level > AV_LOG_WARNING || level > av_log_get_level()) return;
    // libavformat may build one line in several calls; the tool's prefix
    // goes before the first piece only.
    static int print_prefix = 1;
    static bool line_start = true;
    char line[1024];
    av_log_format_line2(context, level, format, args, line, sizeof line, &print_prefix);
    // The transport stream muxer warns that any codec without a stream type
    // of its own "may not be recognized upon reading"; 302M's registration
    // descriptor is exactly how readers recognise it, so that warning does
    // not apply and would only alarm.
    if (std::strstr(line, "codec s302m, is muxed as a private data stream")) return;
    std::fprintf(stderr, "%s%s", line_start ? "pcmpack: libav: " : "", line);
    const size_t n = std::strlen(line);
    line_start = n > 0 && line[n - 1] == '\n';
}

}  // namespace

void route_libav_messages(bool reading) {
    av_log_set_callback(print_libav_message);
    // A demuxer's complaints about damage are summed up in the tool's own
    // message, which names the file and the packet.
    av_log_set_level(reading ? AV_LOG_QUIET : AV_LOG_WARNING);
}

Container sniff_container(const uint8_t *data, size_t size) {
    // Two sync bytes a packet apart tell a transport stream from chance.
    if (size >= 189 && data[0] == 0x47 && data[188] == 0x47) return Container::transport;
    if (size >= 197 && data[4] == 0x47 && data[196] == 0x47) return Container::bdav;
    if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1 && data[3] == 0xBA)
        return Container::program;
    return Container::elementary;
}

}  // namespace pcmtool
