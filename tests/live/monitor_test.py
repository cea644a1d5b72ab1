#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""`pcmpack inspect` and `pcmpack unpack` on a live 302M transport stream,
over this machine's loopback only.

  monitor_test.py TOOL [monitor]

(`monitor` runs the table of faults alone.)

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
import re
import signal
import socket
import struct
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
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # kernel arrival times
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


def pid_of(packet):
    return (packet[1] & 0x1F) << 8 | packet[2]


def payload_packets(datagram):
    """Packets that count on a continuity counter: with payload, not null."""
    return sum(1 for k in range(0, len(datagram), 188)
               if pid_of(datagram[k:k + 188]) != 0x1FFF and datagram[k + 3] & 0x10)


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
            lost["packets"] = payload_packets(data)
            if damage[0] == "drop":
                continue
            data = data[:188] + data
        forward.sendto(data, forward_to)


def datagrams_of(stream):
    data = open(stream, "rb").read()
    return [data[k:k + DATAGRAM] for k in range(0, len(data), DATAGRAM)]


def paced(pieces, to, seconds, family=socket.AF_INET, end=b""):
    """Sends the datagrams evenly over `seconds`, then `end` if any."""
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        start = time.monotonic()
        for n, piece in enumerate(pieces + ([end] if end is not None else [])):
            wait = start + n * seconds / len(pieces) - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if piece is not None:  # None: lost on the way
                s.sendto(piece, to)


def send(stream, to, family):
    """Sends the stream paced at its audio's rate, then an empty datagram."""
    paced(datagrams_of(stream), to, AUDIO_SECONDS, family)


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
    if sys.argv[2:] == ["monitor"]:
        monitor_table(work, streams["25"], tone)
        sys.exit("%d failures" % len(failures) if failures else 0)
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
            summary = lines.pop() if lines else {}
            check(summary.get("summary") and summary["status"] == code and
                  summary["frames"] == sum(line["frames"] for line in lines),
                  "%s: the summary does not end the lines or does not add them up: %s" % (name, summary))
            check(len(lines) >= 4, "%s: %d interval lines" % (name, len(lines)))
            frames = sum(line["frames"] for line in lines)
            cadences = [line["cadence"] for line in lines if line["frames"] >= 5]
            check(cadences and all(c == CADENCE[rate] for c in cadences),
                  "%s: cadences %s" % (name, cadences))
            cc = sum(line["packets_lost"] + line["packets_duplicated"] + line["packets_out_of_order"]
                     for line in lines)
            breaks = [b for line in lines for b in line["pts_breaks"]]
            faults = {f for line in lines for f in line["faults"]}
        else:
            lines = out.splitlines()
            check(lines and " summary: " in lines[-1] and lines[-1].endswith("status %d" % code),
                  "%s: no summary at the end: %s" % (name, lines[-1:]))
            frames = sum(int(line.split(": ", 1)[1].split(" frames")[0]) for line in lines[:-1])
            cc = int(lines[-1].split("; ")[1].split(" packets lost")[0]) if lines else 0
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
        check(cc == lost["packets"], "%s: %d packets lost, not %d" % (name, cc, lost["packets"]))
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

    monitor_table(work, streams["25"], tone)

    if failures:
        sys.exit("%d failures" % len(failures))
    print("live monitor: all rows pass")


# The monitor's figures and the sender's promises, a row per fault, all
# rows side by side (about 8 s). Each row states what it must read from
# what the test itself did to the datagrams, never from the tool.
FAULT_SECONDS = 2  # the stream of the relay rows


def audio_only(datagram):
    """Seven packets of the audio PID that carry payload and start no PES."""
    return all(pid_of(datagram[k:k + 188]) == 0x100 and datagram[k + 3] & 0x10 and
               not datagram[k + 1] & 0x40 for k in range(0, len(datagram), 188))


def pcrs_of(datagrams):
    found = []
    for datagram in datagrams:
        for k in range(0, len(datagram), 188):
            p = datagram[k:k + 188]
            if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
                b = p[6:12]
                found.append(((b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7) * 300 +
                              ((b[4] & 1) << 8 | b[5])) / 27e6)
    return found


def monitored(pieces, seconds):
    """The monitor's status, JSON lines and stderr for these datagrams."""
    port = free_port(socket.AF_INET, "127.0.0.1")
    tool = subprocess.Popen([TOOL, "inspect", "udp://127.0.0.1:%d" % port, "--json", "--duration",
                             str(STARTUP + seconds + 1.5)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    time.sleep(STARTUP)
    paced(pieces, ("127.0.0.1", port), seconds, end=None)
    out, err = tool.communicate(timeout=30)
    lines = [json.loads(line) for line in out.splitlines()]
    return tool.returncode, (lines[-1] if lines and lines[-1].get("summary") else {}), err


def row_reordered(stream, _):
    """A pair of datagrams swapped, another sent twice: each packet counted
    as what it is, none lost, every frame whole."""
    pieces = datagrams_of(stream)
    at = [k for k in range(len(pieces) // 3, len(pieces) - 1)
          if audio_only(pieces[k]) and audio_only(pieces[k + 1])]
    swap, twice = at[0], at[3]
    pieces[swap], pieces[swap + 1] = pieces[swap + 1], pieces[swap]
    pieces.insert(twice + 1, pieces[twice])
    status, summary, err = monitored(pieces, FAULT_SECONDS)
    frames = json.loads(run(["inspect", stream, "--json"]))["frames"]
    want = {"packets_out_of_order": 7, "packets_duplicated": 7, "packets_lost": 0, "pts_breaks": 0,
            "frames": frames, "rejected": 0, "status": 1}
    return status == 1 and all(summary.get(k) == v for k, v in want.items()), (status, summary, err)


def row_restart(stream, _):
    """The sender starts over after 1.2 s: one jump back of the PCR and of
    the PTS, by what the stream says, and no figure across it."""
    pieces = datagrams_of(stream)
    cut = int(len(pieces) * 1.2 / AUDIO_SECONDS)
    jump = pcrs_of(pieces[:1])[0] - pcrs_of(pieces[:cut])[-1]
    status, summary, err = monitored(pieces[:cut] + pieces, 1.2 + AUDIO_SECONDS)
    said = [float(x) for x in re.findall(r"PCR discontinuity: ([-+0-9.]+) s", err)]
    fine = (status == 1 and said and abs(said[0] - jump) < 0.002 and summary.get("pcr_discontinuities") == 1
            and summary.get("pts_discontinuities") == 1 and summary.get("sample_periods_lost", -1) == 0
            and summary.get("pcr_interval_max_ms", 1e9) < 100 and summary.get("pat_interval_max_ms", 1e9) < 500)
    return fine, (status, jump, summary, err)


def row_splice_forward(stream, _):
    """0.6 s of datagrams cut out with no time passing: the clock jumps
    ahead, a discontinuity and no frames lost, though packets were."""
    pieces = datagrams_of(stream)
    cut, skip = len(pieces) // 3, int(len(pieces) * 0.6 / AUDIO_SECONDS)
    jump = pcrs_of(pieces[cut + skip:])[0] - pcrs_of(pieces[:cut])[-1]
    status, summary, err = monitored(pieces[:cut] + pieces[cut + skip:], AUDIO_SECONDS - 0.6)
    said = [float(x) for x in re.findall(r"PCR discontinuity: ([-+0-9.]+) s", err)]
    fine = (status == 1 and said and abs(said[0] - jump) < 0.002 and summary.get("pcr_discontinuities") == 1
            and summary.get("pts_discontinuities") == 1 and summary.get("pts_breaks") == 0)
    return fine, (status, jump, summary, err)


def row_outage(stream, _):
    """0.6 s of datagrams lost while the time passes: frames lost, about as
    many sample periods as went missing, and no clock jump."""
    pieces = datagrams_of(stream)
    cut, skip = len(pieces) // 3, int(len(pieces) * 0.6 / AUDIO_SECONDS)
    status, summary, err = monitored(pieces[:cut] + [None] * skip + pieces[cut + skip:], AUDIO_SECONDS)
    lost = summary.get("sample_periods_lost", 0) / 48000
    fine = (status == 1 and summary.get("pcr_discontinuities") == 0 and summary.get("pts_discontinuities") == 0
            and summary.get("pts_breaks") == 1 and abs(lost - 0.6) < 0.1)
    return fine, (status, summary, err)


def row_port_held(_, __):
    """A port another socket holds: said at once, with how to share it."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("127.0.0.1", 0))
        url = "udp://127.0.0.1:%d" % holder.getsockname()[1]
        began = time.monotonic()
        result = subprocess.run([TOOL, "inspect", url, "--duration", "8"], capture_output=True, text=True,
                                timeout=30)
        took = time.monotonic() - began
    fine = (result.returncode == 1 and took < 6 and
            "%s: address already in use" % url in result.stderr and "reuse=1" in result.stderr)
    return fine, (result.returncode, took, result.stderr)


def row_listener_gone(_, tone):
    """An SRT listener that goes away for good: the sender fails and names
    the stream time it did not send, up to the end of its 2 s of audio."""
    port, sink = free_port(socket.AF_INET, "127.0.0.1"), free_port(socket.AF_INET, "127.0.0.1")
    listener = subprocess.Popen(["srt-live-transmit", "-q", "srt://:%d?mode=listener" % port,
                                 "udp://127.0.0.1:%d" % sink], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    time.sleep(1)
    sender = subprocess.Popen([TOOL, "encode", tone, "-o", "srt://127.0.0.1:%d" % port, "--frame-rate", "25"],
                              stderr=subprocess.PIPE, text=True)
    time.sleep(0.8)
    listener.terminate()
    listener.wait()
    _, err = sender.communicate(timeout=30)
    said = re.search(r"the listener did not come back: ([0-9.]+) s to ([0-9.]+) s of the stream were not "
                     r"sent", err)
    fine = (sender.returncode == 1 and said and 0 < float(said.group(1)) < AUDIO_SECONDS and
            AUDIO_SECONDS <= float(said.group(2)) < AUDIO_SECONDS + 0.5)
    return fine, (sender.returncode, err)


def row_fast_pipe(_, tone):
    """A pipe that hands over 6 s of audio at once leaves at the audio's
    pace: after its first half second (the tool's start may send what came
    meanwhile at once), no faster than the bit rate -v states."""
    seconds = 6
    longer = tone.replace(".wav", "_%ds.wav" % seconds)
    run(["tone", "-o", longer, "--seconds", str(seconds), "--channels", "8", "--bits", "24"])
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as capture:
        capture.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 25)
        capture.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        capture.bind(("127.0.0.1", 0))
        capture.settimeout(3)
        sender = subprocess.Popen([TOOL, "encode", "-", "-o", "udp://127.0.0.1:%d" % capture.getsockname()[1],
                                   "--frame-rate", "25", "-v"], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        writer = threading.Thread(target=lambda: (sender.stdin.write(open(longer, "rb").read()),
                                                  sender.stdin.close()))
        writer.start()
        arrivals = []  # (kernel arrival time, bytes)
        try:
            while True:
                data, ancillary, _, _ = capture.recvmsg(65536, 64)
                sec, nsec = struct.unpack("qq", ancillary[0][2][:16])
                arrivals.append((sec + nsec / 1e9, len(data)))
        except socket.timeout:
            pass
        writer.join()
        sender.stdin = None  # written and closed
        err = sender.communicate(timeout=30)[1].decode()
    stated = re.search(r"a constant (\d+) bits/s.*paced by the audio", err)
    span = arrivals[-1][0] - arrivals[0][0] if arrivals else 0
    later = [(t, n) for t, n in arrivals if t >= arrivals[0][0] + 0.5]
    # The last datagram leaves at the time of its first byte.
    wire = sum(n for _, n in later[:-1]) * 8 / (later[-1][0] - later[0][0]) if len(later) > 1 else 0
    fine = sender.returncode == 0 and stated and span >= 0.9 * seconds and wire <= 1.03 * int(stated.group(1))
    return fine, (sender.returncode, span, wire, err)


def monitor_table(work, stream, tone):
    # name, row
    rows = [
        ("reordered_and_duplicated_datagrams", row_reordered),
        ("sender_restart", row_restart),
        ("splice_forward", row_splice_forward),
        ("outage", row_outage),
        ("port_held_by_another_socket", row_port_held),
        ("srt_listener_gone_for_good", row_listener_gone),
        ("pipe_faster_than_real_time", row_fast_pipe),
    ]
    results = {}

    def go(name, row):
        try:
            results[name] = row(stream, tone)
        except Exception as e:  # a row that breaks is a failure, not a hang
            results[name] = (False, repr(e))

    threads = [threading.Thread(target=go, args=row) for row in rows]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, _ in rows:
        fine, seen = results[name]
        check(fine, "monitor %s: %s" % (name, seen))
        if os.environ.get("PCMPACK_TEST_VERBOSE"):
            print("monitor %s: %s" % (name, seen))


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
