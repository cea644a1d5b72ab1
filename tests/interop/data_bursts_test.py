#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""AC-3 and E-AC-3 carried as data bursts by `pcmpack encode --data`, read
back by programs we did not write.

  data_bursts_test.py TOOL

The compressed files are made by ffmpeg's own encoders. For 302M in a
transport stream, ffmpeg's 302M decoder must see the bursts as non-PCM, and
with -non_pcm_mode copy hand back words from which ffmpeg's spdif demuxer
(16-bit mode, AC-3) gives the source bytes; MediaInfo must name the format
with "SMPTE ST 337" and the source's bit rate in every mode. In the 20- and
24-bit modes, and for D-10 and planar, the words come back (through ffmpeg,
or through `pcmpack unpack`) and the bursts are parsed here from their
preambles, with no code of the library: their payloads must be the source
frames in order. The refused layers and modes must fail with status 1 and
leave no output.
"""
import os
import struct
import subprocess
import sys
import tempfile
import wave

TOOL = sys.argv[1]
PREAMBLE = {16: (0xF872, 0x4E1F), 20: (0x6F872, 0x54E1F), 24: (0x96F872, 0xA54E1F)}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, file=sys.stderr)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, **kw)


def ffmpeg(*args):
    result = run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args])
    if result.returncode != 0:
        sys.exit("ffmpeg failed: %s\n%s" % (" ".join(args), result.stderr.decode()))


def bursts(words, bits):
    """The payloads of the bursts in one pair's words (left subframe first),
    found by their Pa Pb and cut at Pd bits."""
    pa, pb = PREAMBLE[bits]
    found, i = [], 0
    while i + 4 <= len(words):
        if words[i] == pa and words[i + 1] == pb:
            pc, pd = words[i + 2] >> (bits - 16), words[i + 3]
            bitstring = "".join(format(w, "0%db" % bits) for w in words[i + 4:i + 4 + -(-pd // bits)])
            payload = int(bitstring[:pd], 2).to_bytes(pd // 8, "big") if pd else b""
            found.append((pc & 0x1F, payload))
            i += 4 + -(-pd // bits)
        else:
            i += 1
    return found


def source_frames(data):
    """AC-3 / E-AC-3 frames cut at the sizes their headers give."""
    frames, at = [], 0
    ac3_words = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640]
    while at < len(data):
        bsid = data[at + 5] >> 3
        size = 4 * ac3_words[(data[at + 4] & 0x3F) // 2] if bsid <= 8 else \
            2 * (((data[at + 2] & 7) << 8 | data[at + 3]) + 1)
        frames.append(data[at:at + size])
        at += size
    return frames


def pair_words(raw, width, channels, pair, bits):
    """Little-endian samples of `width` bytes, channels 2*pair and 2*pair+1,
    as words of the mode (the upper `bits` bits of the sample)."""
    count = len(raw) // width
    values = [int.from_bytes(raw[k * width:(k + 1) * width], "little") for k in range(count)]
    out = []
    for period in range(count // channels):
        for ch in (2 * pair, 2 * pair + 1):
            out.append(values[period * channels + ch] >> (8 * width - bits))
    return out


def mediainfo(path):
    return run(["mediainfo", path]).stdout.decode()


def main():
    tmp = tempfile.mkdtemp(prefix="pcmpack-data-")
    sources = {}
    for codec, ext, data_type in (("ac3", "ac3", 1), ("eac3", "ec3", 16)):
        path = os.path.join(tmp, "src." + ext)
        ffmpeg("-f", "lavfi", "-i", "sine=f=997:d=2:r=48000", "-ac", "2", "-c:a", codec,
               "-b:a", "192k", "-f", codec, path)
        sources[ext] = (path, open(path, "rb").read(), data_type)
    names = {1: "AC-3", 16: "E-AC-3"}

    # (data, layer, bits, frame rate, channels, data pair): 302M through ffmpeg,
    # D-10 and planar through unpack.
    cases = [(ext, 10, bits, fr, 2, 1) for ext in ("ac3", "ec3") for bits in (16, 20, 24)
             for fr in ("25", "30000/1001")]
    cases += [("ac3", 10, 24, "25", 6, 3), ("ac3", 11, 16, "25", 2, 1), ("ec3", 11, 20, "25", 4, 2),
              ("ac3", 12, 24, "25", 2, 1), ("ec3", 12, 16, "30000/1001", 8, 4)]
    for ext, layer, bits, fr, channels, pair in cases:
        path, data, data_type = sources[ext]
        label = "%s layer %d %d-bit %s pair %d of %d" % (ext, layer, bits, fr, pair, channels)
        out = os.path.join(tmp, "out.ts" if layer == 10 else "out.es")
        args = [TOOL, "encode", "--data", path, "--data-pair", str(pair), "--layer", str(layer),
                "--bits", str(bits), "--frame-rate", fr, "-o", out]
        if channels > 2:
            pcm = os.path.join(tmp, "pcm.wav")
            ffmpeg("-f", "lavfi", "-i", "sine=f=440:d=1:r=48000", "-ac", str(channels),
                   "-c:a", "pcm_s24le", pcm)
            args.insert(2, pcm)
        result = run(args)
        check(result.returncode == 0, "%s: encode failed: %s" % (label, result.stderr.decode()))
        if result.returncode != 0:
            continue
        width = 2 if bits == 16 else 4
        if layer == 10:
            raw = os.path.join(tmp, "words.raw")
            fmt = "s16le" if bits == 16 else "s32le"
            ffmpeg("-non_pcm_mode", "copy", "-i", out, "-c:a", "pcm_" + fmt, "-f", fmt, raw)
            words = open(raw, "rb").read()
            decode = run(["ffmpeg", "-nostdin", "-hide_banner", "-i", out, "-f", "null", "-"])
            # ffmpeg's 302M decoder looks for bursts on the first pair only.
            check(pair != 1 or b"non PCM mode with data type %d" % data_type in decode.stderr,
                  "%s: ffmpeg's default decode does not see the bursts as non-PCM" % label)
            if channels == 2:
                info = mediainfo(out)
                check(names[data_type] in info and "SMPTE ST 337" in info and "192 kb/s" in info,
                      "%s: MediaInfo says:\n%s" % (label, info))
            if bits == 16 and ext == "ac3" and channels == 2:
                back = os.path.join(tmp, "back.ac3")
                ffmpeg("-f", "spdif", "-i", raw, "-c", "copy", "-f", "ac3", back)
                check(open(back, "rb").read() == data,
                      "%s: ffmpeg's spdif demuxer does not give the source bytes" % label)
        else:
            wav = os.path.join(tmp, "back.wav")
            result = run([TOOL, "unpack", out, "-o", wav])
            check(result.returncode == 0, "%s: unpack failed: %s" % (label, result.stderr.decode()))
            with wave.open(wav) as w:
                width = w.getsampwidth()
                words = w.readframes(w.getnframes())
        found = bursts(pair_words(words, width, channels, pair - 1, bits), bits)
        check([t for t, _ in found] == [data_type] * len(found) and
              [p for _, p in found] == source_frames(data),
              "%s: %d bursts whose payloads are not the source's %d frames" %
              (label, len(found), len(source_frames(data))))

    # Refusals: status 1, a reason, and no output.
    path = sources["ac3"][0]
    for layer, bits, reason in ((4, 16, "layers 10, 11 and 12"), (13, 16, "layers 10, 11 and 12"),
                                (11, 24, "24-bit mode")):
        out = os.path.join(tmp, "refused.es")
        rate = ["--frame-rate", "25"] if layer in (10, 11, 12) else []
        result = run([TOOL, "encode", "--data", path, "--layer", str(layer), "--bits", str(bits),
                      *rate, "-o", out])
        check(result.returncode == 1 and reason.encode() in result.stderr and not os.path.exists(out),
              "layer %d %d-bit: not refused as it should be: %d %s" %
              (layer, bits, result.returncode, result.stderr.decode()))

    if failures:
        sys.exit("%d failure(s)" % len(failures))
    print("data bursts: %d cases read back by ffmpeg, MediaInfo and unpack" % len(cases))


main()
