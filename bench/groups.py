"""nuvra.group_lines against drain3: how well each groups Loghub's labelled logs, and how fast.

    .venv/test/bin/python bench/groups.py                  # accuracy and speed, ours and drain3
    .venv/test/bin/python bench/groups.py --quick          # a 5 MB log for speed, drain3 on 20,000 lines
    .venv/test/bin/python bench/groups.py --only accuracy  # or --only speed
    .venv/test/bin/python bench/groups.py --ours-only      # skip drain3 (for tuning)
    .venv/test/bin/python bench/groups.py --big            # also the peak memory of ours on a 1 GB log

Accuracy: for each of the seven 2,000-line logs of ../shared/loghub (read in place, never
copied), GA and FGA as its README.md defines them, on two inputs: whole lines (the bytes of
NAME_2k.log, headers included, given to `nuvra.group_lines` as bytes and to drain3 line by
line) and messages (the `Content` column, a list of str). GA is the share of lines whose
group holds exactly the lines of their true EventId; FGA is the F1 of groups found exactly
(precision over the groups found, recall over the true templates). Averages are over the
seven logs, unweighted.

drain3 (0.9.11, `TemplateMiner` with the configuration as shipped: `TemplateMinerConfig()`,
no masking, no drain3.ini read) never enters the package's environment: it runs in a child
process of its own venv, `.venv/bench-groups`, which this script makes on first use, or:

    python3.13 -m venv .venv/bench-groups
    .venv/bench-groups/bin/pip install -r bench/groups_requirements.txt

The lines go to it, and its group ids come back, through temporary files of JSON lines. Each
line's group is the id of the cluster `add_log_message` put it in, recorded as it is added,
as Loghub's own evaluation of Drain does (clusters never merge, so membership is final at
add time; `--drain3-ids final` instead matches every line again against the final clusters,
keeping the add-time cluster for a line that matches none).

Speed: a log of about 50 MB (5 MB with --quick) made by repeating the seven Loghub logs and
this machine's readable logs (/var/log/*.log, /var/log/apt/term.log and history.log), written
to a temporary file outside the repository. Timed side by side in one run, the sides in
alternation, best of --repeat (at least 3): ours with workers=1 and workers=2 (reading the
file's bytes and `nuvra.group_lines(data, workers=w)`), and `grep -c ''` on the same file (a
whole process, its output written to a file). drain3 groups the first 200,000 lines of the
file (20,000 with --quick), its `add_log_message` loop alone timed inside the child; its
lines/s is extrapolated from that subset to the whole file. The file repeats its sources, so
every group is met again after the first copy: the speed figures are of grouping, not of the
accuracy of it.

--big builds a 1 GB file the same way and reads the peak resident memory of a child process
that groups it (os.wait4's rusage, one child per measure), beside a child that only reads it.
"""

import argparse
import csv
import glob
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
LOGHUB = REPO.parent / "shared" / "loghub"
NAMES = ("Apache", "HDFS", "HealthApp", "Linux", "OpenStack", "Spark", "Thunderbird")
BENCH_VENV = REPO / ".venv" / "bench-groups"
REQUIREMENTS = Path(__file__).resolve().parent / "groups_requirements.txt"
MACHINE_LOGS = ("/var/log/*.log", "/var/log/apt/term.log", "/var/log/apt/history.log")


# ---------------------------------------------------------------- drain3, in its own process


def drain3_worker(source: str, target: str, ids: str) -> None:
    """Runs inside .venv/bench-groups: groups the JSON lines of `source`, writes a JSON header
    line (seconds of the add loop, clusters, drain3's version) and then one cluster id a line."""
    from importlib.metadata import version

    from drain3 import TemplateMiner
    from drain3.template_miner_config import TemplateMinerConfig

    with open(source, encoding="utf-8") as f:
        lines = [json.loads(row) for row in f]
    miner = TemplateMiner(config=TemplateMinerConfig())
    add = miner.add_log_message
    started = time.perf_counter()
    found = [add(line)["cluster_id"] for line in lines]
    seconds = time.perf_counter() - started
    unmatched = 0
    if ids == "final":
        for i, line in enumerate(lines):
            cluster = miner.match(line)
            if cluster is None:
                unmatched += 1
            else:
                found[i] = cluster.cluster_id
    header = {
        "seconds": seconds,
        "clusters": len(miner.drain.clusters),
        "unmatched": unmatched,
        "version": version("drain3"),
    }
    with open(target, "w", encoding="utf-8") as f:
        f.write(json.dumps(header) + "\n")
        f.writelines(f"{i}\n" for i in found)


def drain3_python() -> str:
    """The venv's interpreter, the venv made (and drain3 installed) when it is not there."""
    python = BENCH_VENV / "bin" / "python"
    if not python.exists():
        print(f"making {BENCH_VENV} for drain3 (once)", flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(BENCH_VENV)], check=True)
    ready = subprocess.run([str(python), "-c", "import drain3"], capture_output=True).returncode == 0
    if not ready:
        pip = [str(python), "-m", "pip", "install", "-q", "-r", str(REQUIREMENTS)]
        subprocess.run(pip, check=True)
    return str(python)


class Drain3:
    def __init__(self, tmp: str, ids: str) -> None:
        self.python = drain3_python()
        self.tmp = tmp
        self.ids = ids
        self.version = "?"
        self.unmatched = 0

    def group(self, lines: list[str]) -> tuple[list[int], float, int]:
        """Cluster ids of the lines in order, seconds of the add loop, clusters."""
        source = os.path.join(self.tmp, "drain3-in.jsonl")
        target = os.path.join(self.tmp, "drain3-out.jsonl")
        with open(source, "w", encoding="utf-8") as f:
            f.writelines(json.dumps(line) + "\n" for line in lines)
        command = [
            self.python,
            str(Path(__file__).resolve()),
            "--drain3-worker",
            source,
            target,
            "--drain3-ids",
            self.ids,
        ]
        subprocess.run(command, check=True, cwd=self.tmp)
        with open(target, encoding="utf-8") as f:
            header = json.loads(f.readline())
            ids = [int(row) for row in f]
        if len(ids) != len(lines):
            raise SystemExit(f"drain3 gave {len(ids)} ids for {len(lines)} lines")
        self.version = header["version"]
        self.unmatched += header["unmatched"]
        return ids, header["seconds"], header["clusters"]


# ---------------------------------------------------------------- accuracy


def scores(truth: list[str], predicted) -> tuple[float, float, int]:
    """GA, FGA and the number of groups predicted, as Loghub's benchmark defines them."""
    true_groups: dict[str, list[int]] = defaultdict(list)
    for i, label in enumerate(truth):
        true_groups[label].append(i)
    found: dict[int, list[int]] = defaultdict(list)
    for i, label in enumerate(predicted):
        found[int(label)].append(i)
    true_sets = {frozenset(members) for members in true_groups.values()}
    right_lines = right_groups = 0
    for members in found.values():
        if frozenset(members) in true_sets:
            right_groups += 1
            right_lines += len(members)
    precision = right_groups / len(found)
    recall = right_groups / len(true_groups)
    fga = 2 * precision * recall / (precision + recall) if right_groups else 0.0
    return right_lines / len(truth), fga, len(found)


def read_log(name: str) -> tuple[bytes, list[str], list[str], list[str]]:
    """The log's bytes, its lines, the Content column and the EventId column."""
    raw = (LOGHUB / f"{name}_2k.log").read_bytes()
    lines = raw.decode("utf-8").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    with open(LOGHUB / f"{name}_2k.log_structured_corrected.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    if len(rows) != len(lines):
        raise SystemExit(f"{name}: {len(lines)} lines in the log, {len(rows)} rows in its csv")
    return raw, lines, [row["Content"] for row in rows], [row["EventId"] for row in rows]


def ours_ids(nuvra, data, expected: int):
    ids = nuvra.group_lines(data, workers=1).ids
    if len(ids) != expected:
        raise SystemExit(f"nuvra.group_lines gave {len(ids)} ids for {expected} lines")
    return ids


# The halves of each log: the grouping's rules were chosen looking at the first halves ("tune");
# the second halves ("heldout") were not looked at while choosing them.
HALVES = {"all": slice(0, None), "tune": slice(0, 1000), "heldout": slice(1000, None)}


def accuracy(nuvra, drain3: Drain3 | None, half: str = "all") -> None:
    if not LOGHUB.is_dir():
        print(f"\naccuracy: skipped, {LOGHUB} is not there")
        return
    results: dict[str, dict[str, list[tuple[float, float, int]]]] = {"whole lines": {}, "messages": {}}
    templates = {}
    for name in NAMES:
        raw, lines, contents, truth = read_log(name)
        if half != "all":
            cut = HALVES[half]
            lines, contents, truth = lines[cut], contents[cut], truth[cut]
            raw = ("\n".join(lines) + "\n").encode("utf-8")
        templates[name] = len(set(truth))
        for kind, ours_input, drain_input in (("whole lines", raw, lines), ("messages", contents, contents)):
            row = [scores(truth, ours_ids(nuvra, ours_input, len(truth)))]
            if drain3 is not None:
                row.append(scores(truth, drain3.group(drain_input)[0]))
            results[kind][name] = row
    sides = ["ours"] + (["drain3"] if drain3 is not None else [])
    for kind, table in results.items():
        source = "the raw .log lines, headers included" if kind == "whole lines" else "the Content column"
        which = {"all": "2,000 lines", "tune": "their first 1,000 lines", "heldout": "their last 1,000 lines"}[half]
        print(f"\naccuracy on {kind} ({source}); {len(NAMES)} Loghub logs, {which}")
        head = f"{'log':<12}{'templates':>10}"
        head += "".join(f"{'GA ' + s:>11}" for s in sides) + "".join(f"{'FGA ' + s:>12}" for s in sides)
        head += "".join(f"{'groups ' + s:>15}" for s in sides)
        print(head)
        for name, row in table.items():
            line = f"{name:<12}{templates[name]:>10}"
            line += "".join(f"{ga:>11.3f}" for ga, _, _ in row) + "".join(f"{fga:>12.3f}" for _, fga, _ in row)
            line += "".join(f"{groups:>15}" for _, _, groups in row)
            print(line)
        mean = [
            (sum(table[n][s][0] for n in table) / len(table), sum(table[n][s][1] for n in table) / len(table))
            for s in range(len(sides))
        ]
        line = f"{'average':<12}{'':>10}" + "".join(f"{ga:>11.3f}" for ga, _ in mean)
        print(line + "".join(f"{fga:>12.3f}" for _, fga in mean))


# ---------------------------------------------------------------- speed


def machine_logs() -> list[Path]:
    found = []
    for pattern in MACHINE_LOGS:
        for path in sorted(glob.glob(pattern)):
            if os.path.isfile(path) and os.access(path, os.R_OK) and os.path.getsize(path) > 0:
                found.append(Path(path))
    return found


def build_log(path: str, size: int) -> tuple[int, int, list[str]]:
    """Writes about `size` bytes of the sources repeated; returns bytes, lines and the sources."""
    sources = [LOGHUB / f"{name}_2k.log" for name in NAMES if (LOGHUB / f"{name}_2k.log").exists()]
    sources += machine_logs()
    pieces = []
    for source in sources:
        data = source.read_bytes()
        pieces.append(data if data.endswith(b"\n") else data + b"\n")
    block = b"".join(pieces)
    if not block:
        raise SystemExit("no log to build the speed file from")
    written = lines = 0
    with open(path, "wb") as f:
        while written < size:
            f.write(block)
            written += len(block)
            lines += block.count(b"\n")
    return written, lines, [str(s) for s in sources]


def grep_seconds(path: str, tmp: str) -> float:
    """One `grep -c ''` process, its output written to a file as a user would redirect it."""
    started = time.perf_counter()
    with open(os.path.join(tmp, "grep.out"), "wb") as out:
        subprocess.run(["grep", "-c", "", path], stdout=out, check=True)
    return time.perf_counter() - started


def ours_seconds(nuvra, path: str, workers: int, lines: int):
    started = time.perf_counter()
    with open(path, "rb") as f:
        data = f.read()
    groups = nuvra.group_lines(data, workers=workers)
    seconds = time.perf_counter() - started
    if len(groups.ids) != lines:
        raise SystemExit(f"nuvra.group_lines gave {len(groups.ids)} ids for {lines} lines")
    return seconds, groups


def speed(nuvra, drain3: Drain3 | None, tmp: str, size: int, subset: int, repeat: int) -> None:
    import numpy as np

    path = os.path.join(tmp, "speed.log")
    written, lines, sources = build_log(path, size)
    print(f"\nspeed on {written / 1e6:.1f} MB, {lines:,} lines: {len(sources)} logs repeated", end="")
    print(f" ({', '.join(Path(s).name for s in sources)}), in {tmp}")
    best = {"grep": float("inf"), 1: float("inf"), 2: float("inf")}
    groups = {}
    for _ in range(repeat):
        best["grep"] = min(best["grep"], grep_seconds(path, tmp))
        for workers in (1, 2):
            seconds, groups[workers] = ours_seconds(nuvra, path, workers, lines)
            best[workers] = min(best[workers], seconds)
    same = np.array_equal(np.asarray(groups[1].ids), np.asarray(groups[2].ids))
    print(f"best of {repeat}, sides in alternation; reading the file included on our side")
    print(f"{'':<28}{'seconds':>10}{'lines/s':>14}{'MB/s':>9}")
    print(f"{'grep -c':<28}{best['grep']:>10.3f}{lines / best['grep']:>14,.0f}{written / 1e6 / best['grep']:>9.0f}")
    for workers in (1, 2):
        label = f"ours, workers={workers}"
        seconds = best[workers]
        print(f"{label:<28}{seconds:>10.3f}{lines / seconds:>14,.0f}{written / 1e6 / seconds:>9.0f}")
    drain_rate = None
    if drain3 is not None:
        with open(path, "rb") as f:
            head = [next(f) for _ in range(min(subset, lines))]
        text = [row.rstrip(b"\n").decode("utf-8", errors="replace") for row in head]
        _, seconds, clusters = drain3.group(text)
        drain_rate = len(text) / seconds
        label = f"drain3, first {len(text):,} lines"
        print(f"{label:<28}{seconds:>10.3f}{drain_rate:>14,.0f}", end="")
        print(f"   ({clusters} clusters; the whole file extrapolated: {lines / drain_rate:.1f} s)")
    print(f"templates found by ours: {len(groups[1].templates)}; workers=2 gives the same ids: {same}")
    print("ratios, same run:")
    for workers in (1, 2):
        if drain_rate is not None:
            print(f"  ours (workers={workers}) ÷ drain3, lines/s: {lines / best[workers] / drain_rate:8.1f}")
    for workers in (1, 2):
        print(f"  ours (workers={workers}) time ÷ grep -c time: {best[workers] / best['grep']:8.2f}")
    print(f"  workers=1 time ÷ workers=2 time: {best[1] / best[2]:8.2f}")


def peak_memory(nuvra, tmp: str) -> None:
    """Peak resident memory of a child grouping a 1 GB log, beside a child that only reads it.
    The child imports the nuvra this process imported (not a source tree in its working folder)."""
    path = os.path.join(tmp, "big.log")
    written, lines, _ = build_log(path, 1_000_000_000)
    print(f"\npeak memory on {written / 1e9:.2f} GB, {lines:,} lines (one child process each, os.wait4)")
    read_only = "import sys; data = open(sys.argv[1], 'rb').read()"
    group = read_only + "; sys.path.insert(0, sys.argv[3]); import nuvra"
    group += "; g = nuvra.group_lines(data, workers=int(sys.argv[2])); print(len(g.ids), nuvra.__file__)"
    where = str(Path(nuvra.__file__).resolve().parent.parent)
    # The command reads its input a block at a time: its peak does not grow with the file.
    command = [sys.executable, "-c", f"import sys; sys.path.insert(0, {where!r}); from nuvra.cli import run; run()"]
    runs = [
        ("reading only", [sys.executable, "-c", read_only, path, "1", where]),
        ("group_lines(bytes), workers=1", [sys.executable, "-c", group, path, "1", where]),
        ("group_lines(bytes), workers=2", [sys.executable, "-c", group, path, "2", where]),
        ("nuvra groups FILE, workers=2", [*command, "groups", path, "-k", "5", "--workers", "2"]),
    ]
    for label, argv in runs:
        started = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise SystemExit(f"{label}: the child exited {child.returncode}")
        print(f"{label:<32}{usage.ru_maxrss / 1024:>10,.0f} MB peak{seconds:>9.1f} s")
    os.remove(path)


# ---------------------------------------------------------------- main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=("accuracy", "speed"))
    parser.add_argument("--quick", action="store_true", help="a 5 MB speed log, drain3 on 20,000 lines")
    parser.add_argument("--ours-only", action="store_true", help="skip drain3")
    parser.add_argument("--big", action="store_true", help="also peak memory of ours on a 1 GB log")
    parser.add_argument("--repeat", type=int, default=3, help="speed repeats (at least 3)")
    parser.add_argument("--size", type=float, default=None, help="speed log size in MB (default 50, 5 --quick)")
    parser.add_argument("--subset", type=int, default=None, help="drain3's speed lines (200,000, --quick 20,000)")
    parser.add_argument("--drain3-ids", choices=("add", "final"), default="add")
    parser.add_argument(
        "--half", choices=tuple(HALVES), default="all", help="accuracy on every line, or on the tune or held-out half"
    )
    parser.add_argument("--drain3-worker", nargs=2, metavar=("IN", "OUT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.drain3_worker:
        drain3_worker(*args.drain3_worker, args.drain3_ids)
        return

    import nuvra

    size = int((args.size or (5 if args.quick else 50)) * 1e6)
    subset = args.subset or (20_000 if args.quick else 200_000)
    repeat = max(args.repeat, 3)
    print(f"{platform.machine()}, {os.cpu_count()} cores, CPython {platform.python_version()}, nuvra {nuvra.__file__}")
    tmp = tempfile.mkdtemp(prefix="nuvra-groups-")
    try:
        drain3 = None if args.ours_only else Drain3(tmp, args.drain3_ids)
        if args.only in (None, "accuracy"):
            accuracy(nuvra, drain3, args.half)
        if args.only in (None, "speed"):
            speed(nuvra, drain3, tmp, size, subset, repeat)
        if args.big:
            peak_memory(nuvra, tmp)
        if drain3 is not None:
            how = "as each line is added" if args.drain3_ids == "add" else "matched again against the final clusters"
            print(f"\ndrain3 {drain3.version}, TemplateMinerConfig() as shipped; a line's group: its cluster {how}")
            if args.drain3_ids == "final":
                print(f"lines that matched no final cluster (kept their add-time cluster): {drain3.unmatched}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
