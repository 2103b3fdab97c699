"""The nuvra command against grep -c on the same file, side by side in one run.

    python bench/cli.py                 # a 50 MB generated log, 5 repeats
    python bench/cli.py --lines 200000  # a smaller one
    python bench/cli.py --only similar  # the commands whose row name holds "similar"

Each side is a whole process, timed in alternation; the best of the repeats is
kept. The peak memory of each nuvra run is read from the process's rusage.
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=700_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", default="", help="run only the rows whose name holds this text")
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
            "nuvra vectors --format csv": ([nuvra, "vectors", "--format", "csv", path], "≤ 40"),
            "nuvra vectors (table)": ([nuvra, "vectors", path], ""),
            "nuvra vectors --format jsonl": ([nuvra, "vectors", "--format", "jsonl", path], ""),
        }
        for name, (command, goal) in cases.items():
            if args.only not in name:
                continue
            best_ours = best_grep = float("inf")
            for _ in range(args.repeat):
                best_grep = min(best_grep, timed(grep, os.path.join(tmp, "out"))[0])
                seconds, peak = timed(command, os.path.join(tmp, "out"))
                best_ours = min(best_ours, seconds)
            print(f"{name:30} {best_ours:6.2f} s  {best_ours / best_grep:5.1f} × grep -c ({best_grep * 1e3:.0f} ms)"
                  f"  goal {goal or '-':5}  {size / best_ours / 1e6:5.0f} MB/s")  # fmt: skip
        print(f"\npeak resident memory of any nuvra run: {peak / 1024:.0f} MB")


if __name__ == "__main__":
    main()
