#!/usr/bin/env python3
"""Compares two registry exports (regedit /E, UTF-16) of the same root.

regdiff.py BEFORE AFTER [--ignore PREFIX]...
Prints every key and value that is only in one of them, one per line with
'-' (gone) or '+' (new), and exits 1 when there is any. Keys below an ignored
prefix (case-insensitive) are left out: the caller names Wine's own volatile
areas there.
"""
import sys


def records(path):
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    lines = text.replace("\r\n", "\n").split("\n")
    out = set()
    key = None
    pending = ""
    for line in lines:
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            out.add((key, None))
        elif line and key is not None and not line.startswith("Windows Registry Editor"):
            out.add((key, line))
    return out


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    before, after = records(argv[1]), records(argv[2])
    ignored = [p.lower() for i, p in enumerate(argv) if i > 0 and argv[i - 1] == "--ignore"]

    def kept(record):
        key = record[0].lower()
        return not any(key == p or key.startswith(p + "\\") for p in ignored)

    # A key's own record has no value text: it sorts first among the key's records.
    order = lambda record: (record[0], record[1] or "")
    gone = sorted((r for r in before - after if kept(r)), key=order)
    new = sorted((r for r in after - before if kept(r)), key=order)
    for sign, items in (("-", gone), ("+", new)):
        for key, value in items:
            print(f"{sign} [{key}]" + (f" {value}" if value is not None else ""))
    return 1 if gone or new else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
