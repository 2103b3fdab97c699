"""nuvra vectors: each line's component on every axis, and its dominant axis."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence

from nuvra import _lines
from nuvra.cli.arguments import CommandParser, add_format, add_input, add_space, add_whole_line
from nuvra.cli.axes import dominant_axes
from nuvra.cli.context import Run
from nuvra.cli.inputs import LINES, MESSAGES
from nuvra.cli.output import _csv_field
from nuvra.cli.terminal import escape_for_terminal, standard_output, write_out

__all__ = ["add_parser", "run"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser(
        "vectors",
        help="the vector and dominant axis of each line",
        description="Each line's component on every axis of the space, its dominant axis, and the line. A line "
        "whose header is recognised by its shape (date, level, host, program) is scored by its message, what "
        "follows the header; --whole-line scores whole lines.",
    )
    add_input(sub)
    add_format(sub)
    add_space(sub)
    add_whole_line(sub)
    sub.add_argument(
        "-n", "--line-number", action="store_true", help="show where each line came from (LINE, or FILE:LINE)"
    )
    sub.add_argument(
        "--counts",
        action="store_true",
        help="instead of the lines, how many lines have each axis as their dominant axis, and how many none",
    )
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    standard_output()  # closed: said before any input is read
    reading = Run(args)
    if args.counts:
        write_out(standard_output(), counts_text(count_axes(reading), reading.space.axes, args.format).encode())
        return
    where = reading.location_columns() if args.line_number else []
    names = reading.space.axes
    out = reading.output([*where, *names, "axis", "text"], every_input=True)
    native = out.writes_rows()
    threads = _lines.thread_count(args.workers)
    for block in reading.blocks(scored_part(args)):
        if native:
            out.write_rows(block.texts_or_bytes(), block.vectors, block.first_line, block.source.name, threads)
            continue
        v = block.matrix()
        columns: dict[str, Sequence[object]] = {**reading.location(block, range(len(block)))} if where else {}
        columns |= {name: v[:, i].tolist() for i, name in enumerate(names)}
        columns |= {"axis": dominant_axes(v, names), "text": block.texts()}
        out.write_block(columns)


def scored_part(args: argparse.Namespace) -> str:
    """What the vectors are of: each line's message (its header left out), or with --whole-line the line."""
    return LINES if getattr(args, "whole_line", False) else MESSAGES


def count_axes(reading: Run) -> list[int]:
    """The lines of every input by dominant axis: one count per axis, then the lines of none."""
    import numpy as np

    from nuvra.axes import dominant_indices

    k = reading.space.k
    counts = np.zeros(k + 1, dtype=np.int64)
    for block in reading.blocks(scored_part(reading.args)):
        counts += np.bincount(dominant_indices(block.matrix()), minlength=k + 1)
    return [int(n) for n in counts]


def counts_text(counts: Sequence[int], axes: Sequence[str], fmt: str) -> str:
    """The counts as a table (with shares in per cent and the total), CSV or JSON lines (shares as fractions)."""
    total = sum(counts)
    names = [*axes, "none"]
    shares = [n / total if total else 0.0 for n in counts]
    if fmt == "csv":
        rows = [f"{_csv_field(a)},{n},{s!r}" for a, n, s in zip(names, counts, shares, strict=True)]
        return "axis,lines,share\n" + "".join(row + "\n" for row in rows)
    if fmt == "jsonl":
        return "".join(
            json.dumps({"axis": a, "lines": n, "share": s}, ensure_ascii=False) + "\n"
            for a, n, s in zip(names, counts, shares, strict=True)
        )
    shown = [escape_for_terminal(a) for a in [*names, "total"]]
    width = max(8, *map(len, shown))
    digits = max(5, len(f"{total:,}"))
    lines = [f"{'axis':<{width}} {'lines':>{digits}}   share"]
    for name, n, share in zip(shown, [*counts, total], [*shares, 1.0 if total else 0.0], strict=True):
        lines.append(f"{name:<{width}} {n:>{digits},} {100 * share:6.1f}%")
    return "\n".join(lines) + "\n"
