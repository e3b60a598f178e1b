#!/usr/bin/env python3
"""Checks that every include in src/ points down the layering, never up or sideways.

Top folders of src/ are ordered (a folder may include only folders before it, and itself).
Inside engine, mail and web the subfolders are ordered the same way. Within one subfolder, no two
files may include each other's headers in a loop. Exits 1 and lists each offending include.
Usage: check_layers.py [source root]   (default: the repository's src/)
"""
import os
import re
import sys

TOP = ["platform", "core", "engine", "dataset", "resources", "mail", "fulltext", "web", "sql", "app"]
SUB = {
    "engine": ["base", "format", "io", "expr", "store", "table", "cursor", "start"],
    "mail": ["message", "store", "protocol", "relay", "fetch", "queue", "smtpd", "pop3d", "services"],
    "web": ["html", "http", "app"],
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def rank(path):
    """(top rank, sub rank) of a path relative to src/, or None outside the known folders."""
    parts = path.split("/")
    if parts[0] not in TOP:
        return None
    top = TOP.index(parts[0])
    order = SUB.get(parts[0])
    if order is None:
        return (top, 0)
    if len(parts) < 3 or parts[1] not in order:
        return (top, -1)  # a file loose at the top of a layered folder: placed nowhere
    return (top, order.index(parts[1]))


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "src")
    src = os.path.normpath(src)
    errors = []
    graph = {}
    for dirpath, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, src).replace(os.sep, "/")
            mine = rank(rel)
            if mine is not None and mine[1] == -1:
                errors.append(f"{rel}: lies outside the layers of {rel.split('/')[0]}")
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                theirs = rank(target)
                if mine is None or theirs is None:
                    continue
                if theirs[0] > mine[0] or (theirs[0] == mine[0] and theirs[1] > mine[1]):
                    errors.append(f"{rel}: includes {target}, a higher layer")
                folder = os.path.dirname(rel)
                if os.path.dirname(target) == folder:
                    stem = lambda p: os.path.splitext(p)[0]
                    if stem(target) != stem(rel):
                        graph.setdefault(stem(rel), set()).add(stem(target))
    # Loops between the files of one folder (a .cpp and its .h count as one file).
    state = {}

    def visit(node, trail):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                loop = trail[trail.index(nxt):] + [nxt]
                errors.append("include loop: " + " -> ".join(loop))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    for e in errors:
        print(e)
    if errors:
        print(f"{len(errors)} layering faults")
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
