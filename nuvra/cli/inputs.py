"""Where the command's lines come from, and how they are read: files (plain or
compressed), standard input or the bundled sample, in large blocks of whole
lines, each scored at once by the batch engine."""

from __future__ import annotations

import codecs
import importlib
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

import nuvra
from nuvra.batch import _line_check
from nuvra.cli.errors import EXIT_UNDECODABLE, EXIT_UNREADABLE_FILE, EXIT_USAGE, UserError, missing_file, unreadable

SAMPLE = "<sample>"
STDIN = "-"
# Bytes read at a time: large enough that the batch engine's threads have work,
# small enough that memory stays flat.
BLOCK_BYTES = 8 << 20

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


@dataclass(frozen=True)
class Source:
    name: str  # as the user gave it; "-" for standard input, "<sample>" for the bundled log

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
        print(
            f"nuvra: no FILE and standard input is a terminal: reading the bundled sample log ({sample_path()})",
            file=sys.stderr,
        )
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
    """Every file exists and can be opened: checked before any output."""
    for source in sources:
        if source.is_file:
            with open_file(source):
                pass


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


def read_blocks(source: Source, stream: IO[bytes]) -> Iterator[bytes | bytearray]:
    """The stream in blocks of whole lines (the last may lack its "\\n"). A pipe gives what it
    has (read1), so that lines that arrive slowly (tail -f) are not held back for a block."""
    pending = b""
    read = stream.read1 if hasattr(stream, "read1") and not stream.seekable() else stream.read
    while True:
        try:
            chunk = read(BLOCK_BYTES)
        except decompression_errors() as e:
            raise UserError(f"nuvra: {source.name}: cannot decompress: {e}", EXIT_UNREADABLE_FILE) from None
        except OSError as e:
            raise unreadable(source.name, e) from None
        if not chunk:
            break
        cut = chunk.rfind(b"\n") + 1
        if cut == 0:
            pending += chunk
            continue
        # The block is the line left over from the last chunk and the whole lines of this
        # one: copied once, then cut short in place.
        block = bytearray(pending)
        block += chunk
        pending = chunk[cut:]
        del block[len(block) - len(pending) :]
        yield block
    if pending:
        yield pending


@dataclass
class Block:
    """Consecutive lines of one source, and their vectors."""

    source: Source
    first_line: int  # of the source, counted from 1
    vectors: np.ndarray
    texts_: list[str] | None
    data: bytes | bytearray | None
    encoding: str
    errors: str
    byte_count: int = 0  # of the source's bytes that the block was read from
    starts_: np.ndarray | None = None
    has_cr: bool = True

    def __len__(self) -> int:
        return len(self.vectors)

    def texts(self) -> list[str]:
        """The lines as text, each without its "\\r"."""
        if self.texts_ is None:
            assert self.data is not None
            self.texts_ = split_lines(self.data.decode(self.encoding, self.errors))
            self.has_cr = self.data.find(b"\r") >= 0
        return [t.removesuffix("\r") for t in self.texts_] if self.has_cr else self.texts_

    def text(self, i: int) -> str:
        """Line i alone: decoded from its own bytes when the block has not been decoded."""
        if self.texts_ is not None or self.data is None:
            return self.texts()[i]
        if self.starts_ is None:
            newlines = np.flatnonzero(np.frombuffer(self.data, dtype=np.uint8) == ord("\n"))
            self.starts_ = np.concatenate(([0], newlines + 1))
        begin = int(self.starts_[i])
        end = int(self.starts_[i + 1]) - 1 if i + 1 < len(self.starts_) else len(self.data)
        return self.data[begin:end].decode(self.encoding, self.errors).removesuffix("\r")


def split_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return lines


def undecodable(source: Source, first_line: int, data: bytes | bytearray, encoding: str, errors: str) -> UserError:
    """The error for a block that does not decode, naming the line."""
    try:
        data.decode(encoding, errors)
        line, reason = first_line, "cannot decode"
    except UnicodeDecodeError as e:
        line, reason = first_line + data.count(b"\n", 0, e.start), e.reason
    return UserError(
        f"nuvra: {source.name}: line {line}: cannot decode as {encoding} ({reason});"
        " try --encoding or --errors replace",
        EXIT_UNDECODABLE,
    )


def blocks_of(source: Source, stream: IO[bytes], encoding: str, errors: str, workers: int) -> Iterator[Block]:
    """The lines of a source in blocks, each vectorised by the batch engine in one call."""
    line = 1
    if _line_check(encoding, errors) is False:
        # Bytes that are not ASCII-compatible: decoded first, a block at a time.
        decoder = codecs.getincrementaldecoder(encoding)(errors)
        pending = ""
        for data in read_blocks(source, stream):
            try:
                pending += decoder.decode(data)
            except UnicodeDecodeError as e:
                raise UserError(
                    f"nuvra: {source.name}: after line {line}: cannot decode as {encoding} ({e.reason});"
                    " try --encoding or --errors replace",
                    EXIT_UNDECODABLE,
                ) from None
            *complete, pending = pending.split("\n")
            if complete:
                yield Block(
                    source, line, nuvra.vectorize_texts(complete, workers=workers), complete, None, encoding, errors
                )
                line += len(complete)
        pending += decoder.decode(b"", final=True)
        if pending:
            yield Block(
                source, line, nuvra.vectorize_texts([pending], workers=workers), [pending], None, encoding, errors
            )
        return
    for data in read_blocks(source, stream):
        try:
            vectors = nuvra.vectorize_lines(data, encoding=encoding, errors=errors, workers=workers)
        except UnicodeDecodeError:
            raise undecodable(source, line, data, encoding, errors) from None
        yield Block(source, line, vectors, None, data, encoding, errors, byte_count=len(data))
        line += len(vectors)
