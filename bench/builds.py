"""Two builds of the package side by side in one run: the installed one against another copy.

    python bench/builds.py --baseline DIR     # DIR holds a nuvra/ package (an earlier build, copied)
    python bench/builds.py --baseline DIR --quick

A change that should cost nothing (a refactor, one path in place of two) is
measured here: each build runs in a process of its own (two builds of one
package cannot share a process), the processes alternate, and each side keeps
the best of its repeats. The ratio is ours / baseline's time: 1.00 is no
change. Lines: the project's generated log, on the default space.
"""

import argparse
import json
import math
import os
import subprocess
import sys

WORKER = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1]) if sys.argv[1] else None
import nuvra
from nuvra_testing.loggen import log_lines

lines = log_lines(int(sys.argv[2]), seed=5)
data = ("\n".join(lines) + "\n").encode()
words = [w for line in lines[:20000] for w in line.split()][:100000]
cases = {
    "vectorize_lines, 1 worker": lambda: nuvra.vectorize_lines(data),
    "vectorize_lines, 2 workers": lambda: nuvra.vectorize_lines(data, workers=2),
    "vectorize_texts, 1 worker": lambda: nuvra.vectorize_texts(lines),
    "word_vectors, 1 worker": lambda: nuvra.word_vectors(words),
    "most_similar, 1 worker": lambda: nuvra.most_similar("disk write error", lines, k=10),
}
best = {}
for name, case in cases.items():
    times = []
    for _ in range(int(sys.argv[3])):
        started = time.perf_counter()
        case()
        times.append(time.perf_counter() - started)
    best[name] = min(times)
print(json.dumps({"where": nuvra.__file__, "best": best}))
"""


def run_side(path: str, lines: int, repeat: int) -> dict[str, float]:
    result = subprocess.run(
        [sys.executable, "-c", WORKER, path, str(lines), str(repeat)], capture_output=True, text=True, check=True
    )
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, help="a directory holding an earlier build's nuvra/")
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds, repeat = (2, 2) if args.quick else (5, 3)
    baseline = os.path.abspath(args.baseline)
    best: dict[str, dict[str, float]] = {"ours": {}, "baseline": {}}
    where = {}
    for _ in range(rounds):
        for side, path in (("ours", ""), ("baseline", baseline)):
            out = run_side(path, args.lines, repeat)
            where[side] = out["where"]
            for name, t in out["best"].items():
                best[side][name] = min(best[side].get(name, math.inf), t)
    print(f"ours: {where['ours']}\nbaseline: {where['baseline']}")
    print(f"{args.lines:,} generated log lines; best of {rounds} rounds x {repeat} repeats, sides alternating\n")
    print(f"{'case':32} {'ours ms':>9} {'baseline ms':>12} {'ours / baseline':>16}")
    for name, ours in best["ours"].items():
        theirs = best["baseline"][name]
        print(f"{name:32} {ours * 1e3:9.1f} {theirs * 1e3:12.1f} {ours / theirs:16.3f}")


if __name__ == "__main__":
    main()
