#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Ten minutes of 8-channel 24-bit 302M sent in real time over loopback UDP.

  long_test.py TOOL [SECONDS]

ffmpeg's sine comes down a pipe (no 700 MB file on disk), `encode` paces it by
the audio, and `inspect` watches the stream. The sender must keep the
audio's time, stay in constant memory (64 MB at most) and use under 5% of
one core (about 3% here, nearly all of it the kernel's: a send and a poll
for each of the 1,100 datagrams a second, and a timer wake-up for every
three, which no pacing of whole datagrams through libavformat's udp
protocol can avoid); the monitor must see every frame and no fault. Prints
the figures.
"""
import os
import socket
import subprocess
import sys
import time

tool = sys.argv[1]
seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
MOST_RSS_KB = 64 * 1024
MOST_CORE_SHARE = 0.05

with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]

monitor = subprocess.Popen([tool, "inspect", "udp://127.0.0.1:%d?localaddr=127.0.0.1" % port,
                            "--duration", str(seconds + 5), "--every", "10"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
time.sleep(1)
tone = subprocess.Popen(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                         "sine=frequency=997:sample_rate=48000:duration=%d" % seconds, "-ac", "8",
                         "-c:a", "pcm_s24le", "-f", "wav", "-"], stdout=subprocess.PIPE)
start = time.monotonic()
sender = subprocess.Popen([tool, "encode", "-", "-o", "udp://127.0.0.1:%d" % port, "--frame-rate",
                           "25", "--pace", "audio"], stdin=tone.stdout)
tone.stdout.close()
_, status, usage = os.wait4(sender.pid, 0)
wall = time.monotonic() - start
tone.wait()
out, err = monitor.communicate(timeout=60)

failures = []
cpu = usage.ru_utime + usage.ru_stime
frames = sum(int(line.split(": ")[1].split(" frames")[0]) for line in out.splitlines() if " frames, " in line)
print("sender: %d s of audio in %.2f s, %.2f s of processor time (%.2f%% of one core), peak %d kB"
      % (seconds, wall, cpu, 100 * cpu / wall, usage.ru_maxrss))
print("monitor: %d frames of %d, status %d" % (frames, seconds * 25, monitor.returncode))
if os.waitstatus_to_exitcode(status) != 0:
    failures.append("the sender ended with status %d" % os.waitstatus_to_exitcode(status))
if abs(wall - seconds) > seconds * 0.01:
    failures.append("%d s of audio took %.2f s" % (seconds, wall))
if usage.ru_maxrss > MOST_RSS_KB:
    failures.append("the sender's peak memory was %d kB" % usage.ru_maxrss)
if cpu > MOST_CORE_SHARE * wall:
    failures.append("the sender used %.2f%% of one core" % (100 * cpu / wall))
if monitor.returncode != 0 or frames < seconds * 25 - 2:
    failures.append("the monitor saw %d frames, status %d:\n%s" % (frames, monitor.returncode, err))
for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
