"""The nuvra command: semantic vectors of log lines, words and texts.

    nuvra vectors [FILE ...]            each line's component on every axis, and its dominant axis
    nuvra similar QUERY [FILE ...] -k N the N lines most similar to QUERY
    nuvra word WORD ...                 word vectors (--explain: which keyword matched)
    nuvra explain TEXT ...              which token matched which keyword, how, with what score
    nuvra plot [FILE ...] -o out.png    the lines in the semantic space (needs matplotlib)
    nuvra space show [NAME|FILE]        a space's axes, thresholds, options and keywords
    nuvra space check FILE              checks a space file: exit 0, or 2 with every problem

Every command takes --space NAME|FILE (a bundled space or a .toml or .json
file), or the space named by the environment variable NUVRA_SPACE; without
either, the fixed space of faults, security and data.

FILE may be "-" for standard input, and may be compressed (gzip, xz, bzip2).
With no FILE, standard input is read, or the bundled sample log when standard
input is a terminal (--sample reads the sample in any case). Files are read in
large blocks and scored by the batch engine on every core (--workers).
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
import os
import re
import sys
from array import array
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NoReturn

from nuvra import _batch, _lines
from nuvra._words import words_of
from nuvra.cli.errors import EXIT_NOTHING, EXIT_OK, EXIT_OUTPUT, EXIT_USAGE, UserError, exit_code_for_failed_inputs
from nuvra.cli.inputs import Block, Source, blocks_of, check_encoding, check_source, choose_sources, opened
from nuvra.cli.output import Output
from nuvra.cli.progress import Progress
from nuvra.cli.terminal import discard_output, escape_for_terminal, print_out, say, standard_output, write_failed
from nuvra.space import Space, SpaceError

if TYPE_CHECKING:
    import numpy as np

# numpy is imported by the commands that need it, not here: similar and word
# start without it.
SPACE_VARIABLE = "NUVRA_SPACE"
# Columns of the output that an axis may not be named after.
RESERVED_COLUMNS = frozenset({"axis", "file", "line", "where", "score", "text", "word"})

__all__ = ["dominant_axis", "main", "run"]


def dominant_axis(vector: Sequence[float], names: Sequence[str]) -> str:
    """The axis of the largest component, the first on ties; "none" for zero."""
    best = max(range(len(names)), key=lambda i: (vector[i], -i))
    return names[best] if vector[best] > 0.0 else "none"


def dominant_axes(vectors: np.ndarray, names: Sequence[str]) -> list[str]:
    """dominant_axis of each row: argmax takes the first of equal components."""
    import numpy as np

    if len(vectors) == 0:
        return []
    best = np.argmax(vectors, axis=1)
    positive = vectors[np.arange(len(vectors)), best] > 0.0
    labels = np.array([*names, "none"], dtype=object)
    return labels[np.where(positive, best, len(names))].tolist()  # type: ignore[no-any-return]


def load_space(value: str | None, check_columns: bool = True) -> Space:
    """The space a command runs in: --space, else $NUVRA_SPACE, else the fixed space."""
    origin = "--space"
    if value is None:
        value, origin = os.environ.get(SPACE_VARIABLE) or None, SPACE_VARIABLE
    if value is None:
        return Space.default()
    try:
        space = Space.load(value)
    except SpaceError as e:
        where = "" if origin == "--space" else f" (from {SPACE_VARIABLE})"
        raise UserError(f"nuvra: {e}{where}", EXIT_USAGE) from None
    clashes = sorted(RESERVED_COLUMNS.intersection(space.axes))
    if check_columns and clashes:
        raise UserError(
            f"nuvra: {value}: an axis named {clashes[0]!r} would clash with the column of that name;"
            f" the command's columns are {', '.join(sorted(RESERVED_COLUMNS))}",
            EXIT_USAGE,
        )
    return space


class Run:
    """What every reading command shares: its inputs, read in blocks, with progress."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.space: Space = args.space_object
        self.encoding = check_encoding(args.encoding, args.errors)
        given = choose_sources(args.files, args.sample)
        # As grep: an input that cannot be read gets one line on standard error, and the
        # run goes on with the others; main's exit code says that inputs failed.
        self.failures: list[int] = args.failures
        self.sources = []
        for source in given:
            try:
                check_source(source)
            except UserError as e:
                say(str(e))
                self.failures.append(e.code)
            else:
                self.sources.append(source)
        self.several = len(given) > 1
        sizes = [s.size() for s in self.sources]
        total = None if any(size is None for size in sizes) else sum(s for s in sizes if s is not None)
        first = given[0].name
        label = "stdin" if first == "-" else os.path.basename(first)
        label = label if len(given) == 1 else f"{len(given)} inputs"
        self.progress = Progress(total, escape_for_terminal(label))

    def blocks(self) -> Iterator[Block]:
        try:
            for source in self.sources:
                try:
                    with opened(source) as (stream, raw):
                        position = _position(raw)
                        for block in blocks_of(
                            source, stream, self.encoding, self.args.errors, self.args.workers, self.space
                        ):
                            now = _position(raw)
                            self.progress.advance(
                                now - position if now is not None and position is not None else block.nbytes,
                                len(block),
                            )
                            position = now
                            yield block
                except UserError as e:
                    # A source that fails midway (a read error, a broken compressed file, undecodable
                    # bytes under strict) keeps the lines read before it; the next source follows.
                    with self.progress.aside():
                        say(str(e))
                    self.failures.append(e.code)
        finally:
            self.progress.close()

    def location(self, block: Block, rows: Sequence[int]) -> dict[str, list[object]]:
        """The columns that tell where each row came from: FILE:LINE as grep writes it, or file and line."""
        numbers = [block.first_line + i for i in rows]
        if self.args.format == "table":
            if self.several:
                return {"where": [f"{block.source.name}:{n}" for n in numbers]}
            return {"line": numbers}  # type: ignore[dict-item]
        columns: dict[str, list[object]] = {"line": numbers}  # type: ignore[dict-item]
        if self.several:
            columns = {"file": [block.source.name] * len(numbers), **columns}
        return columns

    def location_columns(self) -> list[str]:
        if self.args.format == "table":
            return ["where"] if self.several else ["line"]
        return ["file", "line"] if self.several else ["line"]

    def output(self, columns: Sequence[str]) -> Output:
        return Output(self.args.format, columns, standard_output(), self.progress.around_write, self.space.axes)


def _position(raw: object) -> int | None:
    try:
        return raw.tell()  # type: ignore[attr-defined,no-any-return]
    except (OSError, AttributeError, ValueError):
        return None


def title_of(sources: Sequence[Source]) -> str:
    names = [s.name for s in sources]
    return names[0] if len(names) == 1 else f"{names[0]} and {len(names) - 1} more"


def command_vectors(args: argparse.Namespace) -> None:
    standard_output()  # closed: said before any input is read
    run = Run(args)
    where = run.location_columns() if args.line_number else []
    names = run.space.axes
    out = run.output([*where, *names, "axis", "text"])
    native = out.writes_rows()
    threads = _lines.thread_count(args.workers)
    for block in run.blocks():
        if native:
            out.write_rows(block.texts_or_bytes(), block.vectors, block.first_line, block.source.name, threads)
            continue
        v = block.matrix()
        columns: dict[str, Sequence[object]] = {**run.location(block, range(len(block)))} if where else {}
        columns |= {name: v[:, i].tolist() for i, name in enumerate(names)}
        columns |= {"axis": dominant_axes(v, names), "text": block.texts()}
        out.write_block(columns)


class Ranking:
    """The k best lines seen so far, and how many lines share the k-th best score.

    Lines rank by score, then (with query words) by how many of the query's words they
    hold, then by input order. Only lines that score above 0 and at least min_score rank.
    Memory is O(k + block): the words of a line are counted only when its score can place
    it among the k best."""

    def __init__(self, k: int, min_score: float = 0.0, query_words: frozenset[str] = frozenset(), fold: bool = False):
        self.k = k
        self.min_score = min_score
        self.query_words, self.fold = query_words, fold
        # (score, words of the query held, order, line, file, text), best first
        self.best: list[tuple[float, int, int, int, str, str | None]] = []
        self.counts: dict[float, int] = {}  # lines per score, for the scores that can still be the k-th
        self.order = 0
        self.positive = 0  # lines that scored above 0
        self.lines = 0

    def threshold(self) -> float:
        return self.best[-1][0] if len(self.best) == self.k else -float("inf")

    def ranks(self, score: float) -> bool:
        return score > 0.0 and score >= self.min_score

    def add(self, block: Block, scores: array[float]) -> None:
        self.positive += _batch.count_above(scores, 0.0)
        self.lines += len(scores)
        rows, ties = _batch.top(scores, self.k)
        kept = list(itertools.takewhile(lambda i: self.ranks(scores[i]), rows))
        if kept:
            last = scores[kept[-1]]
            if len(kept) < len(rows):  # every line that ranks is among those kept
                ties = sum(1 for i in kept if scores[i] == last)
            self.count(scores, kept, ties)
            at_last = sum(1 for i in kept if scores[i] == last)
            merged = sorted([*(e[0] for e in self.best), *(scores[i] for i in kept)], reverse=True)
            floor = merged[self.k - 1] if len(merged) >= self.k else -float("inf")
            self.merge(block, scores, [i for i in kept if scores[i] >= floor])
            # Lines of the block that share the k-th score but were not among its k best: with
            # query words, one of them may hold more of them than a line kept.
            if self.query_words and ties > at_last and last == self.threshold() and self.can_enter():
                above = len(kept) - at_last
                extra = _batch.top(scores, above + ties)[0][len(kept) :]
                self.merge(block, scores, extra)
            self.counts = {s: n for s, n in self.counts.items() if s >= self.threshold()}
        self.order += len(block)

    def can_enter(self) -> bool:
        """Whether a later line with the k-th score could still displace the k-th line."""
        return len(self.best) < self.k or self.best[-1][1] < len(self.query_words)

    def merge(self, block: Block, scores: array[float], rows: list[int]) -> None:
        """Adds rows of the block (ascending) to the best, keeping the k best."""
        if not rows:
            return
        rows = sorted(rows)
        name = block.source.name
        # Their words are needed to rank them, not their text: only the lines that stay are decoded.
        held = block.shared(rows, self.query_words, self.fold) if self.query_words else [0] * len(rows)
        if len(rows) > self.k:
            # Only the block's k best can stay. They are chosen by two stable sorts of positions,
            # by words held and then by score, both descending (equal keys keep input order),
            # whose keys are looked up in C: thousands of tied lines cost no entry each.
            row_scores = list(map(scores.__getitem__, rows))
            chosen = sorted(range(len(rows)), key=held.__getitem__, reverse=True)
            chosen.sort(key=row_scores.__getitem__, reverse=True)
            del chosen[self.k :]
            rows, held = [rows[j] for j in chosen], [held[j] for j in chosen]
        best = self.best + [
            (scores[i], n, self.order + i, block.first_line + i, name, None) for i, n in zip(rows, held, strict=True)
        ]
        best.sort(key=lambda e: (-e[0], -e[1], e[2]))
        del best[self.k :]
        # Only the lines that stay among the best are decoded.
        new = sorted(e[2] - self.order for e in best if e[5] is None)
        if new:
            decoded = dict(zip(new, block.lines(new), strict=True))
            best = [e if e[5] is not None else (*e[:5], decoded[e[2] - self.order]) for e in best]
        # The ranking changes in one step, so that a Ctrl-C at any point leaves it whole
        # (similar prints it then).
        self.best = best

    def add_all(self, blocks: Iterable[Block], query: Sequence[float]) -> None:
        """Adds every block's lines, scored against query. No block outlives this call: the
        lines kept are decoded, and the rows are written without the bytes of the last block."""
        for block in blocks:
            scores = _lines.zeros(len(block))
            _batch.cosines(block.vectors, array("d", query), scores)
            self.add(block, scores)

    def count(self, scores: array[float], rows: list[int], ties: int) -> None:
        """Adds the block's lines per score. A score above the block's k-th best is held only by
        lines among its best; the k-th best is the lowest that can still be the k-th overall."""
        block_counts: dict[float, int] = {}
        for i in rows:
            block_counts[scores[i]] = block_counts.get(scores[i], 0) + 1
        block_counts[scores[rows[-1]]] = ties
        for score, n in block_counts.items():
            self.counts[score] = self.counts.get(score, 0) + n

    def ties(self) -> int:
        """Lines with the k-th best score, shown or not."""
        return self.counts.get(self.best[-1][0], 0) if self.best else 0


def command_similar(args: argparse.Namespace) -> None:
    standard_output()
    run = Run(args)
    if not args.files and not args.sample and os.path.isfile(args.query):
        source = "the bundled sample log" if run.sources[0].name == "<sample>" else "standard input"
        say(
            f"nuvra: ranking {source} against the text {args.query!r}, which is also the name of a file;"
            f" to rank that file, give a query first: nuvra similar QUERY {args.query}"
        )
    query = run.space.text_vector(args.query)
    if not any(query):
        raise UserError(
            f"nuvra: the query {args.query!r} matches no keyword, so every line would score 0", EXIT_NOTHING
        )
    words = words_of(args.query, run.space.fold is not None) if args.ties == "words" else frozenset()
    ranking = Ranking(args.k, args.min_score, words, run.space.fold is not None)
    interrupted = False
    try:
        ranking.add_all(run.blocks(), query)
    except KeyboardInterrupt:
        # Ctrl-C ends a stream that has no end (tail -f ... | nuvra similar): the best so far are printed.
        interrupted = True
    above = f"nuvra: {ranking.positive:,} of {ranking.lines:,} lines scored above 0"
    if args.k == 0 and not interrupted:
        raise UserError("nuvra: -k 0 selects no line", EXIT_NOTHING)
    if not ranking.best:
        if interrupted:
            raise KeyboardInterrupt
        at_least = f", none at least {args.min_score!r} (--min-score)" if ranking.positive else ""
        raise UserError(f"{above}{at_least}: no line is similar", EXIT_NOTHING)
    where = run.location_columns() if not args.no_location else []
    out = run.output([*where, "score", "text"])
    columns: dict[str, list[object]] = {c: [] for c in [*where, "score", "text"]}
    for score, _, _, line, name, text in ranking.best:
        if where == ["where"]:
            columns["where"].append(f"{name}:{line}")
        elif where:
            columns["line"].append(line)
            if run.several:
                columns["file"].append(name)
        columns["score"].append(score)
        columns["text"].append(text)
    out.write_block(columns)
    say(f"{above}; {len(ranking.best):,} shown")
    if interrupted:
        raise KeyboardInterrupt
    last = ranking.best[-1][0]
    shown = sum(1 for e in ranking.best if e[0] == last)
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


EXPLAIN_COLUMNS = ["token", "start", "axis", "keyword", "how", "score"]


def command_word(args: argparse.Namespace) -> None:
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


def command_explain(args: argparse.Namespace) -> None:
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


def command_space_show(args: argparse.Namespace) -> None:
    space = load_space(args.name, check_columns=False) if args.name else args.space_object
    if args.toml:
        print_out(space.to_toml().removesuffix("\n"))
        return
    options = [f"split = {space.split}" if space.split else "", f"fold = {space.fold}" if space.fold else ""]
    options = [o for o in options if o]
    total = sum(len(space.keywords(a)) for a in space.axes)
    head = f"space {space.name}" if space.name is not None else "space"
    lines = [f"{head}: {space.k} axes, {total} keywords" + (f"; {', '.join(options)}" if options else "")]
    for axis in space.axes:
        keywords = space.keywords(axis)
        lines.append(f"{axis} (threshold {space.threshold(axis)!r}, {len(keywords)} keywords):")
        line = " "
        for keyword in keywords:
            if len(line) + len(keyword) + 1 > 78:
                lines.append(line)
                line = " "
            line += " " + keyword
        lines.append(line)
    print_out("\n".join(escape_for_terminal(line) for line in lines))


def command_space_check(args: argparse.Namespace) -> None:
    try:
        space = Space.load(args.file)
    except SpaceError as e:
        raise UserError(f"nuvra: {e}", EXIT_USAGE) from None
    total = sum(len(space.keywords(a)) for a in space.axes)
    print_out(escape_for_terminal(f"{args.file}: ok: {space.k} axes ({', '.join(space.axes)}), {total} keywords"))


def command_plot(args: argparse.Namespace) -> None:
    from nuvra.cli import plot

    plot.check_output(args.output)
    run = Run(args)
    densities = plot.Densities(run.space.axes)
    for block in run.blocks():
        vectors = block.matrix()
        densities.add(vectors, dominant_axes(vectors, run.space.axes))
    plot.draw(densities, title_of(run.sources), args.output)
    say(f"nuvra: wrote {args.output} ({densities.count:,} lines)")


def version() -> str:
    import nuvra

    return nuvra.__version__


class VersionAction(argparse.Action):
    """--version: nuvra.__version__, the distribution's version."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)  # type: ignore[arg-type]

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        print_out(f"nuvra {version()}")
        parser.exit()


# The k of similar, as most_similar's k= in the API.
DEFAULT_K = 10


def _count(text: str) -> int:
    """-k: a count of lines, 0 or more, as most_similar's k; a count larger than any input can
    hold means every line. A bad value is one line on standard error (a UserError), as for
    --workers, not argparse's usage."""
    try:
        value = int(text)
    except ValueError:
        raise UserError(f"nuvra: -k must be a number of lines, got {text!r}", EXIT_USAGE) from None
    if value < 0:
        raise UserError(f"nuvra: -k must be at least 0, got {value}", EXIT_USAGE)
    return min(value, sys.maxsize)


def _score(text: str) -> float:
    """--min-score: a finite number."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1 and value != -1:
        raise UserError(f"nuvra: --workers must be at least 1, or -1 for every core; got {text!r}", EXIT_USAGE)
    return value


# What argparse reads as a negative number, an operand where no option looks like one.
_NEGATIVE_NUMBER = re.compile(r"^-\d+$|^-\d*\.\d+$")


def options_first(args: Sequence[str], takes_value: Mapping[str, bool]) -> list[str]:
    """args with every option (and its value) moved before the operands, then "--" and the
    operands, each kind in its own order: options may come anywhere, between and after the
    operands (nuvra similar error -k 5 app.log), and "--" ends them."""
    options: list[str] = []
    operands: list[str] = []
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if arg == "--":
            operands += args[i:]
            break
        name = arg.partition("=")[0]
        if (
            not arg.startswith("-")
            or arg == "-"
            or _NEGATIVE_NUMBER.match(arg)
            or (" " in arg and name not in takes_value)
        ):
            operands.append(arg)
            continue
        options.append(arg)
        if i < len(args) and _needs_value(arg, takes_value):
            options.append(args[i])
            i += 1
    return [*options, "--", *operands] if operands else options


def _needs_value(arg: str, takes_value: Mapping[str, bool]) -> bool:
    """Whether the option arg takes the next argument as its value, as argparse reads it."""
    if arg.startswith("--"):
        name, equals, _ = arg.partition("=")
        if equals:
            return False
        if name in takes_value:
            return takes_value[name]
        prefixed = [o for o in takes_value if o.startswith("--") and o.startswith(name)]  # an abbreviation
        return len(prefixed) == 1 and takes_value[prefixed[0]]
    for j in range(1, len(arg)):  # a cluster of short options: -n, -k5, -nk 5
        short = "-" + arg[j]
        if short not in takes_value:
            return False
        if takes_value[short]:
            return j == len(arg) - 1  # else its value is the rest of arg
    return False


class Parser(argparse.ArgumentParser):
    """argparse with the command's own ways: help and version on standard output through
    print_out (a full disk or a closed output is an exit code), messages on standard error
    escaped, and, for a command, options anywhere among its operands."""

    intermixed = False

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.takes_value: dict[str, bool] = {}  # each option string: whether it takes a value
        super().__init__(*args, **kwargs)

    def add_argument(self, *args: Any, **kwargs: Any) -> argparse.Action:
        action = super().add_argument(*args, **kwargs)
        for option in action.option_strings:
            self.takes_value[option] = action.nargs != 0
        return action

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        if self.intermixed and args is not None:
            args = options_first(list(args), self.takes_value)
        return super().parse_known_args(args, namespace)

    def print_help(self, file: Any = None) -> None:
        if file is None:
            print_out(self.format_help().removesuffix("\n"))
        else:
            super().print_help(file)

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            say(message.removesuffix("\n"))


class CommandParser(Parser):
    intermixed = True


def parser() -> argparse.ArgumentParser:
    top = Parser(
        prog="nuvra",
        description="Place log lines, messages and words in a semantic space (by default of faults, "
        "security and data; --space for another), and compare them.",
    )
    top.add_argument("--version", action=VersionAction, help="show the version and exit")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=CommandParser)

    def add_input(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "files",
            nargs="*",
            metavar="FILE",
            help="text files, one text per line, plain or compressed (.gz, .xz, .bz2); - for standard input "
            "(the default when it is not a terminal)",
        )
        sub.add_argument("--sample", action="store_true", help="read the bundled sample log")
        sub.add_argument("--encoding", default="utf-8", help="a text encoding of the input (default utf-8)")
        sub.add_argument(
            "--errors",
            default="strict",
            choices=["strict", "replace", "ignore", "surrogateescape"],
            help="what to do with undecodable bytes: strict stops (the default); surrogateescape keeps them, "
            "and the table and CSV write them back as they were read, JSON lines as escapes",
        )
        sub.add_argument(
            "--workers", type=_workers, default=-1, help="threads that score the lines (default -1: every core)"
        )

    def add_format(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=["table", "csv", "jsonl"], default="table", help="output format")

    def add_space(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--space",
            metavar="NAME|FILE",
            help=f"the space: a bundled space's name or a .toml or .json file (default: ${SPACE_VARIABLE}, "
            "else the fixed space of faults, security and data)",
        )

    sub = commands.add_parser("vectors", help="the vector and dominant axis of each line")
    add_input(sub)
    add_format(sub)
    add_space(sub)
    sub.add_argument(
        "-n", "--line-number", action="store_true", help="show where each line came from (LINE, or FILE:LINE)"
    )
    sub.set_defaults(run=command_vectors)

    sub = commands.add_parser(
        "similar",
        help="the lines most similar to a query",
        description="The k lines most similar to QUERY, best first, with where they came from. "
        "Lines that score 0 are never listed. Among lines of equal score, those holding more of the "
        "query's words (runs of letters, digits and _, compared lower-cased) come first, then input order. "
        "The lines are ranked when the input ends: on a stream (tail -f), Ctrl-C ends the input, and the "
        "best lines so far are printed.",
    )
    sub.add_argument("query", metavar="QUERY", help="the query text")
    add_input(sub)
    add_format(sub)
    add_space(sub)
    sub.add_argument("-k", type=_count, default=DEFAULT_K, help=f"how many lines (default {DEFAULT_K})")
    sub.add_argument("--no-location", action="store_true", help="leave out where each line came from")
    sub.add_argument(
        "-n", "--line-number", action="store_true", help="accepted as grep takes it: locations are shown anyway"
    )
    sub.add_argument(
        "--min-score",
        type=_score,
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
    sub.set_defaults(run=command_similar)

    sub = commands.add_parser("word", help="word vectors")
    sub.add_argument("words", nargs="+", metavar="WORD")
    add_format(sub)
    add_space(sub)
    sub.add_argument("--explain", action="store_true", help="which keyword gave each word its score, and how")
    sub.set_defaults(run=command_word)

    sub = commands.add_parser(
        "explain",
        help="which token matched which keyword",
        description="Each token of each TEXT that scored, on which axis, by which keyword, how "
        "(prefix or bigrams) and with what score, in token order. start counts code points.",
    )
    sub.add_argument("texts", nargs="+", metavar="TEXT")
    add_format(sub)
    add_space(sub)
    sub.set_defaults(run=command_explain)

    sub = commands.add_parser("space", help="show a space, or check a space file")
    sub.intermixed = False  # its actions take the options anywhere
    spaces = sub.add_subparsers(dest="space_command", required=True, metavar="ACTION", parser_class=CommandParser)
    show = spaces.add_parser("show", help="a space's axes, thresholds, options and keywords")
    show.add_argument("name", nargs="?", metavar="NAME|FILE", help="the space (default: --space, $NUVRA_SPACE)")
    show.add_argument("--toml", action="store_true", help="write it as a space file")
    add_space(show)
    show.set_defaults(run=command_space_show)
    check = spaces.add_parser("check", help="check a space file: exit 0, or 2 with every problem found")
    check.add_argument("file", metavar="FILE")
    check.set_defaults(run=command_space_check, space=None)

    sub = commands.add_parser("plot", help="a picture of the lines in the semantic space")
    add_input(sub)
    add_space(sub)
    sub.add_argument("-o", "--output", required=True, help="the image to write (.png, .svg, .pdf, ...)")
    sub.set_defaults(run=command_plot, format="table")
    return top


def main(argv: Iterable[str] | None = None) -> int:
    failures: list[int] = []
    try:
        args = parser().parse_args(None if argv is None else list(argv))
        args.failures = failures  # the exit code of each input that failed
        if args.run is not command_space_check:
            args.space_object = load_space(args.space, check_columns=args.run is not command_space_show)
        args.run(args)
        if sys.stdout is not None:
            try:
                sys.stdout.flush()
            except BrokenPipeError:
                raise
            except OSError as e:
                raise write_failed(e) from None
    except UserError as e:
        if e.code == EXIT_OUTPUT:
            discard_output()
        say(str(e))
        if e.code == EXIT_NOTHING and failures:
            # Nothing selected from the inputs that were read: the failed ones say more.
            return exit_code_for_failed_inputs(failures, _input_count(args))
        return e.code
    except BrokenPipeError:
        # The reader went away (nuvra ... | head): not an error of ours.
        discard_output()
        return EXIT_OK
    except KeyboardInterrupt:
        return 130
    if failures:
        return exit_code_for_failed_inputs(failures, _input_count(args))
    return EXIT_OK


def _input_count(args: argparse.Namespace) -> int:
    return max(len(getattr(args, "files", None) or []), 1)


def run() -> NoReturn:
    sys.exit(main())
