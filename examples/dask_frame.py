"""Vectorise a large log corpus as a Dask DataFrame, on the threaded scheduler.

    python examples/dask_frame.py 'logs/*.log' -o vectors.parquet

Each partition is a block of lines held as Arrow strings, with the file and
line number of each (the columns file and line, as the nuvra command names
them); nuvra.vectorize_texts reads them in place and scores them with the
interpreter lock released, so the threads of one process share the work. Files
compressed with gzip, xz or bzip2 (recognised by their first bytes) are read as
their text, each one partition, as it cannot be read from the middle. Each
line gets a column per axis of the space (a bundled space's name or a space
file; the default space's axes are fault, security and data). The space is an
argument of every task: Dask names the tasks after its content
(dask.base.tokenize), the same in every process.
Needs: pip install 'nuvra[dask]'.
"""

import argparse
import bz2
import glob
import gzip
import lzma
import sys

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

import nuvra

# One partition per block of this many lines.
LINES_PER_PARTITION = 200_000

# Compressed files, by their first bytes.
COMPRESSIONS = ((b"\x1f\x8b", gzip.open), (b"\xfd7zXZ\x00", lzma.open), (b"BZh", bz2.open))


def opener(path: str):
    """How to open the file for its bytes: decompressed when it is compressed, else None."""
    with open(path, "rb") as f:
        head = f.read(6)
    return next((open_ for magic, open_ in COMPRESSIONS if head.startswith(magic)), None)


def blocks_of(path: str) -> list[tuple[str, int, int, int]]:
    """(path, first byte, end byte, first line number) of each block of LINES_PER_PARTITION lines;
    a compressed file is one block, (path, 0, -1, 1)."""
    if opener(path) is not None:
        return [(path, 0, -1, 1)]
    ends, newlines_before, offset = [], 0, 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            newlines = np.flatnonzero(np.frombuffer(chunk, dtype=np.uint8) == ord("\n"))
            # The newline that ends a block is number j * LINES_PER_PARTITION, counted from 1.
            first = (-newlines_before - 1) % LINES_PER_PARTITION
            ends.extend(int(offset + i + 1) for i in newlines[first::LINES_PER_PARTITION])
            newlines_before += len(newlines)
            offset += len(chunk)
    starts = [0, *ends]
    return [
        (path, start, end, 1 + n * LINES_PER_PARTITION)
        for n, (start, end) in enumerate(zip(starts, [*ends, offset], strict=True))
        if end > start
    ]


def read_block(path: str, start: int, end: int, first_line: int) -> pd.DataFrame:
    """The lines of a block, with where they came from (end -1: the whole file, decompressed)."""
    with open(path, "rb") if end >= 0 else opener(path)(path, "rb") as f:
        f.seek(start)
        data = f.read(end - start) if end >= 0 else f.read()
    lines = data.decode("utf-8", "replace").split("\n")
    if lines[-1] == "":
        lines.pop()
    return pd.DataFrame(
        {
            "file": pd.Series([path] * len(lines), dtype="string[pyarrow]"),
            "line": np.arange(first_line, first_line + len(lines), dtype=np.int64),
            "text": pd.Series(lines, dtype="string[pyarrow]"),
        }
    )


class NoInput(Exception):
    """A pattern that matches no file, or only empty ones: said in one line, not a traceback."""


def log_frame(pattern: str) -> dd.DataFrame:
    """The lines of every file the pattern matches, as a Dask DataFrame of one partition per block."""
    paths = sorted(glob.glob(pattern))
    if not paths:
        raise NoInput(f"no file matches {pattern!r}")
    blocks = [block for path in paths for block in blocks_of(path)]
    if not blocks:
        raise NoInput(f"no lines in the {len(paths)} files matching {pattern!r}")
    return dd.from_map(lambda block: read_block(*block), blocks)


def with_vectors(part: pd.DataFrame, space: nuvra.Space) -> pd.DataFrame:
    """The partition with each line's component on every axis of the space."""
    vectors = nuvra.vectorize_texts(part["text"], space=space)
    return part.assign(**{name: vectors[:, i] for i, name in enumerate(space.axes)})


def vectorised(frame: dd.DataFrame, space: nuvra.Space | None = None) -> dd.DataFrame:
    space = space or nuvra.Space.default()
    meta = frame._meta.assign(**{name: np.float64() for name in space.axes})
    return frame.map_partitions(with_vectors, space, meta=meta)


def write(pattern: str, output: str, space: nuvra.Space | None = None) -> str:
    """Writes the vectors of the lines of the files matching pattern to a Parquet directory, and
    says what was written."""
    frame = log_frame(pattern)
    written = vectorised(frame, space).to_parquet(output, compute=False)
    # One pass: the lines are counted from the partitions that are written.
    _, lines, files = dask.compute(written, frame.map_partitions(len).sum(), frame["file"].nunique(),
                                   scheduler="threads")  # fmt: skip
    return f"wrote the vectors of {lines:,} lines from {files:,} files to {output} ({frame.npartitions:,} partitions)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pattern", help="a glob pattern of log files")
    parser.add_argument("-o", "--output", required=True, help="a Parquet directory to write")
    parser.add_argument("--space", default="default", metavar="NAME|FILE", help="a bundled space or a space file")
    args = parser.parse_args()
    try:
        print(write(args.pattern, args.output, nuvra.Space.load(args.space)))
    except NoInput as e:
        sys.exit(f"dask_frame.py: {e}")


if __name__ == "__main__":
    main()
