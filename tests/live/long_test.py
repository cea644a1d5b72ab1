#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""A minute of 8-channel 24-bit 302M sent in real time over loopback UDP.

  long_test.py TOOL [SECONDS]

ffmpeg's sine comes down a pipe, `encode` paces it by the audio, and
`inspect` watches the stream. Once the sender has settled (10 s in), its
resident memory must stay where it was to the end and its processor time
must not grow per second of audio: a frame that leaves a few kB behind, or a
frame that costs more the longer the stream runs, shows here long before a
day of broadcast would. Both are the sender's own counts (/proc), not the
wall clock, so a busy machine does not move them. The sender must also
end within 5% of the audio's time, stay within 64 MB and under 5% of one
core (about 3%, nearly all of it the kernel's: a send and a poll for each of
the 1,100 datagrams a second); the monitor must see every frame and no
fault. Prints the figures.

A leak planted in the sender's loop (512 bytes for each 10 ms it sends, 2 kB a
frame) grew it by 2.6 MB between 10 s and 60 s and failed here.
"""
import os
import socket
import subprocess
import sys
import time

tool = sys.argv[1]
seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
SETTLED = 10  # seconds: the muxer's and the socket's buffers are all in use by then
MOST_RSS_KB = 64 * 1024
# 50 s at 25 frames a second is 1,250 frames: 1 MB is under 1 kB a frame.
MOST_RSS_GROWTH_KB = 1024
MOST_CORE_SHARE = 0.05
TICK = os.sysconf("SC_CLK_TCK")


def sample(pid):
    """(resident kB, user + system seconds) of a running process."""
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return rss, (int(fields[11]) + int(fields[12])) / TICK


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
samples = []  # (seconds since the start, resident kB, processor seconds)
# Reaped here rather than by Popen, for the resource usage of the whole run.
while True:
    pid, status, usage = os.wait4(sender.pid, os.WNOHANG)
    if pid:
        break
    try:
        samples.append((time.monotonic() - start, *sample(sender.pid)))
    except (OSError, StopIteration, IndexError):  # it ended between the wait and the read
        pass
    time.sleep(0.5)
wall = time.monotonic() - start
tone.wait()
out, err = monitor.communicate(timeout=60)

failures = []
cpu = usage.ru_utime + usage.ru_stime
frames = sum(int(line.split(": ")[1].split(" frames")[0]) for line in out.splitlines() if " frames, " in line)
settled = [s for s in samples if s[0] >= SETTLED]
print("sender: %d s of audio in %.2f s, %.2f s of processor time (%.2f%% of one core), peak %d kB"
      % (seconds, wall, cpu, 100 * cpu / wall, usage.ru_maxrss))
print("monitor: %d frames of %d, status %d" % (frames, seconds * 25, monitor.returncode))
if len(settled) < 3 or settled[-1][0] < seconds - 5:
    failures.append("the sender's memory and processor time were not sampled from %d s to near the "
                    "end: %s" % (SETTLED, samples[-1:] or "no sample"))
else:
    first, last = settled[0], settled[-1]
    middle = min(settled, key=lambda s: abs(s[0] - (first[0] + last[0]) / 2))
    growth = last[1] - first[1]
    early = (middle[2] - first[2]) / (middle[0] - first[0])
    late = (last[2] - middle[2]) / (last[0] - middle[0])
    print("sender from %.0f s to %.0f s: resident %d kB to %d kB (%+d kB); processor time %.2f%% of "
          "one core, then %.2f%%" % (first[0], last[0], first[1], last[1], growth, 100 * early, 100 * late))
    if growth > MOST_RSS_GROWTH_KB:
        failures.append("the sender's resident memory grew by %d kB from %.0f s to %.0f s"
                        % (growth, first[0], last[0]))
    # Processor seconds are counted in ticks of 10 ms: a tick's worth of slack.
    if late > 1.5 * early + 1.0 / TICK:
        failures.append("the sender's processor time grew from %.2f%% to %.2f%% of one core"
                        % (100 * early, 100 * late))
if os.waitstatus_to_exitcode(status) != 0:
    failures.append("the sender ended with status %d" % os.waitstatus_to_exitcode(status))
# The pacing itself is measured to the datagram by live_test.py; this wall
# clock also holds the start of ffmpeg and of the tool, which a busy machine
# stretches. Sent unpaced, a minute leaves in about a second.
if not seconds - 0.5 <= wall <= seconds * 1.05:
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
