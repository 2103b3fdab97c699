"""The lines of a block of bytes, and columns of texts, scored without numpy.

What the batch functions and the command share: how many threads to use, how
the bytes of lines may be read in place for an encoding, and the vectors of a
column as an array of doubles (k per row). numpy is not imported here, so
that the command starts without it.
"""

from __future__ import annotations

import codecs
import importlib
import os
from array import array
from collections.abc import Buffer
from typing import TYPE_CHECKING, Literal

from nuvra import _batch

if TYPE_CHECKING:
    import numpy as np

# Error handlers whose output for undecodable bytes holds no token character
# (U+FFFD, or a lone surrogate), so that such bytes may be read as they are.
HARMLESS_ERRORS = frozenset({"replace", "surrogateescape"})

TOKEN_CHARACTERS = frozenset(_batch.TOKEN_CHARACTERS)


# More threads than this would only wait for each other.
MAX_THREADS = 1024


def thread_count(workers: object) -> int:
    if type(workers) is int and workers >= 1:
        return min(workers, MAX_THREADS)
    if type(workers) is int and workers == -1:
        return os.process_cpu_count() or 1
    raise ValueError(f"workers must be an int >= 1, or -1 for every core this process may use; got {workers!r}")


def charmap_table(name: str) -> str | None:
    """The decoding table of a single-byte codec, or None for any other codec."""
    module_name = name.replace("-", "_")
    if not module_name.isidentifier():
        return None
    try:
        module = importlib.import_module(f"encodings.{module_name}")
    except ImportError:
        return None
    table = getattr(module, "decoding_table", None)
    return table if isinstance(table, str) and len(table) == 256 else None


def byte_decodings(name: str) -> list[str | None] | None:
    """What each byte decodes to alone, None where undefined; None for codecs that are not single-byte."""
    if name == "utf-8":
        return None
    if name in ("ascii", "iso8859-1"):
        return [chr(b) if name == "iso8859-1" or b < 128 else None for b in range(256)]
    table = charmap_table(name)
    if table is None:
        return None
    return [None if c == "\ufffe" else c for c in table]


def line_check(encoding: str, errors: str, fold: bool = False) -> Literal["utf-8", False] | bytes | None:
    """How vectorize_lines may read the bytes of a line as they are, or False when it may not.

    The bytes of a line may stand for its code points when every byte that
    belongs to a token (A-Z a-z 0-9 _) decodes to itself, every other byte to
    something that is not part of a token and not "\\n", and bytes the codec
    cannot decode are either replaced by a non-token character or checked for.
    The result is None (no check), "utf-8" (decode lines that are not valid
    UTF-8) or a table of 256 bytes (decode lines that hold a marked byte).
    A space that folds Turkish letters reads no bytes in place: a Turkish
    letter (two bytes in UTF-8, one in a code page) folds to a token character,
    and only the engine's text columns fold.
    """
    if fold:
        return False
    name = codecs.lookup(encoding).name
    if name == "utf-8":
        # A valid sequence of two bytes or more is a non-ASCII code point.
        return None if errors in HARMLESS_ERRORS else "utf-8"
    decodings = byte_decodings(name)
    if decodings is None:
        return False
    marked = bytearray(256)
    for b, c in enumerate(decodings):
        raw = chr(b)
        if c is None:
            marked[b] = errors not in HARMLESS_ERRORS
        elif (raw in TOKEN_CHARACTERS or c in TOKEN_CHARACTERS) and c != raw:
            return False
        elif (c == "\n") != (b == 0x0A):
            return False
    return bytes(marked) if any(marked) else None


def split_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()  # no empty last line after a final "\n", and none for ""
    return lines


def decoded_lines(data: Buffer, encoding: str, errors: str) -> list[str]:
    return split_lines(str(data, encoding, errors))


def zeros(n: int) -> array[float]:
    return array("d", [0.0]) * n


def filled(column: _batch.Column, threads: int, space: _batch.Space) -> array[float]:
    """The column's vectors in a native space: the k components of each row in turn."""
    out = zeros(space.k * len(column))
    column.fill(out, threads, space)
    return out


def matrix(vectors: array[float], k: int) -> np.ndarray:
    """Vectors as an (n, k) float64 numpy array over the same memory (numpy is imported only here)."""
    import numpy as np

    return np.frombuffer(vectors, dtype=np.float64).reshape(len(vectors) // k, k)


def line_vectors(
    data: Buffer,
    check: Literal["utf-8", False] | bytes | None,
    encoding: str,
    errors: str,
    threads: int,
    space: _batch.Space,
) -> array[float]:
    """The vectors of the lines of data in a native space, as vectorize_lines gives them; check is
    line_check(encoding, errors)."""
    if check is False:
        return text_vectors(decoded_lines(data, encoding, errors), threads, space)
    return filled(line_column(data, check, encoding, errors), threads, space)


def line_column(data: Buffer, check: Literal["utf-8"] | bytes | None, encoding: str, errors: str) -> _batch.Column:
    """The text column of the lines of data, read in place (check is line_check(encoding, errors), not False)."""
    return _batch.lines_column(data, check, encoding, errors)


def text_column(texts: list[str]) -> _batch.Column:
    """The text column of a list of str."""
    return _batch.sequence_column(texts, False, "vectorize_texts", 0, None)


def text_vectors(texts: list[str], threads: int, space: _batch.Space) -> array[float]:
    """The vectors of a list of str, as vectorize_texts gives them."""
    return filled(text_column(texts), threads, space)
