"""nuvra vectors: each line's component on every axis, and its dominant axis."""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from nuvra import _lines
from nuvra.cli.arguments import CommandParser, add_format, add_input, add_space
from nuvra.cli.axes import dominant_axes
from nuvra.cli.context import Run
from nuvra.cli.terminal import standard_output

__all__ = ["add_parser", "run"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser("vectors", help="the vector and dominant axis of each line")
    add_input(sub)
    add_format(sub)
    add_space(sub)
    sub.add_argument(
        "-n", "--line-number", action="store_true", help="show where each line came from (LINE, or FILE:LINE)"
    )
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    standard_output()  # closed: said before any input is read
    reading = Run(args)
    where = reading.location_columns() if args.line_number else []
    names = reading.space.axes
    out = reading.output([*where, *names, "axis", "text"])
    native = out.writes_rows()
    threads = _lines.thread_count(args.workers)
    for block in reading.blocks():
        if native:
            out.write_rows(block.texts_or_bytes(), block.vectors, block.first_line, block.source.name, threads)
            continue
        v = block.matrix()
        columns: dict[str, Sequence[object]] = {**reading.location(block, range(len(block)))} if where else {}
        columns |= {name: v[:, i].tolist() for i, name in enumerate(names)}
        columns |= {"axis": dominant_axes(v, names), "text": block.texts()}
        out.write_block(columns)
