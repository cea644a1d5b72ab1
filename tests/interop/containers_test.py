#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The containers `pcmpack encode` writes, read by programs we did not write.

  containers_test.py TOOL GROUP      GROUP: ts, m2ts, ps, mkvmerge, dvdauthor

For every case: test audio (full-scale extremes, then pseudo-random samples,
ending in a partial frame) is packed by the tool into the container; ffprobe
must name the codec, rate and channels and list one packet per access unit
at the presentation times the frame cadence gives; ffmpeg must decode the
container to the source samples, followed only by the zero padding of the
last frame. mkvmerge (an independent demuxer) must identify the BDAV and
program stream tracks and remux them to Matroska that ffmpeg decodes to the
same samples; dvdauthor must take the program stream, remuxed with a short
MPEG-2 video, into a DVD-Video folder whose audio decodes to the source.
"""
import json
import os
import shutil
import sys
import tempfile

from interop_checks import check, check_samples, decode, failures, make_wav, run

# Sample periods per 302M frame, by cadence step, for the frame rates tested.
CADENCE = {"25": [1920] * 5, "30000/1001": [1602, 1601, 1602, 1601, 1602]}

# (layer, container, rate, channels, bits, frame rate)
TS_CASES = [(10, "ts", 48000, ch, bits, fr)
            for fr in ("25", "30000/1001") for bits in (16, 24) for ch in (2, 4, 6, 8)]
M2TS_CASES = [(13, "m2ts", 48000, 2, 16, None), (13, "m2ts", 48000, 2, 24, None),
              (13, "m2ts", 96000, 2, 24, None)]
PS_CASES = [(4, "vob", rate, ch, 16, None) for rate in (48000, 96000) for ch in (1, 2)]

def probe(path):
    out = run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_packets",
               "-select_streams", "a", path]).stdout
    return json.loads(out)


def frame_periods(layer, rate, frame_rate):
    if layer == 10:
        return CADENCE[frame_rate]
    if layer == 13:
        return [240 if rate == 48000 else 480] * 5
    return [80 if rate == 48000 else 160] * 5


def encode(tool, workdir, case, seed):
    layer, container, rate, channels, bits, frame_rate = case
    name = "layer%d-%s-%dHz-%dch-%dbit%s" % (layer, container, rate, channels, bits,
                                            "-" + frame_rate.replace("/", "_") if frame_rate else "")
    periods = frame_periods(layer, rate, frame_rate)
    total = sum(periods) * 2 + periods[0] // 3  # two cadences and a partial frame
    wav = os.path.join(workdir, name + ".wav")
    source = make_wav(wav, rate, channels, bits, total, seed)
    out = os.path.join(workdir, name + "." + container)
    args = [tool, "encode", wav, "-o", out, "--layer", str(layer)]
    if frame_rate:
        args += ["--frame-rate", frame_rate]
    result = run(args)
    check(result.stderr == b"", "%s: the tool warned: %s" % (name, result.stderr.decode()))
    return name, out, source, periods


CODEC = {10: "s302m", 13: "pcm_bluray", 4: "pcm_dvd"}


def check_probe(name, out, case, periods):
    layer, _, rate, channels, bits, _ = case
    info = probe(out)
    streams = info["streams"]
    if not check(len(streams) == 1, "%s: %d audio streams" % (name, len(streams))):
        return
    s = streams[0]
    check((s["codec_name"], int(s["sample_rate"]), s["channels"]) == (CODEC[layer], rate, channels),
          "%s: ffprobe sees %s %s Hz %s channels" % (name, s["codec_name"], s["sample_rate"],
                                                   s["channels"]))
    packets = info["packets"]
    pts = [int(p["pts"]) for p in packets]
    sizes = [int(p["size"]) for p in packets]
    if layer == 4:
        # A program stream packet holds what fits in a 2048-byte pack: its
        # presentation time is that of the first audio frame (1/600 s, 150
        # ticks) that starts inside it. The last packet may hold only the end
        # of a frame; it then carries no time of its own and ffprobe makes
        # one up.
        frame_bytes = periods[0] * channels * 2
        offset = 0
        for n, (p, size) in enumerate(zip(pts[:-1], sizes)):
            payload = size - 3  # after the audio frame header
            first = -(-offset // frame_bytes)
            check(p - pts[0] == first * 150 and first * frame_bytes < offset + payload,
                  "%s: packet %d at byte %d..%d has PTS %+d, not that of its first frame at %d"
                  % (name, n, offset, offset + payload, p - pts[0], first * frame_bytes))
            offset += payload
        return
    # One packet per frame, stamped with the frame's time at 90 kHz: the
    # sample periods before it times 90000 / rate, rounded down.
    check(len(packets) > 5, "%s: only %d packets" % (name, len(packets)))
    before = 0
    for n, (p, size) in enumerate(zip(pts, sizes)):
        count = periods[n % 5]
        if layer == 10:
            group_bytes = (2 * bits + 8) // 8
            expected_size = 4 + count * channels // 2 * group_bytes
        else:
            expected_size = 4 + count * channels * (2 if bits == 16 else 3)
        check(p - pts[0] == before * 90000 // rate,
              "%s: packet %d has PTS %+d, expected %+d" % (name, n, p - pts[0],
                                                          before * 90000 // rate))
        check(size == expected_size, "%s: packet %d has %d bytes, a frame %d"
              % (name, n, size, expected_size))
        before += count


def group_probe_and_decode(tool, workdir, cases):
    for seed, case in enumerate(cases, 1):
        before = len(failures)
        name, out, source, periods = encode(tool, workdir, case, seed)
        check_probe(name, out, case, periods)
        check_samples(name, decode(out), source, case[3], max(periods))
        print("%s: %s (seed %d)" % ("ok" if len(failures) == before else "failed", name, seed))


def group_mkvmerge(tool, workdir):
    cases = M2TS_CASES[:2] + [PS_CASES[1], PS_CASES[2]]
    for seed, case in enumerate(cases, 100):
        before = len(failures)
        layer, _, rate, channels, bits, _ = case
        name, out, source, periods = encode(tool, workdir, case, seed)
        ident = json.loads(run(["mkvmerge", "-J", out]).stdout)
        tracks = [t for t in ident.get("tracks", []) if t["type"] == "audio"]
        if not check(len(tracks) == 1, "%s: mkvmerge finds %d audio tracks" % (name, len(tracks))):
            continue
        props = tracks[0]["properties"]
        check((tracks[0]["codec"], props.get("audio_channels"),
               props.get("audio_sampling_frequency"), props.get("audio_bits_per_sample")) ==
              ("PCM", channels, rate, bits),
              "%s: mkvmerge identifies %s" % (name, tracks[0]))
        mkv = out + ".mkv"
        run(["mkvmerge", "-q", "-o", mkv, out])
        check_samples(name + " via Matroska", decode(mkv), source, channels, max(periods))
        print("%s: %s through mkvmerge (seed %d)"
              % ("ok" if len(failures) == before else "failed", name, seed))


def group_dvdauthor(tool, workdir):
    case = PS_CASES[1]  # stereo 48 kHz, what a DVD player must play
    name, out, source, periods = encode(tool, workdir, case, 200)
    video = os.path.join(workdir, "video.m2v")
    run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=720x576:rate=25", "-t", "1",
         "-c:v", "mpeg2video", "-b:v", "4M", "-maxrate", "8M", "-bufsize", "1835k", "-g", "12",
         "-pix_fmt", "yuv420p", "-aspect", "4:3", "-f", "mpeg2video", video])
    muxed = os.path.join(workdir, "dvd.mpg")
    run(["ffmpeg", "-v", "error", "-fflags", "+genpts", "-i", video, "-i", out, "-map", "0:v",
         "-map", "1:a", "-c", "copy", "-f", "dvd", muxed])
    folder = os.path.join(workdir, "dvd")
    env = dict(os.environ, VIDEO_FORMAT="PAL")
    log = run(["dvdauthor", "-o", folder, "-t", muxed], env=env).stderr.decode()
    run(["dvdauthor", "-o", folder, "-T"], env=env)
    check("Audio ch 0 format: pcm/2ch,  48khz 16bps" in log,
          "%s: dvdauthor did not see the LPCM track: %s" % (name, log))
    vob = os.path.join(folder, "VIDEO_TS", "VTS_01_1.VOB")
    check(os.path.exists(vob), "%s: dvdauthor wrote no title VOB" % name)
    check_samples(name + " on DVD-Video", decode(vob, ["-map", "0:a"]), source, 2, max(periods))
    print("%s: %s through dvdauthor" % ("failed" if failures else "ok", name))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    tool, group = sys.argv[1], sys.argv[2]
    needed = {"mkvmerge": ["mkvmerge"], "dvdauthor": ["dvdauthor"]}.get(group, [])
    for program in ["ffmpeg", "ffprobe"] + needed:
        if not shutil.which(program):
            print("FAIL: %s is not installed (scripts/install-deps.sh installs it)" % program)
            return 1
    with tempfile.TemporaryDirectory(prefix="pcmpack-containers-") as workdir:
        if group == "ts":
            group_probe_and_decode(tool, workdir, TS_CASES)
        elif group == "m2ts":
            group_probe_and_decode(tool, workdir, M2TS_CASES)
        elif group == "ps":
            group_probe_and_decode(tool, workdir, PS_CASES)
        elif group == "mkvmerge":
            group_mkvmerge(tool, workdir)
        elif group == "dvdauthor":
            group_dvdauthor(tool, workdir)
        else:
            print(__doc__)
            return 2
    if failures:
        print("%d failures" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
