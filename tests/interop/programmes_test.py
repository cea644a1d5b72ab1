#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Programmes `pcmpack encode` writes (video copied, several audio tracks,
service data), read by programs we did not write.

  programmes_test.py TOOL

One table across containers, video codecs, frame rates and track counts.
For every row ffmpeg makes a second of test video and the test its audio
(full-scale extremes, then pseudo-random samples, ending in a partial
frame); the tool writes the programme. Then:
- ffprobe lists the video's codec and every audio track with its codec,
  channels, PID and language; the video's packets equal the source's byte
  for byte; the audio's first sample falls on the first video frame (plus
  --audio-offset), and every 302M packet on its own video frame's time;
- ffmpeg decodes every audio track to its source's samples exactly,
  followed only by the zero padding of the last frame;
- .m2ts: mkvmerge lists the tracks with their PIDs and languages;
- .ts: ffprobe and MediaInfo report the service name, the provider and
  the languages; with --muxrate the bytes between clock references keep
  the constant rate; AC-3 carried in a pair comes back through ffmpeg's
  302M decoder and spdif demuxer as the source's bytes;
- .vob: dvdauthor builds VIDEO_TS without a warning line, and the authored
  VOB's audio decodes to the sources (a program stream carries no
  language: dvdauthor's XML gives each audio stream its own).
"""
import collections
import json
import os
import shutil
import struct
import sys
import tempfile

from interop_checks import check, check_samples, decode, failures, make_wav, run

# interlaced: coded as fields, top first (broadcast's 1080i).
Video = collections.namedtuple("Video", "codec width height rate suffix interlaced", defaults=(False,))
Track = collections.namedtuple("Track", "channels bits")
# data: the first track's first pair carries AC-3 from --data (16-bit 302M,
# where ffmpeg's decoder looks for bursts).
Case = collections.namedtuple("Case", "name container video tracks options languages pids offset data",
                              defaults=(False,))

PAL = Video("mpeg2video", 720, 576, "25", "m2v")
NTSC = Video("mpeg2video", 720, 480, "30000/1001", "m2v")

CASES = [
    Case("dvd-pal-two-tracks", "vob", PAL, [Track(2, 16), Track(2, 16)],
         ["--target", "dvd"], None, None, 0),
    Case("dvd-ntsc-stereo-and-mono", "vob", NTSC, [Track(2, 16), Track(1, 16)],
         ["--target", "dvd"], None, None, 0),
    Case("bluray-h264-5.1-and-stereo", "m2ts", Video("libx264", 1920, 1080, "24", "ts"),
         [Track(6, 24), Track(2, 16)],
         ["--target", "hdmv", "--hdmv-layout", "5.1,auto", "--language", "eng,spa"],
         ["eng", "spa"], [0x1011, 0x1100, 0x1101], 0),
    Case("broadcast-mpeg2-25", "ts", Video("mpeg2video", 1920, 1080, "25", "ts", True), [Track(8, 24)],
         ["--language", "eng", "--service-name", "Test One", "--service-provider", "Test House"],
         ["eng"], None, 0),
    Case("broadcast-mpeg2-2997-offset", "ts", Video("mpeg2video", 1920, 1080, "30000/1001", "ts", True),
         [Track(8, 24)],
         ["--language", "spa", "--service-name", "Dos", "--service-provider", "Casa",
          "--audio-offset", "0.0333666", "--program-number", "7"],
         ["spa"], None, 3003),
    Case("broadcast-h264-25-two-services", "ts", Video("libx264", 1920, 1080, "25", "ts", True),
         [Track(8, 24), Track(2, 16)],
         ["--language", "eng,spa", "--service-name", "Three", "--service-provider", "Test House",
          "--video-pid", "0x100", "--audio-pid", "0x101"],
         ["eng", "spa"], [0x100, 0x101, 0x102], 0),
    Case("broadcast-h264-2997", "ts", Video("libx264", 1920, 1080, "30000/1001", "ts", True),
         [Track(8, 16)],
         ["--language", "eng", "--service-name", "Four", "--service-provider", "Test House",
          "--muxrate", "30000000"],
         ["eng"], None, 0),
    Case("broadcast-h264-25-ac3-pair", "ts", Video("libx264", 1920, 1080, "25", "ts", True),
         [Track(8, 16)],
         ["--language", "eng", "--service-name", "Six", "--service-provider", "Test House"],
         ["eng"], None, 0, True),
    # The frames of 59.94 Hz fall on half ticks of the 90 kHz clock.
    Case("broadcast-h264-5994", "ts", Video("libx264", 1280, 720, "60000/1001", "ts"),
         [Track(2, 24)],
         ["--language", "eng", "--service-name", "Five", "--service-provider", "Test House"],
         ["eng"], None, 0),
]

AUDIO_CODEC = {"vob": "pcm_dvd", "m2ts": "pcm_bluray", "ts": "s302m"}
# What MediaInfo writes for an ISO 639-2 language.
TWO_LETTERS = {"eng": "en", "spa": "es"}


def make_video(path, video):
    args = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
            "testsrc=size=%dx%d:rate=%s" % (video.width, video.height, video.rate), "-t", "1",
            "-c:v", video.codec, "-pix_fmt", "yuv420p"]
    if video.codec == "libx264":
        args += ["-preset", "ultrafast"]
    else:
        args += ["-b:v", "4M", "-maxrate", "6M", "-bufsize", "1835k", "-g", "12"]
    if video.interlaced:
        args += ["-flags", "+ilme+ildct", "-top", "1"]
    if video.suffix == "m2v":
        args += ["-aspect", "16:9", "-f", "mpeg2video"]
    run(args + [path])


def probe(path, *entries):
    return json.loads(run(["ffprobe", "-v", "error", "-of", "json", *entries, path]).stdout)


def packet_hashes(path):
    """The video's packets, size and MD5 each, in order."""
    out = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy", "-f",
               "framemd5", "-"]).stdout.decode()
    return [tuple(f.strip() for f in line.split(",")[4:6]) for line in out.splitlines()
            if line and not line.startswith("#")]


def pts_of(path, selector):
    info = probe(path, "-select_streams", selector, "-show_entries", "packet=pts")
    return [int(p["pts"]) for p in info["packets"] if "pts" in p]


def check_streams(case, out):
    info = probe(out, "-show_streams", "-show_programs")
    video = [s for s in info["streams"] if s["codec_type"] == "video"]
    audio = [s for s in info["streams"] if s["codec_type"] == "audio"]
    want = "h264" if case.video.codec == "libx264" else "mpeg2video"
    check(len(video) == 1 and video[0]["codec_name"] == want,
          "%s: ffprobe sees video %s" % (case.name, [s["codec_name"] for s in video]))
    check([(s["codec_name"], s["channels"]) for s in audio] ==
          [(AUDIO_CODEC[case.container], t.channels) for t in case.tracks],
          "%s: ffprobe sees audio %s" % (case.name, [(s["codec_name"], s["channels"]) for s in audio]))
    if case.languages:
        seen = [s.get("tags", {}).get("language") for s in audio]
        check(seen == case.languages, "%s: ffprobe sees languages %s" % (case.name, seen))
    if case.pids:
        seen = [int(s["id"], 16) for s in video + audio]
        check(seen == case.pids, "%s: ffprobe sees PIDs %s" % (case.name, [hex(p) for p in seen]))
    return info


def check_timing(case, out):
    """The audio starts on the first video frame, and 302M frames fall on
    the video's frames."""
    video_pts = sorted(pts_of(out, "v:0"))
    num, den = (int(x) for x in (case.video.rate + "/1").split("/")[:2])
    for track in range(len(case.tracks)):
        audio_pts = pts_of(out, "a:%d" % track)
        check(audio_pts and audio_pts[0] == video_pts[0] + case.offset,
              "%s: track %d starts at %s, the video at %d (offset %d)"
              % (case.name, track + 1, audio_pts[:1], video_pts[0], case.offset))
        if case.container != "ts":
            continue
        frames = set(video_pts)
        off = [n for n, p in enumerate(audio_pts)
               if p != video_pts[0] + case.offset + (2 * n * 90000 * den + num) // (2 * num) or
               (p - case.offset <= video_pts[-1] and p - case.offset not in frames)]
        check(not off, "%s: track %d: 302M packets %s are off their video frames"
              % (case.name, track + 1, off[:5]))


def check_service(case, out, info):
    tags = info["programs"][0].get("tags", {}) if info.get("programs") else {}
    args = case.options
    name = args[args.index("--service-name") + 1]
    provider = args[args.index("--service-provider") + 1]
    check((tags.get("service_name"), tags.get("service_provider")) == (name, provider),
          "%s: ffprobe sees service %s" % (case.name, tags))
    if "--program-number" in args:
        number = int(args[args.index("--program-number") + 1])
        check(info["programs"][0].get("program_num") == number,
              "%s: ffprobe sees program %s" % (case.name, info["programs"][0].get("program_num")))
    media = json.loads(run(["mediainfo", "--Output=JSON", out]).stdout)["media"]["track"]
    menu = [t for t in media if t["@type"] == "Menu"]
    check(menu and (menu[0].get("ServiceName"), menu[0].get("ServiceProvider")) == (name, provider),
          "%s: MediaInfo sees service %s" % (case.name, menu))
    languages = [t.get("Language") for t in media if t["@type"] == "Audio"]
    check(languages == [TWO_LETTERS[l] for l in case.languages],
          "%s: MediaInfo sees languages %s" % (case.name, languages))


def check_constant_rate(case, out):
    """Between any two clock references the bytes are those of the
    constant rate asked for."""
    muxrate = int(case.options[case.options.index("--muxrate") + 1])
    data = open(out, "rb").read()
    pcrs = []
    for pos in range(0, len(data) - 187, 188):
        p = data[pos:pos + 188]
        pid = (p[1] & 0x1F) << 8 | p[2]
        if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10 and (not pcrs or pcrs[0][0] == pid):
            base = p[6] << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7
            pcrs.append((pid, pos, base * 300 + ((p[10] & 1) << 8 | p[11])))
    rates = [(b - a) * 8 * 27000000 / (d - c) for (_, a, c), (_, b, d) in zip(pcrs, pcrs[1:])]
    check(len(rates) > 10 and all(abs(r - muxrate) <= muxrate / 1000 for r in rates),
          "%s: %d clock references, rates between them %s" % (case.name, len(pcrs), rates[:3]))


def check_mkvmerge(case, out):
    tracks = json.loads(run(["mkvmerge", "-J", out]).stdout)["tracks"]
    seen = [(t["type"], t["properties"].get("number"), t["properties"].get("language"))
            for t in tracks]
    want = [("video", case.pids[0], None)] + [("audio", pid, lang)
                                              for pid, lang in zip(case.pids[1:], case.languages)]
    check(seen == want, "%s: mkvmerge lists %s" % (case.name, seen))


def author(case, workdir, out):
    """dvdauthor's title set from the VOB; returns the authored VOB."""
    folder = os.path.join(workdir, case.name + "-dvd")
    env = dict(os.environ, VIDEO_FORMAT="PAL" if case.video.height == 576 else "NTSC")
    log = run(["dvdauthor", "-o", folder, "-t", out], env=env).stderr.decode()
    log += run(["dvdauthor", "-o", folder, "-T"], env=env).stderr.decode()
    warnings = [line for line in log.splitlines() if "WARN" in line or "ERR" in line]
    check(not warnings, "%s: dvdauthor warned %d times: %s" % (case.name, len(warnings), warnings[:3]))
    check(log.count("format: pcm/") == len(case.tracks),
          "%s: dvdauthor did not see %d LPCM tracks: %s" % (case.name, len(case.tracks), log))
    return os.path.join(folder, "VIDEO_TS", "VTS_01_1.VOB")


def check_data_pair(case, out, ac3, source, channels):
    """ffmpeg's 302M decoder hands the bursts' words on as they are; its
    spdif demuxer finds the AC-3 frames in the first pair's, and the other
    pairs decode to the source."""
    raw = run(["ffmpeg", "-v", "error", "-non_pcm_mode", "copy", "-i", out, "-map", "0:a:0",
               "-f", "s16le", "-"]).stdout
    words = struct.unpack("<%dh" % (len(raw) // 2), raw)
    pair = struct.pack("<%dh" % (len(words) // channels * 2),
                       *[w for i, w in enumerate(words) if i % channels < 2])
    back = run(["ffmpeg", "-v", "error", "-f", "spdif", "-i", "-", "-c", "copy", "-f", "ac3", "-"],
               input=pair).stdout
    check(back == open(ac3, "rb").read(), "%s: ffmpeg's spdif demuxer does not give the AC-3 "
          "source (%d bytes of %d)" % (case.name, len(back), os.path.getsize(ac3)))
    pcm = [w << 16 for i, w in enumerate(words) if i % channels >= 2]
    want = [v for i, v in enumerate(source) if i % channels >= 2]
    check(pcm[:len(want)] == want, "%s: the PCM pairs beside the bursts differ from the source"
          % case.name)


def run_case(tool, workdir, case, seed):
    source_video = os.path.join(workdir, case.name + "-video." + case.video.suffix)
    make_video(source_video, case.video)
    wavs, sources = [], []
    for n, track in enumerate(case.tracks):
        wav = os.path.join(workdir, "%s-%d.wav" % (case.name, n + 1))
        # A second less a partial frame: the last frame is padded.
        sources.append(make_wav(wav, 48000, track.channels, track.bits, 48000 - 333, seed * 10 + n))
        wavs.append(wav)
    out = os.path.join(workdir, case.name + "." + case.container)
    options = list(case.options)
    if case.data:
        ac3 = os.path.join(workdir, case.name + ".ac3")
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000",
             "-t", "0.5", "-ac", "2", "-c:a", "ac3", ac3])
        options += ["--data", ac3, "--data-pair", "1"]
    result = run([tool, "encode", *wavs, "-o", out, "--video", source_video, *options])
    said = result.stderr.decode().splitlines()
    # With --data, one note: which pair the bursts take from the input.
    noted = [l for l in said if case.data and "channels 1 and 2 carry the AC-3 data" in l]
    check(said == noted, "%s: the tool said: %s" % (case.name, said))
    info = check_streams(case, out)
    check(packet_hashes(out) == packet_hashes(source_video),
          "%s: the video's packets differ from the source's" % case.name)
    check_timing(case, out)
    if case.container == "ts":
        check_service(case, out, info)
    if "--muxrate" in case.options:
        check_constant_rate(case, out)
    if case.container == "m2ts":
        check_mkvmerge(case, out)
    if case.data:
        check_data_pair(case, out, ac3, sources[0], case.tracks[0].channels)
        return
    decoded_from = author(case, workdir, out) if case.container == "vob" else out
    for n, track in enumerate(case.tracks):
        check_samples("%s track %d" % (case.name, n + 1), decode(decoded_from, ["-map", "0:a:%d" % n]),
                      sources[n], track.channels, 2000)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    for program in ["ffmpeg", "ffprobe", "mkvmerge", "mediainfo", "dvdauthor"]:
        if not shutil.which(program):
            print("FAIL: %s is not installed (scripts/install-deps.sh installs it)" % program)
            return 1
    with tempfile.TemporaryDirectory(prefix="pcmpack-programmes-") as workdir:
        for seed, case in enumerate(CASES, 1):
            before = len(failures)
            run_case(sys.argv[1], workdir, case, seed)
            print("%s: %s (seed %d)" % ("ok" if len(failures) == before else "failed", case.name, seed))
    if failures:
        print("%d failures" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
