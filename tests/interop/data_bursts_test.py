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
leave no output. Sources that already hold bursts (ffmpeg's IEC 61937 WAV,
synthetic Dolby E-typed bursts in the 20- and 24-bit modes) must come back
word for word, be named by inspect and extracted whole by unpack, and every
conversion that would change their words must be refused.
"""
import json
import os
import random
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
    """The data types and payloads of the bursts in one pair's words (left
    subframe first), found by their Pa Pb and cut at Pd bits, with the words
    each burst spans (Pa's, and the one after its last)."""
    pa, pb = PREAMBLE[bits]
    found, i = [], 0
    while i + 4 <= len(words):
        if words[i] == pa and words[i + 1] == pb:
            pc, pd = words[i + 2] >> (bits - 16), words[i + 3]
            bitstring = "".join(format(w, "0%db" % bits) for w in words[i + 4:i + 4 + -(-pd // bits)])
            payload = int(bitstring[:pd], 2).to_bytes(pd // 8, "big") if pd else b""
            end = i + 4 + -(-pd // bits)
            found.append((pc & 0x1F, payload, i, end))
            i = end
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
        # Every case writes the same scratch names: -y.
        args = [TOOL, "encode", "-y", "--data", path, "--data-pair", str(pair), "--layer", str(layer),
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
            result = run([TOOL, "unpack", "-y", out, "-o", wav])
            check(result.returncode == 0, "%s: unpack failed: %s" % (label, result.stderr.decode()))
            with wave.open(wav) as w:
                width = w.getsampwidth()
                words = w.readframes(w.getnframes())
        found = bursts(pair_words(words, width, channels, pair - 1, bits), bits)
        check([t for t, *_ in found] == [data_type] * len(found) and
              [p for _, p, *_ in found] == source_frames(data),
              "%s: %d bursts whose payloads are not the source's %d frames" %
              (label, len(found), len(source_frames(data))))

    # Refusals: status 1, a reason, and no output.
    path = sources["ac3"][0]
    aes3_only = "the AES3 formats (302M, D-10, planar)"
    for layer, bits, reason in ((4, 16, aes3_only), (13, 16, aes3_only), (11, 24, "24-bit mode")):
        out = os.path.join(tmp, "refused.es")
        rate = ["--frame-rate", "25"] if layer in (10, 11, 12) else []
        result = run([TOOL, "encode", "--data", path, "--layer", str(layer), "--bits", str(bits),
                      *rate, "-o", out])
        check(result.returncode == 1 and reason.encode() in result.stderr and not os.path.exists(out),
              "layer %d %d-bit: not refused as it should be: %d %s" %
              (layer, bits, result.returncode, result.stderr.decode()))

    prewrapped(tmp, sources["ac3"])
    late_bursts(tmp, sources["ac3"])

    if failures:
        sys.exit("%d failure(s)" % len(failures))
    print("data bursts: %d cases read back by ffmpeg, MediaInfo and unpack" % len(cases))


def write_wav(path, width, channels, values):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(48000)
        w.writeframes(b"".join((v & ((1 << 8 * width) - 1)).to_bytes(width, "little") for v in values))


def synthetic_bursts(bits, channels, pair, seed):
    """Data type 28 bursts, one per 25 fps frame, random payload, built word
    by word here: the WAV's samples (24-bit) and the payloads."""
    rng = random.Random(seed)
    pa, pb = PREAMBLE[bits]
    values, payloads = [], []
    for burst in range(12):
        pd = 8 * rng.randrange(100, 1800)
        payload = bytes(rng.randrange(256) for _ in range(pd // 8))
        bitstring = "".join(format(b, "08b") for b in payload)
        bitstring += "0" * (-len(bitstring) % bits)
        words = [pa, pb, (28 | (2 if bits == 24 else 1) << 5) << (bits - 16), pd]
        words += [int(bitstring[k:k + bits], 2) for k in range(0, len(bitstring), bits)]
        words += [0] * (2 * 1920 - len(words))
        for period in range(1920):
            row = [rng.randrange(-1 << 23, 1 << 23) for _ in range(channels)]
            row[2 * pair], row[2 * pair + 1] = (w << (24 - bits) for w in words[2 * period:2 * period + 2])
            values += row
        payloads.append(payload)
    return values, payloads


def prewrapped(tmp, ac3):
    """Sources whose pairs already hold bursts: carried word for word through
    302M, D-10 and planar, found by inspect, extracted by unpack, and every
    conversion that would change their words refused."""
    path, data, _ = ac3
    spdif_raw = os.path.join(tmp, "spdif.raw")
    ffmpeg("-i", path, "-c", "copy", "-f", "spdif", spdif_raw)
    sources = {"iec61937": (os.path.join(tmp, "iec61937.wav"), 16, 2, 0, 1, source_frames(data))}
    ffmpeg("-f", "s16le", "-ar", "48000", "-ac", "2", "-i", spdif_raw, "-c", "copy", sources["iec61937"][0])
    for name, bits, channels, pair in (("dolbye20", 20, 4, 1), ("dolbye24", 24, 2, 0), ("hdmv20", 20, 6, 1)):
        values, payloads = synthetic_bursts(bits, channels, pair, bits + channels)
        wav = os.path.join(tmp, name + ".wav")
        write_wav(wav, 3, channels, values)
        sources[name] = (wav, bits, channels, pair, 28, payloads)

    def read_wav(wav):
        with wave.open(wav) as w:
            return w.getsampwidth(), w.getnchannels(), w.readframes(w.getnframes())

    # (source, layer, extra arguments)
    carried = [("iec61937", 10, []), ("iec61937", 11, []), ("iec61937", 12, []),
               ("dolbye20", 10, []), ("dolbye20", 11, []), ("dolbye20", 12, ["--bits", "24"]),
               ("dolbye24", 10, []), ("dolbye24", 12, [])]
    for name, layer, extra in carried:
        wav, bits, channels, pair, data_type, payloads = sources[name]
        label = "pre-wrapped %s layer %d %s" % (name, layer, " ".join(extra))
        out, back, raw = (os.path.join(tmp, f) for f in ("pw.es", "pw.wav", "pw.data"))
        result = run([TOOL, "encode", "-y", wav, "--layer", str(layer), "--frame-rate", "25", *extra, "-o", out])
        check(result.returncode == 0, "%s: encode failed: %s" % (label, result.stderr.decode()))
        if result.returncode != 0:
            continue
        result = run([TOOL, "unpack", "-y", out, "-o", back, "--data-out", raw, "--data-pair", str(pair + 1)])
        check(result.returncode == 0, "%s: unpack failed: %s" % (label, result.stderr.decode()))
        if result.returncode != 0:
            continue
        width, _, source_words = read_wav(wav)
        back_width, back_channels, back_words = read_wav(back)
        sent = pair_words(source_words, width, channels, pair, bits)
        got = pair_words(back_words, back_width, back_channels, pair, bits)
        check(got[:len(sent)] == sent and not any(got[len(sent):]),
              "%s: the pair's words do not come back identical" % label)
        check(open(raw, "rb").read() == b"".join(payloads),
              "%s: unpack --data-out does not give the payloads" % label)
        info = json.loads(run([TOOL, "inspect", "--json", out]).stdout)
        found = info["pairs"][pair]
        check(found.get("data_type") == data_type and found.get("mode") == bits and
              found.get("bursts") == len(payloads) and found["errors"] == {"bad_pd": 0, "past_period": 0, "error_flag": 0} and
              found.get("data_type_name") == {1: "AC-3", 28: "Dolby E"}[data_type],
              "%s: inspect says %s" % (label, found))

    # (source, layer, extra arguments, what the refusal names)
    refused = [("iec61937", 10, ["--dither", "tpdf"], "dither"),
               ("iec61937", 12, ["--resample", "96000"], "resampling"),
               ("dolbye20", 10, ["--bits", "16"], "16-bit words would cut"),
               ("dolbye24", 11, [], "D-10"),
               ("hdmv20", 13, ["--hdmv-layout", "5.1"], "split the pair"),
               ("hdmv20", 10, ["--downmix", "2", "--channel-layout", "5.1"], "--downmix 2 would mix them")]
    for name, layer, extra, reason in refused:
        wav, bits, channels, pair, data_type, _ = sources[name]
        out = os.path.join(tmp, "pw-refused.es")
        rate = ["--frame-rate", "25"] if layer in (10, 11, 12) else []
        result = run([TOOL, "encode", wav, "--layer", str(layer), *rate, *extra, "-o", out])
        named = "pair %d) hold %s" % (pair + 1, {1: "AC-3", 28: "Dolby E"}[data_type])
        check(result.returncode == 1 and reason.encode() in result.stderr and
              named.encode() in result.stderr and not os.path.exists(out),
              "pre-wrapped %s layer %d %s: not refused as it should be: %d %s" %
              (name, layer, " ".join(extra), result.returncode, result.stderr.decode()))


def spliced(tmp, name, bursts_wav, channels, pair, rate, seconds, seed, pieces=1, piece=None):
    """A 24-bit WAV of `channels` channels at `rate` Hz: `seconds` of noise
    whose low bits are all in use, then the words of `bursts_wav` (a pair of data
    bursts from 0 s) in channels 2*pair+1 and 2*pair+2 with noise around
    them, then 1 s of noise. With `pieces`, the first `piece` periods of
    those words come that many times, as much noise after each. Returns its
    path, its samples and the lead in sample periods."""
    with wave.open(bursts_wav) as w:
        width, raw = w.getsampwidth(), w.readframes(w.getnframes())
    words = [int.from_bytes(raw[k:k + width], "little", signed=True) << 8 * (4 - width)
             for k in range(0, len(raw), width)]
    rng = random.Random(seed)
    lead = int(seconds * rate)
    piece = piece or len(words) // 2
    length = lead + (2 * pieces - 1) * piece + rate
    values = [rng.randrange(-1 << 31, 1 << 31) & ~0xFF for _ in range(length * channels)]
    for k in range(pieces):
        for period in range(piece):
            at = (lead + 2 * k * piece + period) * channels + 2 * pair
            values[at:at + 2] = words[2 * period:2 * period + 2]
    raw32 = os.path.join(tmp, name + ".s32")
    with open(raw32, "wb") as f:
        f.write(struct.pack("<%di" % len(values), *values))
    path = os.path.join(tmp, name + ".wav")
    ffmpeg("-f", "s32le", "-ar", str(rate), "-ac", str(channels), "-i", raw32, "-c:a", "pcm_s24le", path)
    return path, values, lead


def late_bursts(tmp, ac3):
    """Data bursts that start at 0 s or 3.5 s into a pair: every conversion
    that would change their words refused with status 1, naming the pair,
    the first burst's time and data type and the option that keeps them, and
    leaving no output; without one the words come back bit-exact, unpack
    extracts the payloads, and inspect gives the pair's PCM and data
    stretches with the times of the changes."""
    path, data, _ = ac3
    wrapped = {}
    for bits in (16, 24):
        es, wav = (os.path.join(tmp, "wrap%d.%s" % (bits, ext)) for ext in ("es", "wav"))
        for args in (["encode", "--data", path, "--layer", "10", "--bits", str(bits), "--frame-rate", "25", "-o", es],
                     ["unpack", es, "-o", wav]):
            result = run([TOOL, *args])
            if result.returncode != 0:
                sys.exit("cannot make the bursts: %s" % result.stderr.decode())
        wrapped[bits] = wav
    # name: (bursts' mode, channels, pair (0-based), rate, seconds before them)
    shapes = {"early16": (16, 2, 0, 48000, 0), "late16": (16, 2, 0, 48000, 3.5),
              "late24": (24, 2, 0, 48000, 3.5), "late24-44k": (24, 2, 0, 44100, 3.5),
              "late51": (24, 6, 1, 48000, 3.5)}
    sources = {name: (spliced(tmp, name, wrapped[mode], channels, pair, rate, seconds, len(name)), mode,
                      channels, pair, seconds)
               for name, (mode, channels, pair, rate, seconds) in shapes.items()}
    stretches(tmp, wrapped[16])

    # (source, arguments, None for words carried, or what the refusal names:
    # its reason and the option that keeps the words)
    table = [
        ("early16", ["--bits", "16", "--dither", "tpdf"], ("TPDF dither", "--dither none")),
        ("late16", ["--bits", "16"], ("TPDF dither", "--dither none")),
        ("late16", ["--bits", "16", "--dither", "none"], None),
        ("late24", ["--bits", "20", "--dither", "none"], ("20-bit words would cut", "--bits 24")),
        ("late24", ["--layer", "11"], ("D-10 AES3", "--layer 10")),
        ("late24-44k", ["--resample", "48000"], ("resampling to 48000 Hz", "leave out --resample")),
        ("late51", ["--layer", "13", "--hdmv-layout", "5.1"], ("split the pair", "--channel-order keep")),
        ("late51", ["--downmix", "2", "--channel-layout", "5.1"], ("--downmix 2 would mix them", "leave out --downmix")),
        ("late24", [], None),
    ]
    for row, (name, extra, refusal) in enumerate(table):
        (wav, values, lead), mode, channels, pair, seconds = sources[name]
        label = "data bursts %s %s" % (name, " ".join(extra))
        folder = tempfile.mkdtemp(prefix="row%d-" % row, dir=tmp)
        out, back, raw = (os.path.join(folder, f) for f in ("out.es", "back.wav", "back.data"))
        layer = [] if "--layer" in extra else ["--layer", "10"]
        rate = [] if "13" in extra else ["--frame-rate", "25"]
        result = run([TOOL, "encode", wav, *layer, *rate, *extra, "-o", out])
        stderr = result.stderr.decode()
        if refusal:
            named = "channels %d and %d (pair %d) hold AC-3 (data type 1, %d-bit mode) data bursts from %.3f s" % (
                2 * pair + 1, 2 * pair + 2, pair + 1, mode, seconds)
            check(result.returncode == 1 and named in stderr and all(r in stderr for r in refusal) and
                  os.listdir(folder) == [],
                  "%s: not refused as it should be: %d %s %s" % (label, result.returncode, stderr, os.listdir(folder)))
            continue
        check(result.returncode == 0, "%s: encode failed: %s" % (label, stderr))
        if result.returncode != 0:
            continue
        result = run([TOOL, "unpack", out, "-o", back, "--data-out", raw, "--data-pair", str(pair + 1)])
        check(result.returncode == 0 and open(raw, "rb").read() == data,
              "%s: unpack --data-out does not give the AC-3 frames: %s" % (label, result.stderr.decode()))
        with wave.open(back) as w:
            width, got = w.getsampwidth(), w.readframes(w.getnframes())
        sent_bits = 16 if "16" in extra else 24
        sent = [(v >> (32 - sent_bits)) & ((1 << sent_bits) - 1)
                for period in range(len(values) // channels)
                for v in values[period * channels + 2 * pair:period * channels + 2 * pair + 2]]
        words = pair_words(got, width, channels, pair, sent_bits)
        # The stream ends with a whole frame, its last periods silent.
        check(words[:len(sent)] == sent and not any(words[len(sent):]),
              "%s: the pair's words do not come back bit-exact" % label)
        # The stretches: the bursts' span found here from their preambles.
        found = bursts(pair_words(got, width, channels, pair, mode), mode)
        first, end = found[0][2] // 2, (found[-1][3] - 1) // 2 + 1
        info = json.loads(run([TOOL, "inspect", "--json", out]).stdout)["pairs"][pair]
        segments = [(g["kind"], g["start_period"], g.get("data_type"), g.get("mode")) for g in info.get("segments", [])]
        check(first == lead and info["content"] == "both" and info.get("more_changes") == 0 and
              segments == [("pcm", 0, None, None), ("data", lead, 1, mode), ("pcm", end, None, None)],
              "%s: inspect --json gives the stretches %s, not PCM, data from %d, PCM from %d" %
              (label, info, first, end))
        text = run([TOOL, "inspect", out]).stdout.decode()
        said = "pair %d           PCM until 3.500 s, then AC-3 (data type 1, %d-bit mode) bursts until %.3f s, then PCM; data:" % (
            pair + 1, mode, end / 48000)
        check(said in text, "%s: inspect does not say '%s':\n%s" % (label, said, text))


def stretches(tmp, bursts_wav):
    """A pair that turns from PCM to data and back 20 times: inspect keeps
    the first 32 changes, in order at the times the data starts, and counts
    the other 8."""
    piece = 19200  # 0.4 s: 12 bursts and part of one, then as much noise
    wav, _, lead = spliced(tmp, "stretches", bursts_wav, 2, 0, 48000, 0.5, 5, pieces=20, piece=piece)
    out = os.path.join(tempfile.mkdtemp(prefix="stretches-", dir=tmp), "out.es")
    result = run([TOOL, "encode", wav, "--layer", "10", "--frame-rate", "25", "-o", out])
    check(result.returncode == 0, "stretches: encode failed: %s" % result.stderr.decode())
    if result.returncode != 0:
        return
    info = json.loads(run([TOOL, "inspect", "--json", out]).stdout)["pairs"][0]
    segments = info.get("segments", [])
    check(info.get("more_changes") == 8 and [g["kind"] for g in segments] == ["pcm", "data"] * 16 + ["pcm"] and
          [g["start_period"] for g in segments[1::2]] == [lead + 2 * k * piece for k in range(16)],
          "stretches: inspect --json gives %s" % info)
    text = run([TOOL, "inspect", out]).stdout.decode()
    check(text.count(", then AC-3 (data type 1, 16-bit mode) bursts") == 16 and ", and 8 more changes; data:" in text,
          "stretches: inspect says:\n%s" % text)


main()
