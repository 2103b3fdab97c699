"""The command's arguments: the parser classes (options anywhere among a command's operands, help
and messages through the terminal module), --version, the types of option values, and the
options that several commands share (inputs, --format, --space)."""

from __future__ import annotations

import argparse
import math
import re
import sys
from collections.abc import Mapping, Sequence
from typing import Any, NoReturn

from nuvra.cli.context import SPACE_VARIABLE
from nuvra.cli.errors import EXIT_USAGE, UserError
from nuvra.cli.terminal import print_out, say

__all__ = [
    "CommandParser",
    "Parser",
    "VersionAction",
    "add_format",
    "add_input",
    "add_space",
    "add_whole_line",
    "line_count",
    "options_first",
    "score",
    "workers",
]


def version() -> str:
    import nuvra

    return nuvra.__version__


class VersionAction(argparse.Action):
    """--version: nuvra.__version__, the distribution's version."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)  # type: ignore[arg-type]

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        print_out(f"nuvra {version()}")
        parser.exit()


def line_count(text: str) -> int:
    """-k: a count of lines, 0 or more, as most_similar's k; a count larger than any input can
    hold means every line. A bad value is one line on standard error (a UserError), as for
    --workers, not argparse's usage."""
    try:
        value = int(text)
    except ValueError:
        raise UserError(f"nuvra: -k must be a number of lines, got {text!r}", EXIT_USAGE) from None
    if value < 0:
        raise UserError(f"nuvra: -k must be at least 0, got {value}", EXIT_USAGE)
    return min(value, sys.maxsize)


def score(text: str) -> float:
    """--min-score: a finite number."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1 and value != -1:
        raise UserError(f"nuvra: --workers must be at least 1, or -1 for every core; got {text!r}", EXIT_USAGE)
    return value


# What argparse reads as a negative number, an operand where no option looks like one.
_NEGATIVE_NUMBER = re.compile(r"^-\d+$|^-\d*\.\d+$")


def options_first(args: Sequence[str], takes_value: Mapping[str, bool]) -> list[str]:
    """args with every option (and its value) moved before the operands, then "--" and the
    operands, each kind in its own order: options may come anywhere, between and after the
    operands (nuvra similar error -k 5 app.log), and "--" ends them."""
    options: list[str] = []
    operands: list[str] = []
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if arg == "--":
            operands += args[i:]
            break
        name = arg.partition("=")[0]
        if (
            not arg.startswith("-")
            or arg == "-"
            or _NEGATIVE_NUMBER.match(arg)
            or (" " in arg and name not in takes_value)
        ):
            operands.append(arg)
            continue
        options.append(arg)
        if i < len(args) and _needs_value(arg, takes_value):
            options.append(args[i])
            i += 1
    return [*options, "--", *operands] if operands else options


def _needs_value(arg: str, takes_value: Mapping[str, bool]) -> bool:
    """Whether the option arg takes the next argument as its value, as argparse reads it."""
    if arg.startswith("--"):
        name, equals, _ = arg.partition("=")
        if equals:
            return False
        if name in takes_value:
            return takes_value[name]
        prefixed = [o for o in takes_value if o.startswith("--") and o.startswith(name)]  # an abbreviation
        return len(prefixed) == 1 and takes_value[prefixed[0]]
    for j in range(1, len(arg)):  # a cluster of short options: -n, -k5, -nk 5
        short = "-" + arg[j]
        if short not in takes_value:
            return False
        if takes_value[short]:
            return j == len(arg) - 1  # else its value is the rest of arg
    return False


class Parser(argparse.ArgumentParser):
    """argparse with the command's own ways: help and version on standard output through
    print_out (a full disk or a closed output is an exit code), messages on standard error
    escaped, and, for a command, options anywhere among its operands."""

    intermixed = False

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.takes_value: dict[str, bool] = {}  # each option string: whether it takes a value
        super().__init__(*args, **kwargs)

    def add_argument(self, *args: Any, **kwargs: Any) -> argparse.Action:
        action = super().add_argument(*args, **kwargs)
        for option in action.option_strings:
            self.takes_value[option] = action.nargs != 0
        return action

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        if self.intermixed and args is not None:
            args = options_first(list(args), self.takes_value)
        return super().parse_known_args(args, namespace)

    def print_help(self, file: Any = None) -> None:
        if file is None:
            print_out(self.format_help().removesuffix("\n"))
        else:
            super().print_help(file)

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            say(message.removesuffix("\n"))


class CommandParser(Parser):
    intermixed = True


def add_input(sub: argparse.ArgumentParser) -> None:
    """FILE ... and how they are read, for the commands that read lines."""
    sub.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="text files, one text per line, plain or compressed (.gz, .xz, .bz2); - for standard input "
        "(the default when it is not a terminal)",
    )
    sub.add_argument("--sample", action="store_true", help="read the bundled sample log")
    sub.add_argument("--encoding", default="utf-8", help="a text encoding of the input (default utf-8)")
    sub.add_argument(
        "--errors",
        default=None,
        choices=["strict", "replace", "ignore", "surrogateescape"],
        help="what to do with undecodable bytes: replace (the default) reads each as U+FFFD and says on "
        "standard error how many lines held some (an encoding that only stops, as idna, stops); strict "
        "stops at the first (exit 5); ignore drops them; "
        "surrogateescape keeps them, and the table and CSV write them back as they were read, JSON lines "
        "as escapes",
    )
    sub.add_argument(
        "--workers", type=workers, default=-1, help="threads that score the lines (default -1: every core)"
    )


def add_format(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--format", choices=["table", "csv", "jsonl"], default="table", help="output format")


def add_space(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--space",
        metavar="NAME|FILE",
        help=f"the space: a bundled space's name or a .toml or .json file (default: ${SPACE_VARIABLE}, "
        "else the fixed space of faults, security and data)",
    )


def add_whole_line(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--whole-line",
        action="store_true",
        help="score each whole line; by default a line whose header is recognised by its shape (date, level, "
        "host, program, as nuvra groups leaves out) is scored by its message alone, what follows the header",
    )
