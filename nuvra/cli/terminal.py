"""What the command writes where a person may read it: the escaping that keeps
control characters and escape sequences off a terminal, one-line messages on
standard error, and standard output, whose failures become exit codes.

Every string that reaches a terminal goes through escape_for_terminal: the
table's cells (texts, words, file names), the messages on standard error and
the progress bar's label.
"""

from __future__ import annotations

import os
import re
import sys
from typing import IO

from nuvra.cli.errors import EXIT_OUTPUT, UserError


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


# ASCII text can hold only these of them.
_ASCII_ESCAPES = [(chr(c), e) for c, e in _TABLE_ESCAPES.items() if c < 0x80]


def _escaped_match(match: re.Match[str]) -> str:
    return _TABLE_ESCAPES[ord(match.group())]


def escape_for_terminal(text: str) -> str:
    """text with every control character and terminal escape shown escaped (\\x1b, \\t, \\u202e), as ls does."""
    # Every character escaped here is one that str.isprintable() rejects (a control, a format
    # character, a line or paragraph separator, a surrogate), so a printable text, most lines,
    # is passed by one fast scan. In ASCII text, each control present is replaced in one pass
    # of str.replace (what it writes holds no control); other text goes through the regular
    # expression, which calls back only where it finds one. All are O(n).
    if text.isprintable():
        return text
    if text.isascii():
        for c, escaped in _ASCII_ESCAPES:
            if c in text:
                text = text.replace(c, escaped)
        return text
    return _NEEDS_ESCAPE.sub(_escaped_match, text)


def say(message: str) -> None:
    """A message on standard error, each of its lines escaped. A standard error that is
    closed or fails loses the message: there is nowhere left to report it."""
    stream = sys.stderr
    if stream is None:
        return
    text = "\n".join(escape_for_terminal(line) for line in message.split("\n"))
    try:
        stream.write(text + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def write_failed(error: OSError) -> UserError:
    return UserError(f"nuvra: cannot write to standard output: {error.strerror or error}", EXIT_OUTPUT)


def standard_output() -> IO[bytes]:
    """The binary standard output; a UserError when it is closed."""
    if sys.stdout is None:
        raise UserError("nuvra: standard output is closed", EXIT_OUTPUT)
    return sys.stdout.buffer


def write_out(stream: IO[bytes], data: bytes) -> None:
    """Writes and flushes data. A reader that went away (BrokenPipeError) is left to the caller;
    any other failure (a full disk, an I/O error) is a UserError."""
    try:
        stream.write(data)
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise write_failed(e) from None


def print_out(text: str) -> None:
    """A line of text on standard output, as print() writes it, failures as for write_out."""
    stream = sys.stdout
    if stream is None:
        raise UserError("nuvra: standard output is closed", EXIT_OUTPUT)
    try:
        stream.write(text + "\n")
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise write_failed(e) from None


def discard_output() -> None:
    """Standard output on /dev/null, so that the interpreter's last flush of what could not be
    written does not fail again at exit."""
    if sys.stdout is None:
        return
    try:
        fd = sys.stdout.fileno()
    except (OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
