#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""`pcmpack inspect` and `pcmpack unpack` on a live 302M transport stream,
over this machine's loopback only.

  monitor_test.py TOOL

Streams written by `pcmpack encode` to .ts files are sent here as datagrams
of seven packets, paced at the audio's rate. A relay between sender and
receiver forwards every datagram but, where a row asks, one from the middle
of a frame; the frame it belonged to is found here from the packets
themselves (its PES header's PTS), not from the tool. Each row checks the
exit status, the frames received, the cadence, the continuity-counter error
and the time named for the lost frame; the recording row checks that the
WAV's samples are a contiguous, frame-aligned run of the file's.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOOL = sys.argv[1]
DATAGRAM = 7 * 188
AUDIO_SECONDS = 2
STARTUP = 1.0  # for the receiver to open its socket before the first datagram
# 302M at 30000/1001: five frames carry 8008 sample periods.
CADENCE = {"25": None, "30000/1001": [1602, 1601, 1602, 1601, 1602]}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, file=sys.stderr)


def run(args):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("pcmpack %s failed: %s" % (" ".join(args), result.stderr))
    return result.stdout


def free_port(family, host):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def audio_pes_pts(datagram):
    """PTS of each audio PES (stream id 0xBD) that starts in the datagram."""
    found = []
    for k in range(0, len(datagram), 188):
        p = datagram[k:k + 188]
        if not p[1] & 0x40:
            continue
        start = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        pes = p[start:]
        if pes[:4] == b"\x00\x00\x01\xbd" and pes[7] & 0x80:
            b = pes[9:14]
            found.append((b[0] >> 1 & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1)
    return found


def relay(listen, forward, forward_to, damage, lost):
    """Forwards datagrams until an empty one. `damage` ("drop" or "repeat",
    N) drops the first datagram of the Nth audio PES that holds no PES start,
    or sends its first packet twice, as the protocol allows; the PTS of that
    frame and of the first one go to `lost`."""
    frame_pts, frames = None, 0
    while True:
        data, _ = listen.recvfrom(65536)
        if not data:
            return
        starts = audio_pes_pts(data)
        if starts:
            lost.setdefault("first", starts[0])
            frame_pts = starts[-1]
            frames += len(starts)
        if damage and frames == damage[1] and not starts and "pts" not in lost:
            lost["pts"] = frame_pts
            if damage[0] == "drop":
                continue
            data = data[:188] + data
        forward.sendto(data, forward_to)


def send(stream, to, family):
    """Sends the stream paced at its audio's rate, then an empty datagram."""
    data = open(stream, "rb").read()
    pieces = [data[k:k + DATAGRAM] for k in range(0, len(data), DATAGRAM)]
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        start = time.monotonic()
        for n, piece in enumerate(pieces):
            wait = start + n * AUDIO_SECONDS / len(pieces) - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            s.sendto(piece, to)
        s.sendto(b"", to)


def watch(family, host, port, stream, damage, args, stop=None):
    """Runs the tool while the stream is sent to host:port through the relay,
    and sends it the signal `stop`, if any, once the stream has ended;
    returns its status, output, the seconds it ran and what the relay did."""
    lost = {}
    with socket.socket(family, socket.SOCK_DGRAM) as listen, \
            socket.socket(family, socket.SOCK_DGRAM) as forward:
        # Room for the bursts a loaded machine makes of the pacing.
        listen.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        listen.bind((host, 0))
        began = time.monotonic()
        tool = subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        time.sleep(STARTUP)
        threads = [threading.Thread(target=relay, args=(listen, forward, (host, port), damage, lost)),
                   threading.Thread(target=send, args=(stream, listen.getsockname()[:2], family))]
        for t in threads:
            t.start()
        if stop:
            for t in threads:
                t.join()
            time.sleep(0.5)
            tool.send_signal(stop)
        out, err = tool.communicate(timeout=30)
        seconds = time.monotonic() - began
        for t in threads:
            t.join()
        return tool.returncode, out, err, seconds, lost


def main():
    work = tempfile.mkdtemp(prefix="pcmpack-live-")
    tone = os.path.join(work, "tone.wav")
    run(["tone", "-o", tone, "--seconds", str(AUDIO_SECONDS), "--channels", "8", "--bits", "24"])
    streams = {}
    for rate in CADENCE:
        streams[rate] = os.path.join(work, rate.replace("/", "_") + ".ts")
        run(["encode", tone, "-o", streams[rate], "--frame-rate", rate])
    frames_in = {rate: json.loads(run(["inspect", path, "--json"]))["frames"]
                 for rate, path in streams.items()}
    v4, v6 = (socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")
    duration = str(STARTUP + AUDIO_SECONDS + 1.5)

    watched = ["--duration", duration]
    # name, frame rate, address, URL form, damage, options, signal that ends it, status
    rows = [
        ("whole_25", "25", v4, "udp://127.0.0.1:%d?localaddr=127.0.0.1", None, ["--json", *watched], None, 0),
        ("whole_2997_ipv6_sigterm", "30000/1001", v6, "udp://[::1]:%d", None, ["--json"], signal.SIGTERM, 0),
        ("repeated_packet_sigint", "25", v4, "udp://@:%d", ("repeat", 20), ["--json"], signal.SIGINT, 0),
        ("drop_25", "25", v4, "udp://@:%d", ("drop", 20), ["--json", *watched], None, 1),
        ("drop_2997_text", "30000/1001", v4, "udp://@:%d", ("drop", 31), watched, None, 1),
        ("drop_fail_fast", "25", v4, "udp://@:%d", ("drop", 20), ["--fail-fast", *watched], None, 1),
    ]
    for name, rate, (family, host), form, damage, options, stop, status in rows:
        port = free_port(family, host)
        url = form % port
        drop = damage and damage[0] == "drop"
        code, out, err, seconds, lost = watch(family, host, port, streams[rate], damage,
                                              ["inspect", url, *options], stop)
        check(code == status, "%s: status %d, not %d: %s" % (name, code, status, err))
        check(not damage or "pts" in lost, "%s: the relay did nothing" % name)
        if "--fail-fast" in options:
            check(seconds < STARTUP + AUDIO_SECONDS, "%s: ran %.1f s, on past the fault" % (name, seconds))
            check("continuity counter" in err, "%s: the fault is not named: %s" % (name, err))
            continue
        if "--json" in options:
            lines = [json.loads(line) for line in out.splitlines()]
            check(len(lines) >= 4, "%s: %d interval lines" % (name, len(lines)))
            frames = sum(line["frames"] for line in lines)
            cadences = [line["cadence"] for line in lines if line["frames"] >= 5]
            check(cadences and all(c == CADENCE[rate] for c in cadences),
                  "%s: cadences %s" % (name, cadences))
            cc = sum(line["cc_errors"] for line in lines)
            breaks = [b for line in lines for b in line["pts_breaks"]]
            faults = {f for line in lines for f in line["faults"]}
        else:
            lines = out.splitlines()
            frames = sum(int(line.split(": ", 1)[1].split(" frames")[0]) for line in lines)
            cc = err.count("continuity counter")
            breaks = [{"pts": int(line.split("(PTS ")[1].split(")")[0]),
                       "at": float(line.split("due at ")[1].split(" s")[0])}
                      for line in err.splitlines() if "PTS break" in line]
            faults = {"cc", "pts"} if cc and breaks else set()
        expect_frames = frames_in[rate] - (1 if drop else 0)
        check(frames == expect_frames, "%s: %d frames, not %d" % (name, frames, expect_frames))
        if not drop:
            check(cc == 0 and not breaks and not faults,
                  "%s: faults in a whole stream: %s" % (name, out + err))
            continue
        check(cc == 1, "%s: %d continuity-counter errors, not 1" % (name, cc))
        check(len(breaks) == 1 and breaks[0]["pts"] == lost["pts"],
              "%s: breaks %s, not the lost frame's PTS %s" % (name, breaks, lost.get("pts")))
        due = (lost["pts"] - lost["first"]) / 90000
        check(len(breaks) == 1 and abs(breaks[0]["at"] - due) < 0.001,
              "%s: the lost frame named at %s, not %.3f s" % (name, breaks, due))
        check({"cc", "pts"} <= faults, "%s: faults %s" % (name, faults))

    # Recording: a capture cut by --duration holds whole frames of the stream,
    # in order, from wherever it began.
    family, host = v4
    port = free_port(family, host)
    url = "udp://127.0.0.1:%d?localaddr=127.0.0.1" % port
    capture, whole = os.path.join(work, "capture.wav"), os.path.join(work, "whole.wav")
    code, _, err, _, _ = watch(family, host, port, streams["25"], None,
                               ["unpack", url, "-o", capture, "--duration", str(STARTUP + 1.5)])
    check(code == 0, "unpack: status %d: %s" % (code, err))
    run(["unpack", streams["25"], "-o", whole])
    got, source = wav_data(capture), wav_data(whole)
    frame = 1920 * 8 * 3
    at = source.find(got)
    check(len(got) >= 20 * frame and len(got) % frame == 0 and at >= 0 and at % frame == 0,
          "unpack: %d bytes of audio, found at byte %d of the file's %d" % (len(got), at, len(source)))

    if failures:
        sys.exit("%d failures" % len(failures))
    print("live monitor: all rows pass")


def wav_data(path):
    data = open(path, "rb").read()
    at = 12
    while at + 8 <= len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        if data[at:at + 4] == b"data":
            return data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    sys.exit("%s: no data chunk" % path)


if __name__ == "__main__":
    main()
