"""Kinds of lines: log lines grouped into templates, each with its count, first line and vector.

Lines of one kind differ only in their variable parts (times, numbers,
addresses, paths, user names). :func:`group_lines` finds the kinds: it leaves
out the header in front of each line (dates, levels, hosts, program names,
found by their shape), writes every variable part of the message as ``<*>``,
and merges messages alike but for one token where three or more different
tokens stand. The result does not depend on how the input is cut into blocks
or threads: the same lines give the same templates in the same order.
"""

from __future__ import annotations

import re
from collections.abc import Buffer, Iterator, Sequence
from typing import Any, TypeGuard

import numpy as np

from nuvra import _batch, _lines
from nuvra.batch import Texts, _columns, vectorize_texts
from nuvra.space import Space, space_of

__all__ = ["Groups", "group_lines"]

# Lines per native column: memory stays O(chunk + kinds) however long the input.
_CHUNK_ROWS = 1 << 17
# Bytes of a file's lines read per column, cut at a line's end.
_CHUNK_BYTES = 16 << 20
VARIABLE = "<*>"


class Groups:
    """The kinds of lines of an input, as :func:`group_lines` finds them.

    ``templates`` (most frequent first, then by first line), ``counts`` and
    ``first`` (the index of each kind's first line) are per kind; ``ids`` is
    per line: the index of its kind in ``templates``, -1 for a missing line
    and for lines counted apart once the grouper held its most keys
    (``unkeyed`` says how many). ``vectors`` are the kinds' vectors in the
    space, shape (kinds, k), from each template's constant words; ``axes``
    names its columns. Groups pickle by content; :meth:`match` places the
    lines of another input among these kinds.
    """

    __slots__ = ("axes", "counts", "first", "ids", "space", "templates", "unkeyed", "vectors", "_header", "_keys")

    def __init__(
        self,
        templates: list[str],
        counts: np.ndarray,
        first: np.ndarray,
        ids: np.ndarray,
        space: Space,
        unkeyed: int,
        keys: dict[str, int],
        header: object,
        vectors: np.ndarray | None = None,
    ) -> None:
        self.templates = templates
        self.counts = counts
        self.first = first
        self.ids = ids
        self.space = space
        self.axes = space.axes
        self.unkeyed = unkeyed
        self._keys = keys
        self._header = header
        if vectors is None:
            vectors = vectorize_texts([t.replace(VARIABLE, " ") for t in templates], space=space)
        self.vectors = vectors

    def __len__(self) -> int:
        return len(self.templates)

    def __repr__(self) -> str:
        apart = f", {self.unkeyed} counted apart: the grouper held its most keys" if self.unkeyed else ""
        return f"Groups({len(self.templates)} kinds of {int(self.counts.sum()) + self.unkeyed} lines{apart})"

    def __reduce__(self) -> tuple[Any, tuple[object, ...]]:
        return (
            Groups,
            (
                self.templates,
                self.counts,
                self.first,
                self.ids,
                self.space,
                self.unkeyed,
                self._keys,
                self._header,
                self.vectors,
            ),
        )

    def match(self, lines: Texts | Buffer, *, workers: int = 1) -> np.ndarray:
        """The kind of each line of another input among these kinds, as an int32 array; -1 for a line of a
        kind never seen, and for a missing line."""
        threads = _lines.thread_count(workers)
        by_length: dict[int, list[tuple[list[str], int]]] = {}
        for i, template in enumerate(self.templates):
            tokens = template.split(" ") if template else []
            by_length.setdefault(len(tokens), []).append((tokens, i))
        known = dict(self._keys)
        parts = []
        reader = _batch.Grouper()
        for _, column, header in _chunks(lines, self._header, "match"):
            ids = []
            for key in reader.keys(column, threads, header):
                if key is None:
                    ids.append(-1)
                    continue
                kind = known.get(key)
                if kind is None:
                    kind = _matching(key, by_length)
                    known[key] = kind
                ids.append(kind)
            parts.append(np.array(ids, dtype=np.int32))
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.int32)


def _matching(key: str, by_length: dict[int, list[tuple[list[str], int]]]) -> int:
    """The most frequent template the key matches token by token, or -1."""
    tokens = key.split(" ") if key else []
    for template, kind in by_length.get(len(tokens), ()):
        if all(t == VARIABLE or t == k for t, k in zip(template, tokens, strict=True)):
            return kind
    return -1


def _header_pattern(header: object) -> re.Pattern[str] | None:
    if header is None or header is False:
        return None
    if isinstance(header, re.Pattern):
        return header
    if isinstance(header, str):
        try:
            return re.compile(header)
        except re.error as e:
            raise ValueError(f"header={header!r} is not a regular expression: {e}") from None
    raise TypeError(f"header must be None, False or a regular expression, got {type(header).__name__}")


def _byte_blocks(data: Buffer) -> Iterator[memoryview]:
    """The bytes of a file in blocks that end at a line's end."""
    view = memoryview(data).cast("B")
    start = 0
    while start < len(view):
        stop = min(start + _CHUNK_BYTES, len(view))
        if stop < len(view):
            cut = bytes(view[stop - min(stop - start, 1 << 16) : stop]).rfind(b"\n")
            if cut >= 0:
                stop = stop - min(stop - start, 1 << 16) + cut + 1
            else:
                end = bytes(view[stop:]).find(b"\n")
                stop = len(view) if end < 0 else stop + end + 1
        yield view[start:stop]
        start = stop


def _is_bytes(lines: object) -> TypeGuard[Buffer]:
    """Whether the input is the bytes of a file (bytes, bytearray, memoryview, mmap, any buffer but str and
    numpy arrays)."""
    return isinstance(lines, (bytes, bytearray, memoryview)) or (
        isinstance(lines, Buffer) and not isinstance(lines, (str, np.ndarray))
    )


def _chunks(lines: object, header: object, name: str) -> Iterator[tuple[int, _batch.Column, bool]]:
    """The input as native text columns, each with its first line's index and whether the native header
    guess applies (not when a pattern or False says otherwise)."""
    pattern = _header_pattern(header)
    auto = header is None
    if _is_bytes(lines):
        base = 0
        for block in _byte_blocks(lines):
            if pattern is None:
                column = _lines.line_column(block, None, "utf-8", "replace")
            else:
                column = _batch.sequence_column(
                    _messages(_lines.decoded_lines(block, "utf-8", "replace"), pattern), False, name, base, None
                )
            yield base, column, auto
            base += len(column)
        return
    if pattern is not None:
        yield 0, _message_column(lines, pattern, name), False
        return
    for base, column in _columns(lines, False, name, _CHUNK_ROWS):
        yield base, column, auto


def _messages(texts: Sequence[object], pattern: re.Pattern[str]) -> list[object]:
    out: list[object] = []
    for text in texts:
        if isinstance(text, str):
            m = pattern.match(text)
            out.append(text[m.end() :] if m else text)
        else:
            out.append(text)
    return out


def _message_column(lines: object, pattern: re.Pattern[str], name: str) -> _batch.Column:
    """The messages of every line, the header pattern's match left out, as one column."""
    if isinstance(lines, np.ndarray):
        texts: list[object] = lines.tolist()
    elif hasattr(lines, "to_pylist"):
        texts = list(lines.to_pylist())
    elif hasattr(lines, "to_list"):
        texts = list(lines.to_list())
    else:
        texts = list(lines)  # type: ignore[call-overload]
    return _batch.sequence_column(_messages(texts, pattern), False, name, 0, None)


def group_lines(
    lines: Texts | Buffer,
    *,
    space: Space | str | None = None,
    header: str | re.Pattern[str] | bool | None = None,
    workers: int = 1,
    min_values: int = 3,
) -> Groups:
    """The kinds of the lines of an input: a :class:`Groups`.

    ``lines`` is any input of :func:`vectorize_texts` (a list, numpy, pandas,
    polars, Arrow), or the bytes of a file (or an mmap), whose lines are
    split at "\\n" and read as UTF-8 (undecodable bytes are kept as they are).
    ``header`` is None to leave out the header that each line's shape shows
    (times, levels, hosts, program names); a regular expression whose match
    at the start of a line is the header, for formats it does not know; or
    False to group whole lines. ``min_values``: this many different tokens at
    one place, the rest of the messages alike, make that place variable.
    ``space`` places the kinds (None is ``Space.default()``); ``workers``
    threads make the keys with the interpreter lock released.
    """
    if type(min_values) is not int or min_values < 2:
        raise ValueError(f"min_values must be an int >= 2, got {min_values!r}")
    threads = _lines.thread_count(workers)
    scored = space_of(space, "group_lines")
    grouper = _batch.Grouper()
    parts = []
    if _is_bytes(lines) and _header_pattern(header) is None:
        # The bytes of a file: the grouper's threads cut the lines and make their keys at once.
        base = 0
        for block in _byte_blocks(lines):
            parts.append(np.frombuffer(grouper.add_bytes(block, threads, header is None, base), dtype=np.int32))
            base += len(parts[-1])
    else:
        for base, column, auto in _chunks(lines, header, "group_lines"):
            ids = np.empty(len(column), dtype=np.int32)
            grouper.add(column, threads, auto, base, ids)
            parts.append(ids)
    texts, counts, firsts, of_key = grouper.templates(min_values)
    key_ids = np.concatenate(parts) if parts else np.empty(0, dtype=np.int32)
    to_kind = np.array([*of_key, -1], dtype=np.int32)  # key id -1 stays -1
    ids = to_kind[key_ids]
    keys = dict(zip(grouper.held(), of_key, strict=True))
    return Groups(
        texts,
        np.array(counts, dtype=np.int64),
        np.array(firsts, dtype=np.int64),
        ids,
        scored,
        grouper.unkeyed,
        keys,
        header,
    )
