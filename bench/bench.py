"""Benchmarks of nuvra.semv_core, each as a ratio to a comparable call measured
side by side in this process on the same inputs: first to the floors (the
cheapest native functions under the same contract, bench/floor.cpp), then to
re.findall and to the pure-Python reference.

    python bench/bench.py            # the full table
    python bench/bench.py --quick    # fewer repeats and a smaller scaling range
"""

import argparse
import math
import os
import platform
import re
import sys
import time
import timeit
import tracemalloc

from floors import load_floor  # a sibling: the script's folder comes first on sys.path

from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing import reference
from nuvra_testing.loggen import log_lines, log_text

TOKEN = re.compile(reference.TOKEN_PATTERN)


class Timed:
    """One side of a comparison: a statement string run with `names` as its
    globals (so no Python-level call wraps it), or a callable."""

    def __init__(self, stmt, number: int, **names):
        self.timer = timeit.Timer(stmt, globals=names)
        self.number = number

    def once(self) -> float:
        return self.timer.timeit(self.number) / self.number


def best(stmt, number: int, repeat: int, **names) -> float:
    """Best time of one run, in seconds."""
    timed = Timed(stmt, number, **names)
    return min(timed.once() for _ in range(repeat))


def row(name: str, ours: Timed, theirs: Timed, against: str, repeat: int, per: int = 1) -> None:
    """Times both sides in alternation, so that a noisy machine slows both alike,
    and prints the best of each and their ratio."""
    a = b = math.inf
    for _ in range(repeat):
        a, b = min(a, ours.once()), min(b, theirs.once())
    a, b = a / per, b / per
    print(f"{name:<44} {a * 1e9:>12.1f} ns {b * 1e9:>12.1f} ns {a / b:>8.3f}  vs {against}")


def floors(args) -> None:
    """Each function against the floor that does the least under its contract."""
    floor = load_floor()
    r, n = args.repeat, 200_000
    row("get_semantic_vector_c, keyword-prefix word", Timed("f(w)", n, f=get_semantic_vector_c, w="Permission42"),
        Timed("f(w)", n, f=floor.unit, w="Permission42"), "unit(w)", r)  # fmt: skip
    for label, w in (("fallback word", "connection"), ("non-ASCII word", "çokme")):
        row(f"get_semantic_vector_c, {label}", Timed("f(w)", n, f=get_semantic_vector_c, w=w),
            Timed("f(w)", n, f=floor.fresh, w=w), "fresh(w)", r)  # fmt: skip
    a, b = [0.3, 0.5, 0.8], [0.9, 0.1, 0.4]
    row("cosine_similarity_c(a, b)", Timed("f(a, b)", n, f=cosine_similarity_c, a=a, b=b),
        Timed("f(a, b)", n, f=floor.cos6, a=a, b=b), "cos6(a, b)", r)  # fmt: skip
    sample = log_lines(3000, seed=7)
    row(f"vectorize_text_c, {len(sample)} log lines (per line)",
        Timed("for line in sample: f(line)", 10, f=vectorize_text_c, sample=sample),
        Timed("for line in sample: f(line)", 10, f=floor.fresh, sample=sample),
        "the same loop over fresh", r, per=len(sample))  # fmt: skip


def lines(args) -> None:
    r = args.repeat
    sample = log_lines(3000, seed=7)
    row(f"vectorize_text_c, {len(sample)} log lines (per line)",
        Timed("for line in sample: f(line)", 5, f=vectorize_text_c, sample=sample),
        Timed("for line in sample: f(line)", 5, f=TOKEN.findall, sample=sample),
        "re.findall alone", r, per=len(sample))  # fmt: skip
    for size, ascii_only in ((4_000_000, True), (4_000_000, False)):
        text = log_text(size, seed=11, ascii_only=ascii_only)
        kind = "ASCII" if ascii_only else "non-ASCII"
        row(f"vectorize_text_c, {size // 1_000_000} MB {kind} text", Timed("f(t)", 1, f=vectorize_text_c, t=text),
            Timed("f(t)", 1, f=TOKEN.findall, t=text), "re.findall alone", r)  # fmt: skip


def against_reference(args) -> None:
    r = max(3, args.repeat // 2)
    sample = log_lines(300, seed=5)
    a, b = [0.3, 0.5, 0.8], [0.9, 0.1, 0.4]
    row("cosine_similarity_c(a, b)", Timed("f(a, b)", 100_000, f=cosine_similarity_c, a=a, b=b),
        Timed("f(a, b)", 20_000, f=reference.cosine_similarity, a=a, b=b),
        "pure-Python reference", r)  # fmt: skip
    w = "connection"
    row("get_semantic_vector_c, fallback word", Timed("f(w)", 100_000, f=get_semantic_vector_c, w=w),
        Timed("f(w)", 2_000, f=reference.get_semantic_vector, w=w), "pure-Python reference", r)  # fmt: skip
    row("vectorize_text_c, log lines (per line)",
        Timed("for line in sample: f(line)", 20, f=vectorize_text_c, sample=sample),
        Timed("for line in sample: f(line)", 1, f=reference.vectorize_text, sample=sample),
        "pure-Python reference", r, per=len(sample))  # fmt: skip


def scaling(args) -> None:
    sizes = [1_000, 100_000, 10_000_000] + ([] if args.quick else [100_000_000])
    print(f"\n{'text size':>12} {'tokens':>12} {'ns per token':>14} {'ns per char':>12} {'MB/s':>8}")
    for size in sizes:
        text = log_text(size, seed=13)
        tokens = len(TOKEN.findall(text))
        number = max(1, 1_000_000 // size)
        t = best("f(t)", number, 3 if size > 1_000_000 else args.repeat, f=vectorize_text_c, t=text)
        print(f"{size:>12,} {tokens:>12,} {t / tokens * 1e9:>14.2f} {t / size * 1e9:>12.3f} {size / t / 1e6:>8.0f}")


def memory(args) -> None:
    print()
    for ascii_only in (True, False):
        text = log_text(8_000_000, seed=17, ascii_only=ascii_only)
        size = sys.getsizeof(text)
        tracemalloc.start()
        vectorize_text_c(text)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        kind = "ASCII" if ascii_only else "non-ASCII"
        unchanged = "unchanged" if sys.getsizeof(text) == size else "CHANGED"
        print(f"tracemalloc peak, 8 MB {kind} text: {peak} bytes; the text's size {unchanged}")


SECTIONS = {
    "floors": floors,
    "lines": lines,
    "reference": against_reference,
    "scaling": scaling,
    "memory": memory,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, smaller scaling range")
    parser.add_argument("--only", choices=sorted(SECTIONS), action="append", help="run only this section")
    args = parser.parse_args()
    args.repeat = 3 if args.quick else 7
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.processor() or platform.platform()}")
    print(f"interpreter: {platform.python_implementation()} {sys.version.split()[0]} ({sys.executable})")
    print(f"started {time.strftime('%Y-%m-%d %H:%M:%S')}; best of {args.repeat} repeats\n")
    print(f"{'call':<44} {'ours':>15} {'comparison':>15} {'ratio':>8}")
    for name in args.only or SECTIONS:
        SECTIONS[name](args)


if __name__ == "__main__":
    main()
