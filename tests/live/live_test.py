#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""302M sent live by `pcmpack encode -o udp://... | srt://...` over loopback.

  live_test.py TOOL [CASE...]

Every case sends audio in real time to a receiver on 127.0.0.1, on ports
free when it starts, and the cases run side by side. Receivers we did not
write (ffmpeg over UDP and as an SRT listener, srt-live-transmit as a relay
from SRT to UDP) must decode the source exactly; a receiver written here
takes the datagrams with the kernel's arrival times and checks what a
broadcast receiver checks: pacing, constant bit rate, clock reference
intervals, table repetition, continuity counters, and clock references that
follow arrival. Faults: a listener restarted mid-stream, SIGTERM mid-stream,
a live capture on a pipe. Prints the measured figures.
"""
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

RATE = 48000
CHANNELS = 8
SECONDS = 20
LATENCY = 0.100  # the tool's default --latency
# Clock against arrival, from the first tenth of a run to the last: the
# medians of both, which a sender woken late now and then does not move,
# though a machine busy for a whole tenth of the run moves them a few ms.
# A clock off by 0.1% (a 1001 rate taken for its whole one) parts 20 ms.
DRIFT = 0.010
# Arrival times stamped by the kernel, not by a Python thread that may be
# late (Linux's SO_TIMESTAMPNS, which older Pythons do not name).
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
FFMPEG = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]

failures = []
figures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wav_header(periods):
    """24-bit WAVE_FORMAT_EXTENSIBLE header; periods None: a capture of unknown length."""
    data = 0xFFFFFFFF if periods is None else periods * CHANNELS * 3
    fmt = struct.pack("<HHIIHHHHIH14s", 0xFFFE, CHANNELS, RATE, RATE * CHANNELS * 3, CHANNELS * 3,
                      24, 22, 24, 0, 1, b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71")
    riff = 0xFFFFFFFF if periods is None else 4 + 8 + len(fmt) + 8 + data
    return (b"RIFF" + struct.pack("<I", riff) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) +
            fmt + b"data" + struct.pack("<I", data))


def source_audio(seconds, seed):
    """Pseudo-random 24-bit samples: no stretch of them repeats."""
    return random.Random(seed).randbytes(seconds * RATE * CHANNELS * 3)


class Capture(threading.Thread):
    """UDP datagrams on a free port, each with its kernel arrival time."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.datagrams = []  # (arrival seconds, bytes)
        self.done = threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            try:
                data, ancillary, _, _ = self.sock.recvmsg(65536, 64)
            except socket.timeout:
                continue
            arrival = time.time()
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", value[:16])
                    arrival = sec + nsec / 1e9
            self.datagrams.append((arrival, data))

    def stop(self):
        time.sleep(0.5)
        self.done.set()
        self.join()
        self.sock.close()
        return self.datagrams


def ts_packets(datagrams):
    """(arrival, byte offset, packet) for every 188-byte packet."""
    offset = 0
    for arrival, data in datagrams:
        for at in range(0, len(data), 188):
            yield arrival, offset, data[at:at + 188]
            offset += 188


def pts_of(pes):
    if len(pes) < 14 or pes[:3] != b"\x00\x00\x01" or not pes[7] & 0x80:
        return None
    p = pes[9:14]
    return ((p[0] >> 1 & 7) << 30 | p[1] << 22 | (p[2] >> 1) << 15 | p[3] << 7 | p[4] >> 1)


def analyse(datagrams):
    """What a receiver checks, per packet; times in seconds."""
    r = {"pcr": [], "tables": {}, "cc_errors": 0, "sync_errors": 0, "frames": []}
    last_cc = {}
    for arrival, offset, p in ts_packets(datagrams):
        if len(p) != 188 or p[0] != 0x47:
            r["sync_errors"] += 1
            continue
        pid = (p[1] & 0x1F) << 8 | p[2]
        control, cc = p[3] >> 4 & 3, p[3] & 15
        payload = 4
        if control & 2:
            length = p[4]
            if length and p[5] & 0x10:
                b = p[6:12]
                base = b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7
                pcr = (base * 300 + ((b[4] & 1) << 8 | b[5])) / 27e6
                r["pcr"].append((offset, pcr, arrival))
            payload = 5 + length
        if pid == 0x1FFF:
            continue
        if control & 1:
            if pid in last_cc and cc != (last_cc[pid] + 1) % 16:
                r["cc_errors"] += 1
            last_cc[pid] = cc
        if pid == 0 and "pat" not in r:
            r["pat"] = p
        if p[1] & 0x40:
            r["tables"].setdefault(pid, []).append(offset)
            pts = pts_of(p[payload:])
            if pts is not None:
                r["frames"].append((offset, pts / 90000.0, arrival))
    return r


def pcr_at(pcrs, offset):
    """The clock at a byte offset, between the clock references around it."""
    for (o0, c0, _), (o1, c1, _) in zip(pcrs, pcrs[1:]):
        if o0 <= offset <= o1:
            return c0 + (c1 - c0) * (offset - o0) / (o1 - o0)
    return None


def check_timing(name, datagrams, muxrate, seconds):
    r = analyse(datagrams)
    pcrs = r["pcr"]
    if not check(len(pcrs) > 100 and r["frames"], name + ": no clock references or frames received"):
        return
    check(r["sync_errors"] == 0, "%s: %d packets without sync byte" % (name, r["sync_errors"]))
    check(r["cc_errors"] == 0, "%s: %d continuity counter errors" % (name, r["cc_errors"]))
    pcr_gap = max(b[1] - a[1] for a, b in zip(pcrs, pcrs[1:]))
    check(pcr_gap <= 0.040, "%s: clock references %.1f ms apart" % (name, pcr_gap * 1e3))
    # PAT on PID 0 names the PMT's PID.
    pat = r["pat"]
    section = pat[5 + pat[4]:]
    entries = [(section[i] << 8 | section[i + 1], (section[i + 2] & 0x1F) << 8 | section[i + 3])
               for i in range(8, 3 + ((section[1] & 15) << 8 | section[2]) - 4, 4)]
    pmt_pid = next(pid for number, pid in entries if number != 0)
    table_gaps = []
    for pid in (0, pmt_pid):
        times = [t for t in (pcr_at(pcrs, o) for o in r["tables"].get(pid, [])) if t is not None]
        table_gaps.append(max(b - a for a, b in zip(times, times[1:])) if len(times) > 1 else 1e9)
    table_gap = max(table_gaps)
    check(table_gap <= 0.100, "%s: PAT or PMT %.1f ms apart" % (name, table_gap * 1e3))
    # What a busy machine cannot move: the stream as long as its audio (to
    # 1%), the clock and arrival parting no further over the whole run than
    # a wake-up's worth, no frame ahead of the others by more than the
    # latency, presentation the latency after the clock, and a constant bit
    # rate by the stream's own clock. A loaded machine wakes the sender late
    # now and then (the schedule is absolute, so the next datagrams are on
    # time again, and a decoder's buffer of the latency rides over it): how
    # closely arrival follows the clock, datagram by datagram, is a figure
    # that `scripts/bench.sh --live` prints, not a verdict.
    span = datagrams[-1][0] - datagrams[0][0]
    check(abs(span - seconds) <= 0.01 * seconds, "%s: %d s of audio took %.3f s" % (name, seconds, span))
    offsets = sorted(arrival - pcr for _, pcr, arrival in pcrs)
    spread = offsets[-1] - offsets[0]
    usual = offsets[int(0.98 * len(offsets))] - offsets[int(0.02 * len(offsets))]
    # Medians of the first and last tenth: a late wake-up moves neither.
    by_arrival = [arrival - pcr for _, pcr, arrival in pcrs]
    tenth = len(by_arrival) // 10
    drift = sorted(by_arrival[-tenth:])[tenth // 2] - sorted(by_arrival[:tenth])[tenth // 2]
    check(abs(drift) <= DRIFT, "%s: the clock drifts %.2f ms from arrival" % (name, drift * 1e3))
    # How far each frame is ahead of the stream's usual lead: a frame that
    # left before its time stands out, a late one only lowers its own.
    a0, t0 = datagrams[0][0], r["frames"][0][1]
    leads = sorted((pts - t0) - (arrival - a0) for _, pts, arrival in r["frames"])
    early = leads[-1] - leads[len(leads) // 2]
    check(early <= LATENCY, "%s: a frame arrived %.1f ms before its time" % (name, early * 1e3))
    delays = [pts - pcr_at(pcrs, o) for o, pts, _ in r["frames"] if pcr_at(pcrs, o) is not None]
    check(all(LATENCY - 0.002 <= d <= LATENCY + 0.045 for d in delays),
          "%s: presentation %.1f to %.1f ms after the clock reference, not %d ms" %
          (name, min(delays) * 1e3, max(delays) * 1e3, LATENCY * 1e3))
    # Bit rate between clock references, by the bytes and the clock the
    # stream carries: constant, whenever it arrives.
    rates = [8 * (o1 - o0) / (c1 - c0) for (o0, c0, _), (o1, c1, _) in zip(pcrs, pcrs[1:]) if c1 > c0]
    off = max(abs(rate - muxrate) / muxrate for rate in rates)
    check(off <= 0.001, "%s: bit rate %.3f%% off --muxrate between clock references" % (name, off * 100))
    # The same over every whole second of arrival: a figure only.
    worst = 0.0
    start = datagrams[0][0]
    while start + 1.0 <= datagrams[-1][0]:
        bits = 8 * sum(len(d) for t, d in datagrams if start <= t < start + 1.0)
        worst = max(worst, abs(bits - muxrate) / muxrate)
        start += 1.0
    figures.append("%s: %d s of audio in %.3f s; bit rate within %.4f%% of %d between clock references, "
                   "%.3f%% per 1 s of arrival; largest PCR interval %.1f ms; PAT/PMT every %.1f ms at most; "
                   "PCR vs arrival %.2f ms peak to peak (96%% within %.2f ms), drift %.2f ms; "
                   "a frame %.1f ms ahead at most; PTS - PCR %.1f..%.1f ms" %
                   (name, seconds, span, off * 100, muxrate, worst * 100, pcr_gap * 1e3, table_gap * 1e3,
                    spread * 1e3, usual * 1e3, drift * 1e3, early * 1e3, min(delays) * 1e3,
                    max(delays) * 1e3))


def decode_file(path):
    return subprocess.run(FFMPEG + ["-i", path, "-c:a", "pcm_s24le", "-f", "s24le", "-"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout


def check_decoded(name, got, audio, whole=True):
    """The source exactly, from its start, then only the last frame's padding."""
    if whole:
        check(len(got) >= len(audio) and got[:len(audio)] == audio and not got[len(audio):].strip(b"\0"),
              "%s: decoded %d bytes are not the %d of the source" % (name, len(got), len(audio)))
    else:
        check(0 < len(got) <= len(audio) and audio.startswith(got),
              "%s: decoded %d bytes are not the source's start" % (name, len(got)))


class Run:
    """A temporary folder, the tool, and the processes a case started."""

    def __init__(self, tool, name, work):
        self.tool, self.name = tool, name
        self.dir = os.path.join(work, name)
        os.mkdir(self.dir)
        self.procs = []

    def path(self, leaf):
        return os.path.join(self.dir, leaf)

    def source(self, seconds, seed):
        audio = source_audio(seconds, seed)
        with open(self.path("in.wav"), "wb") as f:
            f.write(wav_header(len(audio) // (CHANNELS * 3)) + audio)
        return audio

    def start(self, args, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(args, **kwargs)
        self.procs.append(proc)
        return proc

    def send(self, url, rate, *more, **kwargs):
        return self.start([self.tool, "encode", kwargs.pop("input", self.path("in.wav")), "-o", url,
                           "--frame-rate", rate] + list(more), **kwargs)

    def finish(self, proc, timeout=60):
        if proc.stdin and proc.stdin.closed:
            proc.stdin = None  # the case wrote the input and closed it
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            _, err = proc.communicate()
            check(False, "%s: %s did not end" % (self.name, os.path.basename(proc.args[0])))
        return proc.returncode, (err or b"").decode(errors="replace")

    def stop_all(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()


def relay(run, srt_port, udp_port):
    return run.start(["srt-live-transmit", "-q", "srt://:%d?mode=listener" % srt_port,
                      "udp://127.0.0.1:%d" % udp_port], stderr=subprocess.DEVNULL)


def sent_cleanly(run, sender):
    status, err = run.finish(sender)
    check(status == 0, "%s: the sender ended with status %d: %s" % (run.name, status, err))
    return err


def case_decode(run, rate, route):
    """ffmpeg, started first, decodes the whole source: over UDP (IPv4 or
    IPv6), as an SRT listener, or over UDP behind srt-live-transmit relaying
    SRT."""
    audio = run.source(SECONDS, len(run.name))
    host, in_url = ("::1", "[::1]") if route == "udp6" else ("127.0.0.1", "127.0.0.1")
    port = free_port(host)
    udp_url = "udp://%s:%d" % (in_url, port if route != "relay" else free_port(host))
    url = udp_url + "?timeout=3000000" if route != "srt" else "srt://127.0.0.1:%d?mode=listener" % port
    receiver = run.start(FFMPEG + ["-i", url, "-c:a", "pcm_s24le", "-f", "s24le", run.path("got.raw")])
    if route == "relay":
        relay(run, port, int(udp_url.rsplit(":", 1)[1]))
    time.sleep(1)
    sent_cleanly(run, run.send(udp_url if route.startswith("udp") else "srt://127.0.0.1:%d" % port, rate))
    run.finish(receiver)
    check_decoded(run.name, open(run.path("got.raw"), "rb").read(), audio)


def case_timing(run, rate, _):
    audio = run.source(SECONDS, 4)
    capture = Capture()
    err = sent_cleanly(run, run.send("udp://127.0.0.1:%d" % capture.port, rate, "-v"))
    datagrams = capture.stop()
    found = re.search(r"a constant (\d+) bits/s", err)
    if not check(found and datagrams, "%s: no bit rate stated or nothing received: %s" % (run.name, err)):
        return
    check_timing(run.name, datagrams, int(found.group(1)), SECONDS)
    with open(run.path("got.ts"), "wb") as f:
        f.write(b"".join(d for _, d in datagrams))
    check_decoded(run.name, decode_file(run.path("got.ts")), audio)


def case_reconnect(run, rate, _):
    run.source(SECONDS, 5)
    srt_port, capture = free_port(), Capture()
    first = relay(run, srt_port, capture.port)
    time.sleep(1)
    sender = run.send("srt://127.0.0.1:%d" % srt_port, rate)
    time.sleep(6)
    first.terminate()
    first.wait()
    time.sleep(1)
    restarted = time.time()
    relay(run, srt_port, capture.port)
    err = sent_cleanly(run, sender)
    datagrams = capture.stop()
    after = [t for t, _ in datagrams if t > restarted]
    if check(after, "%s: nothing arrived after the listener came back" % run.name):
        # The sender tries again at most 1 s apart; the relay it reaches is
        # a program starting on a machine that may be busy.
        check(after[0] - restarted <= 3.0, "%s: reconnected %.2f s after the listener came back" %
              (run.name, after[0] - restarted))
        figures.append("%s: reconnected %.2f s after the listener came back" %
                       (run.name, after[0] - restarted))
    check(re.search(r"connection lost at .*reconnected after [0-9.]+ s; the stream from", err, re.S),
          "%s: the gap is not reported: %s" % (run.name, err))


def case_sigterm(run, rate, _):
    audio = run.source(SECONDS, 6)
    capture = Capture()
    sender = run.send("udp://127.0.0.1:%d" % capture.port, rate)
    time.sleep(5)
    stopped = time.time()
    sender.send_signal(signal.SIGTERM)
    sent_cleanly(run, sender)
    # The frame in hand goes out and the stream ends; the 15 s left of the
    # audio are not sent (a busy machine may take a while to get there).
    took = time.time() - stopped
    check(took < 5.0, "%s: %.2f s from SIGTERM to the end" % (run.name, took))
    figures.append("%s: ended %.2f s after SIGTERM" % (run.name, took))
    datagrams = capture.stop()
    with open(run.path("got.ts"), "wb") as f:
        f.write(b"".join(d for _, d in datagrams))
    got = decode_file(run.path("got.ts"))
    # Whole frames only: the stream ends after the last complete one.
    check(len(got) % (1920 * CHANNELS * 3) == 0 and len(got) >= 4 * RATE * CHANNELS * 3,
          "%s: %d bytes decoded, not whole frames of about 5 s" % (run.name, len(got)))
    check_decoded(run.name, got, audio, whole=False)


def case_pipe(run, rate, _):
    """A live capture on a pipe, written as it would come in: every sample
    sent, in order; how soon each frame left once its last sample was in
    (after the first second, which the tool reads before it starts to find
    data bursts in a channel pair) is a figure, which a busy machine moves."""
    seconds = 6
    audio = source_audio(seconds, 7)
    capture = Capture()
    sender = run.send("udp://127.0.0.1:%d" % capture.port, rate, input="-", stdin=subprocess.PIPE)
    sender.stdin.write(wav_header(None))
    written = []  # (when the audio up to this byte offset was in the pipe)
    step = RATE // 100 * CHANNELS * 3
    start = time.time()
    for at in range(0, len(audio), step):
        wake = start + at / (RATE * CHANNELS * 3)
        time.sleep(max(0.0, wake - time.time()))
        sender.stdin.write(audio[at:at + step])
        sender.stdin.flush()
        written.append((at + step, time.time()))
    sender.stdin.close()
    sent_cleanly(run, sender)
    datagrams = capture.stop()
    r = analyse(datagrams)
    frame = 1920 * CHANNELS * 3
    lags = []
    for k, (_, _, arrival) in enumerate(r["frames"][:-1]):
        if k < RATE // 1920 + 1:
            continue
        complete = next(t for end, t in written if end >= (k + 1) * frame)
        lags.append(arrival - complete)
    if check(lags, "%s: no frames received" % run.name):
        figures.append("%s: frames left %.1f ms at most after their audio came in" % (run.name, max(lags) * 1e3))
    with open(run.path("got.ts"), "wb") as f:
        f.write(b"".join(d for _, d in datagrams))
    check_decoded(run.name, decode_file(run.path("got.ts")), audio)


# name: (case, frame rate, route, phase). The cases that measure arrival
# times run first (phase 1), side by side with each other only.
CASES = {
    "timing_25": (case_timing, "25", None, 1),
    "timing_2997": (case_timing, "30000/1001", None, 1),
    "pipe_input": (case_pipe, "25", None, 1),
    "udp_25": (case_decode, "25", "udp", 2),
    "udp_2997": (case_decode, "30000/1001", "udp", 2),
    "udp_ipv6_25": (case_decode, "25", "udp6", 2),
    "srt_listener_25": (case_decode, "25", "srt", 2),
    "srt_relay_2997": (case_decode, "30000/1001", "relay", 2),
    "srt_reconnect": (case_reconnect, "25", None, 2),
    "sigterm": (case_sigterm, "25", None, 2),
}


def main():
    tool = os.path.abspath(sys.argv[1])
    names = sys.argv[2:] or list(CASES)
    with tempfile.TemporaryDirectory(prefix="pcmpack-live-") as work:
        runs = [Run(tool, name, work) for name in names]

        def go(run):
            function, rate, route, _ = CASES[run.name]
            try:
                function(run, rate, route)
            except Exception as e:  # a case that breaks is a failure, not a hang
                check(False, "%s: %r" % (run.name, e))
            finally:
                run.stop_all()

        for phase in (1, 2):
            threads = [threading.Thread(target=go, args=(run,)) for run in runs if CASES[run.name][3] == phase]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    for line in figures:
        print(line)
    print("%d cases, %d failures" % (len(names), len(failures)))
    return 1 if failures or not names else 0


if __name__ == "__main__":
    sys.exit(main())
