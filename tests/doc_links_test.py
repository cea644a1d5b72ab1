#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Every relative link of README.md and docs/*.md leads somewhere: the file
it names exists, and a #fragment names a heading of that page as the web
view anchors it (lower case, punctuation dropped, spaces as hyphens).

  doc_links_test.py SOURCE_DIR
"""
import glob
import os
import re
import sys

root = sys.argv[1]
pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
LINK = re.compile(r"\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```.*?^```", re.S | re.M)


def anchors(page):
    text = FENCE.sub("", open(page, encoding="utf-8").read())
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, re.M)}


faults, checked = [], 0
for page in pages:
    text = FENCE.sub("", open(page, encoding="utf-8").read())
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, fragment = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        checked += 1
        if not os.path.exists(linked):
            faults.append("%s: %s: no such file" % (os.path.relpath(page, root), target))
        elif fragment and fragment not in anchors(linked):
            faults.append("%s: %s: no such heading" % (os.path.relpath(page, root), target))
for fault in faults:
    print("doc links: " + fault)
if checked < 10:
    faults.append("found only %d links" % checked)
    print("doc links: found only %d links in %d pages" % (checked, len(pages)))
print("doc links: %d checked, %d broken" % (checked, len(faults)))
sys.exit(1 if faults else 0)
