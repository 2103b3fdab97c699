"""Vectorise a large log corpus as a Dask DataFrame, on the threaded scheduler.

    python examples/dask_frame.py 'logs/*.log' -o vectors.parquet

Each partition is a block of lines held as Arrow strings; nuvra.vectorize_texts
reads them in place and scores them with the interpreter lock released, so the
threads of one process share the work. Needs: pip install 'nuvra[dask]'.
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


def with_vectors(part: pd.DataFrame) -> pd.DataFrame:
    """The partition with the x, y and z of each line's vector."""
    vectors = nuvra.vectorize_texts(part["text"])
    return part.assign(x=vectors[:, 0], y=vectors[:, 1], z=vectors[:, 2])


def vectorised(frame: dd.DataFrame) -> dd.DataFrame:
    meta = frame._meta.assign(x=np.float64(), y=np.float64(), z=np.float64())
    return frame.map_partitions(with_vectors, meta=meta)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pattern", help="a glob pattern of log files")
    parser.add_argument("-o", "--output", required=True, help="a Parquet directory to write")
    args = parser.parse_args()
    vectorised(log_frame(args.pattern)).to_parquet(args.output, compute_kwargs={"scheduler": "threads"})


if __name__ == "__main__":
    main()
