"""The commands, a module each: add_parser(commands) adds its parser, whose defaults name the
function that runs it (run; space has show and check). COMMANDS is the order the help lists them in."""

from __future__ import annotations

import argparse

from nuvra.cli.arguments import CommandParser, Parser, VersionAction
from nuvra.cli.commands import explain, groups, plot, similar, space, vectors, word

__all__ = ["COMMANDS", "parser"]

COMMANDS = (groups, vectors, similar, word, explain, space, plot)


def parser() -> argparse.ArgumentParser:
    top = Parser(
        prog="nuvra",
        description="Place log lines, messages and words in a semantic space (by default of faults, "
        "security and data; --space for another), and compare them.",
    )
    top.add_argument("--version", action=VersionAction, help="show the version and exit")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=CommandParser)
    for command in COMMANDS:
        command.add_parser(commands)
    return top
