"""Where the command's lines come from, and how they are read: files (plain or
compressed), standard input or the bundled sample, in large blocks of whole
lines, each scored at once by the batch engine."""

from __future__ import annotations

import codecs
import importlib
import os
import stat
import sys
from array import array
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any

from nuvra import _batch, _lines
from nuvra._words import matcher, shared
from nuvra.cli.errors import EXIT_UNDECODABLE, EXIT_UNREADABLE_FILE, EXIT_USAGE, UserError, missing_file, unreadable
from nuvra.cli.terminal import say

if TYPE_CHECKING:
    import numpy as np

    from nuvra.space import Space

SAMPLE = "<sample>"
STDIN = "-"
# Bytes read at a time: large enough that the batch engine's threads have work,
# small enough that memory stays flat.
BLOCK_BYTES = 8 << 20
# What the vectors of a block are of (blocks_of's scored).
LINES = "lines"
MESSAGES = "messages"

# Compressed files are recognised by their first bytes, whatever their name; each
# module is imported only for a file that needs it (they take a while to import).
COMPRESSIONS: tuple[tuple[bytes, str, Callable[[Any, IO[bytes]], Any]], ...] = (
    (b"\x1f\x8b", "gzip", lambda gzip, f: gzip.GzipFile(fileobj=f)),
    (b"\xfd7zXZ\x00", "lzma", lambda lzma, f: lzma.LZMAFile(f)),
    (b"BZh", "bz2", lambda bz2, f: bz2.BZ2File(f)),
)


def decompression_errors() -> tuple[type[Exception], ...]:
    """What a broken compressed file raises, from the modules in use."""
    errors: list[type[Exception]] = [EOFError]
    for name, error in (("gzip", "BadGzipFile"), ("lzma", "LZMAError"), ("zlib", "error")):
        if name in sys.modules:
            errors.append(getattr(sys.modules[name], error))
    return tuple(errors)


class Source:
    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name  # as the user gave it; "-" for standard input, "<sample>" for the bundled log

    @property
    def is_file(self) -> bool:
        return self.name not in (SAMPLE, STDIN)

    def size(self) -> int | None:
        """Bytes to read, when they are known in advance (a regular file)."""
        if not self.is_file:
            return None
        try:
            return os.stat(self.name).st_size if os.path.isfile(self.name) else None
        except OSError:
            return None


def sample_path() -> str:
    from importlib import resources

    return str(resources.files("nuvra").joinpath("data/sample.log"))


def choose_sources(files: Sequence[str], use_sample: bool) -> list[Source]:
    """The inputs: the files given; else standard input, unless it is a terminal, where the bundled sample is read."""
    if use_sample:
        if files:
            raise UserError("nuvra: --sample reads the bundled sample log alone; leave out FILE", EXIT_USAGE)
        return [Source(SAMPLE)]
    if files:
        return [Source(f) for f in files]
    if sys.stdin is None or sys.stdin.isatty():
        say(f"nuvra: no FILE and standard input is a terminal: reading the bundled sample log ({sample_path()})")
        return [Source(SAMPLE)]
    return [Source(STDIN)]


def check_encoding(encoding: str, errors: str) -> str:
    """The codec's name, if it decodes bytes to text; a UserError (exit 2) otherwise, before any output."""
    try:
        info = codecs.lookup(encoding)
    except LookupError:
        raise UserError(f"nuvra: unknown encoding {encoding!r}", EXIT_USAGE) from None
    if not getattr(info, "_is_text_encoding", True):
        raise UserError(
            f"nuvra: {encoding!r} is not a text encoding (it turns bytes into bytes, or text into text)", EXIT_USAGE
        )
    try:
        b"a\n".decode(info.name, errors)
    except UnicodeDecodeError:
        pass  # a real text encoding that these bytes do not suit
    except (UnicodeError, LookupError, TypeError) as e:
        raise UserError(f"nuvra: {encoding!r} cannot decode a file ({e})", EXIT_USAGE) from None
    return info.name


def check_readable(sources: Sequence[Source]) -> None:
    """Every file exists and can be opened: checked before any output. Only a regular file is
    opened to be checked: opening a FIFO, a socket or a device may consume it (a FIFO's writer
    dies of SIGPIPE when its reader closes, and a second open waits for a writer that is gone),
    so those are checked with stat and access alone, and opened once, when they are read."""
    for source in sources:
        check_source(source)


def check_source(source: Source) -> None:
    """What check_readable checks, for one source: a UserError (exit 3 or 4) if it cannot be read."""
    if not source.is_file:
        return
    try:
        mode = os.stat(source.name).st_mode
    except FileNotFoundError:
        raise missing_file(source.name) from None
    except OSError as e:
        raise unreadable(source.name, e) from None
    if stat.S_ISREG(mode) or stat.S_ISDIR(mode):
        with open_file(source):
            pass
    elif not os.access(source.name, os.R_OK):
        raise UserError(f"nuvra: {source.name}: permission denied", EXIT_UNREADABLE_FILE)


@contextmanager
def open_file(source: Source) -> Iterator[IO[bytes]]:
    try:
        f = open(source.name, "rb")
    except FileNotFoundError:
        raise missing_file(source.name) from None
    except IsADirectoryError:
        raise UserError(f"nuvra: {source.name}: is a directory", EXIT_UNREADABLE_FILE) from None
    except PermissionError:
        raise UserError(f"nuvra: {source.name}: permission denied", EXIT_UNREADABLE_FILE) from None
    except OSError as e:
        raise unreadable(source.name, e) from None
    with f:
        yield f


@contextmanager
def opened(source: Source) -> Iterator[tuple[IO[bytes], IO[bytes]]]:
    """The source's bytes, decompressed, and the raw stream under them (whose position tells progress)."""
    if source.name == SAMPLE:
        with open(sample_path(), "rb") as f:
            yield f, f
        return
    if source.name == STDIN:
        raw = sys.stdin.buffer
        yield decompressed(source, raw), raw
        return
    with open_file(source) as f:
        yield decompressed(source, f), f


def decompressed(source: Source, raw: IO[bytes]) -> IO[bytes]:
    try:
        head = raw.peek(6)[:6] if hasattr(raw, "peek") else b""
    except OSError as e:
        raise unreadable(source.name, e) from None
    for magic, module, reader in COMPRESSIONS:
        if head.startswith(magic):
            return reader(importlib.import_module(module), raw)  # type: ignore[no-any-return]
    return raw


def read_blocks(source: Source, stream: IO[bytes]) -> Iterator[memoryview]:
    """The stream in blocks of whole lines (the last may lack its "\\n"), each read into the
    same buffer: a block holds until the next is read. A line longer than the buffer is
    gathered in a bytearray of its own, which grows in place, and is its block: memory
    stays near the longest line's size, not a multiple of it."""
    buffer = bytearray(BLOCK_BYTES)
    kept = 0  # bytes at the start of the buffer: a line left over from the last read
    long_line = bytearray()  # the start of a line longer than the buffer
    readinto = _reader(stream)
    while True:
        if kept == len(buffer):
            long_line += buffer
            kept = 0
        try:
            count = readinto(memoryview(buffer)[kept:])
        except decompression_errors() as e:
            raise UserError(f"nuvra: {source.name}: cannot decompress: {e}", EXIT_UNREADABLE_FILE) from None
        except OSError as e:
            raise unreadable(source.name, e) from None
        if not count:
            break
        end = kept + count
        cut = buffer.rfind(b"\n", kept, end) + 1
        if cut == 0:
            kept = end
            continue
        if long_line:
            long_line += memoryview(buffer)[:cut]
            block, long_line = long_line, bytearray()  # a new one: the block's views hold the old
            yield memoryview(block)
            del block
        else:
            yield memoryview(buffer)[:cut]
        # What follows the last line ending moves to the front, the buffer's size unchanged
        # (the block's views may still be alive, which forbids a resize).
        buffer[: end - cut] = buffer[cut:end]
        kept = end - cut
    if long_line:
        long_line += memoryview(buffer)[:kept]
        yield memoryview(long_line)
    elif kept:
        yield memoryview(buffer)[:kept]


def _reader(stream: IO[bytes]) -> Callable[[memoryview], int]:
    """How to read into a buffer. A pipe gives what it has (read1), so that lines that arrive
    slowly (tail -f) are not held back for a block; a buffered reader's readinto1 would wait
    to fill a buffer as large as ours."""
    if not hasattr(stream, "read1") or stream.seekable():
        return stream.readinto  # type: ignore[attr-defined,no-any-return]
    read1 = stream.read1

    def readinto(view: memoryview) -> int:
        chunk = read1(len(view))
        view[: len(chunk)] = chunk
        return len(chunk)

    return readinto


class Block:
    """Consecutive lines of one source, and their vectors (the k components of each line in turn).
    Its bytes are those of read_blocks, valid until the next block is read."""

    __slots__ = (
        "column",
        "count",
        "data",
        "encoding",
        "errors",
        "first_line",
        "k",
        "nbytes",
        "source",
        "texts_",
        "vectors",
    )

    def __init__(
        self,
        source: Source,
        first_line: int,  # of the source, counted from 1
        vectors: array[float],
        texts: list[str] | None,
        data: memoryview | None,
        encoding: str,
        errors: str,
        k: int = 3,
        column: _batch.Column | None = None,  # the lines as the batch engine read them, for their words
        count: int | None = None,  # the lines, where no vectors were computed (vectors is empty)
    ) -> None:
        self.source, self.first_line, self.vectors, self.k = source, first_line, vectors, k
        self.count = len(vectors) // k if count is None else count
        self.column = column
        self.texts_ = None if texts is None else [t.removesuffix("\r") for t in texts]
        self.data, self.encoding, self.errors = data, encoding, errors
        # The bytes read for the block (decompressed): what progress counts where the stream
        # cannot tell its position (a pipe).
        self.nbytes = len(data) if data is not None else 0

    def __len__(self) -> int:
        return self.count

    def matrix(self) -> np.ndarray:
        """The vectors as an (n, k) numpy array, without a copy."""
        return _lines.matrix(self.vectors, self.k)

    def texts(self) -> list[str]:
        """The lines as text, each without its "\\r"."""
        if self.texts_ is None:
            assert self.data is not None
            text = str(self.data, self.encoding, self.errors)
            lines = _lines.split_lines(text)
            self.texts_ = [t.removesuffix("\r") for t in lines] if "\r" in text else lines
        return self.texts_

    def texts_or_bytes(self) -> list[str] | memoryview:
        """The lines as their UTF-8 bytes when those are the texts' own (decoded from UTF-8 strictly
        or with surrogateescape, the block not decoded yet), else the texts."""
        if self.texts_ is None and self.data is not None and self.errors in ("strict", "surrogateescape"):
            if codecs.lookup(self.encoding).name == "utf-8":
                return self.data
        return self.texts()

    def lines(self, rows: list[int]) -> list[str]:
        """Lines `rows` (ascending) alone: each decoded from its own bytes when the block has not been decoded."""
        if self.texts_ is not None or self.data is None:
            texts = self.texts()
            return [texts[i] for i in rows]
        data = self.data
        spans = _batch.line_spans(data, rows)
        return [str(data[begin:end], self.encoding, self.errors).removesuffix("\r") for begin, end in spans]

    def shared(self, rows: list[int], words: frozenset[str], fold: bool) -> list[int]:
        """How many of the query's words each of lines `rows` holds, as _words.shared counts them:
        in native code on the block's column, without decoding the lines, where the block has one."""
        if not words:
            return [0] * len(rows)
        # A column of bytes read in place holds no code points to fold (a folding space decodes its lines).
        if self.column is None or (fold and self.texts_ is None):
            pattern = matcher(words)
            return [shared(t, words, fold, pattern) for t in self.lines(rows)]
        return _batch.shared_words(self.column, rows, words, fold)


def undecodable(source: Source, first_line: int, data: memoryview, encoding: str, errors: str) -> UserError:
    """The error for a block that does not decode, naming the line."""
    try:
        str(data, encoding, errors)
        line, reason = first_line, "cannot decode"
    except UnicodeDecodeError as e:
        line, reason = first_line + bytes(data[: e.start]).count(b"\n"), e.reason
    return UserError(
        f"nuvra: {source.name}: line {line}: cannot decode as {encoding} ({reason});"
        " try --encoding or --errors replace",
        EXIT_UNDECODABLE,
    )


class Undecodable:
    """The undecodable bytes of one source read under --errors replace or ignore, and the lines
    holding them (None where the lines were not told apart: an encoding decoded before its lines
    are split)."""

    def __init__(self) -> None:
        self.bytes = 0
        self.lines: int | None = 0

    def count(self, data: memoryview, encoding: str) -> None:
        """Counts the undecodable bytes of a block of whole lines, and the lines holding them."""
        starts: list[int] = []

        def tally(error: UnicodeError) -> tuple[str, int]:
            assert isinstance(error, UnicodeDecodeError)
            starts.append(error.start)
            self.bytes += error.end - error.start
            return "", error.end

        _TALLIES.append(tally)
        try:
            str(data, encoding, "nuvra.tally")
        finally:
            _TALLIES.pop()
        if self.lines is not None:
            raw = bytes(data)
            self.lines += len({raw.count(b"\n", 0, start) for start in starts})

    def counting(self, errors: str) -> str:
        """The name of an error handler that counts into this tally, then does as errors does
        (for a decoder that reads the source whole, whose lines are not told apart)."""
        self.lines = None
        replacement = "\ufffd" if errors == "replace" else ""

        def tally(error: UnicodeError) -> tuple[str, int]:
            assert isinstance(error, UnicodeDecodeError)
            self.bytes += error.end - error.start
            return replacement, error.end

        name = f"nuvra.tally.{id(self)}"
        codecs.register_error(name, tally)
        return name

    def message(self, name: str, errors: str) -> str:
        read = "read as U+FFFD" if errors == "replace" else "dropped"
        counted = f"{self.bytes:,} undecodable byte" + ("" if self.bytes == 1 else "s")
        if self.lines is not None:
            counted = f"{self.lines:,} line" + ("" if self.lines == 1 else "s") + f" held {counted}"
        return f"nuvra: warning: {name}: {counted}, {read} (--errors strict stops at the first)"


# The tally of the block being counted: the handler registered once calls the innermost.
_TALLIES: list[Callable[[UnicodeError], tuple[str, int]]] = []
codecs.register_error("nuvra.tally", lambda error: _TALLIES[-1](error))


def _complete_lines(pending: list[str], text: str) -> list[str]:
    """The lines that text completes, the first one joined with the parts pending before it;
    pending keeps what follows the last line ending."""
    if "\n" not in text:
        if text:
            pending.append(text)
        return []
    complete = text.split("\n")
    pending.append(complete[0])
    complete[0] = "".join(pending)
    pending.clear()
    last = complete.pop()
    if last:
        pending.append(last)
    return complete


def blocks_of(
    source: Source,
    stream: IO[bytes],
    encoding: str,
    errors: str,
    workers: int,
    space: Space,
    undecodable_bytes: Undecodable | None = None,
    scored: str | None = LINES,
) -> Iterator[Block]:
    """The lines of a source in blocks, each vectorised in the space by the batch engine in one call.
    undecodable_bytes, under errors replace or ignore: counts the bytes that did not decode.
    scored: what the vectors are of: LINES (whole), MESSAGES (each line without the header its
    shape shows), or None for no vectors (a block's column and lines alone, and no work spent)."""
    line = 1
    threads = _lines.thread_count(workers)
    native = space._native
    k = space.k

    def block_of(column: _batch.Column, texts: list[str] | None, data: memoryview | None, read_as: str) -> Block:
        if scored is None:
            return Block(source, line, array("d"), texts, data, encoding, read_as, k, column, len(column))
        vectors = _lines.filled(
            _batch.message_column(column, threads) if scored == MESSAGES else column, threads, native
        )
        return Block(source, line, vectors, texts, data, encoding, read_as, k, column)

    check = _lines.line_check(encoding, errors, fold=space._fold)
    counted = undecodable_bytes if errors in ("replace", "ignore") else None
    if check is False:
        # Bytes that are not ASCII-compatible: decoded first, a block at a time. The text of an
        # unfinished line is kept in parts, joined once when its end comes.
        decoder = codecs.getincrementaldecoder(encoding)(errors if counted is None else counted.counting(errors))
        pending: list[str] = []
        nbytes = 0
        for data in read_blocks(source, stream):
            nbytes += len(data)
            try:
                text = decoder.decode(data)
            except UnicodeDecodeError as e:
                raise UserError(
                    f"nuvra: {source.name}: after line {line}: cannot decode as {encoding} ({e.reason});"
                    " try --encoding or --errors replace",
                    EXIT_UNDECODABLE,
                ) from None
            complete = _complete_lines(pending, text)
            if complete:
                block = block_of(_lines.text_column(complete), complete, None, errors)
                block.nbytes, nbytes = nbytes, 0
                yield block
                line += len(complete)
        # A decoder may give text only now, at the end (idna does): its lines are lines too.
        complete = _complete_lines(pending, decoder.decode(b"", final=True))
        if pending:
            complete.append("".join(pending))
        if complete:
            yield block_of(_lines.text_column(complete), complete, None, errors)
        return
    # Counted: each block is read strictly first, in place; one that does not decode is read
    # again under errors and its undecodable bytes counted. A block that decodes is the same
    # read either way, and goes on as read strictly (its bytes are its texts' own).
    strict = _lines.line_check(encoding, "strict", fold=space._fold) if counted is not None else False
    for data in read_blocks(source, stream):
        read_as = errors
        try:
            if strict is False:
                column = _lines.line_column(data, check, encoding, errors)
            else:
                try:
                    column = _lines.line_column(data, strict, encoding, "strict")
                    read_as = "strict"
                except UnicodeDecodeError:
                    assert counted is not None
                    counted.count(data, encoding)
                    column = _lines.line_column(data, check, encoding, errors)
        except UnicodeDecodeError:
            raise undecodable(source, line, data, encoding, errors) from None
        yield block_of(column, None, data, read_as)
        line += len(column)
