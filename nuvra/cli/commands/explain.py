"""nuvra explain: which token of each text matched which keyword, how, with what score; and the
rows of such matches, which word --explain writes as well."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Sequence

from nuvra.cli.arguments import CommandParser, add_format, add_space
from nuvra.cli.errors import EXIT_NOTHING, UserError
from nuvra.cli.output import Output
from nuvra.cli.terminal import standard_output
from nuvra.space import Space

__all__ = ["EXPLAIN_COLUMNS", "add_parser", "run", "write_explained"]

EXPLAIN_COLUMNS = ["token", "start", "axis", "keyword", "how", "score"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser(
        "explain",
        help="which token matched which keyword",
        description="Each token of each TEXT that scored, on which axis, by which keyword, how "
        "(prefix or bigrams) and with what score, in token order. start counts code points.",
    )
    sub.add_argument("texts", nargs="+", metavar="TEXT")
    add_format(sub)
    add_space(sub)
    sub.set_defaults(run=run)


def write_explained(args: argparse.Namespace, columns: list[str], records: Sequence[tuple[object, object]]) -> None:
    """Rows of matches (from Space.explain or explain_word); the column "input" or "word" is what each came from."""
    out = Output(args.format, columns, standard_output(), contextlib.nullcontext)
    values: dict[str, list[object]] = {c: [] for c in columns}
    for source, match in records:
        for c in columns:
            values[c].append(source if c in ("input", "word") else getattr(match, c))
    out.write_block(values)
    if not records:
        raise UserError("nuvra: no token matched a keyword", EXIT_NOTHING)


def run(args: argparse.Namespace) -> None:
    space: Space = args.space_object
    several = len(args.texts) > 1
    records = [(i, m) for i, text in enumerate(args.texts, 1) for m in space.explain(text)]
    if several:
        write_explained(args, ["input", *EXPLAIN_COLUMNS], records)
    else:
        out = Output(args.format, EXPLAIN_COLUMNS, standard_output(), contextlib.nullcontext)
        out.write_block({c: [getattr(m, c) for _, m in records] for c in EXPLAIN_COLUMNS})
        if not records:
            raise UserError(f"nuvra: no token of {args.texts[0]!r} matched a keyword", EXIT_NOTHING)
