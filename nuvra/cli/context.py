"""What a command runs with: its space (load_space) and, for the commands that read lines, Run:
their inputs read in blocks, with progress, and where each line came from."""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterator, Sequence

from nuvra.cli.errors import EXIT_USAGE, UserError
from nuvra.cli.inputs import (
    LINES,
    Block,
    Source,
    Undecodable,
    blocks_of,
    check_encoding,
    check_source,
    choose_sources,
    opened,
)
from nuvra.cli.output import Output
from nuvra.cli.progress import Progress
from nuvra.cli.terminal import escape_for_terminal, say, standard_output
from nuvra.space import Space, SpaceError

__all__ = ["RESERVED_COLUMNS", "SPACE_VARIABLE", "Run", "load_space", "title_of"]

SPACE_VARIABLE = "NUVRA_SPACE"
# Columns of the output that an axis may not be named after.
RESERVED_COLUMNS = frozenset({"axis", "file", "line", "where", "score", "text", "word"})


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
        if args.errors is None:
            # replace, unless the codec can only stop at what it cannot decode (idna)
            try:
                check_encoding(args.encoding, "replace")
                args.errors = "replace"
            except UserError:
                args.errors = "strict"
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

    def blocks(self, scored: str | None = LINES) -> Iterator[Block]:
        """The blocks of every input in turn; scored, as blocks_of takes it: what their vectors are of."""
        try:
            for source in self.sources:
                undecodable_bytes = Undecodable()
                try:
                    with opened(source) as (stream, raw):
                        position = _position(raw)
                        for block in blocks_of(
                            source,
                            stream,
                            self.encoding,
                            self.args.errors,
                            self.args.workers,
                            self.space,
                            undecodable_bytes,
                            scored,
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
                if undecodable_bytes.bytes:
                    with self.progress.aside():
                        say(undecodable_bytes.message(escape_for_terminal(source.name), self.args.errors))
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

    def output(self, columns: Sequence[str], every_input: bool = False) -> Output:
        """every_input: the table's where column sized for the names of every input from the start,
        for rows written as the inputs are read."""
        places = [s.name for s in self.sources] if every_input and self.several else []
        return Output(self.args.format, columns, standard_output(), self.progress.around_write, self.space.axes, places)


def _position(raw: object) -> int | None:
    try:
        return raw.tell()  # type: ignore[attr-defined,no-any-return]
    except (OSError, AttributeError, ValueError):
        return None


def title_of(sources: Sequence[Source]) -> str:
    names = [s.name for s in sources]
    return names[0] if len(names) == 1 else f"{names[0]} and {len(names) - 1} more"
