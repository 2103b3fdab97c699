"""Rows as the command prints them: an aligned table, CSV or JSON lines, a
block of rows at a time.

- JSON lines are UTF-8 and always valid JSON: what UTF-8 cannot hold (a lone
  surrogate, which is how --errors surrogateescape keeps an undecodable byte)
  is written as a JSON escape.
- CSV and the table write undecodable bytes back as they were read.
- The table never sends a control character or a terminal escape sequence
  raw: they are shown escaped (\\x1b, \\t), as ls does on a terminal.
"""

from __future__ import annotations

import codecs
import json
import math
import re
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import IO

NUMBER_COLUMNS = frozenset({"score"})
INTEGER_COLUMNS = frozenset({"line", "start", "input"})


def _escape(c: str) -> str:
    special = {"\t": "\\t", "\r": "\\r", "\n": "\\n"}
    if c in special:
        return special[c]
    return f"\\x{ord(c):02x}" if ord(c) <= 0xFF else f"\\u{ord(c):04x}"


# C0 and C1 controls, DEL, and the format characters that reorder or hide text
# on a terminal (bidirectional overrides and isolates, line separators).
_CONTROLS = [*range(0x20), *range(0x7F, 0xA0), 0x2028, 0x2029, *range(0x202A, 0x202F), *range(0x2066, 0x206A)]
# Undecodable bytes 0x80 to 0x9F would be C1 controls on a terminal that reads bytes.
_ESCAPED_BYTES = {0xDC00 + b: f"\\x{b:02x}" for b in range(0x80, 0xA0)}
_TABLE_ESCAPES = {**{c: _escape(chr(c)) for c in _CONTROLS}, **_ESCAPED_BYTES}


_NEEDS_ESCAPE = re.compile("[" + "".join(re.escape(chr(c)) for c in _TABLE_ESCAPES) + "]")


def escape_for_terminal(text: str) -> str:
    # Most lines hold nothing to escape; translate() is the slow part.
    return text.translate(_TABLE_ESCAPES) if _NEEDS_ESCAPE.search(text) else text


def _bytes_back_or_backslash(error: UnicodeError) -> tuple[str | bytes, int]:
    """Encoding: an undecodable byte kept as a lone surrogate goes back as that byte; the rest as \\x, \\u escapes."""
    assert isinstance(error, UnicodeEncodeError)
    bad = error.object[error.start : error.end]
    if all(0xDC80 <= ord(c) <= 0xDCFF for c in bad):
        return bytes(ord(c) - 0xDC00 for c in bad), error.end
    return codecs.backslashreplace_errors(error)


codecs.register_error("nuvra.bytes_back", _bytes_back_or_backslash)


class Output:
    """Writes rows, given a block at a time as columns, to a binary stream."""

    def __init__(
        self,
        fmt: str,
        columns: Sequence[str],
        stream: IO[bytes],
        around_write: Callable[[], object],
        numbers: Sequence[str] = (),
    ):
        """numbers: the columns of numbers besides "score" (the axes of the space)."""
        self.fmt, self.columns, self.stream = fmt, list(columns), stream
        self.numbers = NUMBER_COLUMNS | set(numbers)
        self.repeating = self.numbers | {"axis"}
        # A number is 8 wide, wider under a longer name; names are escaped as text is.
        self.names = {c: escape_for_terminal(c) if fmt == "table" else c for c in columns}
        self.number_widths = {c: max(8, len(self.names[c])) for c in self.numbers if c in self.names}
        self.around_write = around_write  # a context manager that keeps a progress bar out of the rows
        self.encoding = "utf-8" if fmt == "jsonl" else (getattr(sys.stdout, "encoding", None) or "utf-8")
        self.header_done = fmt == "jsonl"
        self.widths = {c: 8 for c in columns}

    def write_block(self, values: Mapping[str, Sequence[object]]) -> None:
        """Rows whose cells are values[column][i]."""
        count = len(next(iter(values.values()))) if values else 0
        if count == 0:
            return
        text = getattr(self, f"_{self.fmt}")(values, count)
        if not self.header_done:
            text = self._header() + text
            self.header_done = True
        data = text.encode(self.encoding, "backslashreplace" if self.fmt == "jsonl" else "nuvra.bytes_back")
        with self.around_write():  # type: ignore[attr-defined]
            self.stream.write(data)
            self.stream.flush()

    def _header(self) -> str:
        if self.fmt == "csv":
            return ",".join(_csv_field(c) for c in self.columns) + "\n"
        names = self.names
        cells = [
            f"{names[c]:>{self.number_widths[c]}}" if c in self.numbers else f"{names[c]:<{self.widths[c]}}"
            for c in self.columns
        ]
        return " ".join(cells).rstrip() + "\n"

    def _cell(self, c: str) -> Callable[[object], str]:
        """How a cell of column c is written."""
        if c in self.numbers:
            return f"{{:{self.number_widths[c]}.4f}}".format if self.fmt == "table" else repr
        if c in ("text", "word"):
            return escape_for_terminal if self.fmt == "table" else _csv_field  # type: ignore[return-value]
        if self.fmt == "table":
            return f"{{:<{self.widths[c]}}}".format
        return _csv_field if c == "file" else str

    def _cell_lists(
        self, values: Mapping[str, Sequence[object]], form_of: Callable[[str], Callable[[object], str]], separator: str
    ) -> list[Sequence[str]]:
        """Each column's cells, written by form_of(column). Runs of columns whose values repeat
        (the numbers and the axis: a log's lines share a few vectors) become one list of
        joined cells, each distinct run of values written once."""
        lists: list[Sequence[str]] = []
        run: list[str] = []
        for c in [*self.columns, ""]:
            if c in self.repeating:
                run.append(c)
                continue
            if run:
                lists.append(_joined_runs([values[r] for r in run], [form_of(r) for r in run], separator))
                run = []
            if c:
                lists.append(list(map(form_of(c), values[c])))
        return lists

    def _rows(self, values: Mapping[str, Sequence[object]], separator: str) -> str:
        rows = zip(*self._cell_lists(values, self._cell, separator), strict=True)
        if self.fmt == "table":  # no padding left at the end of a row
            return "".join(separator.join(row).rstrip() + "\n" for row in rows)
        return "".join(separator.join(row) + "\n" for row in rows)

    def _table(self, values: Mapping[str, Sequence[object]], count: int) -> str:
        for c in ("where", "line"):
            if c in values and not self.header_done:
                self.widths[c] = max(4, *(len(str(w)) + 1 for w in values[c]))
        return self._rows(values, " ")

    def _csv(self, values: Mapping[str, Sequence[object]], count: int) -> str:
        return self._rows(values, ",")

    def _jsonl(self, values: Mapping[str, Sequence[object]], count: int) -> str:
        def member(c: str) -> Callable[[object], str]:
            key = json.dumps(c) + ": "
            form: Callable[[object], str] = repr if c in self.numbers else str if c in INTEGER_COLUMNS else _json_string
            return lambda v: key + form(v)

        rows = zip(*self._cell_lists(values, member, ", "), strict=True)
        return "".join("{" + ", ".join(row) + "}\n" for row in rows)


def _joined_runs(
    columns: Sequence[Sequence[object]], forms: Sequence[Callable[[object], str]], separator: str
) -> list[str]:
    """For each row, its cells in these columns written and joined, each distinct run of values once."""
    done: dict[tuple[object, ...], str] = {}
    out = []
    for values in zip(*columns, strict=True):
        text = done.get(values)
        if text is None:
            text = separator.join(form(v) for form, v in zip(forms, values, strict=True))
            # 0.0 and -0.0 are equal keys but are written apart.
            if not any(v == 0.0 and math.copysign(1.0, v) < 0 for v in values if isinstance(v, float)):
                done[values] = text
        out.append(text)
    return out


_JSON_SAFE = re.compile(r'[\x00-\x1f"\\\ud800-\udfff]')


def _json_string(value: object) -> str:
    s = str(value)
    return json.dumps(s, ensure_ascii=False) if _JSON_SAFE.search(s) else '"' + s + '"'


def _csv_field(text: object) -> str:
    """A CSV field as the csv module writes it by default: quoted when it holds a comma, a quote or a line end."""
    s = str(text)
    if "," in s or '"' in s or "\n" in s or "\r" in s:
        return '"' + s.replace('"', '""') + '"'
    return s
