"""The nuvra command: semantic vectors of log lines, words and texts.

    nuvra vectors [FILE ...]            each line's component on every axis, and its dominant axis
    nuvra similar QUERY [FILE ...] -k N the N lines most similar to QUERY
    nuvra word WORD ...                 word vectors (--explain: which keyword matched)
    nuvra explain TEXT ...              which token matched which keyword, how, with what score
    nuvra plot [FILE ...] -o out.png    the lines in the semantic space (needs matplotlib)
    nuvra space show [NAME|FILE]        a space's axes, thresholds, options and keywords
    nuvra space check FILE              checks a space file: exit 0, or 2 with every problem

Every command takes --space NAME|FILE (a bundled space or a .toml or .json
file), or the space named by the environment variable NUVRA_SPACE; without
either, the fixed space of faults, security and data.

FILE may be "-" for standard input, and may be compressed (gzip, xz, bzip2).
With no FILE, standard input is read, or the bundled sample log when standard
input is a terminal (--sample reads the sample in any case). Files are read in
large blocks and scored by the batch engine on every core (--workers).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable
from typing import NoReturn

# dominant_axes, parser and Ranking are imported from here as well.
from nuvra.cli.axes import dominant_axes as dominant_axes
from nuvra.cli.axes import dominant_axis
from nuvra.cli.commands import parser, space
from nuvra.cli.commands.similar import Ranking as Ranking
from nuvra.cli.context import load_space
from nuvra.cli.errors import EXIT_NOTHING, EXIT_OK, EXIT_OUTPUT, UserError, exit_code_for_failed_inputs
from nuvra.cli.terminal import discard_output, say, write_failed

# numpy is imported by the commands that need it, not here: similar and word
# start without it.

__all__ = ["dominant_axis", "main", "run"]


def main(argv: Iterable[str] | None = None) -> int:
    failures: list[int] = []
    try:
        args = parser().parse_args(None if argv is None else list(argv))
        args.failures = failures  # the exit code of each input that failed
        if args.run is not space.check:
            args.space_object = load_space(args.space, check_columns=args.run is not space.show)
        args.run(args)
        if sys.stdout is not None:
            try:
                sys.stdout.flush()
            except BrokenPipeError:
                raise
            except OSError as e:
                raise write_failed(e) from None
    except UserError as e:
        if e.code == EXIT_OUTPUT:
            discard_output()
        say(str(e))
        if e.code == EXIT_NOTHING and failures:
            # Nothing selected from the inputs that were read: the failed ones say more.
            return exit_code_for_failed_inputs(failures, _input_count(args))
        return e.code
    except BrokenPipeError:
        # The reader went away (nuvra ... | head): not an error of ours.
        discard_output()
        return EXIT_OK
    except KeyboardInterrupt:
        return 130
    if failures:
        return exit_code_for_failed_inputs(failures, _input_count(args))
    return EXIT_OK


def _input_count(args: argparse.Namespace) -> int:
    return max(len(getattr(args, "files", None) or []), 1)


def run() -> NoReturn:
    sys.exit(main())
