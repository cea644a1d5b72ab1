# SPDX-License-Identifier: BSD-2-Clause
"""What the container and programme interop tests share: failures gathered
rather than raised, the programs run, the test audio and its decoded
samples compared."""
import random
import struct
import subprocess
import wave

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)
    return condition


def run(args, **kwargs):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                    result.stderr.decode(errors="replace")))
    return result


def make_wav(path, rate, channels, bits, periods, seed):
    """Writes the test audio; returns its samples left-justified in 32 bits."""
    rng = random.Random(seed)
    top = (1 << (bits - 1)) - 1
    extremes = [top, -top - 1, 0, -1, 1]
    samples = []
    for period in range(periods):
        for ch in range(channels):
            if period < len(extremes):
                samples.append(extremes[(period + ch) % len(extremes)])
            else:
                samples.append(rng.randint(-top - 1, top))
    width = bits // 8
    data = b"".join(s.to_bytes(width, "little", signed=True) for s in samples)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(data)
    return [s << (32 - bits) for s in samples]


def decode(path, extra=()):
    raw = run(["ffmpeg", "-v", "error", "-i", path, *extra, "-f", "s32le", "-"]).stdout
    return list(struct.unpack("<%di" % (len(raw) // 4), raw))


def check_samples(name, decoded, source, channels, max_padding):
    if not check(len(decoded) >= len(source), "%s: %d samples decoded, %d packed"
                 % (name, len(decoded), len(source))):
        return
    check(decoded[:len(source)] == source, "%s: decoded samples differ from the source" % name)
    tail = decoded[len(source):]
    check(len(tail) // channels < max_padding and not any(tail),
          "%s: %d samples after the source, not the zero padding of one frame"
          % (name, len(tail)))
