"""Split the labelled messages into a half to tune keywords on and a held-out half.

Reads tests/data/messages.tsv, gives every row without a half one at random and writes
the file back. Rows that already have a half keep it: each batch is split once, when it
is added, and never redrawn.

The first batch (collect.py) was split with FIRST_SEED before any tuning. The second
batch (collect_more.py) was drawn after the first had been used to choose the logs
space's keywords, from sources the first did not use, appended with an empty half and
split here with SEED: its rows are shuffled and half go each way, the odd one to tune.
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

FIRST_SEED = 23_0423  # the first batch's split, kept for the record
SEED = 26_1211
PATH = Path(__file__).resolve().parents[2] / "tests" / "data" / "messages.tsv"


def main() -> int:
    lines = PATH.read_text(encoding="utf-8").splitlines()
    header, rows = lines[0], [line.split("\t") for line in lines[1:]]
    if header.split("\t") != ["message", "source", "axes", "half"]:
        print(f"{PATH}: unexpected header {header!r}", file=sys.stderr)
        return 1
    bad = [
        n
        for n, row in enumerate(rows, 2)
        if len(row) not in (3, 4) or (len(row) == 4 and row[3] not in ("", "tune", "heldout"))
    ]
    if bad:
        print(f"{PATH}:{bad[0]}: expected message, source, axes and an empty half, tune or heldout", file=sys.stderr)
        return 1
    new = [i for i, row in enumerate(rows) if len(row) == 3 or not row[3]]
    if not new:
        print(f"{PATH}: every row has a half already; nothing to split", file=sys.stderr)
        return 1
    order = list(new)
    random.Random(SEED).shuffle(order)
    tune = set(order[: (len(order) + 1) // 2])
    out = [header]
    for i, row in enumerate(rows):
        half = row[3] if i not in new else ("tune" if i in tune else "heldout")
        out.append("\t".join([*row[:3], half]))
    PATH.write_text("\n".join(out) + "\n", encoding="utf-8")
    print(f"{len(tune)} tune, {len(new) - len(tune)} heldout")
    return 0


if __name__ == "__main__":
    sys.exit(main())
