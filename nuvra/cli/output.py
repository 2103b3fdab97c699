"""Rows as the command prints them: an aligned table, CSV or JSON lines, a
block of rows at a time.

- JSON lines are UTF-8 and always valid JSON: what UTF-8 cannot hold (a lone
  surrogate, which is how --errors surrogateescape keeps an undecodable byte)
  is written as a JSON escape.
- CSV and the table write undecodable bytes back as they were read.
- The table never sends a control character or a terminal escape sequence
  raw, in any column: they are shown escaped (\\x1b, \\t), as ls does on a
  terminal.
- The table's FILE:LINE cells fit a third of the width, a long file name
  shortened in its middle (_shortened); CSV and JSON lines give it whole.

The rows of `nuvra vectors` are written by nuvra._batch.format_rows
(write_rows) when the output is UTF-8: the same bytes as write_block gives
from the same columns, which is the simple path for every other row.
"""

from __future__ import annotations

import codecs
import json
import math
import re
import shutil
import sys
from collections.abc import Buffer, Callable, Iterator, Mapping, Sequence
from typing import IO, cast

from nuvra import _batch
from nuvra.cli.terminal import escape_for_terminal, write_out

NUMBER_COLUMNS = frozenset({"score"})
# Columns of texts from the input: escaped, quoted in CSV, written a piece at a time when long.
TEXT_COLUMNS = ("text", "word", "template")
INTEGER_COLUMNS = frozenset({"line", "start", "input", "count"})
# A table's FILE:LINE cells take at most this share of the width: of 80 columns, or of the
# terminal's when the rows go to one.
WHERE_SHARE = 3
# The formats as format_rows numbers them.
_STYLES = {"table": 0, "csv": 1, "jsonl": 2}
# Rows holding a text longer than this many characters are encoded and written a piece
# of this size at a time.
WRITE_CHUNK = 1 << 20


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
        places: Sequence[str] = (),
    ):
        """numbers: the columns of numbers besides "score" (the axes of the space); places: the
        names of the inputs, when the table's where column is sized for all of them with its
        first rows (rows written a block at a time, whose header goes before later inputs are read)."""
        self.fmt, self.columns, self.stream = fmt, list(columns), stream
        self.numbers = NUMBER_COLUMNS | set(numbers)
        self.repeating = self.numbers | {"axis"}  # columns whose values repeat from row to row
        # A number is 8 wide, wider under a longer name; names are escaped as text is.
        self.names = {c: escape_for_terminal(c) if fmt == "table" else c for c in columns}
        self.number_widths = {c: max(8, len(self.names[c])) for c in self.numbers if c in self.names}
        self.around_write = around_write  # a context manager that keeps a progress bar out of the rows
        self.encoding = "utf-8" if fmt == "jsonl" else (getattr(sys.stdout, "encoding", None) or "utf-8")
        # One encoder for the whole output: a codec that starts with a byte-order mark
        # (utf-8-sig, utf-16) writes it once, before the first row, not before each block
        # or each piece of a long line.
        errors = "backslashreplace" if fmt == "jsonl" else "nuvra.bytes_back"
        self.encode = codecs.getincrementalencoder(self.encoding)(errors).encode
        self.header_done = fmt == "jsonl"
        self.widths = {c: 8 for c in columns}
        # The file names of FILE:LINE cells as the table shows them, each shortened once (_shown_name).
        self.places, self.shown_names = list(places), dict[str, str]()
        self.where_width = _columns_of(stream) // WHERE_SHARE
        self.places_width = 0  # the widest cell of the places, with the first rows' line numbers
        self.ellipsis = "\u2026" if _encodes(self.encoding, "\u2026") else "..."
        if "axis" in self.widths and numbers:  # the dominant axis: one of the axes, or "none"
            self.widths["axis"] = max(8, *(len(escape_for_terminal(n)) for n in numbers))

    def write_block(self, values: Mapping[str, Sequence[object]]) -> None:
        """Rows whose cells are values[column][i]."""
        count = len(next(iter(values.values()))) if values else 0
        if count == 0:
            return
        if self.fmt == "table" and "where" in values:
            values = {**values, "where": self._shown_places(values["where"])}
        form_of, prefix, separator, suffix = self._forms(values)
        header = "" if self.header_done else self._header()
        self.header_done = True
        texts = [cast(Sequence[str], values[c]) for c in TEXT_COLUMNS if c in values]
        longest = max((max(map(len, column), default=0) for column in texts), default=0)
        with self.around_write():  # type: ignore[attr-defined]
            if longest <= WRITE_CHUNK:
                rows = zip(*self._cell_lists(values, form_of, separator), strict=True)
                if self.fmt == "table":  # no padding left at the end of a row
                    text = "".join(prefix + separator.join(row).rstrip() + suffix for row in rows)
                else:
                    text = "".join(prefix + separator.join(row) + suffix for row in rows)
                write_out(self.stream, self.encode(header + text))
                return
            # A line of hundreds of megabytes: written a piece at a time, never copied whole
            # into a row, into its cell or into its bytes.
            for piece, end in self._pieces(values, form_of, prefix, separator, suffix, header):
                start = 0
                while start < end:
                    stop = min(start + WRITE_CHUNK, end)
                    # A run of surrogates is encoded whole, as in a short line: its undecodable
                    # bytes go back as bytes only when every one of them is one.
                    while stop < end and _is_surrogate(piece[stop - 1]) and _is_surrogate(piece[stop]):
                        stop += 1
                    write_out(self.stream, self.encode(piece[start:stop]))
                    start = stop

    def writes_rows(self) -> bool:
        """Whether write_rows can write this output's rows: they go out as UTF-8."""
        return codecs.lookup(self.encoding).name == "utf-8"

    def write_rows(self, texts: Buffer | list[str], vectors: Buffer, first_line: int, name: str, workers: int) -> None:
        """The rows of vectors, as write_block writes them, in native code: the columns are
        the location (none, "line", "where", or "file" and "line"), one number per axis, "axis"
        and "text". texts: the lines' UTF-8 bytes (as strict or surrogateescape decoding reads
        them; each line without its "\\n" and one "\\r" before it), or the texts; vectors: the
        k components of each row in turn; first_line: the first row's line number; name: the
        file's name."""
        k = len(self.numbers & set(self.columns))
        location, numbers = self.columns[: -(k + 2)], self.columns[-(k + 2) : -2]
        count = len(memoryview(vectors).cast("B")) // (8 * k)
        if count == 0:
            return
        last = str(first_line + count - 1)
        shown = escape_for_terminal(name)
        if self.fmt == "table" and "where" in location:
            shown = self._shown_name(name, len(last))
        if self.fmt == "table" and location and not self.header_done:
            last = f"{shown}:{last}" if location == ["where"] else last
            self.widths[location[0]] = max(4, len(last) + 1, self.places_width + 1)
        header = "" if self.header_done else self._header()
        self.header_done = True
        jsonl = self.fmt == "jsonl"
        separator = {"table": " ", "csv": ",", "jsonl": ", "}[self.fmt]

        def key(c: str) -> str:
            return json.dumps(c) + ": " if jsonl else ""

        pieces: list[str] = []
        current = "{" if jsonl else ""
        prefix_chars = 0
        for c in location:
            if c == "file":
                current += key(c) + (_json_string(name) if jsonl else _csv_field(name)) + separator
            else:
                current += key(c)
                if c == "where":
                    current += shown + ":"
                    prefix_chars = len(shown) + 1
                pieces.append(current)
                current = separator
        if not location:
            pieces.append("")
        for c in [*numbers, "axis", "text"]:
            pieces.append(current + key(c))
            current = separator
        pieces.append("}\n" if jsonl else "\n")
        axis = _json_string if jsonl else self._cell("axis")
        names = [*numbers, "none"]  # the axes, and none
        errors = "backslashreplace" if jsonl else "nuvra.bytes_back"
        with self.around_write():  # type: ignore[attr-defined]
            if header:
                write_out(self.stream, self.encode(header))
            _batch.format_rows(
                _STYLES[self.fmt],
                texts,
                vectors,
                k,
                first_line if location else 0,
                self.widths[location[0]] if self.fmt == "table" and location else 0,
                prefix_chars,
                tuple(p.encode("utf-8", errors) for p in pieces),
                tuple(axis(a).encode("utf-8", errors) for a in names),
                tuple(self.number_widths[c] for c in numbers),
                lambda data: write_out(self.stream, data),
                workers,
            )

    def _forms(
        self, values: Mapping[str, Sequence[object]]
    ) -> tuple[Callable[[str], Callable[[object], str]], str, str, str]:
        """How the cells of each column are written, and what goes before, between and after the cells of a row."""
        if self.fmt == "table":
            for c in ("where", "line"):
                if c in values and not self.header_done:
                    self.widths[c] = max(4, *(len(escape_for_terminal(str(w))) + 1 for w in values[c]))
            if "where" in values and not self.header_done:
                self.widths["where"] = max(self.widths["where"], self.places_width + 1)
            # Words and names at least 8 wide, wider for a longer one of the first block.
            for c in ("token", "axis", "keyword"):
                if c in values and c != self.columns[-1] and not self.header_done:
                    self.widths[c] = max(self.widths[c], *(len(escape_for_terminal(str(w))) for w in values[c]))
            return self._cell, "", " ", "\n"
        if self.fmt == "csv":
            return self._cell, "", ",", "\n"

        def member(c: str) -> Callable[[object], str]:
            key = json.dumps(c) + ": "
            form: Callable[[object], str] = repr if c in self.numbers else str if c in INTEGER_COLUMNS else _json_string
            return lambda v: key + form(v)

        return member, "{", ", ", "}\n"

    def _pieces(
        self,
        values: Mapping[str, Sequence[object]],
        form_of: Callable[[str], Callable[[object], str]],
        prefix: str,
        separator: str,
        suffix: str,
        header: str,
    ) -> Iterator[tuple[str, int]]:
        """The block as (string, end) pairs, string[:end] to write, the last column's cells
        (the texts) as they are where they need no escape."""
        last = self.columns[-1]
        yield header, len(header)
        other_columns = self._cell_lists(values, form_of, separator, self.columns[:-1])
        for row, value in zip(zip(*other_columns, strict=True), values[last], strict=True):
            start = prefix + "".join(cell + separator for cell in row)
            if self.fmt == "jsonl":
                text = str(value)
                if _JSON_SAFE.search(text):
                    text = json.dumps(text, ensure_ascii=False)[1:-1]
                start += json.dumps(last) + ': "'
                yield from ((start, len(start)), (text, len(text)), ('"' + suffix, len(suffix) + 1))
                continue
            text = form_of(last)(value)
            end = len(text)
            if self.fmt == "table":  # no padding left at the end of a row
                while end and text[end - 1].isspace():
                    end -= 1
                if not end:
                    start = start.rstrip()
            yield from ((start, len(start)), (text, end), (suffix, len(suffix)))

    def _shown_places(self, cells: Sequence[object]) -> list[str]:
        """FILE:LINE cells as the table shows them, the file's name by _shown_name (escaped once
        more by _cell, which leaves them as they are)."""
        parts = [str(c).rpartition(":") for c in cells]
        digits = max(len(line) for _, _, line in parts)
        return [self._shown_name(name, digits) + colon + line for name, colon, line in parts]

    def _shown_name(self, name: str, digits: int) -> str:
        """A file's name as the table's FILE:LINE cells show it: escaped, and shortened when a cell
        with a line number of this many digits would be wider than where_width. Each name is
        shortened once, when its first rows are written (and the places, with the first rows of
        all), so that all its rows show it alike; later line numbers with more digits widen their
        cells, as they widen a line column."""
        shown = self.shown_names.get(name)
        if shown is not None:
            return shown
        room = self.where_width - 1 - digits
        if not self.header_done and self.places:
            for place in self.places:
                self.shown_names.setdefault(place, _shortened(escape_for_terminal(place), room, self.ellipsis))
            self.places_width = max(len(self.shown_names[p]) for p in self.places) + 1 + digits
        return self.shown_names.setdefault(name, _shortened(escape_for_terminal(name), room, self.ellipsis))

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
        if c in TEXT_COLUMNS:
            return escape_for_terminal if self.fmt == "table" else _csv_field  # type: ignore[return-value]
        if self.fmt == "table":  # file names and line numbers, escaped as the texts are
            width = self.widths[c]
            return lambda v: f"{escape_for_terminal(str(v)):<{width}}"
        return _csv_field if c == "file" else str

    def _cell_lists(
        self,
        values: Mapping[str, Sequence[object]],
        form_of: Callable[[str], Callable[[object], str]],
        separator: str,
        columns: Sequence[str] | None = None,
    ) -> list[Sequence[str]]:
        """Each column's cells, written by form_of(column). Runs of columns whose values repeat
        (the numbers and the axis: a log's lines share a few vectors) become one list of
        joined cells, each distinct run of values written once."""
        lists: list[Sequence[str]] = []
        run: list[str] = []
        for c in [*(self.columns if columns is None else columns), ""]:
            if c in self.repeating:
                run.append(c)
                continue
            if run:
                lists.append(_joined_runs([values[r] for r in run], [form_of(r) for r in run], separator))
                run = []
            if c:
                lists.append(list(map(form_of(c), values[c])))
        return lists


def _joined_runs(
    columns: Sequence[Sequence[object]], forms: Sequence[Callable[[object], str]], separator: str
) -> list[str]:
    """For each row, its cells in these columns written and joined, each distinct run of values once."""
    done: dict[tuple[object, ...], str] = {}
    out = []
    for values in zip(*columns, strict=True):
        # 0.0 and -0.0 are equal keys but are written apart: a row holding -0.0 is written anew.
        negative_zero = any(v == 0.0 and math.copysign(1.0, v) < 0 for v in values if isinstance(v, float))
        text = None if negative_zero else done.get(values)
        if text is None:
            text = separator.join(form(v) for form, v in zip(forms, values, strict=True))
            if not negative_zero:
                done[values] = text
        out.append(text)
    return out


def _columns_of(stream: object) -> int:
    """The width the rows are laid out for: the terminal's when stream is one, else 80 columns."""
    try:
        terminal = stream.isatty()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        terminal = False
    return shutil.get_terminal_size().columns if terminal else 80


def _encodes(encoding: str, text: str) -> bool:
    try:
        text.encode(encoding)
    except UnicodeError:
        return False
    return True


def _shortened(name: str, room: int, ellipsis: str) -> str:
    """name in room characters when it is longer: the ellipsis in its middle, its end (the file's
    own name, from the last "/") kept whole however long, and as much of its start as fits."""
    if len(name) <= room:
        return name
    end = name[max(name.rfind("/"), 0) :]
    keep = room - len(ellipsis) - len(end)  # characters kept of the start and of the directories' end
    if keep <= 0:
        return ellipsis + end if len(ellipsis + end) < len(name) else name
    head = (keep + 1) // 2
    return name[:head] + ellipsis + name[len(name) - (keep - head) - len(end) :]


def _is_surrogate(c: str) -> bool:
    return "\ud800" <= c <= "\udfff"


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
