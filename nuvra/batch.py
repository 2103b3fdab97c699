"""Whole columns at once: the batch functions of :mod:`nuvra`.

Each function gives, bit for bit, what the per-call functions of
:mod:`nuvra.semv_core` give item by item, but reads the whole input in place
(no Python object per item where the input allows) and scores it in native
code on ``workers`` threads with the interpreter lock released.

Inputs of texts and words may be a list or tuple of str (subclasses such as
``numpy.str_`` included), any other iterable of str, a 1-D numpy array of
dtype ``U`` or object, a pandas Series, or any object with
``__arrow_c_array__`` or ``__arrow_c_stream__`` (pyarrow arrays and chunked
arrays, polars Series, ...) holding ``string``, ``large_string`` or
``string_view``. None, NaN, ``pandas.NA`` and Arrow nulls are missing values:
their row is NaN.
"""

from __future__ import annotations

import codecs
import itertools
import sys
from collections.abc import Buffer, Iterable, Iterator, Sequence
from typing import Any, Literal, Protocol, overload

import numpy as np

from nuvra import _batch, _lines
from nuvra.semv_core import vectorize_text_c

__all__ = ["cosine_similarities", "most_similar", "vectorize_lines", "vectorize_texts", "word_vectors"]

# Rows per chunk when most_similar streams its input: 6 MB of vectors, and
# enough rows that each chunk's fresh token caches pay for their first misses.
_CHUNK_ROWS = 1 << 18


class _Column(Protocol):
    """A sized column of texts that is not a str: list, tuple, numpy array, polars Series, ...
    str is no such column, as its __contains__ takes only a str, so that a type checker refuses
    vectorize_texts("one text"), which always raises."""

    def __iter__(self) -> Iterator[str | None]: ...
    def __len__(self) -> int: ...
    def __contains__(self, item: object, /) -> bool: ...


class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None, /) -> Any: ...


class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None, /) -> Any: ...


# What the functions of texts and words take: a column, an iterator (a generator, a map, ...),
# or an Arrow array or stream of strings.
type Texts = _Column | Iterator[str | None] | _ArrowArray | _ArrowStream


def _missing_marker() -> object:
    # pandas.NA, when pandas is in use; importing pandas for it would cost more
    # than any batch.
    pandas = sys.modules.get("pandas")
    return getattr(pandas, "NA", None) if pandas is not None else None


def _exported_arrow(obj: Any) -> object | None:
    """The Arrow PyCapsule export of obj, or None if it has none."""
    exported: object
    if hasattr(obj, "__arrow_c_array__"):
        exported = obj.__arrow_c_array__()
    elif hasattr(obj, "__arrow_c_stream__"):
        exported = obj.__arrow_c_stream__()
    else:
        return None
    return exported


def _is_pandas_series(obj: object) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(obj, pandas.Series)


def _series_source(series: Any) -> object:
    """A pandas Series as an Arrow source when pyarrow backs it, else as an object array."""
    dtype = series.dtype
    if getattr(dtype, "storage", None) in ("pyarrow", "pyarrow_numpy") or type(dtype).__name__ == "ArrowDtype":
        chunked = series.array.__arrow_array__()
        return _batch.arrow_source(chunked.__arrow_c_stream__())
    return series.to_numpy(dtype=object)


def _array_source(array: np.ndarray, name: str) -> np.ndarray:
    if array.ndim != 1:
        raise ValueError(f"{name}() expected a 1-D array, got shape {array.shape}")
    if array.dtype.kind == "U":
        if array.dtype.byteorder == ">":
            array = array.astype(array.dtype.newbyteorder("="))
        return np.ascontiguousarray(array)
    if array.dtype.kind in "OT":
        return array
    raise TypeError(f"{name}() expected an array of str (dtype U or object), got dtype {array.dtype}")


# Tables of columns, by module and class name: refused where a column is expected, with how
# to pass one of their columns.
_TABLES = {
    "pandas": ("DataFrame",),
    "polars": ("DataFrame", "LazyFrame"),
    "pyarrow": ("Table", "RecordBatch", "RecordBatchReader"),
    "dask.dataframe": ("DataFrame",),
}


def _is_table(obj: object) -> bool:
    for module_name, classes in _TABLES.items():
        module = sys.modules.get(module_name)
        if module is not None:
            for class_name in classes:
                cls = getattr(module, class_name, None)
                if isinstance(cls, type) and isinstance(obj, cls):
                    return True
    return False


def _table_error(texts: object, name: str) -> TypeError:
    return TypeError(
        f"{name}() expected a column of str, got a table of columns ({type(texts).__name__}):"
        f' pass one of its columns, as in {name}(df["msg"])'
    )


def _source(texts: object, name: str) -> object:
    """What a column is read from: an Arrow source, a numpy array or a sequence."""
    if isinstance(texts, (str, bytes, bytearray, memoryview)):
        what = "str" if isinstance(texts, str) else "bytes"
        hint = "wrap a single text in a list" if what == "str" else "use vectorize_lines() for bytes"
        raise TypeError(f"{name}() expected a column of str, got {what}: {hint}")
    if isinstance(texts, (list, tuple)):
        return texts
    if isinstance(texts, np.ndarray):
        return _array_source(texts, name)
    if _is_pandas_series(texts):
        return _series_source(texts)
    if _is_table(texts):
        raise _table_error(texts, name)
    exported = _exported_arrow(texts)
    if exported is not None:
        try:
            return _batch.arrow_source(exported)
        except TypeError as e:
            # A struct: the columns of a table, from a class not known above.
            if str(e).endswith("got Arrow format '+s'"):
                raise _table_error(texts, name) from None
            raise
    if isinstance(texts, Iterable):
        return texts
    raise TypeError(f"{name}() expected a column of str, got {type(texts).__name__}")


def _length(source: object) -> int | None:
    if isinstance(source, (list, tuple, np.ndarray, _batch.ArrowSource)):
        return len(source)
    return None


def _column(source: object, start: int, stop: int, words: bool, name: str) -> _batch.Column:
    """Rows [start, stop) of a sized source as a native column."""
    if isinstance(source, _batch.ArrowSource):
        return source.column(start, stop, words)
    if isinstance(source, np.ndarray):
        rows = source[start:stop]
        if rows.dtype.kind == "U":
            units = rows.view(np.uint32).reshape(len(rows), rows.dtype.itemsize // 4)
            return _batch.ucs4_column(units, words)
        return _batch.sequence_column(rows.tolist(), words, name, start, _missing_marker())
    assert isinstance(source, (list, tuple))
    part = source if start == 0 and stop == len(source) else source[start:stop]
    return _batch.sequence_column(part, words, name, start, _missing_marker())


def _columns(texts: object, words: bool, name: str, chunk: int | None) -> Iterator[tuple[int, _batch.Column]]:
    """The input as native columns of at most `chunk` rows (all at once for None), each with its first index."""
    source = _source(texts, name)
    n = _length(source)
    if n is None:
        iterator = iter(source)  # type: ignore[call-overload]
        if chunk is None:
            yield 0, _sequence_chunk(list(iterator), 0, words, name)
            return
        base = 0
        while part := list(itertools.islice(iterator, chunk)):
            yield base, _sequence_chunk(part, base, words, name)
            base += len(part)
        return
    step = n if chunk is None else chunk
    for start in range(0, n, max(step, 1)):
        yield start, _column(source, start, min(start + step, n), words, name)
    if n == 0:
        yield 0, _column(source, 0, 0, words, name)


def _sequence_chunk(part: list[object], base: int, words: bool, name: str) -> _batch.Column:
    return _batch.sequence_column(part, words, name, base, _missing_marker())


def _vectors(texts: object, words: bool, workers: object, name: str) -> np.ndarray:
    threads = _lines.thread_count(workers)
    parts = []
    for _, column in _columns(texts, words, name, None):
        out = np.empty((len(column), 3), dtype=np.float64)
        column.fill(out, threads)
        parts.append(out)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def vectorize_texts(texts: Texts, *, workers: int = 1) -> np.ndarray:
    """The vectors of many texts, as a C-contiguous float64 array of shape (n, 3).

    Row i is, bit for bit, ``vectorize_text_c(texts[i])``; a missing value
    (None, NaN, ``pandas.NA``, an Arrow null) gives a row of NaN. Any other
    item that is not a str raises TypeError, naming its index and type.
    ``workers`` threads score the texts with the interpreter lock released;
    -1 uses every core this process may use. The result is the same for any
    number of workers.
    """
    return _vectors(texts, False, workers, "vectorize_texts")


def word_vectors(words: Texts, *, workers: int = 1) -> np.ndarray:
    """The vectors of many words, as a C-contiguous float64 array of shape (n, 3).

    Row i is, bit for bit, ``get_semantic_vector_c(words[i])``. Missing values,
    bad items and ``workers`` are as for :func:`vectorize_texts`. Words that the
    native code cannot lower-case in place (beyond Latin Extended-A) are
    normalised by ``str.lower`` and ``str.strip`` first, with the lock held.
    """
    return _vectors(words, True, workers, "word_vectors")


def _query_components(query: object, name: str) -> tuple[float, float, float]:
    try:
        components = [float(x) for x in query]  # type: ignore[attr-defined]
    except TypeError:
        raise TypeError(f"{name}() expected the query as 3 numbers, got {type(query).__name__}") from None
    if len(components) != 3:
        raise ValueError(f"{name}() expected the query as 3 numbers, got {len(components)}")
    return components[0], components[1], components[2]


def _cosines(vectors: np.ndarray, query: tuple[float, float, float]) -> np.ndarray:
    out = np.empty(len(vectors), dtype=np.float64)
    _batch.cosines(vectors, *query, out)
    return out


def _query(query: object, name: str) -> tuple[float, float, float]:
    """A query given as a text (its vector) or as 3 numbers."""
    if isinstance(query, str):
        return _query_components(vectorize_text_c(query), name)
    try:
        return _query_components(query, name)
    except ValueError as e:
        if "could not convert" not in str(e):
            raise
        raise TypeError(f"{name}() expected the query as a text or as 3 numbers, got {query!r:.80}") from None


def cosine_similarities(vectors: Any, query: str | Sequence[float]) -> np.ndarray:
    """The cosine similarity of each row of ``vectors`` with ``query``, shape (n,).

    ``vectors`` is any (n, 3) array-like of numbers; ``query`` is 3 numbers or
    a text, which stands for its vector (``vectorize_text_c(query)``), as in
    :func:`most_similar`. Item i is, bit for bit,
    ``cosine_similarity_c(list(vectors[i]), list(query))``; a row of NaN gives NaN.
    """
    array = np.ascontiguousarray(vectors, dtype=np.float64)
    if array.ndim == 1 and array.size == 0:
        array = array.reshape(0, 3)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"cosine_similarities() expected vectors of shape (n, 3), got shape {array.shape}")
    return _cosines(array, _query(query, "cosine_similarities"))


@overload
def most_similar(
    query: str | Sequence[float], texts: Texts, *, k: int = 10, workers: int = 1, labels: Literal[False] = False
) -> list[tuple[int, float]]: ...


@overload
def most_similar(
    query: str | Sequence[float], texts: Texts, *, k: int = 10, workers: int = 1, labels: Literal[True]
) -> list[tuple[Any, float]]: ...


def most_similar(
    query: str | Sequence[float], texts: Texts, *, k: int = 10, workers: int = 1, labels: bool = False
) -> list[tuple[int, float]] | list[tuple[Any, float]]:
    """The k texts closest to ``query``, as (index, score) pairs.

    ``query`` is a text or 3 numbers; ``texts`` is any input that
    :func:`vectorize_texts` takes. The score is the cosine similarity of the
    text's vector with the query's, as :func:`cosine_similarities` gives it.
    Pairs are sorted by score descending, then by index; missing values never
    rank, nor does a NaN score. The input is read in chunks, so memory stays
    O(k + chunk) however many texts there are.

    The index is the text's position in ``texts`` (0 for the first), whatever
    the input: for a pandas Series that is ``series.iloc[i]``, not
    ``series.loc[i]``. With ``labels=True`` (a pandas Series only) it is the
    label of the Series' index instead, for ``series.loc[label]``. ``k=0``
    gives ``[]``.
    """
    if type(k) is not int or k < 0:
        raise ValueError(f"k must be an int >= 0, got {k!r}")
    if labels and not _is_pandas_series(texts):
        raise TypeError(
            f"most_similar(labels=True) needs a pandas Series, whose index holds the labels;"
            f" got {type(texts).__name__}: without labels=, the positions are returned"
        )
    threads = _lines.thread_count(workers)
    q = _query(query, "most_similar")
    best_scores = np.empty(0, dtype=np.float64)
    best_indexes = np.empty(0, dtype=np.int64)
    for base, column in _columns(texts, False, "most_similar", _CHUNK_ROWS):
        vectors = np.empty((len(column), 3), dtype=np.float64)
        column.fill(vectors, threads)
        # The best so far come first: among equal scores the lower position is the lower index.
        scores = np.concatenate((best_scores, _cosines(vectors, q)))
        indexes = np.concatenate((best_indexes, np.arange(base, base + len(column))))
        rows = _batch.top(scores, k)[0]
        best_scores, best_indexes = scores[rows], indexes[rows]
    if labels:
        index = texts.index  # type: ignore[union-attr]
        return [(index[int(i)], float(s)) for s, i in zip(best_scores, best_indexes, strict=True)]
    return [(int(i), float(s)) for s, i in zip(best_scores, best_indexes, strict=True)]


def vectorize_lines(data: Buffer, *, encoding: str = "utf-8", errors: str = "strict", workers: int = 1) -> np.ndarray:
    """The vectors of the lines of a bytes-like object (or an mmap), shape (n, 3).

    The lines are those of ``data.decode(encoding, errors).split("\\n")``, with
    no empty last line after a final "\\n" (so ``b""`` has none); a trailing
    "\\r" never changes a vector. The result is that of :func:`vectorize_texts`
    on those lines. For UTF-8, ASCII, Latin-1 and the single-byte code pages
    the bytes are read in place, without a str per line; only a line with
    bytes the codec cannot decode is decoded, and under ``errors="strict"``
    it raises UnicodeDecodeError with a note naming the line. Other encodings
    are decoded whole first.
    """
    threads = _lines.thread_count(workers)
    if isinstance(data, str):
        raise TypeError("vectorize_lines() expected bytes, got str: use vectorize_texts(text.split('\\n'))")
    codecs.lookup(encoding)  # LookupError for an unknown encoding
    codecs.lookup_error(errors)  # LookupError for an unknown handler
    return _lines.matrix(_lines.line_vectors(data, _lines.line_check(encoding, errors), encoding, errors, threads))
