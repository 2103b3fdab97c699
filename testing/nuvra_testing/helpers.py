"""Helpers of the tests, the fuzzers and the allocation sweep, each defined once."""

import os
import signal
import struct
import subprocess
import sys
import textwrap

from nuvra_testing.source_lines import FILE


def bits(x):
    """The IEEE-754 bit pattern of a float (tells -0.0 from 0.0, compares NaN
    payloads), item by item for a list; anything else as it is."""
    if isinstance(x, (list, tuple)):
        return [bits(v) for v in x]
    if isinstance(x, float):
        return struct.unpack("<Q", struct.pack("<d", x))[0]
    return x


def same_bits(a, b) -> bool:
    """Both floats, or lists of floats, with the same bits."""
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same_bits, a, b))
    return type(a) is float and type(b) is float and bits(a) == bits(b)


class Number:
    """Not a float, but converts to one through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function, line) of the module's traceback entries, outermost first."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == FILE:
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def _default_sigint() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_python(code: str, *args: str, default_sigint: bool = False) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, isolated from the source tree. With
    default_sigint, the interpreter starts with SIGINT at its default, as from
    a terminal, even when the tests run in the background, which ignores it."""
    return subprocess.run(
        [sys.executable, "-I", *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={k: v for k, v in os.environ.items() if not k.startswith("PYTHON")},
        cwd="/",
        timeout=120,
        preexec_fn=_default_sigint if default_sigint else None,
    )


def run_nuvra(*args: str, stdin: bytes | None = b"", env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs the nuvra command, as bytes in and out."""
    return subprocess.run(
        [sys.executable, "-I", "-m", "nuvra", *args],
        input=stdin,
        capture_output=True,
        cwd="/",
        timeout=120,
        env={**os.environ, **(env or {})},
    )


def shows_place(cell: str | bytes, name: str, line: int) -> bool:
    """Whether a table's FILE:LINE cell shows name (as the table escapes it) and line: whole, or
    shortened by an ellipsis in the middle of the name, with the file's own name and the line
    number after it whole."""
    shown = cell.decode("utf-8", "surrogateescape") if isinstance(cell, bytes) else cell
    full = f"{name}:{line}"
    head, ellipsis, tail = shown.partition("\u2026")
    if not ellipsis:
        return shown == full
    own = full[full.rfind("/") :]
    return len(shown) < len(full) and full.startswith(head) and tail.endswith(own) and full.endswith(tail)
