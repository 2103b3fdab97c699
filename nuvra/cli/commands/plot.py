"""nuvra plot: a picture of the lines in the semantic space. The drawing is nuvra.cli.plot's, which
imports numpy and matplotlib: it is imported when the command runs."""

from __future__ import annotations

import argparse

from nuvra.cli.arguments import CommandParser, add_input, add_space
from nuvra.cli.axes import dominant_axes
from nuvra.cli.context import Run, title_of
from nuvra.cli.terminal import say

__all__ = ["add_parser", "run"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser("plot", help="a picture of the lines in the semantic space")
    add_input(sub)
    add_space(sub)
    sub.add_argument("-o", "--output", required=True, help="the image to write (.png, .svg, .pdf, ...)")
    sub.set_defaults(run=run, format="table")


def run(args: argparse.Namespace) -> None:
    from nuvra.cli import plot

    plot.check_output(args.output)
    reading = Run(args)
    densities = plot.Densities(reading.space.axes)
    for block in reading.blocks():
        vectors = block.matrix()
        densities.add(vectors, dominant_axes(vectors, reading.space.axes))
    plot.draw(densities, title_of(reading.sources), args.output)
    say(f"nuvra: wrote {args.output} ({densities.count:,} lines)")
