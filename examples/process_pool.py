"""Vectorise many texts across processes with the standard library alone.

The module's functions pickle by reference, so they can be handed to a process
pool directly.
"""

from concurrent.futures import ProcessPoolExecutor

from nuvra.semv_core import vectorize_text_c


def vectorise_all(texts: list[str], workers: int = 2, chunksize: int = 256) -> list[list[float]]:
    with ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(vectorize_text_c, texts, chunksize=chunksize))


if __name__ == "__main__":
    import sys

    lines = sys.stdin.read().splitlines()
    for text, vector in zip(lines, vectorise_all(lines), strict=True):
        print(*(f"{x:.4f}" for x in vector), text)
