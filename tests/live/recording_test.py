#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""`pcmpack unpack` recording a live 302M stream over this machine's
loopback, and what it keeps when the recording is cut or the stream breaks.

  recording_test.py TOOL

`pcmpack encode` sends 6 s of a tone at 25 frames a second through a relay
to `pcmpack unpack`. A row either stops the recording with SIGINT half-way
(the WAV must hold a whole-frame prefix of the tone, as long as it says), or
has the relay drop one datagram from the middle of a frame, found from the
packets' own PES headers, and stops the recording with SIGTERM once the
sender is done (status 1; the lost frame named at its time and replaced by
exactly its length of silence; every other sample the tone's).
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from monitor_test import audio_pes_pts, check, failures, free_port, wav_data  # noqa: E402

TOOL = sys.argv[1]
SECONDS = 6
RATE = 48000
FRAME = RATE // 25          # sample periods of a frame at 25 Hz
PERIOD = 2 * 2              # bytes of a 16-bit stereo sample period


def relay(listen, forward_to, drop_frame, lost, done):
    """Forwards datagrams until `done`; drops the first datagram of frame
    `drop_frame` (counted from 1) that holds no PES start, and notes that
    frame's PTS and the first one's in `lost`."""
    listen.settimeout(0.1)
    frame_pts, frames = None, 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forward:
        while not done.is_set():
            try:
                data = listen.recv(65536)
            except socket.timeout:
                continue
            starts = audio_pes_pts(data)
            if starts:
                lost.setdefault("first", starts[0])
                frame_pts = starts[-1]
                frames += len(starts)
            if drop_frame and frames == drop_frame and not starts and "pts" not in lost:
                lost["pts"] = frame_pts
                continue
            forward.sendto(data, forward_to)


def default_signals():
    # A shell's background job ignores SIGINT; the recorder must hear it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def wait_for_socket(port):
    """Until a UDP socket on this machine is bound to `port` (the recorder's),
    so that the first datagram finds it whatever the machine's load."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open("/proc/net/udp") as table:
            if any(line.split()[1].endswith(":%04X" % port) for line in list(table)[1:]):
                return
        time.sleep(0.05)
    sys.exit("the recorder opened no socket on port %d" % port)


def record(work, name, drop_frame, stop, after, options):
    """Records the tone sent through the relay; sends `stop` `after` seconds
    into the sending, or once the sender is done when `after` is None."""
    port = free_port(socket.AF_INET, "127.0.0.1")
    wav = os.path.join(work, name + ".wav")
    lost, done = {}, threading.Event()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listen:
        listen.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        listen.bind(("127.0.0.1", 0))
        recorder = subprocess.Popen(
            [TOOL, "unpack", "udp://127.0.0.1:%d?localaddr=127.0.0.1" % port, "-o", wav, *options],
            stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
        wait_for_socket(port)
        forwarder = threading.Thread(target=relay,
                                     args=(listen, ("127.0.0.1", port), drop_frame, lost, done))
        forwarder.start()
        sender = subprocess.Popen([TOOL, "encode", os.path.join(work, "tone.wav"), "-o",
                                   "udp://127.0.0.1:%d" % listen.getsockname()[1],
                                   "--frame-rate", "25"], stderr=subprocess.PIPE, text=True)
        if after is None:
            sender.wait(timeout=60)
            time.sleep(0.5)
        else:
            time.sleep(after)
        recorder.send_signal(stop)
        try:
            _, err = recorder.communicate(timeout=30)
        finally:
            recorder.kill()
        sender.communicate(timeout=60)
        done.set()
        forwarder.join()
    return recorder.returncode, err, wav, lost


def recorded_seconds(err, wav):
    found = re.findall(r"pcmpack: %s: ([0-9.]+) s recorded\n" % re.escape(wav), err)
    return float(found[0]) if len(found) == 1 else None


def main():
    work = tempfile.mkdtemp(prefix="pcmpack-recording-")
    tone = os.path.join(work, "tone.wav")
    subprocess.run([TOOL, "tone", "-o", tone, "--seconds", str(SECONDS)], check=True)
    source = wav_data(tone)
    frame_bytes = FRAME * PERIOD

    # Cut half-way by SIGINT: a prefix of whole frames, and its length said.
    code, err, wav, _ = record(work, "cut", None, signal.SIGINT, 3.0, [])
    check(code == 0, "sigint: status %d: %s" % (code, err))
    got = wav_data(wav) if os.path.exists(wav) else b""
    check(0 < len(got) <= len(source) and len(got) % frame_bytes == 0,
          "sigint: %d bytes of audio, not whole frames of the %d sent" % (len(got), len(source)))
    check(got == source[:len(got)], "sigint: the recording is not the tone's first frames")
    said = recorded_seconds(err, wav)
    check(said is not None and abs(said - len(got) / PERIOD / RATE) < 0.0005,
          "sigint: says %s s recorded for %d sample periods: %s" % (said, len(got) // PERIOD, err))

    # A datagram dropped in frame 60: that frame is silence, the rest the tone;
    # the signal ends the recording before its --duration.
    code, err, wav, lost = record(work, "lossy", 60, signal.SIGTERM, None, ["--duration", "30"])
    check("pts" in lost, "drop: the relay dropped nothing")
    check(code == 1, "drop: status %d, not 1: %s" % (code, err))
    at = (lost.get("pts", 0) - lost.get("first", 0)) * RATE // 90000
    said = "a frame was lost at %.3f s: %d sample periods of silence put in its place" % (
        at / RATE, FRAME)
    check(said in err, "drop: not said: %r in %s" % (said, err))
    got = wav_data(wav) if os.path.exists(wav) else b""
    cut = at * PERIOD
    check(len(got) == len(source), "drop: %d bytes of audio, not the %d sent" % (len(got), len(source)))
    check(got[cut:cut + frame_bytes] == bytes(frame_bytes),
          "drop: no silence of one frame at sample period %d" % at)
    check(got[:cut] == source[:cut] and got[cut + frame_bytes:] == source[cut + frame_bytes:],
          "drop: the audio around the lost frame is not the tone's")
    check(recorded_seconds(err, wav) == SECONDS, "drop: the length said: %s" % err)

    if failures:
        sys.exit("%d failures" % len(failures))
    print("live recording: all rows pass")


if __name__ == "__main__":
    main()
