#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""`pcmpack inspect` watching 302M that ffmpeg sends live, in packets of its
own length (about 1100 sample periods, a video frame of no rate), over this
machine's loopback only.

  other_writers_test.py TOOL

Two rows run side by side in real time, about 15 s: ffmpeg sends straight
to the monitor, which must see every sample period and no fault; and
ffmpeg sends through a relay that drops one datagram from the middle of a
packet, which the monitor must name by that packet's PTS (read here from
the datagrams), ending with status 1. The monitor is stopped by SIGINT once
ffmpeg has sent the last packet, so that a slow start does not cut the
audio short.
"""
import json
import signal
import subprocess
import sys
import threading
import time
import socket

from monitor_test import audio_pes_pts, free_port

TOOL = sys.argv[1]
AUDIO_SECONDS = 12
WATCH_SECONDS = 60  # at most; SIGINT ends it once the audio is sent
HOST = "127.0.0.1"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, file=sys.stderr)


def relay(listen, forward, forward_to, drop_after, lost):
    """Forwards datagrams until none comes for 3 s (20 s before the first),
    but the first datagram without a PES start once `drop_after` audio
    packets have begun; that packet's PTS goes to `lost`."""
    listen.settimeout(20)
    frame_pts, frames = None, 0
    while True:
        try:
            data, _ = listen.recvfrom(65536)
        except socket.timeout:
            return
        listen.settimeout(3)
        starts = audio_pes_pts(data)
        if starts:
            lost.setdefault("first", starts[0])
            frame_pts, frames = starts[-1], frames + len(starts)
        if frames == drop_after and not starts and "pts" not in lost:
            lost["pts"] = frame_pts
            continue
        forward.sendto(data, forward_to)


def watch(port, send_to):
    """The monitor on `port` while ffmpeg sends 302M to `send_to`."""
    monitor = subprocess.Popen([TOOL, "inspect", "udp://@:%d" % port, "--duration", str(WATCH_SECONDS),
                                "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1)
    sender = subprocess.run(["ffmpeg", "-v", "error", "-re", "-f", "lavfi", "-i",
                             "sine=f=997:d=%d" % AUDIO_SECONDS, "-ac", "2", "-c:a", "s302m",
                             "-strict", "-2", "-f", "mpegts", "udp://%s:%d?pkt_size=1316" % send_to],
                            capture_output=True, text=True)
    check(sender.returncode == 0, "ffmpeg failed: %s" % sender.stderr)
    time.sleep(2)
    monitor.send_signal(signal.SIGINT)
    out, err = monitor.communicate(timeout=WATCH_SECONDS)
    objects = [json.loads(line) for line in out.splitlines()]
    # The interval lines, then the run's summary.
    return monitor.returncode, [o for o in objects if not o.get("summary")], err, \
        [o for o in objects if o.get("summary")]


def main():
    results = {}
    lost = {}
    whole_port, dropped_port = free_port(socket.AF_INET, HOST), free_port(socket.AF_INET, HOST)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listen, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as forward:
        listen.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        listen.bind((HOST, 0))
        threads = [
            threading.Thread(target=lambda: results.update(whole=watch(whole_port, (HOST, whole_port)))),
            threading.Thread(target=lambda: results.update(
                dropped=watch(dropped_port, listen.getsockname()[:2]))),
            threading.Thread(target=relay, args=(listen, forward, (HOST, dropped_port), 100, lost)),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    code, lines, err, summary = results["whole"]
    check(len(summary) == 1 and summary[0]["status"] == 0 and summary[0]["sample_periods_lost"] == 0,
          "whole: summary %s" % summary)
    periods = sum(line["sample_periods"] for line in lines)
    faults = {f for line in lines for f in line["faults"]}
    check(code == 0 and not faults and err == "", "whole: status %d, faults %s: %s" % (code, faults, err))
    check(periods == AUDIO_SECONDS * 48000, "whole: %d sample periods, not %d" % (periods, AUDIO_SECONDS * 48000))

    code, lines, err, summary = results["dropped"]
    check(len(summary) == 1 and summary[0]["status"] == 1 and summary[0]["pts_breaks"] == 1,
          "dropped: summary %s" % summary)
    breaks = [b for line in lines for b in line["pts_breaks"]]
    faults = {f for line in lines for f in line["faults"]}
    check("pts" in lost, "dropped: the relay did nothing")
    check(code == 1, "dropped: status %d, not 1: %s" % (code, err))
    # The monitor works out the PTS due from the samples before it, rounded
    # down; ffmpeg stamps it rounded to the nearest tick.
    check(len(breaks) == 1 and abs(breaks[0]["pts"] - lost.get("pts", -9)) <= 1,
          "dropped: breaks %s, not the lost packet's PTS %s" % (breaks, lost.get("pts")))
    due = (lost.get("pts", 0) - lost.get("first", 0)) / 90000
    check(len(breaks) == 1 and abs(breaks[0]["at"] - due) < 0.001,
          "dropped: the lost packet named at %s, not %.3f s" % (breaks, due))
    check("pts" in faults and "PTS break" in err, "dropped: faults %s: %s" % (faults, err))
    # What arrived and what was lost make up the whole audio.
    periods = sum(line["sample_periods"] for line in lines)
    lost_periods = sum(b["sample_periods"] for b in breaks)
    check(periods + lost_periods == AUDIO_SECONDS * 48000,
          "dropped: %d sample periods received and %d lost, not %d in all"
          % (periods, lost_periods, AUDIO_SECONDS * 48000))

    if failures:
        sys.exit("%d failures" % len(failures))
    print("live 302M of another writer: all rows pass")


if __name__ == "__main__":
    main()
