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

Each takes ``space=``: a :class:`nuvra.Space`, the name of a bundled space,
or None for ``Space.default()`` (the fixed space of :mod:`nuvra.semv_core`).
Results have one column per axis of the space, shape (n, k).
"""

from __future__ import annotations

import codecs
import itertools
import sys
from collections.abc import Buffer, Callable, Iterable, Iterator, Sequence
from typing import Any, Literal, Protocol, overload

import numpy as np

from nuvra import _batch, _lines, _words
from nuvra._ranking import Ranker
from nuvra.space import Space, fold_word, space_of

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


def _words_in_python(words: object, space: Space, name: str) -> list[object]:
    """The words as a list, each str folded, lower-cased and stripped as the space does it; other items kept."""
    source = _source(words, name)
    if isinstance(source, _batch.ArrowSource):
        for method in ("to_pylist", "to_list"):
            if hasattr(words, method):
                items = list(getattr(words, method)())
                break
        else:
            items = list(words)  # type: ignore[call-overload]
    elif isinstance(source, np.ndarray):
        items = source.tolist()
    elif _is_pandas_series(words):
        items = words.tolist()  # type: ignore[attr-defined]
    else:
        items = list(source)  # type: ignore[call-overload]
    fold = space._fold
    return [fold_word(item, fold) if isinstance(item, str) else item for item in items]


def _vectors(texts: object, words: bool, workers: object, name: str, space: object) -> np.ndarray:
    threads = _lines.thread_count(workers)
    scored = space_of(space, name)
    if words and not scored._native.on_fixed_tables:
        # The engine lowers the words of a space on the fixed table layout in place; the others are
        # folded and normalised here.
        texts = _words_in_python(texts, scored, name)
    parts = []
    for _, column in _columns(texts, words, name, None):
        out = np.empty((len(column), scored.k), dtype=np.float64)
        column.fill(out, threads, scored._native)
        parts.append(out)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def vectorize_texts(texts: Texts, *, workers: int = 1, space: Space | str | None = None) -> np.ndarray:
    """The vectors of many texts, as a C-contiguous float64 array of shape (n, k).

    Row i is, bit for bit, ``space.text_vector(texts[i])`` (for no space,
    ``vectorize_text_c(texts[i])``); a missing value (None, NaN,
    ``pandas.NA``, an Arrow null) gives a row of NaN. Any other item that is
    not a str raises TypeError, naming its index and type. ``workers``
    threads score the texts with the interpreter lock released; -1 uses every
    core this process may use. The result is the same for any number of
    workers. ``space`` is a :class:`nuvra.Space` or a bundled space's name;
    None is ``Space.default()``, whose k is 3.
    """
    return _vectors(texts, False, workers, "vectorize_texts", space)


def word_vectors(words: Texts, *, workers: int = 1, space: Space | str | None = None) -> np.ndarray:
    """The vectors of many words, as a C-contiguous float64 array of shape (n, k).

    Row i is, bit for bit, ``space.word_vector(words[i])`` (for no space,
    ``get_semantic_vector_c(words[i])``). Missing values, bad items, ``workers``
    and ``space`` are as for :func:`vectorize_texts`. Words that the native
    code cannot lower-case in place (beyond Latin Extended-A) are normalised
    by ``str.lower`` and ``str.strip`` first, with the lock held; so are all
    words of a space that folds or does not fit the fixed table layout.
    """
    return _vectors(words, True, workers, "word_vectors", space)


def _float_rows(rows: tuple[object, ...], name: str, k: int) -> np.ndarray:
    """Rows of k numbers as an (n, k) float64 array, each number read as cosine_similarity_c reads it."""
    out = np.empty((len(rows), k), dtype=np.float64)
    _batch.float_rows(rows, out, k, name)
    return out


def _query_components(query: object, name: str, k: int) -> tuple[float, ...]:
    try:
        components: tuple[object, ...] = tuple(query)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name}() expected the query as {k} numbers, got {type(query).__name__}") from None
    if len(components) != k:
        raise ValueError(f"{name}() expected the query as {k} numbers, got {len(components)}")
    return tuple(float(x) for x in _float_rows((components,), name, k)[0])


def _vector_rows(vectors: object, name: str, k: int) -> np.ndarray:
    """vectors as a C-contiguous (n, k) float64 array."""
    if not isinstance(vectors, (list, tuple)) and hasattr(vectors, "__array__"):
        # numpy arrays and what converts to one (DataFrames, tensors, ...).
        vectors = np.asarray(vectors)
        if vectors.dtype.kind in "biuf":
            # Numbers of the array's own: converting each to float64 gives what
            # float() of each item gives, as cosine_similarity_c reads it.
            array = np.ascontiguousarray(vectors, dtype=np.float64)
            if array.ndim == 1 and array.size == 0:
                array = array.reshape(0, k)
            if array.ndim != 2 or array.shape[1] != k:
                raise ValueError(
                    f"{name}() expected vectors of shape (n, {k}) for a query of {k}, got shape {array.shape}"
                )
            return array
    # Anything else item by item, so that a float subclass counts by the value
    # it holds, not by its __float__.
    try:
        rows: tuple[object, ...] = tuple(vectors)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name}() expected vectors of shape (n, {k}), got {type(vectors).__name__}") from None
    return _float_rows(rows, name, k)


def _cosines(vectors: np.ndarray, query: tuple[float, ...]) -> np.ndarray:
    out = np.empty(len(vectors), dtype=np.float64)
    _batch.cosines(vectors, np.array(query, dtype=np.float64), out)
    return out


def _query(query: object, name: str, space: Space, dim: int) -> tuple[float, ...]:
    """A query given as a text (its vector in the space) or as dim numbers."""
    if isinstance(query, str):
        return _query_components(space.text_vector(query), name, dim)
    try:
        return _query_components(query, name, dim)
    except (TypeError, ValueError):
        # Words among the numbers: say what a query may be.
        if isinstance(query, (list, tuple)) and any(isinstance(x, (str, bytes)) for x in query):
            raise TypeError(f"{name}() expected the query as a text or as {dim} numbers, got {query!r:.80}") from None
        raise


def cosine_similarities(vectors: Any, query: str | Sequence[float], *, space: Space | str | None = None) -> np.ndarray:
    """The cosine similarity of each row of ``vectors`` with ``query``, shape (n,).

    ``query`` is k numbers (k >= 1), or a text, which stands for its vector in
    ``space`` (``vectorize_text_c(query)`` for no space), as in
    :func:`most_similar`; ``vectors`` is an (n, k) array of numbers (numpy, or
    anything with ``__array__``) or any sequence of rows of k numbers. Each
    number is read as ``cosine_similarity_c`` reads it (a float subclass by
    the value it holds, anything else by ``__float__`` or ``__index__``), and
    for k = 3 item i is, bit for bit,
    ``cosine_similarity_c(list(vectors[i]), list(query))``. For any k, the dot
    product and the squared lengths are summed left to right, and a zero dot
    product or a zero length gives 0.0. A row of NaN gives NaN.
    """
    scored = space_of(space, "cosine_similarities")
    if isinstance(query, str):
        k = scored.k
    else:
        try:
            k = len(query)
        except TypeError:
            raise TypeError(
                f"cosine_similarities() expected the query as a text or as numbers, got {type(query).__name__}"
            ) from None
    if k < 1:
        raise ValueError("cosine_similarities() expected the query as at least 1 number, got 0")
    q = _query(query, "cosine_similarities", scored, k)
    return _cosines(_vector_rows(vectors, "cosine_similarities", k), q)


@overload
def most_similar(
    query: str | Sequence[float],
    texts: Texts,
    *,
    k: int = 10,
    workers: int = 1,
    space: Space | str | None = None,
    min_score: float = 0.0,
    ties: str = "order",
    labels: Literal[False] = False,
) -> list[tuple[int, float]]: ...


@overload
def most_similar(
    query: str | Sequence[float],
    texts: Texts,
    *,
    k: int = 10,
    workers: int = 1,
    space: Space | str | None = None,
    min_score: float = 0.0,
    ties: str = "order",
    labels: Literal[True],
) -> list[tuple[Any, float]]: ...


def most_similar(
    query: str | Sequence[float],
    texts: Texts,
    *,
    k: int = 10,
    workers: int = 1,
    space: Space | str | None = None,
    min_score: float = 0.0,
    ties: str = "order",
    labels: bool = False,
) -> list[tuple[int, float]] | list[tuple[Any, float]]:
    """The k texts closest to ``query``, as (index, score) pairs.

    ``query`` is a text or as many numbers as the space has axes; ``texts``
    is any input that :func:`vectorize_texts` takes, and ``space`` as there.
    The score is the cosine similarity of the text's vector with the query's,
    as :func:`cosine_similarities` gives it. Only texts that score above 0
    and at least ``min_score`` are listed: a text scoring 0 (one with no word
    of the space, or none on the query's axes) is never similar. Missing
    values never rank, nor does a NaN score. Any k beyond the number of texts
    gives every text that ranks; ``k=0`` gives ``[]``.

    Pairs are sorted by score descending. Among equal scores, ``ties``
    decides: ``"order"`` (the default, as this function always ranked, so
    that existing results keep their order) ranks by index alone;
    ``"words"`` ranks first the texts holding more of the query's words
    (runs of A-Z, a-z, 0-9 and _, compared lower-cased, after the space's
    fold), then by index, and needs the query as a text. Scores tie often,
    since a space has few axes: "words" is what a person searching expects,
    and what the ``nuvra similar`` command does.

    The index is the text's position in ``texts`` (0 for the first), whatever
    the input: for a pandas Series that is ``series.iloc[i]``, not
    ``series.loc[i]``. With ``labels=True`` (a pandas Series only) it is the
    label of the Series' index instead, for ``series.loc[label]``.

    The input is read in chunks, so memory stays O(min(k, n) + chunk) however
    many texts there are; with ``"words"``, only the texts whose score can
    place them among the k best have their words counted.
    """
    if type(k) is not int or k < 0:
        raise ValueError(f"k must be an int >= 0, got {k!r}")
    if ties not in ("order", "words"):
        raise ValueError(f"ties must be 'order' or 'words', got {ties!r}")
    if isinstance(min_score, bool) or not isinstance(min_score, (int, float)) or min_score != min_score:
        raise ValueError(f"min_score must be a number, got {min_score!r}")
    if labels and not _is_pandas_series(texts):
        raise TypeError(
            f"most_similar(labels=True) needs a pandas Series, whose index holds the labels;"
            f" got {type(texts).__name__}: without labels=, the positions are returned"
        )
    threads = _lines.thread_count(workers)
    scored = space_of(space, "most_similar")
    dim = scored.k
    if ties == "words" and not isinstance(query, str):
        raise ValueError("most_similar(): ties='words' needs the query as a text, to count its words")
    q = _query(query, "most_similar", scored, dim)
    words = _words.words_of(query, scored._fold) if ties == "words" and isinstance(query, str) else frozenset()
    # The ranker's order of a row is its index: the chunks follow each other from index 0.
    ranker: Ranker[None] = Ranker(k, max(float(min_score), 0.0), len(words))
    if words:
        chunks = _texts_columns(texts, scored._fold)
    else:
        chunks = _columns(texts, False, "most_similar", _CHUNK_ROWS)
    for _, column in chunks:
        vectors = np.empty((len(column), dim), dtype=np.float64)
        column.fill(vectors, threads, scored._native)
        ranker.add(memoryview(_cosines(vectors, q)), _words_held(column, words, scored._fold) if words else None)
    best = [(index, score) for score, _, index, _ in ranker.best]
    if labels:
        labelled = texts.index  # type: ignore[union-attr]
        return [(labelled[i], s) for i, s in best]
    return best


def _words_held(column: _batch.Column, words: frozenset[str], fold: bool) -> Callable[[list[int]], list[int]]:
    """How many of the query's words rows of a chunk's column hold, counted on the column."""

    def held(rows: list[int]) -> list[int]:
        return _batch.shared_words(column, rows, words, fold)

    return held


def _texts_columns(texts: object, fold: bool) -> Iterator[tuple[int, _batch.Column]]:
    """Chunks of the input as native columns, each with its first index, the query's words counted on
    them. An Arrow column, from any producer, is read in place; in a space that folds, its texts that
    are not ASCII are decoded, since the Turkish fold needs code points, not UTF-8 bytes."""
    name = "most_similar"
    source = _source(texts, name)
    if isinstance(source, _batch.ArrowSource):
        n = len(source)
        for start in range(0, max(n, 1), _CHUNK_ROWS):
            yield start, source.column(start, min(start + _CHUNK_ROWS, n), False, fold)
        return
    yield from _columns(source, False, name, _CHUNK_ROWS)


def vectorize_lines(
    data: Buffer,
    *,
    encoding: str = "utf-8",
    errors: str = "strict",
    workers: int = 1,
    space: Space | str | None = None,
) -> np.ndarray:
    """The vectors of the lines of a bytes-like object (or an mmap), shape (n, k).

    The lines are those of ``data.decode(encoding, errors).split("\\n")``, with
    no empty last line after a final "\\n" (so ``b""`` has none); a trailing
    "\\r" never changes a vector. The result is that of :func:`vectorize_texts`
    on those lines. For UTF-8, ASCII, Latin-1 and the single-byte code pages
    the bytes are read in place, without a str per line; only a line with
    bytes the codec cannot decode is decoded, and under ``errors="strict"``
    it raises UnicodeDecodeError with a note naming the line. Other encodings
    are decoded whole first. ``space`` is as for :func:`vectorize_texts`.
    """
    threads = _lines.thread_count(workers)
    scored = space_of(space, "vectorize_lines")
    if isinstance(data, str):
        raise TypeError("vectorize_lines() expected bytes, got str: use vectorize_texts(text.split('\\n'))")
    codecs.lookup(encoding)  # LookupError for an unknown encoding
    codecs.lookup_error(errors)  # LookupError for an unknown handler
    check = _lines.line_check(encoding, errors, fold=scored._fold)
    return _lines.matrix(_lines.line_vectors(data, check, encoding, errors, threads, scored._native), scored.k)
