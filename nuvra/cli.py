"""The nuvra command: semantic vectors of log lines, words and texts.

    nuvra vectors [FILE ...]            x, y, z and the dominant axis of each line
    nuvra similar QUERY [FILE ...] -k N the N lines most similar to QUERY
    nuvra word WORD ...                 word vectors
    nuvra plot [FILE ...] -o out.png    the lines in the semantic space (needs matplotlib)

FILE may be "-" for standard input; with no FILE a bundled sample log is read.
"""

from __future__ import annotations

import argparse
import codecs
import csv
import heapq
import json
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import IO, NoReturn, TextIO

from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c

AXES = ("fault", "security", "data")

# Exit codes, one per kind of failure.
EXIT_OK = 0
EXIT_USAGE = 2
EXIT_MISSING_FILE = 3
EXIT_UNREADABLE_FILE = 4
EXIT_UNDECODABLE = 5
EXIT_MISSING_EXTRA = 6


class UserError(Exception):
    """A mistake of the caller's: reported in one line, with its exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def dominant_axis(vector: Sequence[float]) -> str:
    """The axis of the largest component, X before Y before Z on ties; "none" for zero."""
    best = max(range(3), key=lambda i: (vector[i], -i))
    return AXES[best] if vector[best] > 0.0 else "none"


@dataclass(frozen=True)
class Source:
    name: str  # as the user gave it, "-" for standard input, "<sample>" for the bundled log
    path: str | None


def sources(files: Sequence[str]) -> list[Source]:
    if not files:
        return [Source("<sample>", None)]
    return [Source(f, None if f == "-" else f) for f in files]


class Progress:
    """A one-line progress bar on standard error, drawn only for a terminal."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.stream, self.done, self.shown = total, stream, 0, -1
        self.active = total > 1 << 20 and stream.isatty()

    def advance(self, amount: int) -> None:
        if not self.active:
            return
        self.done += amount
        percent = min(100, self.done * 100 // self.total)
        if percent != self.shown:
            self.shown = percent
            bar = "#" * (percent // 4)
            self.stream.write(f"\r[{bar:<25}] {percent:3d}%")
            self.stream.flush()

    def close(self) -> None:
        if self.active:
            self.stream.write("\r" + " " * 32 + "\r")
            self.stream.flush()


def open_source(source: Source) -> IO[bytes]:
    if source.path is None and source.name == "<sample>":
        return resources.files("nuvra").joinpath("data/sample.log").open("rb")
    if source.path is None:
        return os.fdopen(os.dup(sys.stdin.fileno()), "rb")
    try:
        return open(source.path, "rb")
    except FileNotFoundError:
        raise UserError(f"nuvra: {source.name}: no such file", EXIT_MISSING_FILE) from None
    except IsADirectoryError:
        raise UserError(f"nuvra: {source.name}: is a directory", EXIT_UNREADABLE_FILE) from None
    except PermissionError:
        raise UserError(f"nuvra: {source.name}: permission denied", EXIT_UNREADABLE_FILE) from None
    except OSError as e:
        raise UserError(f"nuvra: {source.name}: cannot read: {e.strerror}", EXIT_UNREADABLE_FILE) from None


def decoded_lines(source: Source, stream: IO[bytes], encoding: str, errors: str) -> Iterator[str]:
    """The lines of a byte stream, decoded one at a time, without line ends."""
    decoder = codecs.getincrementaldecoder(encoding)(errors)
    number, pending = 0, ""
    try:
        for raw in stream:
            pending += decoder.decode(raw)
            *complete, pending = pending.split("\n")
            for line in complete:
                number += 1
                yield line.removesuffix("\r")
        pending += decoder.decode(b"", final=True)
    except UnicodeDecodeError as e:
        raise UserError(
            f"nuvra: {source.name}: line {number + 1}: cannot decode as {encoding} ({e.reason});"
            " try --encoding or --errors replace",
            EXIT_UNDECODABLE,
        ) from None
    except OSError as e:
        raise UserError(f"nuvra: {source.name}: cannot read: {e.strerror}", EXIT_UNREADABLE_FILE) from None
    if pending:
        yield pending.removesuffix("\r")


def read_lines(files: Sequence[str], encoding: str, errors: str) -> Iterator[str]:
    """The lines of all inputs, one at a time: memory does not grow with the input."""
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise UserError(f"nuvra: unknown encoding {encoding!r}", EXIT_USAGE) from None
    all_sources = sources(files)
    sizes = [os.path.getsize(s.path) if s.path and os.path.isfile(s.path) else 0 for s in all_sources]
    progress = Progress(sum(sizes), sys.stderr)
    try:
        for source in all_sources:
            with open_source(source) as stream:
                for line in decoded_lines(source, stream, encoding, errors):
                    progress.advance(len(line) + 1)
                    yield line
    finally:
        progress.close()


class Writer:
    """Rows in one of the output formats: an aligned table, CSV or JSON lines."""

    def __init__(self, fmt: str, columns: Sequence[str], stream: TextIO) -> None:
        self.fmt, self.columns, self.stream = fmt, list(columns), stream
        self.csv = csv.writer(stream, lineterminator="\n") if fmt == "csv" else None
        if self.csv:
            self.csv.writerow(self.columns)
        elif fmt == "table":
            stream.write(" ".join(f"{c:>8}" if c in ("x", "y", "z", "score") else f"{c:<8}" for c in columns).rstrip())
            stream.write("\n")

    def row(self, values: Sequence[object]) -> None:
        if self.fmt == "jsonl":
            self.stream.write(json.dumps(dict(zip(self.columns, values, strict=True)), ensure_ascii=False) + "\n")
        elif self.csv:
            self.csv.writerow([repr(v) if isinstance(v, float) else v for v in values])
        else:
            cells = [f"{v:8.4f}" if isinstance(v, float) else f"{v:<8}" for v in values]
            self.stream.write(" ".join(cells).rstrip() + "\n")


def command_vectors(args: argparse.Namespace) -> None:
    out = Writer(args.format, ["x", "y", "z", "axis", "text"], sys.stdout)
    for line in read_lines(args.files, args.encoding, args.errors):
        vector = vectorize_text_c(line)
        out.row([*vector, dominant_axis(vector), line])


def command_similar(args: argparse.Namespace) -> None:
    if args.k < 1:
        raise UserError("nuvra: -k must be at least 1", EXIT_USAGE)
    query = vectorize_text_c(args.query)
    best: list[tuple[float, int, str]] = []  # a heap of the k best so far
    for order, line in enumerate(read_lines(args.files, args.encoding, args.errors)):
        item = (cosine_similarity_c(query, vectorize_text_c(line)), -order, line)
        if len(best) < args.k:
            heapq.heappush(best, item)
        elif item > best[0]:
            heapq.heapreplace(best, item)
    out = Writer(args.format, ["score", "text"], sys.stdout)
    for score, _, line in sorted(best, reverse=True):
        out.row([score, line])


def command_word(args: argparse.Namespace) -> None:
    out = Writer(args.format, ["x", "y", "z", "axis", "word"], sys.stdout)
    for word in args.words:
        vector = get_semantic_vector_c(word)
        out.row([*vector, dominant_axis(vector), word])


def command_plot(args: argparse.Namespace) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError("nuvra: plot needs matplotlib: pip install 'nuvra-semv[plot]'", EXIT_MISSING_EXTRA) from None
    points: dict[str, list[list[float]]] = {axis: [] for axis in (*AXES, "none")}
    for line in read_lines(args.files, args.encoding, args.errors):
        vector = vectorize_text_c(line)
        points[dominant_axis(vector)].append(vector)
    colours = {"fault": "tab:red", "security": "tab:blue", "data": "tab:green", "none": "tab:gray"}
    names = ("x (faults)", "y (security)", "z (data)")
    figure, panes = plt.subplots(1, 3, figsize=(13, 4.4))
    for pane, (i, j) in zip(panes, ((0, 1), (0, 2), (1, 2)), strict=True):
        for axis, vectors in points.items():
            if vectors:
                pane.scatter([v[i] for v in vectors], [v[j] for v in vectors], s=12, alpha=0.6,
                             color=colours[axis], label=f"{axis} ({len(vectors)})")  # fmt: skip
        pane.set_xlabel(names[i])
        pane.set_ylabel(names[j])
        pane.set_xlim(-0.05, 1.05)
        pane.set_ylim(-0.05, 1.05)
        pane.set_aspect("equal")
    panes[0].legend(loc="upper right", fontsize="small")
    figure.suptitle("texts in the semantic space, by dominant axis")
    figure.tight_layout()
    try:
        figure.savefig(args.output, dpi=110, bbox_inches="tight")
    except OSError as e:
        raise UserError(f"nuvra: {args.output}: cannot write: {e.strerror}", EXIT_UNREADABLE_FILE) from None
    finally:
        plt.close(figure)
    print(f"wrote {args.output}", file=sys.stderr)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="nuvra",
        description="Place log lines, messages and words in a semantic space of faults (x), "
        "security (y) and data (z), and compare them.",
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_input(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("files", nargs="*", metavar="FILE", help="text files, one text per line; - for stdin")
        sub.add_argument("--encoding", default="utf-8", help="of the input (default utf-8)")
        sub.add_argument("--errors", default="strict", choices=["strict", "replace", "ignore", "surrogateescape"],
                         help="what to do with undecodable bytes (default strict: stop)")  # fmt: skip

    def add_format(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=["table", "csv", "jsonl"], default="table", help="output format")

    sub = commands.add_parser("vectors", help="the vector and dominant axis of each line")
    add_input(sub)
    add_format(sub)
    sub.set_defaults(run=command_vectors)

    sub = commands.add_parser("similar", help="the lines most similar to a query")
    sub.add_argument("query", metavar="QUERY", help="the query text")
    add_input(sub)
    add_format(sub)
    sub.add_argument("-k", type=int, default=5, help="how many lines (default 5)")
    sub.set_defaults(run=command_similar)

    sub = commands.add_parser("word", help="word vectors")
    sub.add_argument("words", nargs="+", metavar="WORD")
    add_format(sub)
    sub.set_defaults(run=command_word)

    sub = commands.add_parser("plot", help="a picture of the lines in the semantic space")
    add_input(sub)
    sub.add_argument("-o", "--output", required=True, help="the PNG file to write")
    sub.set_defaults(run=command_plot)
    return top


def main(argv: Iterable[str] | None = None) -> int:
    args = parser().parse_args(None if argv is None else list(argv))
    try:
        args.run(args)
        sys.stdout.flush()
    except UserError as e:
        print(e, file=sys.stderr)
        return e.code
    except BrokenPipeError:
        # The reader went away (nuvra ... | head): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except KeyboardInterrupt:
        return 130
    return EXIT_OK


def run() -> NoReturn:
    sys.exit(main())
