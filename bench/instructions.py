"""Instructions per call, counted by valgrind's callgrind, which does not
depend on the machine's load: each case runs n and 2n times in fresh
processes, and the difference divided by n is the cost of one call.

    python bench/instructions.py                 # every case
    python bench/instructions.py fallback cos    # the cases whose names contain these
    python bench/instructions.py --branches log  # and the mispredicted branches per call

--branches adds a run under cachegrind's branch simulator (a simple predictor,
so its counts are a guide, not a machine's): where a ratio of wall clock stays
above its ratio of instructions, mispredicted branches are the usual cause.
"""

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

SETUP = """
import gc
import sys
gc.disable()
from floors import load_floor
from nuvra_testing.loggen import log_lines, log_text
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
floor = load_floor()
a, b = [0.3, 0.5, 0.8], [0.9, 0.1, 0.4]
sample = log_lines(300, seed=7)
text = log_text(200_000, seed=11, ascii_only=True)
"""

# name: (statement, calls per statement)
CASES = {
    "keyword-prefix word": ("get_semantic_vector_c('Permission42')", 1),
    "unit floor": ("floor.unit('Permission42')", 1),
    "fallback word": ("get_semantic_vector_c('connection')", 1),
    "non-ASCII word": ("get_semantic_vector_c('çokme')", 1),
    "fresh floor": ("floor.fresh('connection')", 1),
    "cosine": ("cosine_similarity_c(a, b)", 1),
    "cos6 floor": ("floor.cos6(a, b)", 1),
    "log line": ("for line in sample: vectorize_text_c(line)", 300),
    "log line fresh floor": ("for line in sample: floor.fresh(line)", 300),
    "200 kB text": ("vectorize_text_c(text)", 1),
}


def counts(stmt: str, n: int, tool: str) -> dict[str, int]:
    """The event totals of one run of stmt n times under the valgrind tool:
    "callgrind" for instructions, "cachegrind" for simulated branches."""
    code = SETUP + f"for _ in range({n}):\n    {stmt}\n"
    options = ["--branch-sim=yes", "--cache-sim=no"] if tool == "cachegrind" else []
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, f"{tool}.out")
        subprocess.run(
            # Run from this folder, which "-c" puts first on sys.path, for floors.
            ["valgrind", f"--tool={tool}", *options, f"--{tool}-out-file={out}", sys.executable, "-c", code],
            check=True,
            capture_output=True,
            cwd=HERE,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            text = f.read()
    events = re.search(r"^events: (.*)$", text, re.M).group(1).split()
    totals = map(int, re.search(r"^summary: (.*)$", text, re.M).group(1).split())
    return dict(zip(events, totals, strict=True))


def per_call(stmt: str, n: int, per: int, tool: str) -> dict[str, float]:
    once, twice = counts(stmt, n, tool), counts(stmt, 2 * n, tool)
    return {event: (twice[event] - once[event]) / (n * per) for event in once}


def main() -> None:
    wanted = [arg for arg in sys.argv[1:] if arg != "--branches"]
    branches = "--branches" in sys.argv[1:]
    print(f"{'case':<24} {'Ir per call':>12}" + (f" {'mispredicted':>13}" if branches else ""))
    for name, (stmt, per) in CASES.items():
        if wanted and not any(w in name for w in wanted):
            continue
        n = 2000 if per == 1 else 20
        if name == "200 kB text":
            n = 5
        line = f"{name:<24} {per_call(stmt, n, per, 'callgrind')['Ir']:>12.0f}"
        if branches:
            b = per_call(stmt, n, per, "cachegrind")
            line += f" {b['Bcm'] + b['Bim']:>13.1f}"
        print(line)


if __name__ == "__main__":
    main()
