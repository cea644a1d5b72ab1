#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The README's Live examples, run as written.

  readme_live_test.py TOOL README [PAGE...]

Each ```sh block of the README's Live section, then of the section of that
name in each PAGE (docs/live.md), runs in order, as one shell
script, in an empty folder with the built tool first on the PATH, as a
reader pastes it (its receivers in the background, on this machine's
loopback). The ports the text names are each replaced by a free one, the
same throughout, so that a second run on the machine (another checkout's
tests, say) cannot cross its streams with ours. Every block must end with status 0;
every monitor line must name frames and no fault; the recording must hold
audio.
"""
import os
import re
import sys
import struct
import tempfile

from readme_blocks import on_free_ports, run_blocks, sh_blocks

tool, documents = os.path.abspath(sys.argv[1]), sys.argv[2:]
blocks = sh_blocks(documents, "Live")
if len(blocks) < 4:
    sys.exit("the Live sections of %s have %d sh blocks, not the 4 expected" % (", ".join(documents), len(blocks)))
blocks = on_free_ports(blocks)

failures = []
with tempfile.TemporaryDirectory() as folder:
    for block, run in run_blocks(tool, blocks, folder):
        if run.returncode != 0:
            failures.append("status %d: %s" % (run.returncode, block.strip()))
        if "pcmpack inspect" in block:
            lines = [l for l in run.stdout.splitlines() if " frames, " in l]
            counted = [int(re.search(r": (\d+) frames", l).group(1)) for l in lines]
            if sum(counted) < 200 or any("faults none" not in l for l in lines):
                failures.append("the monitor saw %d frames, or a fault: %s" % (sum(counted), block.strip()))
    # The recording example, and the one that records while it watches.
    for leaf in ("capture.wav", "recorded.wav"):
        capture = os.path.join(folder, leaf)
        if not os.path.exists(capture):
            failures.append("the recording examples made no %s" % leaf)
        else:
            riff = open(capture, "rb").read()
            channels, periods, at = 0, 0, 12
            while at + 8 <= len(riff):
                name, size = riff[at:at + 4], struct.unpack_from("<I", riff, at + 4)[0]
                if name == b"fmt ":
                    channels = struct.unpack_from("<H", riff, at + 10)[0]
                elif name == b"data":
                    periods = min(size, len(riff) - at - 8) // (3 * max(channels, 1))
                at += 8 + size + (size & 1)
            if channels != 8 or periods < 48000 * 5:
                failures.append("%s holds %d channels, %d sample periods" % (leaf, channels, periods))

for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
