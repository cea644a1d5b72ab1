#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""`pcmpack inspect` and `pcmpack unpack` receiving ST 2110-30 and -31 over
this machine's loopback.

  st2110_receive_test.py TOOL README [PAGE...]

The datagrams are built here from the formats (RFC 3550's fixed header,
L16/L24 big-endian samples, AM824 subframes with the AES3 flags and a
professional channel-status block, SMPTE 337 bursts), paced on CLOCK_TAI,
and sent to an inspect and an unpack at once. Rows: -31 with AC-3 (made by
ffmpeg) in pair 2 and a Dolby-E-typed 24-bit burst stream in pair 4,
received word for word with the AC-3 extracted as it was; -30 received
sample-exact; a relay that drops, duplicates and swaps datagrams, reported
as exactly that and recorded with silence in the lost packets' place; and
pcmpack's own -31 sender, its AM824 flags checked here on the way. Last,
the README's recipes for receiving, and those of each PAGE (docs/live.md),
run as written.
"""
import fcntl
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from monitor_test import check, failures, free_port, wav_data  # noqa: E402
from readme_blocks import on_free_ports, run_blocks, sh_blocks  # noqa: E402

TOOL = sys.argv[1]
RATE = 48000
PT = 97
AC3_FRAME = 1536          # sample periods between AC-3 bursts
DOLBY_E_FRAME = 1920      # a 25 Hz video frame
DOLBY_E_WORDS = 1700      # payload words of each synthetic burst
TEST_SECONDS = 1.5


# --- what goes on the wire, from the formats ------------------------------

def crc8_aes(data):
    """AES3's channel-status CRC: x^8+x^4+x^3+x^2+1, preset to ones, bits
    taken least significant first."""
    crc = 0xFF
    for byte in data:
        for bit in range(8):
            feed = (crc ^ (byte >> bit)) & 1
            crc >>= 1
            if feed:
                crc ^= 0xB8
    return crc


def channel_status(non_audio):
    block = bytearray(24)
    block[0] = 0x01 | (0x02 if non_audio else 0)  # professional; non-audio
    block[23] = crc8_aes(block[:23])
    return block


def am824(words, data_pairs):
    """Words (periods x channels, 24-bit) as AM824 subframes: the label's
    bits from the top are 0, 0, B (block start), F (frame start), P, C, U, V."""
    periods, channels = words.shape
    frame = np.arange(periods) % 192
    label = np.zeros((periods, channels), np.uint32)
    for ch in range(channels):
        block = channel_status(ch // 2 in data_pairs)
        c = np.array([(block[f // 8] >> (f % 8)) & 1 for f in range(192)], np.uint32)[frame]
        first = ch % 2 == 0
        b = (frame == 0) & first
        ones = np.array([bin(w).count("1") for w in range(1 << 12)], np.uint32)
        w = words[:, ch].astype(np.uint32)
        p = (ones[w & 0xFFF] + ones[w >> 12] + c) & 1
        label[:, ch] = (b.astype(np.uint32) << 5) | (int(first) << 4) | (p << 3) | (c << 2)
    return ((label << 24) | words.astype(np.uint32)).astype(">u4").tobytes(), 4


def linear(words, bits):
    if bits == 16:
        return (words >> 8).astype(">i2").tobytes(), 2
    signed = words.astype(np.int64)
    be = np.stack([(signed >> 16) & 0xFF, (signed >> 8) & 0xFF, signed & 0xFF], axis=-1)
    return be.astype(np.uint8).tobytes(), 3


def bursts_16(words, ch, frames, data_type, period):
    """SMPTE 337 bursts in 16-bit mode, the top 16 bits of the 24-bit words
    of the pair whose first channel is `ch`, one every `period`."""
    for k, payload in enumerate(frames):
        burst = [0xF872, 0x4E1F, data_type, len(payload) * 8]
        burst += [payload[i] << 8 | payload[i + 1] for i in range(0, len(payload), 2)]
        at = k * period
        for i, word in enumerate(burst):
            words[at + i // 2, ch + i % 2] = word << 8


def bursts_24(words, ch, count, data_type, period, rng):
    """Bursts in 24-bit mode, their payloads random: Pc keeps its 16 bits at
    the top of the word, Pd counts the payload's bits in all 24."""
    for k in range(count):
        burst = [0x96F872, 0xA54E1F, data_type << 8, DOLBY_E_WORDS * 24]
        burst += list(rng.integers(0, 1 << 24, DOLBY_E_WORDS))
        at = k * period
        for i, word in enumerate(burst):
            words[at + i // 2, ch + i % 2] = word


def tone(periods, hz):
    return (np.sin(2 * np.pi * hz * np.arange(periods) / RATE) * 0x3FFFFF).astype(np.int64) & 0xFFFFFF


def datagrams(payload, period_bytes, samples, start):
    per = samples * period_bytes
    count = len(payload) // per
    return [struct.pack("!BBHII", 0x80, PT, (7 + k) & 0xFFFF, (start + k * samples) & 0xFFFFFFFF, 0x2110)
            + payload[k * per:(k + 1) * per] for k in range(count)]


def tai_ticks():
    return time.clock_gettime_ns(time.CLOCK_TAI) * RATE // 1_000_000_000


def send_paced(packets, samples, start, family, destinations):
    """Each datagram once its last sample is due on the media clock, so that
    arrival follows sampling as a live sender's does."""
    with socket.socket(family, socket.SOCK_DGRAM) as out:
        for k, packet in enumerate(packets):
            while tai_ticks() < start + (k + 1) * samples:
                time.sleep(0.0005)
            for to in destinations:
                out.sendto(packet, to)


class Relay(threading.Thread):
    """Forwards datagrams from its port to `to`: drops the Nth ones in
    `drop`, sends the ones in `repeat` twice, and lets each one in `swap`
    be overtaken by the next."""

    def __init__(self, family, host, to, drop=(), repeat=(), swap=(), look=None):
        super().__init__(daemon=True)
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        try:  # room for a second of datagrams should this thread fall behind
            self.sock.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE, as root
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind((host, 0))
        self.sock.setblocking(False)
        self.port = self.sock.getsockname()[1]
        self.to, self.drop, self.repeat, self.swap, self.look = to, drop, repeat, swap, look
        self.held = None
        self.seen = 0
        # Held from taking a datagram in to passing it on, so that `drain`
        # never sees one in between.
        self.lock = threading.Lock()
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            select.select([self.sock], [], [], 0.1)
            with self.lock:
                try:
                    data = self.sock.recv(65536)
                except BlockingIOError:
                    continue
                n, self.seen = self.seen, self.seen + 1
                self.forward(n, data)

    def drain(self):
        """Returns once every datagram sent to the relay so far is passed
        on: the receivers may then be stopped without cutting the stream."""
        while True:
            with self.lock:
                queued = struct.unpack("i", fcntl.ioctl(self.sock, termios.FIONREAD, b"\0" * 4))[0]
                if queued == 0:
                    return
            time.sleep(0.01)

    def forward(self, n, data):
        if self.look:
            self.look(data)
        if n in self.drop:
            return
        if n in self.swap:
            self.held = data
            return
        for _ in range(2 if n in self.repeat else 1):
            for to in self.to:
                self.sock.sendto(data, to)
        if self.held is not None:
            for to in self.to:
                self.sock.sendto(self.held, to)
            self.held = None


# --- the receivers ---------------------------------------------------------

def wait_bound(ports):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        lines = []
        for table in ("/proc/net/udp", "/proc/net/udp6"):
            with open(table) as t:
                lines += [line.split()[1] for line in list(t)[1:]]
        if all(any(local.endswith(":%04X" % port) for local in lines) for port in ports):
            return
        time.sleep(0.05)
    sys.exit("no receiver bound ports %s" % ports)


def receivers(work, inspect_input, unpack_input, extra):
    """An inspect (--json) and an unpack (-o WAV, plus `extra`), started."""
    wav = os.path.join(work, "back.wav")
    inspect = subprocess.Popen([TOOL, "inspect", *inspect_input, "--json"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    unpack = subprocess.Popen([TOOL, "unpack", *unpack_input, "-o", wav, *extra], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    return inspect, unpack, wav


def stop(procs):
    out = []
    for p in procs:
        p.send_signal(signal.SIGINT)
    for p in procs:
        stdout, stderr = p.communicate(timeout=30)
        out.append((p.returncode, stdout, stderr))
    return out


def sdp(host, port, encoding, channels, ptime_ms):
    family = "IP6" if ":" in host else "IP4"
    return ("v=0\r\no=- 1 1 IN %s %s\r\ns=test\r\nc=IN %s %s\r\nt=0 0\r\nm=audio %d RTP/AVP %d\r\n"
            "a=rtpmap:%d %s/%d/%d\r\na=ptime:%s\r\na=mediaclk:direct=0\r\n"
            % (family, host, family, host, port, PT, PT, encoding, RATE, channels, ptime_ms))


def as_wav_words(words, bits):
    if bits == 16:
        return (words >> 8).astype("<i2").tobytes()
    w = words.astype(np.int64) & 0xFFFFFF
    return np.stack([w & 0xFF, (w >> 8) & 0xFF, w >> 16], axis=-1).astype(np.uint8).tobytes()


def summary(stdout):
    lines = [json.loads(line) for line in stdout.splitlines() if line.strip()]
    return lines[-1] if lines and lines[-1].get("summary") else {}


# --- the rows ----------------------------------------------------------------

def thirty_one_words(work):
    """8 channels: tones in pairs 1 and 3, AC-3 in pair 2, Dolby-E-typed
    bursts in pair 4; the AC-3 file and the burst counts."""
    ac3 = os.path.join(work, "source.ac3")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                    "-t", str(TEST_SECONDS), "-ac", "2", "-c:a", "ac3", "-b:a", "192k", ac3], check=True)
    data = open(ac3, "rb").read()
    frames = [data[i:i + 768] for i in range(0, len(data), 768)]
    periods = len(frames) * AC3_FRAME
    words = np.zeros((periods, 8), np.int64)
    words[:, 0] = words[:, 1] = tone(periods, 997)
    words[:, 4] = tone(periods, 441)
    bursts_16(words, 2, frames, 1, AC3_FRAME)
    dolby_e = (periods - DOLBY_E_WORDS // 2 - 2) // DOLBY_E_FRAME + 1
    bursts_24(words, 6, dolby_e, 28, DOLBY_E_FRAME, np.random.default_rng(2110))
    return words, ac3, len(frames), dolby_e


def row_31(work):
    words, ac3, ac3_bursts, dolby_e = thirty_one_words(work)
    ports = [free_port(socket.AF_INET, "127.0.0.1") for _ in range(2)]
    session = os.path.join(work, "session.sdp")
    # Eight AM824 channels fit a 1460-byte datagram at 125 us only.
    open(session, "w").write(sdp("127.0.0.1", ports[1], "AM824", 8, "0.125"))
    data_out = os.path.join(work, "back.ac3")
    procs = receivers(work, ["rtp://127.0.0.1:%d" % ports[0], "--st2110", "31", "--channels", "8",
                             "--ptime", "125us"],
                      [session], ["--data-out", data_out, "--data-pair", "2"])
    wait_bound(ports)
    payload, size = am824(words, {1, 3})
    start = tai_ticks() + RATE // 50
    send_paced(datagrams(payload, 8 * size, 6, start), 6, start, socket.AF_INET,
               [("127.0.0.1", p) for p in ports])
    (ri, si, ei), (ru, _, eu), wav = stop(procs[:2]) + [procs[2]]
    s = summary(si)
    check(ri == 0 and ru == 0, "-31: statuses %d %d: %s %s" % (ri, ru, ei, eu))
    check(s.get("packets") == len(words) // 6 and s.get("lost") == 0, "-31: summary %s" % s)
    check(s.get("pairs") == ["PCM", {"data_type": 1, "name": "AC-3", "bursts": ac3_bursts}, "PCM",
                             {"data_type": 28, "name": "Dolby E", "bursts": dolby_e}], "-31 pairs %s" % s.get("pairs"))
    check(os.path.exists(wav) and wav_data(wav) == as_wav_words(words, 24), "-31: WAV not word for word")
    check(os.path.exists(data_out) and open(data_out, "rb").read() == open(ac3, "rb").read(),
          "-31: the AC-3 extracted differs from its source")
    return words


def row_30(work, host, channels, bits, ptime_ms, relay=None):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    samples = int(RATE * float(ptime_ms) / 1000)
    periods = int(RATE * TEST_SECONDS) // samples * samples
    words = np.stack([tone(periods, 300 + 100 * c) for c in range(channels)], axis=1)
    words = words if bits == 24 else words & 0xFFFF00
    ports = [free_port(family, host) for _ in range(2)]
    url = "rtp://[%s]:%d" % (host, ports[0]) if family == socket.AF_INET6 else "rtp://%s:%d" % (host, ports[0])
    options = ["--channels", str(channels), "--bits", str(bits), "--ptime", "125us" if samples == 6 else "1ms"]
    session = os.path.join(work, "session.sdp")
    open(session, "w").write(sdp(host, ports[1], "L%d" % bits, channels, ptime_ms))
    procs = receivers(work, [url, *options], [session], [])
    wait_bound(ports)
    destinations = [(host, p) for p in ports]
    if relay is not None:
        relay = Relay(family, host, destinations, **relay)
        relay.start()
        destinations = [(host, relay.port)]
    payload, size = linear(words, bits)
    start = tai_ticks() + RATE // 50
    packets = datagrams(payload, channels * size, samples, start)
    send_paced(packets, samples, start, family, destinations)
    if relay is not None:
        relay.drain()
    results = stop(procs[:2])
    if relay is not None:
        relay.done.set()
    return words, packets, results, procs[2], samples


def check_30(name, work, host, channels, bits, ptime_ms):
    words, packets, ((ri, si, ei), (ru, _, eu)), wav, _ = row_30(work, host, channels, bits, ptime_ms)
    s = summary(si)
    check(ri == 0 and ru == 0, "%s: statuses %d %d: %s %s" % (name, ri, ru, ei, eu))
    check(s.get("packets") == len(packets) and s.get("lost") == 0 and
          s.get("pairs") == ["PCM"] * (channels // 2), "%s: summary %s" % (name, s))
    offset = s.get("offset_ms") or {}
    check(0 < offset.get("least", -1) and offset.get("most", 1e9) < 10000,
          "%s: arrival against sampling %s" % (name, offset))
    check(os.path.exists(wav) and wav_data(wav) == as_wav_words(words, bits), "%s: WAV not sample-exact" % name)


def check_relay(work):
    drop, repeat, swap = {100, 250, 251, 600}, {50, 400, 700}, {300, 500}
    words, packets, ((ri, si, _), (ru, _, eu)), wav, samples = row_30(
        work, "127.0.0.1", 2, 24, "1", relay=dict(drop=drop, repeat=repeat, swap=swap))
    s = summary(si)
    got = {k: s.get(k) for k in ("packets", "lost", "duplicated", "out_of_order", "late", "rejected",
                                 "timestamp_jumps")}
    want = {"packets": len(packets) - len(drop) + len(repeat), "lost": len(drop), "duplicated": len(repeat),
            "out_of_order": len(swap), "late": 0, "rejected": 0, "timestamp_jumps": 0}
    check(ri == 1 and got == want, "relay: status %d, counts %s, expected %s" % (ri, got, want))
    for k in drop:
        words[k * samples:(k + 1) * samples] = 0
    check(ru == 1 and eu.count("a datagram was lost") == len(drop), "relay: unpack %d: %s" % (ru, eu))
    check(os.path.exists(wav) and wav_data(wav) == as_wav_words(words, 24),
          "relay: the recording is not the audio with silence in the lost packets' place")


def check_own_sender(work, words):
    """pcmpack's -31 sender, through a relay that reads every subframe's
    AM824 label: B once a 192-frame block on a pair's first subframe, F on
    every first subframe, even parity, and a professional channel-status
    block with the non-audio bit on the data pairs and a right CRC."""
    source = os.path.join(work, "own.wav")
    import wave
    with wave.open(source, "wb") as w:
        w.setnchannels(8)
        w.setsampwidth(3)
        w.setframerate(RATE)
        w.writeframes(as_wav_words(words, 24))
    labels = []
    port = free_port(socket.AF_INET, "127.0.0.1")
    relay = Relay(socket.AF_INET, "127.0.0.1", [("127.0.0.1", port)],
                  look=labels.append)
    relay.start()
    session = os.path.join(work, "own.sdp")
    data_out = os.path.join(work, "own.ac3")
    unpack = subprocess.Popen([TOOL, "unpack", "rtp://127.0.0.1:%d" % port, "--st2110", "31", "--channels", "8",
                               "--ptime", "125us",
                               "-o", os.path.join(work, "own_back.wav"), "--data-out", data_out,
                               "--data-pair", "2"], stderr=subprocess.PIPE, text=True)
    wait_bound([port])
    sent = subprocess.run([TOOL, "encode", source, "-o", "rtp://127.0.0.1:%d" % relay.port, "--st2110", "31",
                           "--ptime", "125us", "--sdp", session], capture_output=True, text=True)
    relay.drain()
    ((ru, _, eu),) = stop([unpack])
    relay.done.set()
    check(sent.returncode == 0 and ru == 0, "own sender: %d %d: %s %s" % (sent.returncode, ru, sent.stderr, eu))
    back = wav_data(os.path.join(work, "own_back.wav")) if ru == 0 else b""
    check(back[:len(as_wav_words(words, 24))] == as_wav_words(words, 24), "own sender: not word for word")
    check(ru == 0 and open(data_out, "rb").read() == open(os.path.join(work, "source.ac3"), "rb").read(),
          "own sender: the AC-3 extracted differs")
    check(len(labels) * 6 >= len(words), "own sender: %d datagrams for %d periods" % (len(labels), len(words)))
    check_labels(np.frombuffer(b"".join(d[12:] for d in labels), ">u4").reshape(-1, 8))


def check_labels(sub):
    check(len(sub) >= 192, "own sender: no whole channel-status block arrived")
    block_start = np.flatnonzero(sub[:, 0] >> 29 & 1)
    check(len(block_start) > 0 and np.all(np.diff(block_start) == 192) and not np.any(sub[:, 1::2] >> 29 & 1),
          "own sender: B flags at %s" % block_start[:4])
    check(np.all(sub[:, 0::2] >> 28 & 1) and not np.any(sub[:, 1::2] >> 28 & 1), "own sender: F flags")
    ones = np.array([bin(v).count("1") for v in range(1 << 16)])
    bits = sub & 0x0FFFFFFF  # the word, V, U, C and P
    check(np.all((ones[bits & 0xFFFF] + ones[bits >> 16]) % 2 == 0), "own sender: parity")
    if len(block_start) == 0 or len(sub) < block_start[0] + 192:
        return
    for ch in range(0, 8, 2):
        c = sub[block_start[0]:block_start[0] + 192, ch] >> 26 & 1
        block = bytes(int(sum(int(c[8 * i + b]) << b for b in range(8))) for i in range(24))
        data = ch // 2 in (1, 3)
        check(block[0] & 1 and bool(block[0] & 2) == data and block[23] == crc8_aes(block[:23]),
              "own sender: pair %d channel status %s" % (ch // 2 + 1, block.hex()))


def check_resampled(work):
    """A 44.1 kHz source sent with --resample 48000 arrives as the file
    path's conversion writes it, word for word."""
    source, ref = os.path.join(work, "t44.wav"), os.path.join(work, "ref.lpcm")
    subprocess.run([TOOL, "tone", "-o", source, "--seconds", "1", "--rate", "44100", "--bits", "24"], check=True,
                   capture_output=True)
    port = free_port(socket.AF_INET, "127.0.0.1")
    back = os.path.join(work, "resampled.wav")
    unpack = subprocess.Popen([TOOL, "unpack", "rtp://127.0.0.1:%d" % port, "-o", back], stderr=subprocess.PIPE,
                              text=True)
    wait_bound([port])
    conversion = ["--resample", "48000", "--dither", "none"]
    sent = subprocess.run([TOOL, "encode", source, "-o", "rtp://127.0.0.1:%d" % port, *conversion],
                          capture_output=True, text=True)
    ((ru, _, eu),) = stop([unpack])
    for args in (["encode", source, "-o", ref, "--target", "hdmv", "--bits", "24", *conversion],
                 ["unpack", ref, "-o", ref + ".wav"]):
        subprocess.run([TOOL, *args], check=True, capture_output=True)
    got, want = wav_data(back) if ru == 0 else b"", wav_data(ref + ".wav")
    common = min(len(got), len(want))
    check(sent.returncode == 0 and common >= 48000 * 6 and got[:common] == want[:common],
          "resampled: %d bytes, not the file path's conversion: %s %s" % (len(got), sent.stderr, eu))


def check_readme(documents):
    """The receiving recipes of the README and its PAGEs, each block as one shell script in an
    empty folder with the tool first on the PATH: every block ends with
    status 0, the monitor sees no fault, and the AC-3 taken back out is whole
    frames of the one sent."""
    blocks = on_free_ports(sh_blocks(documents, "Receiving and monitoring ST 2110"))
    check(len(blocks) == 2, "README: %d receiving recipes, not 2" % len(blocks))
    with tempfile.TemporaryDirectory() as work:
        for _, run in run_blocks(TOOL, blocks, work):
            lines = [line for line in run.stdout.splitlines() if " packets, " in line]
            check(run.returncode == 0 and lines and all("faults none" in l or "status 0" in l for l in lines),
                  "README: status %d: %s%s" % (run.returncode, run.stdout, run.stderr))
        back = os.path.join(work, "back.ac3")
        sent = open(os.path.join(work, "mix.ac3"), "rb").read() if os.path.exists(back) else b""
        got = open(back, "rb").read() if os.path.exists(back) else b""
        check(got and len(got) % 768 == 0 and got in sent and sent.index(got) % 768 == 0,
              "README: back.ac3 (%d bytes) is not whole frames of mix.ac3" % len(got))


def main():
    check(crc8_aes(b"123456789") == 0x97, "the test's own CRC-8/AES is wrong")
    with tempfile.TemporaryDirectory() as work:
        words = row_31(work)
        check_own_sender(work, words)
    for name, host, channels, bits, ptime in [("-30 L24 8 ch 1 ms", "127.0.0.1", 8, 24, "1"),
                                                ("-30 L16 2 ch 125 us ::1", "::1", 2, 16, "0.125")]:
        with tempfile.TemporaryDirectory() as work:
            check_30(name, work, host, channels, bits, ptime)
    with tempfile.TemporaryDirectory() as work:
        check_relay(work)
    with tempfile.TemporaryDirectory() as work:
        check_resampled(work)
    check_readme(sys.argv[2:])
    print("%d failed" % len(failures) if failures else "st2110 receive: all rows passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
