"""nuvra groups: the kinds of lines of a log, most frequent first, each with its count, share,
dominant axis, template and first line; --baseline marks the kinds an older log does not hold.

Every block's native column goes to one nuvra._batch.Grouper, which keeps a count per key:
no Python object per line, and memory that grows with the kinds, not with the lines."""

from __future__ import annotations

import argparse
import bisect
import re
import sys
import time
from array import array
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

from nuvra import _batch, _lines
from nuvra.cli import arguments
from nuvra.cli.arguments import CommandParser, add_format, add_input, add_space
from nuvra.cli.axes import dominant_axes
from nuvra.cli.context import Run
from nuvra.cli.errors import EXIT_NOTHING, EXIT_USAGE, UserError
from nuvra.cli.inputs import Block
from nuvra.cli.terminal import escape_for_terminal, say, standard_output

if TYPE_CHECKING:
    import numpy as np

    from nuvra.space import Space

__all__ = ["TERMINAL_K", "Counting", "add_parser", "kind_of", "message_part", "run", "similar_kinds"]

# The kinds a table on a terminal shows unless -k says otherwise: a screenful.
TERMINAL_K = 20
# This many different tokens at one place, the rest of the keys alike, make the place variable.
MIN_VALUES = 3
VARIABLE = "<*>"


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser(
        "groups",
        help="the kinds of lines of a log, most frequent first",
        description="The kinds of lines of the inputs, most frequent first: lines of one kind differ only in "
        "their variable parts (times, numbers, addresses, paths, ids), which the template writes as <*>. The "
        "header in front of each line (date, level, host, program) is left out as its shape shows, or as "
        "--header says. Each kind has its count, its share of the lines, the dominant axis of its template "
        "in the space (none when no keyword matches), the template, and where it first occurs. Totals go to "
        "standard error: lines, kinds, lines by dominant axis, lines per second. Exit 1 when no kind is "
        "listed (an empty input; nothing new under --new).",
    )
    add_input(sub)
    add_format(sub)
    add_space(sub)
    add_header(sub)
    sub.add_argument(
        "-k",
        type=arguments.line_count,
        default=None,
        metavar="N",
        help=f"show the N most frequent kinds; 0 shows every kind (default: {TERMINAL_K} in a table on a "
        "terminal, every kind otherwise)",
    )
    sub.add_argument(
        "--axis",
        metavar="AXIS",
        help="keep the kinds whose dominant axis is AXIS (an axis of the space, or none)",
    )
    sub.add_argument(
        "--baseline",
        action="append",
        default=[],
        metavar="OLD",
        help="an older log to compare with, once per file (--baseline a.log --baseline b.log): a column 'new' "
        "says yes for the kinds the baseline does not hold. Both are grouped together, so that a kind of the "
        "baseline and a kind of the inputs that differ only in variable parts are one kind",
    )
    sub.add_argument("--new", action="store_true", help="with --baseline: only the kinds the baseline does not hold")
    sub.set_defaults(run=run)


def add_header(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--header",
        metavar="REGEX",
        help="a regular expression whose match at the start of a line is its header, for a format whose "
        "header is not recognised ('' groups whole lines); the default recognises headers by their shape",
    )


def message_part(text: str, pattern: re.Pattern[str] | None = None) -> str:
    """What follows the header of a line (pattern's match, else the header its shape shows), as
    _batch.message_column cuts its rows: the whole line where nothing but blanks follows."""
    m = pattern.match(text) if pattern is not None else None
    rest = text[m.end() if m else 0 :] if pattern is not None else text[_batch.message_start(text.removesuffix("\r")) :]
    return rest if rest.strip(" \t\v\f\r") else text


def header_pattern(text: str | None) -> re.Pattern[str] | None:
    if text is None:
        return None
    try:
        return re.compile(text)
    except re.error as e:
        raise UserError(
            f"nuvra: --header {escape_for_terminal(text)!r} is not a regular expression: {e}", EXIT_USAGE
        ) from None


class Counting:
    """One Grouper fed with the blocks of inputs, in line order, and where each block starts: a
    kind's first line, an index over every line added, is told back as its file and line.
    per_key: the lines of each key are counted here too (ids of every block), for counts of a
    part of the input (the inputs after a baseline)."""

    def __init__(self, workers: int, pattern: re.Pattern[str] | None) -> None:
        self.grouper = _batch.Grouper()
        self.threads = _lines.thread_count(workers)
        self.pattern = pattern
        self.index = 0  # lines added
        self.starts: list[int] = []  # the index of each block's first line, and its file and line
        self.places: list[tuple[str, int]] = []
        self.key_lines: array[int] = array("q")  # per key, with per_key: lines counted, and the first
        self.key_first: array[int] = array("q")

    def column(self, block: Block) -> tuple[_batch.Column, bool]:
        """The block's column, and whether the grouper leaves out the header that each line's shape shows."""
        if self.pattern is None:
            assert block.column is not None
            return block.column, True
        match = self.pattern.match
        messages = []
        for text in block.texts():
            m = match(text)
            messages.append(text[m.end() :] if m else text)
        return _lines.text_column(messages), False

    def add(self, blocks: Iterable[Block], per_key: bool = False) -> None:
        import numpy as np

        for block in blocks:
            column, auto = self.column(block)
            self.starts.append(self.index)
            self.places.append((block.source.name, block.first_line))
            ids = np.empty(len(column), dtype=np.int32) if per_key else None
            self.grouper.add(column, self.threads, auto, self.index, ids)
            if ids is not None:
                self._count(ids)
            self.index += len(column)

    def _count(self, ids: np.ndarray) -> None:
        import numpy as np

        grown = self.grouper.key_count - len(self.key_lines)
        if grown:
            self.key_lines.extend(array("q", [0]) * grown)
            self.key_first.extend(array("q", [-1]) * grown)
        keyed = ids[ids >= 0]
        if not len(keyed):
            return
        lines = np.frombuffer(self.key_lines, dtype=np.int64)
        first = np.frombuffer(self.key_first, dtype=np.int64)
        lines += np.bincount(keyed, minlength=len(lines))
        seen, at = np.unique(ids, return_index=True)
        at, seen = at[seen >= 0], seen[seen >= 0]
        fresh = first[seen] < 0
        first[seen[fresh]] = self.index + at[fresh]

    def where(self, index: int) -> tuple[str, int]:
        """The file and line of the line of this index."""
        b = bisect.bisect_right(self.starts, index) - 1
        name, line = self.places[b]
        return name, line + index - self.starts[b]

    def key(self, text: str) -> str | None:
        """The key of a text as the grouper makes it."""
        if self.pattern is not None:
            m = self.pattern.match(text)
            text = text[m.end() :] if m else text
        return self.grouper.keys(_lines.text_column([text]), 1, self.pattern is None)[0]


def template_vectors(templates: Sequence[str], space: Space, threads: int) -> array[float]:
    """Each template's vector in the space, k components per template in turn: space.text_vector
    of it, its variable parts read as spaces."""
    return _lines.text_vectors([t.replace(VARIABLE, " ") for t in templates], threads, space._native)


def kind_of(key: str | None, templates: Sequence[str], kinds: dict[str, int]) -> int:
    """The kind of a key: the one holding the key, else the first template it matches (its tokens
    each equal, or <*> in the template); -1 for none."""
    if key is None:
        return -1
    if key in kinds:
        return kinds[key]
    tokens = key.split(" ")
    for i, template in enumerate(templates):
        parts = template.split(" ")
        if len(parts) == len(tokens) and all(p == VARIABLE or p == t for p, t in zip(parts, tokens, strict=True)):
            return i
    return -1


def run(args: argparse.Namespace) -> None:
    import numpy as np

    standard_output()
    if args.new and not args.baseline:
        raise UserError("nuvra: --new needs --baseline OLD: new against what?", EXIT_USAGE)
    space: Space = args.space_object
    names = [*space.axes, "none"]
    if args.axis is not None and args.axis not in names:
        raise UserError(
            f"nuvra: --axis {escape_for_terminal(args.axis)!r}: the axes are {', '.join(names)}", EXIT_USAGE
        )
    counting = Counting(args.workers, header_pattern(args.header))
    started = time.perf_counter()
    baseline_keys = 0
    if args.baseline:
        old = argparse.Namespace(**{**vars(args), "files": args.baseline, "sample": False})
        counting.add(Run(old).blocks(None))
        baseline_keys = counting.grouper.key_count
    baseline_lines, baseline_unkeyed = counting.index, counting.grouper.unkeyed
    reading = Run(args)
    interrupted = False
    try:
        counting.add(reading.blocks(None), per_key=bool(args.baseline))
    except KeyboardInterrupt:
        # Ctrl-C ends a stream that has no end (tail -f ... | nuvra groups): the kinds so far are listed.
        interrupted = True
    seconds = time.perf_counter() - started
    grouper = counting.grouper
    lines = counting.index - baseline_lines
    unkeyed = grouper.unkeyed - baseline_unkeyed
    texts, counts_list, firsts_list, of_key_list = grouper.templates(MIN_VALUES)
    counts = np.array(counts_list, dtype=np.int64)
    firsts = np.array(firsts_list, dtype=np.int64)
    new = np.ones(len(texts), dtype=bool)
    if args.baseline:
        of_key = np.array(of_key_list, dtype=np.int64)
        counting._count(np.empty(0, dtype=np.int32))  # every key counted, if only 0 times
        key_lines = np.frombuffer(counting.key_lines, dtype=np.int64)
        key_first = np.frombuffer(counting.key_first, dtype=np.int64)
        counts = np.bincount(of_key, weights=key_lines, minlength=len(texts)).astype(np.int64)
        firsts = np.full(len(texts), np.iinfo(np.int64).max, dtype=np.int64)
        np.minimum.at(firsts, of_key[key_first >= 0], key_first[key_first >= 0])
        new[of_key[:baseline_keys]] = False
    kept = np.flatnonzero(counts > 0)
    kept = kept[np.lexsort((firsts[kept], -counts[kept]))]
    chosen = [texts[i] for i in kept]
    axes = dominant_axes(_lines.matrix(template_vectors(chosen, space, counting.threads), space.k), space.axes)
    by_axis = dict.fromkeys(names, 0)
    for axis, n in zip(axes, counts[kept].tolist(), strict=True):
        by_axis[axis] += n
    rows = [
        r
        for r, i in enumerate(kept.tolist())
        if (args.axis is None or axes[r] == args.axis) and (not args.new or new[i])
    ]
    k = args.k
    if k is None:
        k = TERMINAL_K if args.format == "table" and sys.stdout.isatty() else 0
    shown = rows[:k] if k else rows
    if shown:
        write(args, reading, counting, shown, kept, chosen, axes, counts, firsts, new, lines)
    rate = f"{lines / seconds:,.0f}" if seconds > 0 else "-"
    listed = f"{len(rows):,}" if len(rows) == len(kept) else f"{len(rows):,} listed of {len(kept):,}"
    summary = (
        f"nuvra: {lines:,} lines, {listed} kinds ({len(shown):,} shown); lines by dominant axis: "
        + ", ".join(f"{escape_for_terminal(a)} {n:,}" for a, n in by_axis.items())
        + f"; {rate} lines/s"
    )
    if args.baseline:
        fresh = int(new[kept].sum())
        summary += f"; {fresh:,} kinds new against the baseline of {baseline_lines:,} lines"
    say(summary)
    if unkeyed:
        say(
            f"nuvra: {unkeyed:,} lines counted apart, in no kind: the grouper held its most keys "
            f"({grouper.key_count:,}); lines this varied have little structure to group"
        )
    if len(shown) < len(rows):
        say(f"nuvra: the {len(shown):,} most frequent kinds of {len(rows):,} shown (-k 0 shows every kind)")
    if interrupted:
        raise KeyboardInterrupt
    if not shown:
        raise UserError("nuvra: no kind to list", EXIT_NOTHING)


def write(
    args: argparse.Namespace,
    reading: Run,
    counting: Counting,
    rows: list[int],
    kept: np.ndarray,
    templates: list[str],
    axes: list[str],
    counts: np.ndarray,
    firsts: np.ndarray,
    new: np.ndarray,
    lines: int,
) -> None:
    where = reading.location_columns()
    columns = ["count", "share", "axis", *(["new"] if args.baseline else []), *where, "template"]
    kinds = [int(kept[r]) for r in rows]
    numbers = [int(counts[i]) for i in kinds]
    values: dict[str, list[object]] = {
        # A table's counts are aligned to the right, as numbers are.
        "count": [f"{n:>{max(5, len(str(numbers[0])))}}" for n in numbers] if args.format == "table" else numbers,  # type: ignore[dict-item]
        "share": [n / lines for n in numbers],
        "axis": [axes[r] for r in rows],
        "template": [templates[r] for r in rows],
    }
    if args.baseline:
        values["new"] = ["yes" if new[i] else "no" for i in kinds]
    places = [counting.where(int(firsts[i])) for i in kinds]
    if where == ["where"]:
        values["where"] = [f"{name}:{line}" for name, line in places]
    else:
        values["line"] = [line for _, line in places]
        if "file" in where:
            values["file"] = [name for name, _ in places]
    out = reading.output(columns)
    out.numbers = out.numbers | {"share"}
    out.number_widths["share"] = 8
    out.widths["axis"] = max(8, *(len(escape_for_terminal(a)) for a in [*reading.space.axes, "none"]))
    out.write_block(values)


def similar_kinds(args: argparse.Namespace, reading: Run) -> None:
    """nuvra similar --groups: the kinds of the inputs' lines most similar to the query, best first;
    the kind the query is a line of, if any, first of all."""
    from nuvra._words import matcher, shared, words_of

    space = reading.space
    counting = Counting(args.workers, header_pattern(args.header))
    query_text = args.query
    if not args.whole_line:
        query_text = message_part(query_text, counting.pattern)
    query = space.text_vector(query_text)
    if not any(query):
        raise UserError(
            f"nuvra: the query {args.query!r} matches no keyword, so every kind would score 0", EXIT_NOTHING
        )
    interrupted = False
    try:
        counting.add(reading.blocks(None))
    except KeyboardInterrupt:
        interrupted = True
    grouper = counting.grouper
    texts, counts, firsts, of_key = grouper.templates(MIN_VALUES)
    scores = _lines.zeros(len(texts))
    _batch.cosines(template_vectors(texts, space, counting.threads), array("d", query), scores)
    own = kind_of(counting.key(args.query), texts, dict(zip(grouper.held(), of_key, strict=True)))
    fold = space.fold is not None
    words = words_of(args.query, fold) if args.ties == "words" else frozenset()
    pattern = matcher(words)
    floor = args.min_score
    chosen = [i for i, score in enumerate(scores) if i == own or (score > 0.0 and score >= floor)]
    held = {i: shared(texts[i], words, fold, pattern) if words else 0 for i in chosen}
    chosen.sort(key=lambda i: (i != own, -scores[i], -held[i], -counts[i], firsts[i]))
    best = chosen[: args.k]
    positive = sum(1 for score in scores if score > 0.0)
    above = f"nuvra: {positive:,} of {len(texts):,} kinds ({grouper.lines:,} lines) scored above 0"
    if not best:
        if interrupted:
            raise KeyboardInterrupt
        raise UserError(f"{above}: no kind is similar", EXIT_NOTHING)
    where = reading.location_columns() if not args.no_location else []
    columns = [*where, "score", "count", "template"]
    numbers = [counts[i] for i in best]
    values: dict[str, list[object]] = {
        "score": [scores[i] for i in best],
        "count": [f"{n:>{max(5, len(str(max(numbers))))}}" for n in numbers] if args.format == "table" else numbers,  # type: ignore[dict-item]
        "template": [texts[i] for i in best],
    }
    places = [counting.where(firsts[i]) for i in best]
    if where == ["where"]:
        values["where"] = [f"{name}:{line}" for name, line in places]
    elif where:
        values["line"] = [line for _, line in places]
        if "file" in where:
            values["file"] = [name for name, _ in places]
    reading.output(columns).write_block(values)
    mine = "; the query is a line of the first kind" if best[0] == own else ""
    say(f"{above}; {len(best):,} shown{mine}")
    if interrupted:
        raise KeyboardInterrupt
