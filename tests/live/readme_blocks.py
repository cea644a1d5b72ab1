# SPDX-License-Identifier: BSD-2-Clause
"""The README's shell recipes as the live tests run them: a section's
```sh blocks, then those of the section of the same name in each page it
links to for more (docs/live.md), each port they name replaced by a free one."""
import os
import re
import socket
import subprocess

# A port after a URL's host (udp://@:5004, srt://127.0.0.1:9000,
# rtp://[::1]:5004) or in GStreamer's udpsrc port=5004.
PORT = re.compile(r"((?:udp|srt|rtp)://(?:\[[^\]]*\]|[^ :'/\[]*):|\budpsrc port=)(\d+)")


def sh_blocks(documents, heading):
    """The ```sh blocks of the section whose heading starts so, of each
    document in turn; a document without that section adds none."""
    blocks = []
    for document in documents:
        text = open(document, encoding="utf-8").read()
        section = re.search(r"^#+ " + re.escape(heading) + r".*?(?=^#|\Z)", text, re.S | re.M)
        blocks += re.findall(r"^```sh\n(.*?)^```", section.group(0), re.S | re.M) if section else []
    return blocks


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def on_free_ports(blocks):
    """The blocks with each port the text names replaced by a free one, the
    same throughout, so that another checkout's tests running on this
    machine cannot cross their streams with these."""
    ports = {}

    def free(match):
        ports.setdefault(match.group(2), str(free_port()))
        return match.group(1) + ports[match.group(2)]
    return [PORT.sub(free, block) for block in blocks]


def run_blocks(tool, blocks, folder):
    """Runs each block as one bash script in `folder`, with the tool first
    on the PATH as `pcmpack`, printing what it said; yields each block with
    its completed run."""
    os.mkdir(os.path.join(folder, "bin"))
    os.symlink(os.path.abspath(tool), os.path.join(folder, "bin", "pcmpack"))
    env = dict(os.environ, PATH=os.path.join(folder, "bin") + os.pathsep + os.environ["PATH"])
    for block in blocks:
        run = subprocess.run(["bash", "-e", "-c", block], cwd=folder, env=env, capture_output=True,
                             text=True, timeout=60)
        print("$ " + block.strip().replace("\n", "\n$ "))
        print(run.stdout + run.stderr, end="")
        yield block, run
