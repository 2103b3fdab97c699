"""nuvra similar: the k lines most similar to a query, ranked by nuvra._ranking as most_similar ranks."""

from __future__ import annotations

import argparse
import os
from array import array
from collections.abc import Iterable, Sequence

from nuvra import _batch, _lines
from nuvra._ranking import Ranker
from nuvra._words import words_of
from nuvra.cli import arguments
from nuvra.cli.arguments import CommandParser, add_format, add_input, add_space, add_whole_line
from nuvra.cli.commands.groups import add_header, message_part
from nuvra.cli.context import Run
from nuvra.cli.errors import EXIT_NOTHING, UserError
from nuvra.cli.inputs import LINES, MESSAGES, Block
from nuvra.cli.terminal import say, standard_output

__all__ = ["DEFAULT_K", "Ranking", "add_parser", "run"]

# The k of similar, as most_similar's k= in the API.
DEFAULT_K = 10


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser(
        "similar",
        help="the lines most similar to a query",
        description="The k lines most similar to QUERY, best first, with where they came from. "
        "Lines that score 0 are never listed. Among lines of equal score, those holding more of the "
        "query's words (runs of letters, digits and _, compared lower-cased) come first, then input order. "
        "The lines are ranked when the input ends: on a stream (tail -f), Ctrl-C ends the input, and the "
        "best lines so far are printed. A line whose header is recognised by its shape (date, level, host, "
        "program), and the query too, are scored by their message, what follows the header; --whole-line "
        "scores whole lines. --groups ranks the kinds of lines (as nuvra groups finds them) instead of lines.",
    )
    sub.add_argument("query", metavar="QUERY", help="the query text")
    add_input(sub)
    add_format(sub)
    add_space(sub)
    add_whole_line(sub)
    sub.add_argument("-k", type=arguments.line_count, default=DEFAULT_K, help=f"how many lines (default {DEFAULT_K})")
    sub.add_argument(
        "--groups",
        action="store_true",
        help="one row per kind of lines, with its count and template, ranked by the cosine of the template "
        "with the query (ties: the query's words held, then the count); when the query is a line of one of "
        "the kinds, that kind comes first",
    )
    add_header(sub)
    sub.add_argument("--no-location", action="store_true", help="leave out where each line came from")
    sub.add_argument(
        "-n", "--line-number", action="store_true", help="accepted as grep takes it: locations are shown anyway"
    )
    sub.add_argument(
        "--min-score",
        type=arguments.score,
        default=0.0,
        metavar="S",
        help="list only lines scoring at least S (default 0: every line that scores above 0; a line scoring 0 "
        "is never listed)",
    )
    sub.add_argument(
        "--ties",
        choices=["words", "order"],
        default="words",
        help="among lines of equal score, rank first those holding more words of the query, then input order "
        "(words, the default), or input order alone (order)",
    )
    sub.set_defaults(run=run)


class Ranking:
    """The k best lines seen so far, and how many lines share the k-th best score: the ranker of
    nuvra._ranking fed with blocks of lines. Their words are counted on the block's column where
    it has one, and only the lines that stay among the best are decoded."""

    def __init__(self, k: int, min_score: float = 0.0, query_words: frozenset[str] = frozenset(), fold: bool = False):
        self.query_words, self.fold = query_words, fold
        # Each line's item: its line number and file, and its text.
        self.ranker: Ranker[tuple[int, str, str]] = Ranker(k, min_score, len(query_words), count_ties=True)

    @property
    def best(self) -> list[tuple[float, int, int, int, str, str]]:
        """(score, words of the query held, order, line, file, text) of the k best lines, best first."""
        return [(score, held, order, *item) for score, held, order, item in self.ranker.best]

    @property
    def positive(self) -> int:
        """Lines that scored above 0."""
        return self.ranker.positive

    @property
    def lines(self) -> int:
        return self.ranker.order

    def ties(self) -> int:
        """Lines with the k-th best score, shown or not."""
        return self.ranker.ties()

    def add(self, block: Block, scores: array[float]) -> None:
        name = block.source.name

        def held(rows: list[int]) -> list[int]:
            return block.shared(rows, self.query_words, self.fold)

        def items(rows: list[int]) -> list[tuple[int, str, str]]:
            return [(block.first_line + i, name, text) for i, text in zip(rows, block.lines(rows), strict=True)]

        self.ranker.add(scores, held, items)

    def add_all(self, blocks: Iterable[Block], query: Sequence[float]) -> None:
        """Adds every block's lines, scored against query. No block outlives this call: the
        lines kept are decoded, and the rows are written without the bytes of the last block."""
        for block in blocks:
            scores = _lines.zeros(len(block))
            _batch.cosines(block.vectors, array("d", query), scores)
            self.add(block, scores)


def run(args: argparse.Namespace) -> None:
    standard_output()
    reading = Run(args)
    if not args.files and not args.sample and os.path.isfile(args.query):
        source = "the bundled sample log" if reading.sources[0].name == "<sample>" else "standard input"
        say(
            f"nuvra: ranking {source} against the text {args.query!r}, which is also the name of a file;"
            f" to rank that file, give a query first: nuvra similar QUERY {args.query}"
        )
    if args.groups:
        from nuvra.cli.commands.groups import similar_kinds

        similar_kinds(args, reading)
        return
    query_text = args.query
    scored = LINES if args.whole_line else MESSAGES
    if not args.whole_line:
        query_text = message_part(args.query)
    query = reading.space.text_vector(query_text)
    if not any(query):
        raise UserError(
            f"nuvra: the query {args.query!r} matches no keyword, so every line would score 0", EXIT_NOTHING
        )
    words = words_of(args.query, reading.space.fold is not None) if args.ties == "words" else frozenset()
    ranking = Ranking(args.k, args.min_score, words, reading.space.fold is not None)
    interrupted = False
    try:
        ranking.add_all(reading.blocks(scored), query)
    except KeyboardInterrupt:
        # Ctrl-C ends a stream that has no end (tail -f ... | nuvra similar): the best so far are printed.
        interrupted = True
    best = ranking.best
    above = f"nuvra: {ranking.positive:,} of {ranking.lines:,} lines scored above 0"
    if args.k == 0 and not interrupted:
        raise UserError("nuvra: -k 0 selects no line", EXIT_NOTHING)
    if not best:
        if interrupted:
            raise KeyboardInterrupt
        at_least = f", none at least {args.min_score!r} (--min-score)" if ranking.positive else ""
        raise UserError(f"{above}{at_least}: no line is similar", EXIT_NOTHING)
    where = reading.location_columns() if not args.no_location else []
    out = reading.output([*where, "score", "text"])
    columns: dict[str, list[object]] = {c: [] for c in [*where, "score", "text"]}
    for score, _, _, line, name, text in best:
        if where == ["where"]:
            columns["where"].append(f"{name}:{line}")
        elif where:
            columns["line"].append(line)
            if reading.several:
                columns["file"].append(name)
        columns["score"].append(score)
        columns["text"].append(text)
    out.write_block(columns)
    say(f"{above}; {len(best):,} shown")
    if interrupted:
        raise KeyboardInterrupt
    last = best[-1][0]
    shown = sum(1 for e in best if e[0] == last)
    ties = ranking.ties()
    if ties > shown:
        # The table rounds scores to 4 decimals: the score is written in full, and said
        # to be rounded where the table shows it otherwise.
        rounded = f"{last:.4f}"
        exact = repr(last) + (
            "" if args.format != "table" or float(rounded) == last else f" (rounded to {rounded} in the table)"
        )
        if words:
            how = f"the {shown:,} shown are those holding the most words of the query, then the first in input order"
        else:
            how = f"the first {shown:,} of them in input order are shown"
        say(f"nuvra: {ties:,} lines share the score {exact} of the last line shown; {how} (raise -k to see more)")
