#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Runs a command on a pseudo-terminal, as a user at a terminal would, with
ANSWER already typed: prints what the terminal showed and exits with the
command's status. Usage: on_terminal.py ANSWER COMMAND [ARG...]"""
import os
import pty
import sys

answer, command = sys.argv[1], sys.argv[2:]
pid, terminal = pty.fork()
if pid == 0:
    os.execvp(command[0], command)
os.write(terminal, (answer + "\n").encode())
shown = b""
while True:
    try:
        data = os.read(terminal, 4096)
    except OSError:  # the command closed its side
        break
    if not data:
        break
    shown += data
sys.stdout.write(shown.decode(errors="replace"))
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
