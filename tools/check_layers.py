#!/usr/bin/python3
"""Fails on any #include that runs upwards between the program's folders.

    check_layers.py [SOURCE_DIR]

The folders stand in one order, top to bottom: app, workflow, download and
prereq (side by side, neither includes the other), support. A file may
include headers of its own folder and of folders below it; support includes
nothing of the program's but support. res/ holds data (resource ids) that any
folder may include. Prints one line per offending include; exit code 1 when
there is one, 0 otherwise.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

RANK = {"app": 3, "workflow": 2, "download": 1, "prereq": 1, "support": 0}
SHARED = {"res"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)


def violations(root: Path) -> list[str]:
    found = []
    for folder, rank in RANK.items():
        for path in sorted((root / folder).glob("*.[ch]*")):
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                if target == folder or target in SHARED:
                    continue
                if target not in RANK or RANK[target] >= rank:
                    found.append(f"{folder}/{path.name}:{number}: {folder} may not include "
                                 f"{target}/ ({line.strip()})")
    return found


def main(argv: list[str]) -> int:
    root = Path(argv[0]) if argv else Path(__file__).resolve().parents[1]
    problems = violations(root)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
