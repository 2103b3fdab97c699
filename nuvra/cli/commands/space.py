"""nuvra space show and nuvra space check: a space's axes, thresholds, options and keywords, and
the check of a space file."""

from __future__ import annotations

import argparse

from nuvra.cli.arguments import CommandParser, add_space
from nuvra.cli.context import load_space
from nuvra.cli.terminal import escape_for_terminal, print_out

__all__ = ["add_parser", "check", "show"]


def add_parser(commands: argparse._SubParsersAction[CommandParser]) -> None:
    sub = commands.add_parser("space", help="show a space, or check a space file")
    sub.intermixed = False  # its actions take the options anywhere
    spaces = sub.add_subparsers(dest="space_command", required=True, metavar="ACTION", parser_class=CommandParser)
    show_parser = spaces.add_parser("show", help="a space's axes, thresholds, options and keywords")
    show_parser.add_argument("name", nargs="?", metavar="NAME|FILE", help="the space (default: --space, $NUVRA_SPACE)")
    show_parser.add_argument("--toml", action="store_true", help="write it as a space file")
    add_space(show_parser)
    show_parser.set_defaults(run=show)
    check_parser = spaces.add_parser("check", help="check a space file: exit 0, or 2 with every problem found")
    check_parser.add_argument("file", metavar="FILE")
    check_parser.set_defaults(run=check, space=None)


def show(args: argparse.Namespace) -> None:
    space = load_space(args.name, check_columns=False) if args.name else args.space_object
    if args.toml:
        print_out(space.to_toml().removesuffix("\n"))
        return
    options = [f"split = {space.split}" if space.split else "", f"fold = {space.fold}" if space.fold else ""]
    options = [o for o in options if o]
    total = sum(len(space.keywords(a)) for a in space.axes)
    head = f"space {space.name}" if space.name is not None else "space"
    lines = [
        f"{head}: {counted(space.k, 'axis', 'axes')}, {counted(total, 'keyword')}"
        + (f"; {', '.join(options)}" if options else "")
    ]
    for axis in space.axes:
        keywords = space.keywords(axis)
        lines.append(f"{axis} (threshold {space.threshold(axis)!r}, {counted(len(keywords), 'keyword')}):")
        line = " "
        for keyword in keywords:
            if len(line) + len(keyword) + 1 > 78:
                lines.append(line)
                line = " "
            line += " " + keyword
        lines.append(line)
    print_out("\n".join(escape_for_terminal(line) for line in lines))


def check(args: argparse.Namespace) -> None:
    # Every rule a command applies to the space it runs in: the file's own, then the columns.
    space = load_space(args.file)
    total = sum(len(space.keywords(a)) for a in space.axes)
    axes = f"{counted(space.k, 'axis', 'axes')} ({', '.join(space.axes)})"
    print_out(escape_for_terminal(f"{args.file}: ok: {axes}, {counted(total, 'keyword')}"))


def counted(n: int, one: str, many: str | None = None) -> str:
    """n and the noun in the number n takes: 1 axis, 2 axes."""
    return f"{n:,} {one if n == 1 else many or one + 's'}"
