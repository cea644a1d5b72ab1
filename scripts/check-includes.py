#!/usr/bin/env python3
"""Checks every #include in src/ and tools/ against the module map.

    scripts/check-includes.py [docs/architecture.md]

The map's tables name each module in their first column and what it may use
in their last. A cell of the last column is a list of clauses separated by
';'. A clause "`a.cpp`, `b.cpp` also `x/`, `y.h`" lets only those files of
the module use x/ and y.h; any other clause lets the whole module use every
path it names in backticks. A path is a folder (ending in '/'), a file, or a
file pattern (`common.*`); it is looked for at the root, then in include/,
src/ and tools/pcmpack/, the folders the build puts on the include path. A
file may always include from its own module.

Prints each include the map does not allow, with its file and line, and
exits 1 if there is one.
"""
import fnmatch
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SEARCH = ["", "include", "src", "tools/pcmpack", "tools", "tools/reader"]
CHECKED = ("src", "tools")
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
TICKED = re.compile(r"`([^`]+)`")


def repo_files():
    for top in CHECKED + ("include",):
        for folder, _, names in os.walk(os.path.join(ROOT, top)):
            for name in names:
                if SOURCE.search(name):
                    yield os.path.relpath(os.path.join(folder, name), ROOT)


FILES = sorted(repo_files())


def resolve(token):
    """The repository paths a map token names: a folder prefix or files."""
    for base in SEARCH:
        path = os.path.normpath(os.path.join(base, token.rstrip("/")))
        if token.endswith("/"):
            if os.path.isdir(os.path.join(ROOT, path)):
                return ("folder", path + "/")
        else:
            matches = [f for f in FILES if fnmatch.fnmatch(f, path)]
            if matches:
                return ("files", set(matches))
    return None


def covers(grant, path):
    kind, what = grant
    return path.startswith(what) if kind == "folder" else path in what


def read_map(text):
    """Rows of (module grants, whole-module uses, {file: extra uses})."""
    rows = []
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) < 3 or not line.lstrip().startswith("|") or set(cells[0]) <= set("-: "):
            continue
        names = [resolve(t) for t in TICKED.findall(cells[0])]
        names = [n for n in names if n]
        if not names:
            continue
        uses, extra = [], {}
        for clause in cells[-1].split(";"):
            head, sep, tail = clause.partition(" also ")
            files = TICKED.findall(head) if sep else []
            granted = [resolve(t) for t in TICKED.findall(tail if sep else clause)]
            granted = [g for g in granted if g]
            if sep and files and all(not t.endswith("/") for t in files):
                for f in files:
                    extra.setdefault(f, []).extend(granted)
            else:
                uses.extend(granted)
        rows.append((names, uses, extra))
    return rows


def module_of(rows, path):
    """The row that names the file most closely (longest match wins)."""
    best, best_len = None, -1
    for row in rows:
        for kind, what in row[0]:
            length = len(what) if kind == "folder" else 10**6
            if covers((kind, what), path) and length > best_len:
                best, best_len = row, length
    return best


def target_of(source, quote, name):
    if quote == "<":
        return "include/pcmpack.h" if name == "pcmpack.h" else None
    for base in [os.path.dirname(source)] + SEARCH:
        candidate = os.path.normpath(os.path.join(base, name))
        if candidate in FILES:
            return candidate
    return None


def main():
    map_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs/architecture.md")
    rows = read_map(open(map_path, encoding="utf-8").read())
    faults = []
    for source in FILES:
        if not source.startswith(CHECKED):
            continue
        row = module_of(rows, source)
        if row is None:
            faults.append(f"{source}: in no module of the map")
            continue
        names, uses, extra = row
        allowed = names + uses + [g for pattern, grants in extra.items()
                                   if fnmatch.fnmatch(os.path.basename(source), pattern)
                                   for g in grants]
        with open(os.path.join(ROOT, source), encoding="utf-8") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = target_of(source, match.group(1), match.group(2))
                if target is None and match.group(1) == '"':
                    faults.append(f"{source}:{number}: {match.group(2)} is no file of the repository")
                elif target and not any(covers(g, target) for g in allowed):
                    faults.append(f"{source}:{number}: uses {target}, which its module may not")
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) outside the module map ({map_path})")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
