#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The README's ST 2110 examples, run as written.

  readme_st2110_test.py TOOL README [PAGE...]

Each ```sh block of the README's "Audio over IP" section, then of the
section of that name in each PAGE (docs/live.md), runs in order in
an empty folder with the built tool first on the PATH (its receivers on this
machine's loopback, each port the text names replaced by a free one). Every block must end with
status 0, and what each receiver recorded must be there: 2 s of 8 channels
from ffmpeg, 2 s from GStreamer, 8000 whole AM824 packets of 8 channels.
"""
import os
import sys
import tempfile

from readme_blocks import on_free_ports, run_blocks, sh_blocks

tool, documents = os.path.abspath(sys.argv[1]), sys.argv[2:]
blocks = on_free_ports(sh_blocks(documents, "Audio over IP"))
if len(blocks) != 3:
    sys.exit("the Audio over IP sections of %s have %d sh blocks, not the 3 expected"
             % (", ".join(documents), len(blocks)))

# file, bytes it must hold at least (a WAV header, then 2 s of 8 channels of
# 3 bytes; the RTP packets: 12 bytes of header and 6 periods of 8 AM824 words)
EXPECTED = [("received.wav", 44 + 2 * 48000 * 8 * 3), ("gst.wav", 44 + 2 * 48000 * 8 * 3),
            ("st2110-31.rtp", 8000 * (12 + 6 * 8 * 4))]
failures = []
with tempfile.TemporaryDirectory() as folder:
    for block, run in run_blocks(tool, blocks, folder):
        if run.returncode != 0:
            failures.append("status %d: %s" % (run.returncode, block.strip()))
    for name, least in EXPECTED:
        path = os.path.join(folder, name)
        size = os.path.getsize(path) if os.path.exists(path) else -1
        if size < least:
            failures.append("%s holds %d bytes, not the %d expected" % (name, size, least))
for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
