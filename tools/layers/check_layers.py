#!/usr/bin/env python3
"""Checks that every include in src/ points down the layering, never up or sideways.

Top folders of src/ are ordered (a folder may include only folders before it, and itself).
Inside engine, mail and web the subfolders are ordered the same way. Within one subfolder, no two
files may include each other's headers in a loop (a .cpp and its .h count as one module, and so
do the pairs in ONE_MODULE). Exits 1 and lists each offending include.
Usage: check_layers.py [--folders F,F,...] [source root]   (default: the repository's src/)
  --folders  report only the faults of files in these folders of src/ ("core", "engine/base");
             every folder when not given
"""
import argparse
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

# Files (stems relative to src/) that belong to another file's module, each with the reason:
# the loop check sees the first as part of the second. Keep this short: a loop is normally
# broken, not listed here.
ONE_MODULE = [
    ("dataset/fen_database", "dataset/fen_session",
     "a session creates, counts and frees its databases and a database binds to its session; "
     "each works on the other's state under the one engine lock (mutual friends)"),
    ("dataset/fen_blob_stream", "dataset/fen_data_set",
     "the BLOB stream is the Fen data set's own BLOB access: only the data set makes it, and it "
     "keeps the data set's record buffers and BLOB bookkeeping as a friend"),
]
MODULE_OF = {part: whole for part, whole, _reason in ONE_MODULE}


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


def module(stem):
    """The module a file stem belongs to (its own, or the one ONE_MODULE joins it to)."""
    return MODULE_OF.get(stem, stem)


def in_folders(rel, folders):
    """Whether a path relative to src/ lies in one of the folders (all when none are given)."""
    return not folders or any(rel == f or rel.startswith(f + "/") for f in folders)


def main():
    parser = argparse.ArgumentParser(description="Checks the include layering of src/.")
    parser.add_argument("--folders", default="", help="comma-separated folders of src/ to report")
    parser.add_argument("src", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "..", "src"))
    args = parser.parse_args()
    src = os.path.normpath(args.src)
    folders = [f.strip("/") for f in args.folders.split(",") if f.strip("/")]
    errors = []
    graph = {}
    for dirpath, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, src).replace(os.sep, "/")
            mine = rank(rel)
            reported = in_folders(rel, folders)
            if mine is not None and mine[1] == -1:
                if reported:
                    errors.append(f"{rel}: lies outside the layers of {rel.split('/')[0]}")
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                theirs = rank(target)
                if mine is None or theirs is None:
                    continue
                if reported and (theirs[0] > mine[0] or (theirs[0] == mine[0] and theirs[1] > mine[1])):
                    errors.append(f"{rel}: includes {target}, a higher layer")
                folder = os.path.dirname(rel)
                if reported and os.path.dirname(target) == folder:
                    a = module(os.path.splitext(rel)[0])
                    b = module(os.path.splitext(target)[0])
                    if a != b:
                        graph.setdefault(a, set()).add(b)
    # Loops between the modules of one folder.
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
