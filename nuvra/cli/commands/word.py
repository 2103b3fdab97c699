"""nuvra word: word vectors, or with --explain, which keyword gave each word its score."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Sequence

from nuvra.cli.arguments import CommandParser, add_format, add_space
from nuvra.cli.axes import dominant_axis
from nuvra.cli.commands.explain import EXPLAIN_COLUMNS, write_explained
from nuvra.cli.output import Output
from nuvra.cli.terminal import standard_output
from nuvra.space import Space

__all__ = ["add_parser", "run"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser("word", help="word vectors")
    sub.add_argument("words", nargs="+", metavar="WORD")
    add_format(sub)
    add_space(sub)
    sub.add_argument("--explain", action="store_true", help="which keyword gave each word its score, and how")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    space: Space = args.space_object
    if args.explain:
        records = [(w, m) for w in args.words for m in space.explain_word(w)]
        write_explained(args, ["token", *EXPLAIN_COLUMNS[2:], "word"], records)
        return
    names = space.axes
    out = Output(args.format, [*names, "axis", "word"], standard_output(), contextlib.nullcontext, names)
    vectors = [space.word_vector(w) for w in args.words]
    columns: dict[str, Sequence[object]] = {name: [v[i] for v in vectors] for i, name in enumerate(names)}
    out.write_block(columns | {"axis": [dominant_axis(v, names) for v in vectors], "word": args.words})
