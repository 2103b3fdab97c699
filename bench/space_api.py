"""nuvra.Space side by side with the fixed path, in one run on the same inputs.

    python bench/space_api.py            # 100k log lines, 7 repeats
    python bench/space_api.py --quick    # fewer repeats

- space=None against space=Space.default() in the batch functions: the same path;
- space.text_vector against vectorize_text_c per call, for the default space and for
  examples/services.toml (five axes, split and fold);
- a space of 20,000 keywords: its pickle's size, and the time to load it.
"""

import argparse
import os
import pickle
import random
import sys

import nuvra
from batch import best_of_alternating, report
from nuvra.semv_core import vectorize_text_c
from nuvra_testing.loggen import log_lines

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "services.toml")


def large_space(count: int) -> nuvra.Space:
    rng = random.Random(1)
    seen: set[str] = set()
    while len(seen) < count:
        seen.add("".join(rng.choice("abcdefghijklmnoprstuyz_0123456789") for _ in range(rng.randint(4, 12))))
    keywords = sorted(seen)
    return nuvra.Space({f"axis{i}": keywords[i::16] for i in range(16)}, name="large")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--lines", type=int, default=100_000)
    args = parser.parse_args()
    repeat = 3 if args.quick else 7
    lines = log_lines(args.lines, seed=5)
    size = sum(map(len, lines))
    default = nuvra.Space.default()
    services = nuvra.Space.load(EXAMPLE)

    ours, theirs = best_of_alternating(
        repeat, lambda: nuvra.vectorize_texts(lines, space=default), lambda: nuvra.vectorize_texts(lines)
    )
    report("vectorize_texts, space=Space.default() ÷ space=None", ours, theirs, "= 1", False, len(lines), size)
    ours, theirs = best_of_alternating(
        repeat, lambda: nuvra.vectorize_texts(lines, space=services), lambda: nuvra.vectorize_texts(lines)
    )
    report("vectorize_texts, services.toml ÷ space=None", ours, theirs, "", False, len(lines), size)

    for name, space, goal in (("default", default, "≤ 1.2"), ("services.toml", services, "")):
        text_vector = space.text_vector
        ours, theirs = best_of_alternating(
            repeat, lambda f=text_vector: [f(s) for s in lines], lambda: [vectorize_text_c(s) for s in lines]
        )
        report(f"{name}: space.text_vector per call ÷ vectorize_text_c", ours, theirs, goal, False, len(lines))

    large = large_space(20_000)
    data = pickle.dumps(large)
    (load,) = best_of_alternating(repeat, lambda: pickle.loads(data))
    print(f"a pickled space of 20,000 keywords: {len(data) / 1e3:.0f} KB (goal ≤ 300 KB), loads in {load * 1e3:.1f} ms"
          f" (goal ≤ 100 ms); its tables {large.nbytes / 1e6:.1f} MB")  # fmt: skip


if __name__ == "__main__":
    sys.exit(main())
