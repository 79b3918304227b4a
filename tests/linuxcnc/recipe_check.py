#!/usr/bin/env python3
"""recipe_check.py ROOT: trelvo40(9)'s EXAMPLE is the one recipe; README.md and docs/linuxcnc.md quote
each of its HAL blocks to the letter, as an indented code block. Exits 1 naming what drifted."""
import re
import sys
from pathlib import Path


def example_blocks(page):
    section = page.split(".SH EXAMPLE", 1)[1].split("\n.SH ", 1)[0]
    blocks = re.findall(r"^\.nf\n(.*?)^\.fi$", section, re.M | re.S)
    return [b.replace("\\-", "-").replace("\\\\", "\\").rstrip("\n").split("\n") for b in blocks]


def quoted(block, text):
    lines = text.split("\n")
    indented = ["    " + line for line in block]
    return any(lines[i:i + len(block)] == indented for i in range(len(lines)))


def main():
    root = Path(sys.argv[1])
    blocks = example_blocks((root / "src/linuxcnc/trelvo40.9").read_text())
    failures = [] if len(blocks) == 4 else [f"trelvo40(9)'s EXAMPLE has {len(blocks)} blocks, not 4"]
    for doc in ("README.md", "docs/linuxcnc.md"):
        text = (root / doc).read_text()
        for block in blocks:
            if not quoted(block, text):
                failures.append(f"{doc} does not quote trelvo40(9)'s EXAMPLE block starting {block[0]!r}")
    for f in failures:
        print("FAIL:", f)
    print(f"{len(blocks)} EXAMPLE blocks, quoted in README.md and docs/linuxcnc.md" if not failures else "FAIL")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
