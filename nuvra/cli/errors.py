"""The command's exit codes, and the mistakes it reports in one line."""

from __future__ import annotations

EXIT_OK = 0
EXIT_NOTHING = 1  # nothing selected: a query that matches no keyword, an empty input to plot
EXIT_USAGE = 2
EXIT_SOME_INPUTS_FAILED = 2  # as grep: some inputs could not be read, the others were
EXIT_MISSING_FILE = 3
EXIT_UNREADABLE_FILE = 4
EXIT_UNDECODABLE = 5
EXIT_MISSING_EXTRA = 6
EXIT_OUTPUT = 7  # standard output is closed, or it or plot's image cannot be written (a full disk, an I/O error)


class UserError(Exception):
    """A mistake of the caller's, or a fact about the input: reported in one line, with its exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def exit_code_for_failed_inputs(failures: list[int], inputs: int) -> int:
    """The exit code of a run in which inputs failed, each with its own code (3, 4 or 5): that
    code when no input was read (the first of them, if several), else 2, as grep's."""
    return failures[0] if len(failures) >= inputs else EXIT_SOME_INPUTS_FAILED


def missing_file(name: str) -> UserError:
    return UserError(f"nuvra: {name}: no such file", EXIT_MISSING_FILE)


def unreadable(name: str, error: OSError) -> UserError:
    return UserError(f"nuvra: {name}: cannot read: {error.strerror or error}", EXIT_UNREADABLE_FILE)
