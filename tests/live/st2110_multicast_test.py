#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""ST 2110 multicast and the PTP reference, in a network namespace of the
test's own (its loopback carries the groups, a veth pair holds a ptp4l),
so that no datagram reaches any network.

  st2110_multicast_test.py TOOL

Rows: pcmpack's -30 sender to a group, its SDP naming itself as the one
source; pcmpack's unpack from that SDP and inspect from the URL with
--source join source-specifically and take the stream whole, while a second
sender on the same group and port, from another address, is kept out by the
join; ffmpeg receives the group from the SDP as written. Then the SDP's
ts-refclk: the sending interface while the ptp4l here follows no
grandmaster, the grandmaster (its EUI-64 and domain 127) once it leads.
Skipped (77) where no namespace can be made (not root).
"""
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from monitor_test import check, failures, free_port, wav_data  # noqa: E402
from st2110_receive_test import stop, summary, wait_bound  # noqa: E402

TOOL = os.path.abspath(sys.argv[1])
GROUP = "239.21.10.30"
INTRUDER = "127.0.0.2"  # another sender's address on the namespace's loopback
SECONDS = 5  # the receivers need a second of it after they start, however loaded the machine


def in_namespace():
    """Re-runs this script in a new network and mount namespace, with its
    own /run (ptp4l's socket) and /sys (the namespace's interfaces)."""
    if os.environ.get("PCMPACK_NETNS") == "1":
        for setup in (["mount", "-t", "tmpfs", "tmpfs", "/run"], ["mount", "-t", "sysfs", "sysfs", "/sys"],
                      ["ip", "link", "set", "lo", "up"],
                      ["ip", "route", "add", "224.0.0.0/4", "dev", "lo", "src", "127.0.0.1"],
                      ["ip", "link", "add", "ptp0", "type", "veth", "peer", "name", "ptp1"],
                      ["ip", "link", "set", "ptp0", "up"], ["ip", "link", "set", "ptp1", "up"]):
            subprocess.run(setup, check=True)
        return
    try:
        run = subprocess.run(["unshare", "--net", "--mount", "--propagation", "private", sys.executable,
                              *sys.argv], env=dict(os.environ, PCMPACK_NETNS="1"))
    except OSError:
        sys.exit(77)
    sys.exit(77 if run.returncode == 77 else run.returncode)


def intruder(port, done):
    """RTP of the same payload type and shape, from another address."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
        out.bind((INTRUDER, 0))
        k = 0
        while not done.is_set():
            out.sendto(struct.pack("!BBHII", 0x80, 97, k & 0xFFFF, k * 48, 0xBAD) + b"\x7f" * 288, (GROUP, port))
            k += 1
            time.sleep(0.002)


def is_slice(got, source, period):
    """The recording is whole periods of the source, one run of them."""
    at = source.find(got) if got else -1
    return len(got) >= period * 48000 and at >= 0 and at % period == 0


def row_group(work):
    source = os.path.join(work, "tone.wav")
    subprocess.run([TOOL, "tone", "-o", source, "--seconds", str(SECONDS), "--channels", "2", "--bits", "24"],
                   check=True, capture_output=True)
    port = free_port(socket.AF_INET, "127.0.0.1")
    sdp = os.path.join(work, "group.sdp")
    sender = subprocess.Popen([TOOL, "encode", source, "-o", "rtp://%s:%d" % (GROUP, port), "--sdp", sdp],
                              stderr=subprocess.PIPE, text=True)
    while not os.path.exists(sdp) and sender.poll() is None:
        time.sleep(0.01)
    text = open(sdp, newline="").read() if os.path.exists(sdp) else ""
    check("a=source-filter: incl IN IP4 %s 127.0.0.1\r\n" % GROUP in text, "group: the SDP's filter: %s" % text)
    wav = os.path.join(work, "back.wav")
    receivers = [subprocess.Popen([TOOL, "inspect", "rtp://%s:%d" % (GROUP, port), "--source", "127.0.0.1",
                                   "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True),
                 subprocess.Popen([TOOL, "unpack", sdp, "-o", wav], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)]
    ffmpeg_wav = os.path.join(work, "ffmpeg.wav")
    ffmpeg = subprocess.Popen(["ffmpeg", "-v", "error", "-protocol_whitelist", "file,udp,rtp", "-i", sdp, "-t", "1",
                               "-c:a", "pcm_s24le", ffmpeg_wav], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_bound([port])
    done = threading.Event()
    threading.Thread(target=intruder, args=(port, done), daemon=True).start()
    _, sent_err = sender.communicate(timeout=60)
    done.set()
    (ri, si, ei), (ru, _, eu) = stop(receivers)
    _, ffmpeg_err = ffmpeg.communicate(timeout=30)
    s = summary(si)
    check(sender.returncode == 0 and ri == 0 and ru == 0,
          "group: statuses %d %d %d: %s %s %s" % (sender.returncode, ri, ru, sent_err, ei, eu))
    check(s.get("packets", 0) > 0 and s.get("lost") == 0 and s.get("rejected") == 0 and
          s.get("duplicated") == 0 and s.get("timestamp_jumps") == 0, "group: inspect %s" % s)
    whole = wav_data(source)
    check(os.path.exists(wav) and is_slice(wav_data(wav), whole, 6), "group: unpack's recording is no slice of the tone")
    check(ffmpeg.returncode == 0 and os.path.exists(ffmpeg_wav) and is_slice(wav_data(ffmpeg_wav), whole, 6),
          "group: ffmpeg's recording is no slice of the tone: %s" % ffmpeg_err)


def pmc_states():
    out = subprocess.run(["pmc", "-u", "-b", "0", "-d", "127", "GET PORT_DATA_SET"], capture_output=True,
                         text=True).stdout
    return re.findall(r"portState\s+(\w+)", out)


def refclk(work, name):
    source = os.path.join(work, "short.wav")
    if not os.path.exists(source):
        subprocess.run([TOOL, "tone", "-o", source, "--seconds", "0.1"], check=True, capture_output=True)
    sdp = os.path.join(work, name)
    run = subprocess.run([TOOL, "encode", source, "-o", "rtp://127.0.0.1:%d" % free_port(socket.AF_INET, "127.0.0.1"),
                          "--sdp", sdp, "-v"], capture_output=True, text=True)
    line = [l for l in open(sdp).read().splitlines() if l.startswith("a=ts-refclk:")] if run.returncode == 0 else []
    return (line or [run.stderr])[0], run.stderr


def row_ptp(work):
    mac = open("/sys/class/net/ptp0/address").read().strip().upper().split(":")
    eui64 = "-".join(mac[:3] + ["FF", "FE"] + mac[3:])
    ptp4l = subprocess.Popen(["ptp4l", "-i", "ptp0", "-S", "-q", "--domainNumber", "127"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not pmc_states() and time.monotonic() < deadline:
            time.sleep(0.1)
        line, err = refclk(work, "listening.sdp")
        listening = pmc_states() == ["LISTENING"]
        print("ptp4l listening when the SDP was written: %s" % listening)
        if listening:
            check(line == "a=ts-refclk:localmac=" + "-".join(mac), "ptp listening: %s" % line)
            check("ptp4l runs here but follows no grandmaster (ports LISTENING)" in err, "ptp listening: %s" % err)
        deadline = time.monotonic() + 30
        while pmc_states() != ["MASTER"] and time.monotonic() < deadline:
            time.sleep(0.2)
        line, _ = refclk(work, "locked.sdp")
        check(line == "a=ts-refclk:ptp=IEEE1588-2008:%s:127" % eui64, "ptp leading: %s, expected %s" % (line, eui64))
    finally:
        ptp4l.terminate()
        ptp4l.wait()


def main():
    in_namespace()
    with tempfile.TemporaryDirectory() as work:
        row_group(work)
        row_ptp(work)
    print("%d failed" % len(failures) if failures else "st2110 multicast: all rows passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
