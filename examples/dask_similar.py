"""The lines of a large log corpus most similar to a query, with Dask.

    python examples/dask_similar.py "disk write failed" 'logs/*.log' -k 10

Each worker process vectorises its share of the lines; only the k best of each
partition travel back. Needs the dask extra: pip install 'nuvra-semv[dask]'.
"""

import argparse

import dask.bag as db

from nuvra.semv_core import cosine_similarity_c, vectorize_text_c


def scored(line: str, query: list[float]) -> tuple[float, str]:
    text = line.rstrip("\n")
    return cosine_similarity_c(query, vectorize_text_c(text)), text


def most_similar(paths, query: str, k: int = 10, scheduler: str = "processes") -> list[tuple[float, str]]:
    """The k (score, line) pairs most similar to `query`, best first."""
    target = vectorize_text_c(query)
    lines = db.read_text(paths, blocksize="16MiB", encoding="utf-8", errors="replace")
    best = lines.map(scored, target).topk(k, key=lambda pair: pair[0])
    return sorted(best.compute(scheduler=scheduler), key=lambda pair: -pair[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("query")
    parser.add_argument("paths", nargs="+", help="files or glob patterns")
    parser.add_argument("-k", type=int, default=10)
    args = parser.parse_args()
    for score, line in most_similar(args.paths, args.query, args.k):
        print(f"{score:8.4f}  {line}")


if __name__ == "__main__":
    main()
