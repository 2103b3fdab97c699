"""The lines of a large log corpus most similar to a query, on a Dask cluster.

    python examples/dask_cluster.py "disk write failed" 'logs/*.log' -k 10
    python examples/dask_cluster.py "refund failed" 'logs/*.log' --space examples/services.toml

A distributed.LocalCluster starts a scheduler and worker processes on this
machine (point a Client at a real cluster's address instead to go further).
Each worker reads its blocks of lines and ranks them with nuvra.most_similar;
only the k best of each block travel back. The space (a bundled space's name
or a space file) travels to the workers pickled by its content. Needs: pip install 'nuvra[dask]'.
"""

import argparse
import heapq
import sys

import dask
from dask_frame import NoInput, log_frame
from distributed import Client, LocalCluster

import nuvra


def best_of_block(part, query: str, k: int, space: nuvra.Space | None) -> list[tuple[float, str, int, str]]:
    """The k best lines of one partition as (score, path, line number, text)."""
    return [
        (score, part["file"].iloc[i], int(part["line"].iloc[i]), part["text"].iloc[i])
        for i, score in nuvra.most_similar(query, part["text"], k=k, space=space)
    ]


def most_similar(
    pattern: str, query: str, k: int, client: Client, space: nuvra.Space | None = None
) -> list[tuple[float, str, int, str]]:
    """The k best lines of every file, by score, then by path and line number."""
    blocks = log_frame(pattern).to_delayed()
    tops = client.compute([dask.delayed(best_of_block)(block, query, k, space) for block in blocks], sync=True)
    candidates = [entry for top in tops for entry in top]
    return heapq.nsmallest(k, candidates, key=lambda e: (-e[0], e[1], e[2]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("query")
    parser.add_argument("pattern", help="a glob pattern of log files")
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--space", default="default", metavar="NAME|FILE", help="a bundled space or a space file")
    args = parser.parse_args()
    space = nuvra.Space.load(args.space)
    try:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1) as cluster, Client(cluster) as client:
            for score, path, number, text in most_similar(args.pattern, args.query, args.k, client, space):
                print(f"{score:.4f}  {path}:{number}: {text}")
    except NoInput as e:
        sys.exit(f"dask_cluster.py: {e}")


if __name__ == "__main__":
    main()
