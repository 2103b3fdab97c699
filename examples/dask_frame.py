"""Vectorise a large log corpus as a Dask DataFrame, on the threaded scheduler.

    python examples/dask_frame.py 'logs/*.log' -o vectors.parquet
    python examples/dask_frame.py 'logs/*.log' -o vectors.parquet --space examples/services.toml

Each partition is a block of lines held as Arrow strings; nuvra.vectorize_texts
reads them in place and scores them with the interpreter lock released, so the
threads of one process share the work. Each line gets a column per axis of the
space (a bundled space's name or a space file; the default space's axes are
fault, security and data). The space is an argument of every task: Dask names
the tasks after its content (dask.base.tokenize), the same in every process.
Needs: pip install 'nuvra-semv[dask]'.
"""

import argparse
import glob

import dask.dataframe as dd
import numpy as np
import pandas as pd

import nuvra

# One partition per block of this many lines.
LINES_PER_PARTITION = 200_000


def blocks_of(path: str) -> list[tuple[str, int, int, int]]:
    """(path, first byte, end byte, first line number) of each block of LINES_PER_PARTITION lines."""
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
    """The lines of a block, with where they came from."""
    with open(path, "rb") as f:
        f.seek(start)
        lines = f.read(end - start).decode("utf-8", "replace").split("\n")
    if lines[-1] == "":
        lines.pop()
    return pd.DataFrame(
        {
            "path": pd.Series([path] * len(lines), dtype="string[pyarrow]"),
            "line_number": np.arange(first_line, first_line + len(lines), dtype=np.int64),
            "text": pd.Series(lines, dtype="string[pyarrow]"),
        }
    )


def log_frame(pattern: str) -> dd.DataFrame:
    """The lines of every file the pattern matches, as a Dask DataFrame of one partition per block."""
    blocks = [block for path in sorted(glob.glob(pattern)) for block in blocks_of(path)]
    if not blocks:
        raise FileNotFoundError(f"no lines in any file matching {pattern!r}")
    return dd.from_map(lambda block: read_block(*block), blocks)


def with_vectors(part: pd.DataFrame, space: nuvra.Space) -> pd.DataFrame:
    """The partition with each line's component on every axis of the space."""
    vectors = nuvra.vectorize_texts(part["text"], space=space)
    return part.assign(**{name: vectors[:, i] for i, name in enumerate(space.axes)})


def vectorised(frame: dd.DataFrame, space: nuvra.Space | None = None) -> dd.DataFrame:
    space = space or nuvra.Space.default()
    meta = frame._meta.assign(**{name: np.float64() for name in space.axes})
    return frame.map_partitions(with_vectors, space, meta=meta)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pattern", help="a glob pattern of log files")
    parser.add_argument("-o", "--output", required=True, help="a Parquet directory to write")
    parser.add_argument("--space", default="default", metavar="NAME|FILE", help="a bundled space or a space file")
    args = parser.parse_args()
    space = nuvra.Space.load(args.space)
    vectorised(log_frame(args.pattern), space).to_parquet(args.output, compute_kwargs={"scheduler": "threads"})


if __name__ == "__main__":
    main()
