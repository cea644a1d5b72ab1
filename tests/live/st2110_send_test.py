#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""ST 2110-30 sent over this machine's loopback, received by others.

  st2110_send_test.py TOOL

Each row sends a second of noise to rtp://127.0.0.1 (or ::1) and has ffmpeg,
from the SDP the tool wrote, or GStreamer's udpsrc ! rtpL24depay ! filesink record it;
the recording must be the source, sample for sample. Then two senders
started 300 ms apart, received by the test's own sockets: every packet's
timestamp lies on the packet grid of the media clock (CLOCK_TAI), never
before the sender started and never after the packet arrived less its packet
time, so that simultaneous samples of the two carry one timestamp.
"""
import concurrent.futures
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import random

TOOL = os.path.abspath(sys.argv[1])
RATE = 48000
# receiver, channels, packet time, address
CASES = [
    ("ffmpeg", 2, "1ms", "127.0.0.1"),
    ("ffmpeg", 8, "125us", "127.0.0.1"),
    ("ffmpeg", 2, "125us", "::1"),
    ("ffmpeg", 8, "1ms", "127.0.0.1"),
    ("gstreamer", 2, "1ms", "127.0.0.1"),
    ("gstreamer", 8, "125us", "127.0.0.1"),
    ("gstreamer", 2, "125us", "127.0.0.1"),
    ("gstreamer", 8, "1ms", "127.0.0.1"),
]
PTIME_SAMPLES = {"1ms": 48, "125us": 6}
failures = []


def free_port(family):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind(("::1" if family == socket.AF_INET6 else "127.0.0.1", 0))
        return s.getsockname()[1]


def bound(port):
    """Whether some process has the UDP port open: the receiver is ready."""
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        for line in open(table).read().splitlines()[1:]:
            if int(line.split()[1].split(":")[1], 16) == port:
                return True
    return False


def wait_bound(port, process):
    while not bound(port):
        if process.poll() is not None:
            return False
        time.sleep(0.05)
    return True


def noise_wav(path, channels, seconds):
    """A WAV of 24-bit noise; returns its sample bytes (little-endian, interleaved)."""
    raw = random.Random(channels).randbytes(int(RATE * seconds) * channels * 3)
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(raw), b"WAVE", b"fmt ", 16, 1, channels,
                         RATE, RATE * channels * 3, channels * 3, 24, b"data", len(raw))
    open(path, "wb").write(header + raw)
    return raw


def recorded_samples(path, channels, kind):
    """ffmpeg's WAV (24-bit little-endian), or the depayloader's own S24BE, as
    little-endian sample bytes in the source's channel order."""
    data = open(path, "rb").read()
    if kind == "ffmpeg":
        at = data.find(b"data") + 8
        return data[at:]
    little = bytearray(len(data) // 3 * 3)
    for k in range(3):
        little[k::3] = data[2 - k:len(little):3]
    if channels != 8:
        return bytes(little)
    # rtpL24depay gives eight channels with no order it knows the speaker
    # positions of its default 7.1 and hands them on in its own order, the
    # third pair after the fourth.
    ordered = bytearray(len(little) // 24 * 24)
    for to, source in enumerate([0, 1, 2, 3, 6, 7, 4, 5]):
        for k in range(3):
            ordered[to * 3 + k::24] = little[source * 3 + k:len(ordered):24]
    return bytes(ordered)


def receiver(kind, sdp, port, channels, out, periods, packets):
    if kind == "ffmpeg":
        return subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-protocol_whitelist",
                                 "file,udp,rtp", "-i", sdp, "-t", "%.6f" % (periods / RATE), "-c:a",
                                 "pcm_s24le", "-y", out], stderr=subprocess.PIPE)
    caps = ("application/x-rtp,media=audio,clock-rate=%d,encoding-name=L24,channels=%d,payload=97"
            % (RATE, channels))
    return subprocess.Popen(["gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=%d" % port,
                             "num-buffers=%d" % packets, "buffer-size=8388608", "caps=" + caps, "!", "rtpL24depay", "!", "filesink",
                             "location=" + out], stderr=subprocess.PIPE)


def send(source, url, ptime, sdp, extra=()):
    return subprocess.run([TOOL, "encode", source, "-o", url, "--ptime", ptime, "--sdp", sdp, "-y", *extra],
                          capture_output=True, text=True, timeout=60)


def run_case(folder, kind, channels, ptime, address):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    port = free_port(family)
    url = "rtp://%s:%d" % ("[%s]" % address if family == socket.AF_INET6 else address, port)
    name = "%s %d ch %s %s" % (kind, channels, ptime, address)
    source, sdp, out = (os.path.join(folder, "%s.%s" % (name.replace(" ", "_"), ext)) for ext in ("wav", "sdp", "got.wav"))
    samples = noise_wav(source, channels, 1.0)
    # The SDP comes first, from a run of no audio to the same place.
    silence = source + ".silence.wav"
    noise_wav(silence, channels, 0)
    first = send(silence, url, ptime, sdp)
    if first.returncode != 0:
        failures.append("%s: the sender failed: %s" % (name, first.stderr))
        return
    periods = len(samples) // (3 * channels)
    rx = receiver(kind, sdp, port, channels, out, periods, periods // PTIME_SAMPLES[ptime])
    try:
        if not wait_bound(port, rx):
            failures.append("%s: the receiver ended before it listened: %s" % (name, rx.stderr.read()))
            return
        sent = send(source, url, ptime, sdp)
        if sent.returncode != 0:
            failures.append("%s: the sender failed: %s" % (name, sent.stderr))
        rx.wait(timeout=30)
    except subprocess.TimeoutExpired:
        failures.append("%s: the receiver did not end: packets lost on the way" % name)
        return
    finally:
        if rx.poll() is None:
            rx.kill()
            rx.wait()
    got = recorded_samples(out, channels, kind) if os.path.exists(out) else b""
    frame = 3 * channels
    if got != samples:
        differ = next((i for i in range(0, min(len(got), len(samples)), frame)
                       if got[i:i + frame] != samples[i:i + frame]), None)
        failures.append("%s: received %d periods, the source has %d; first differing period %s"
                        % (name, len(got) // frame, len(samples) // frame,
                           None if differ is None else differ // frame))
    print("%s: %d periods received, sample-exact: %s" % (name, len(got) // frame, got == samples))


def capture(sock, packets, done):
    sock.settimeout(0.2)
    while not done.is_set():
        try:
            data = sock.recv(2048)
        except socket.timeout:
            continue
        packets.append((time.clock_gettime_ns(time.CLOCK_TAI), struct.unpack_from(">I", data, 4)[0]))


def full_ticks(timestamp, near):
    """The media clock count whose low 32 bits are `timestamp`, nearest `near`."""
    return near + ((timestamp - near + (1 << 31)) % (1 << 32)) - (1 << 31)


def timestamps_agree(folder):
    spp, ptime_ns = 48, 1_000_000
    source = os.path.join(folder, "agree.wav")
    noise_wav(source, 2, 1.0)
    socks, captured, launched, runs = [], [[], []], [], []
    for k in range(2):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        socks.append(s)
    done = threading.Event()
    threads = [threading.Thread(target=capture, args=(socks[k], captured[k], done)) for k in range(2)]
    for t in threads:
        t.start()
    for k in range(2):
        if k:
            time.sleep(0.3)
        launched.append(time.clock_gettime_ns(time.CLOCK_TAI))
        # The second on a real-time priority: its timestamps are the same clock's.
        runs.append(subprocess.Popen([TOOL, "encode", source, "-o", "rtp://127.0.0.1:%d" % socks[k].getsockname()[1],
                                      *(["--realtime"] if k else [])], stderr=subprocess.PIPE, text=True))
    for r in runs:
        r.wait(timeout=30)
    time.sleep(0.5)
    done.set()
    for t in threads:
        t.join()
    for k in range(2):
        packets = captured[k]
        if len(packets) != RATE // spp or runs[k].returncode != 0:
            failures.append("sender %d: %d packets of %d, status %s" % (k, len(packets), RATE // spp, runs[k].returncode))
            continue
        ticks = [full_ticks(ts, arrival * RATE // 10**9) for arrival, ts in packets]
        off_grid = [t for t in ticks if t % spp]
        early = [i for i, ((arrival, _), t) in enumerate(zip(packets, ticks))
                 if t * 10**9 // RATE + ptime_ns > arrival + 10**9 // RATE]
        steps = {b - a for a, b in zip(ticks, ticks[1:])}
        if off_grid or early or steps != {spp} or ticks[0] * 10**9 // RATE < launched[k] - 10**9 // RATE:
            failures.append("sender %d: %d timestamps off the packet grid, %d packets before their "
                            "samples were due, steps %s, first sample %d ns after launch"
                            % (k, len(off_grid), len(early), sorted(steps)[:3],
                               ticks[0] * 10**9 // RATE - launched[k]))
        print("sender %d: first timestamp %d samples after its launch; packets arrive %.0f us "
              "(median) after their last sample" % (k, ticks[0] - launched[k] * RATE // 10**9,
              sorted((a - t * 10**9 // RATE - ptime_ns) / 1e3 for (a, _), t in zip(packets, ticks))[len(ticks) // 2]))


def realtime_refused(folder):
    """Without the capability, --realtime is refused before a datagram leaves."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        return
    source = os.path.join(folder, "agree.wav")
    run = subprocess.run(["setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice", TOOL, "encode", source,
                          "-o", "rtp://127.0.0.1:9", "--realtime"], capture_output=True, text=True, timeout=30)
    if run.returncode != 1 or "--realtime: the system refuses a real-time priority" not in run.stderr:
        failures.append("--realtime without the capability: status %d: %s" % (run.returncode, run.stderr))


with tempfile.TemporaryDirectory() as folder:
    # Four rows at a time, each on its own port: a receiver's start-up, not
    # the second of audio, is most of a row's time.
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        list(pool.map(lambda case: run_case(folder, *case), CASES))
    timestamps_agree(folder)
    realtime_refused(folder)

for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
