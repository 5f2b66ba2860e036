#!/usr/bin/env python3
"""Fails when a source file includes a header from a folder above its own.

The folders stack as foundation, textproc, linguistics, client, then cli and
java: each may include headers from its own folder and the folders below it.

Usage: layers.py <source root>
"""

import pathlib
import re
import sys

ORDER = ["foundation", "textproc", "linguistics", "client", "cli", "java"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def level(folder):
    # cli and java sit side by side on top of client.
    return min(ORDER.index(folder), ORDER.index("cli"))


def violations(root):
    found = []
    for folder in ORDER:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c"):
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            for header in INCLUDE.findall(text):
                target = header.split("/", 1)[0]
                if "/" not in header or target not in ORDER or target == folder:
                    continue
                if level(target) >= level(folder):
                    found.append(f"{path.relative_to(root)} includes {header}")
    return found


def main():
    root = pathlib.Path(sys.argv[1])
    missing = [f for f in ORDER if not (root / f).is_dir()]
    if missing:
        print("missing folders: " + ", ".join(missing))
        return 1
    bad = violations(root)
    for line in bad:
        print(line)
    print(f"{len(bad)} include(s) from a folder above")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
