"""The nuvra command against grep -c on the same file, side by side in one run.

    python bench/cli.py                 # a 50 MB generated log, 5 repeats
    python bench/cli.py --lines 200000  # a smaller one
    python bench/cli.py --only workers  # one part: grep, line or workers

Each side is a whole process, timed in alternation; the best of the repeats is
kept. The peak memory of each nuvra run is read from the process's rusage.
Then a single line of 25 MB (log words with a terminal escape and a tab every
few words) in each format, and `vectors --workers 2` against `--workers 1`
on the head of the log from 4 KB to 50 MB.
"""

import argparse
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from nuvra_testing.loggen import log_lines


def timed(command: list[str], output: str) -> tuple[float, int]:
    """Seconds and peak resident kilobytes of one run, its output written to a file, as a user
    would redirect it (not /dev/null: GNU grep stops at the first match when it writes there)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    started = time.perf_counter()
    with open(output, "wb") as out:
        subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL, check=False)
    elapsed = time.perf_counter() - started
    return elapsed, max(before, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)


def best_of(command: list[str], output: str, repeat: int) -> float:
    return min(timed(command, output)[0] for _ in range(repeat))


def long_line(path: str, size: int) -> None:
    """One line of about `size` bytes: log words, with an escape sequence and a tab every few words."""
    words = " ".join(log_lines(2000, seed=7)).split(" ")
    with open(path, "w", encoding="utf-8") as f:
        written = 0
        i = 0
        while written < size:
            piece = " ".join(words[i % len(words) : i % len(words) + 8]) + " \x1b[31m\t"
            f.write(piece)
            written += len(piece.encode())
            i += 8
        f.write("\n")


def compare_workers(nuvra: str, path: str, tmp: str, repeat: int) -> None:
    """vectors --workers 2 against --workers 1, side by side, on the head of the log."""
    print("\nvectors --format csv, --workers 2 against --workers 1 (best of", max(repeat, 7), "each)")
    print(f"{'input':>10} {'workers 1':>10} {'workers 2':>10} {'1 ÷ 2':>6}")
    with open(path, "rb") as f:
        data = f.read()
    for size in (4_000, 16_000, 64_000, 128_000, 300_000, 1_000_000, 8_000_000, 50_000_000):
        if size > len(data):
            break
        head = data[: data.rfind(b"\n", 0, size) + 1]
        part = os.path.join(tmp, "head.log")
        with open(part, "wb") as f:
            f.write(head)
        best = {1: float("inf"), 2: float("inf")}
        for _ in range(max(repeat, 7)):
            for workers in (1, 2):
                command = [nuvra, "vectors", "--format", "csv", "--workers", str(workers), part]
                best[workers] = min(best[workers], timed(command, os.path.join(tmp, "out"))[0])
        print(f"{len(head) / 1e3:8.0f} kB {best[1] * 1e3:7.1f} ms {best[2] * 1e3:7.1f} ms {best[1] / best[2]:6.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=700_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", choices=["grep", "line", "workers"])
    args = parser.parse_args()
    nuvra = shutil.which("nuvra") or sys.exit("nuvra is not installed in this environment")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "app.log")
        with open(path, "w", encoding="utf-8") as f:
            for seed in range(0, args.lines, 100_000):
                f.write("\n".join(log_lines(min(100_000, args.lines - seed), seed=seed)) + "\n")
        size = os.path.getsize(path)
        print(f"{platform.machine()}, {os.cpu_count()} cores, CPython {platform.python_version()}")
        print(f"{args.lines:,} generated log lines, {size / 1e6:.1f} MB\n")
        grep = ["grep", "-c", "error", path]
        cases = {
            "nuvra similar": ([nuvra, "similar", "disk write failed", path], "≤ 5"),
            "nuvra similar --ties order": ([nuvra, "similar", "--ties", "order", "disk write failed", path], ""),
            "nuvra vectors --format csv": ([nuvra, "vectors", "--format", "csv", path], "≤ 10"),
            "nuvra vectors (table)": ([nuvra, "vectors", path], "≤ 12"),
            "nuvra vectors --format jsonl": ([nuvra, "vectors", "--format", "jsonl", path], "≤ 10"),
        }
        peak = 0
        for name, (command, goal) in cases.items() if args.only in (None, "grep") else ():
            best_ours = best_grep = float("inf")
            for _ in range(args.repeat):
                best_grep = min(best_grep, timed(grep, os.path.join(tmp, "out"))[0])
                seconds, peak = timed(command, os.path.join(tmp, "out"))
                best_ours = min(best_ours, seconds)
            print(f"{name:30} {best_ours:6.2f} s  {best_ours / best_grep:5.1f} × grep -c ({best_grep * 1e3:.0f} ms)"
                  f"  goal {goal or '-':5}  {size / best_ours / 1e6:5.0f} MB/s")  # fmt: skip
        if peak:
            print(f"\npeak resident memory of any nuvra run: {peak / 1024:.0f} MB")
        if args.only in (None, "line"):
            line = os.path.join(tmp, "line.log")
            long_line(line, 25_000_000)
            print(f"\none line of {os.path.getsize(line) / 1e6:.1f} MB (goal ≤ 1 s each):")
            for fmt in ("table", "csv", "jsonl"):
                seconds = best_of([nuvra, "vectors", "--format", fmt, line], os.path.join(tmp, "out"), args.repeat)
                print(f"  vectors --format {fmt:5} {seconds:6.2f} s")
        if args.only in (None, "workers"):
            compare_workers(nuvra, path, tmp, args.repeat)


if __name__ == "__main__":
    main()
