"""The progress bar: tqdm on standard error, shown only when standard error is a
terminal. tqdm draws rate, ETA and byte units, and can step aside while rows
are printed to the same terminal, which is why it was chosen over a hand-made
bar (and over rich, a much larger dependency for one bar)."""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import sys
from collections.abc import Iterator, Mapping
from typing import IO


def _reports_width(stream: IO[str]) -> bool:
    try:
        return os.get_terminal_size(stream.fileno()).columns > 0
    except (OSError, ValueError):
        return False


def _same_terminal(a: IO[str] | None, b: IO[str] | None) -> bool:
    try:
        return bool(
            a and b and a.isatty() and b.isatty() and os.path.samestat(os.fstat(a.fileno()), os.fstat(b.fileno()))
        )
    except (OSError, ValueError):
        return False


def terminal_is_utf8(environ: Mapping[str, str]) -> bool:
    """Whether the locale the command was started in writes UTF-8, as the first of LC_ALL, LC_CTYPE
    and LANG that is set says. An LC_CTYPE of C.UTF-8 is passed over when LC_ALL is not set, as
    CPython sets it itself in a C locale (PEP 538), where the terminal may show ASCII alone."""
    for name in ("LC_ALL", "LC_CTYPE", "LANG"):
        value = environ.get(name, "")
        if name == "LC_CTYPE" and value == "C.UTF-8":
            continue
        if value:
            return re.search(r"\.utf-?8(@|$)", value, re.IGNORECASE) is not None
    return False


# The line count comes first, in the description, so that a narrow terminal (40 columns) cuts
# the bar and the rate, not the count.
BAR_FORMAT = "{desc} {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}, {rate_fmt}]"
BAR_FORMAT_UNSIZED = "{desc} {n_fmt}B [{elapsed}, {rate_fmt}]"


class Progress:
    """Bytes and lines read, with rate, and an ETA when the total size is known."""

    def __init__(self, total_bytes: int | None, label: str) -> None:
        stderr = sys.stderr
        self.active = stderr is not None and stderr.isatty()
        self.lines = 0
        self.label = label
        self.rows_share_terminal = self.active and _same_terminal(sys.stdout, stderr)
        if not self.active:
            return
        from tqdm import tqdm  # type: ignore[import-untyped]  # only for a terminal: slow to import

        self.bar = tqdm(
            total=total_bytes,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            desc=f"{label}: 0 lines",
            bar_format=BAR_FORMAT if total_bytes is not None else BAR_FORMAT_UNSIZED,
            ascii=not terminal_is_utf8(os.environ),
            file=stderr,
            leave=False,
            # A terminal that reports no width (a bare pty) gets the usual fallback.
            dynamic_ncols=_reports_width(stderr),
            ncols=None if _reports_width(stderr) else shutil.get_terminal_size().columns,
            mininterval=0.2,
        )

    def advance(self, byte_count: int, line_count: int) -> None:
        if not self.active:
            return
        self.lines += line_count
        self.bar.set_description_str(f"{self.label}: {self.lines:,} lines", refresh=False)
        self.bar.update(byte_count)

    @contextlib.contextmanager
    def around_write(self) -> Iterator[None]:
        """Rows printed to the terminal the bar is on: the bar steps aside, then comes back."""
        if self.rows_share_terminal:
            with self.bar.external_write_mode(file=sys.stderr):
                yield
        else:
            yield

    @contextlib.contextmanager
    def aside(self) -> Iterator[None]:
        """A message on standard error, where the bar is: the bar steps aside, then comes back."""
        if self.active:
            with self.bar.external_write_mode(file=sys.stderr):
                yield
        else:
            yield

    def close(self) -> None:
        if self.active:
            self.bar.close()
