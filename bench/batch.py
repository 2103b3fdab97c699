"""The batch functions against what a user writes without them, side by side in one run.

    python bench/batch.py            # 100k log lines, 1M vectors, 7 repeats
    python bench/batch.py --quick    # fewer repeats

Each row times both sides in alternation and keeps the best of the repeats, so
that a noisy machine slows both alike; the ratio is theirs / ours (how many
times faster), or ours / theirs where the goal is "no slower".
"""

import argparse
import heapq
import math
import os
import platform
import time

import numpy as np

import nuvra
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c
from nuvra_testing.loggen import log_lines


def best_of_alternating(repeat: int, *sides):
    """The best time of each side, the sides run in turn."""
    best = [math.inf] * len(sides)
    for _ in range(repeat):
        for i, side in enumerate(sides):
            started = time.perf_counter()
            side()
            best[i] = min(best[i], time.perf_counter() - started)
    return best


def report(name: str, ours: float, theirs: float, goal: str, speedup: bool, rows: int, size: int = 0) -> None:
    ratio = theirs / ours if speedup else ours / theirs
    rate = f"{rows / ours / 1e6:6.2f} M rows/s"
    if size:
        rate += f"  {size / ours / 1e6:6.0f} MB/s"
    kind = "× faster" if speedup else "× the time"
    print(f"{name:58} {ratio:6.2f} {kind:10} goal {goal:8} {rate}   ({ours * 1e3:.1f} ms vs {theirs * 1e3:.1f} ms)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--lines", type=int, default=100_000)
    args = parser.parse_args()
    repeat = 3 if args.quick else 7
    import pyarrow as pa

    lines = log_lines(args.lines, seed=5)
    data = ("\n".join(lines) + "\n").encode("utf-8")
    size = len(data)
    print(f"{platform.machine()}, {os.cpu_count()} cores, CPython {platform.python_version()}, numpy {np.__version__}")
    print(f"{len(lines):,} generated log lines, {size / 1e6:.1f} MB\n")

    def loop():
        return [vectorize_text_c(s) for s in lines]

    for workers, goal in ((1, "≥ 2.5"), (2, "≥ 4")):
        ours, theirs = best_of_alternating(repeat, lambda w=workers: nuvra.vectorize_texts(lines, workers=w), loop)
        report(
            f"vectorize_texts(list), {workers} worker(s) ÷ per-call loop", ours, theirs, goal, True, len(lines), size
        )

    column = pa.array(lines, type=pa.large_string())
    ours, theirs = best_of_alternating(
        repeat, lambda: nuvra.vectorize_texts(column), lambda: nuvra.vectorize_texts(lines)
    )
    report("vectorize_texts(pyarrow large_string) ÷ list input", ours, theirs, "≤ 1", False, len(lines), size)

    ours, theirs = best_of_alternating(
        repeat, lambda: nuvra.vectorize_lines(data), lambda: nuvra.vectorize_texts(lines)
    )
    report("vectorize_lines(bytes) ÷ list input", ours, theirs, "≤ 1", False, len(lines), size)

    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((1_000_000, 3))
    as_lists = vectors.tolist()
    query = [0.3, -0.5, 0.8]
    ours, theirs = best_of_alternating(
        repeat,
        lambda: nuvra.cosine_similarities(vectors, query),
        lambda: [cosine_similarity_c(v, query) for v in as_lists],
    )
    report("cosine_similarities, 1M rows ÷ per-call loop", ours, theirs, "≥ 20", True, len(vectors))

    q = vectorize_text_c("disk write failed")

    def top_loop():
        scored = ((cosine_similarity_c(vectorize_text_c(s), q), -i) for i, s in enumerate(lines))
        return heapq.nlargest(10, scored)

    ours, theirs = best_of_alternating(repeat, lambda: nuvra.most_similar("disk write failed", lines, k=10), top_loop)
    report("most_similar, k = 10 ÷ per-call loop + heapq.nlargest", ours, theirs, "≥ 3", True, len(lines), size)


if __name__ == "__main__":
    main()
