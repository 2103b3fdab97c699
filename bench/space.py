"""Spaces built at run time against the default space, side by side in one run.

    python bench/space.py                  # wall clock, best of 7 alternating repeats
    python bench/space.py --instructions   # and instructions per line under callgrind
    python bench/space.py --quick          # fewer lines and repeats

Every space scores the same lines through the batch engine on one worker
(Column.fill, the column built once), so each ratio is the space's cost per
line over the default space's (which runs on the fixed table layout). Lines: the project's generated log, and real text
(lines of this machine's Debian changelogs). Keywords of the large spaces are
words of /usr/share/dict/words (real English words, a-z only), in file order,
dealt round-robin onto the axes.
"""

import argparse
import glob
import gzip
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

from batch import best_of_alternating
from nuvra import _batch
from nuvra_testing.loggen import log_lines

WORDS = "/usr/share/dict/words"


def generated_lines(n: int) -> list[str]:
    return log_lines(n, seed=3)


def real_lines(n: int) -> list[str]:
    """Lines of the Debian changelogs of this machine, in file-name order."""
    lines: list[str] = []
    for path in sorted(glob.glob("/usr/share/doc/*/changelog*.gz")):
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
            lines.extend(line.rstrip("\n") for line in f if line.strip())
        if len(lines) >= n:
            break
    return lines[:n]


def dictionary_words() -> list[str]:
    seen: set[str] = set()
    words = []
    with open(WORDS, encoding="utf-8", errors="replace") as f:
        for line in f:
            w = line.strip().lower()
            if re.fullmatch(r"[a-z0-9_]{2,64}", w) and w not in seen:
                seen.add(w)
                words.append(w)
    return words


def space_of(words: list[str], axes: int, keywords: int) -> list[tuple[str, list[str], float]]:
    chosen = words[:keywords]
    return [(f"axis{a}", chosen[a::axes], 0.4) for a in range(axes)]


def spaces(words: list[str]) -> dict[str, object]:
    default = _batch.default_space().axes
    out: dict[str, object] = {
        "default space": _batch.default_space(),
        "default lists, general tables": _batch.Space(default, False, False, general=True),
        "8 axes x 250 keywords": _batch.Space(space_of(words, 8, 2000), False, False),
    }
    for n in (100, 1000, 5000, 20000, 65535):
        if n <= len(words):
            out[f"{n:,} keywords, 8 axes"] = _batch.Space(space_of(words, 8, n), False, False)
    return out


def fill(column, space):
    out = np.empty((len(column), space.k))
    column.fill(out, 1, space)
    return out


INSTRUCTIONS = """
import sys
sys.path.insert(0, {here!r})
from space import _batch, dictionary_words, fill, generated_lines, real_lines, space_of
lines = {which}({n})
column = _batch.sequence_column(lines, False, "bench", 0, None)
space = {space}
fill(column, space)
"""


def instructions(which: str, n: int, space_expr: str) -> float:
    """Instructions per line inside Column.fill alone (callgrind's --toggle-collect on the native function,
    which the wheel keeps the symbol of): scoring, the threads' set-up and the scratch, nothing of Python."""
    code = INSTRUCTIONS.format(here=os.path.dirname(os.path.abspath(__file__)), which=which, n=n, space=space_expr)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--toggle-collect=*column_fill*",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                code,
            ],
            check=True,
            capture_output=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1)) / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--only-instructions", action="store_true")
    parser.add_argument("--instruction-lines", type=int, default=5000)
    args = parser.parse_args()
    n, repeat = (20_000, 3) if args.quick else (100_000, 7)
    if args.only_instructions:
        return instruction_table(args.instruction_lines)
    words = dictionary_words()
    built = spaces(words)
    inputs = {"generated log": generated_lines(n), "real text": real_lines(n)}
    print(f"{len(words):,} dictionary words; {n:,} lines each; best of {repeat}")
    for name, lines in inputs.items():
        tokens = sum(len(re.findall(r"[A-Za-z0-9_]+", line)) for line in lines)
        column = _batch.sequence_column(lines, False, "bench", 0, None)
        names = list(built)
        sides = [lambda c=column, s=built[k]: fill(c, s) for k in names]
        times = best_of_alternating(repeat, *sides)
        print(f"\n{name}: {len(lines):,} lines, {tokens:,} tokens")
        print(f"{'space':<34} {'ns/line':>9} {'ns/token':>9} {'÷ default':>9} {'memory':>10}")
        for key, t in zip(names, times, strict=True):
            print(
                f"{key:<34} {t / len(lines) * 1e9:9.0f} {t / tokens * 1e9:9.1f} {t / times[0]:9.2f}"
                f" {built[key].nbytes / 1024:8.0f} KiB"
            )
    for n_keywords in (20000, 65535):
        axes = space_of(words, 8, n_keywords)
        build = best_of_alternating(5, lambda a=axes: _batch.Space(a, False, False))[0]
        print(f"\nbuilding a space of {n_keywords:,} keywords: {build * 1e3:.1f} ms")
    if args.instructions:
        instruction_table(args.instruction_lines)


def instruction_table(n: int = 5000) -> None:
    print(f"\ninstructions per line inside Column.fill (callgrind, {n:,} lines, one worker)")
    cases = {
        "default space": "_batch.default_space()",
        "8 axes x 250 keywords": "_batch.Space(space_of(dictionary_words(), 8, 2000), False, False)",
        "20,000 keywords": "_batch.Space(space_of(dictionary_words(), 8, 20000), False, False)",
    }
    for which in ("generated_lines", "real_lines"):
        default = None
        for name, expr in cases.items():
            ir = instructions(which, n, expr)
            default = default or ir
            print(f"{which:<15} {name:<34} {ir:9.0f} Ir  ÷ default {ir / default:5.2f}")


if __name__ == "__main__":
    main()
