"""Split the labelled messages, once, into a half to tune keywords on and a held-out half.

Reads tests/data/messages.tsv, gives every row without a half one at random (seeded, so
the split is reproducible) and writes the file back. Rows that already have a half keep
it: the split is made once, before any tuning, and never redrawn.
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

SEED = 23_0423
PATH = Path(__file__).resolve().parents[2] / "tests" / "data" / "messages.tsv"


def main() -> int:
    lines = PATH.read_text(encoding="utf-8").splitlines()
    header, rows = lines[0], [line.split("\t") for line in lines[1:]]
    if header.split("\t") != ["message", "source", "axes", "half"]:
        print(f"{PATH}: unexpected header {header!r}", file=sys.stderr)
        return 1
    if any(len(row) == 4 and row[3] for row in rows):
        print(f"{PATH}: already split; the split is not redrawn", file=sys.stderr)
        return 1
    order = list(range(len(rows)))
    random.Random(SEED).shuffle(order)
    tune = set(order[: len(rows) // 2])
    out = [header]
    for i, row in enumerate(rows):
        out.append("\t".join([*row[:3], "tune" if i in tune else "heldout"]))
    PATH.write_text("\n".join(out) + "\n", encoding="utf-8")
    print(f"{len(tune)} tune, {len(rows) - len(tune)} heldout")
    return 0


if __name__ == "__main__":
    sys.exit(main())
