"""The dominant axis of vectors, and how many rows fall on each axis.

Vectors are the results of the batch functions (an (n, k) numpy array), or the same numbers held
elsewhere: a pandas or polars DataFrame (its columns named after the space's axes are taken, in the
space's order, when it has them all), or a column whose items are vectors (a pandas or polars Series
of lists). A row with a missing component (NaN; a null, which polars and pandas give as NaN) is a
missing input: it has no dominant axis, nor has a row of zeros (a text that matches no keyword).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from nuvra.space import Space

__all__ = ["axis_counts", "dominant_axes", "dominant_indices"]


def _space(space: Space | str | None, name: str) -> Space:
    from nuvra.space import space_of

    return space_of(space, name)


def _rows(vectors: Any, axes: list[str]) -> np.ndarray:
    """vectors as an (n, k) float64 array, NaN where a component is missing."""
    columns = getattr(vectors, "columns", None)
    if columns is not None and not isinstance(vectors, np.ndarray):
        names = [str(c) for c in columns]
        if all(a in names for a in axes):
            vectors = vectors[axes]
        vectors = vectors.to_numpy()
    elif hasattr(vectors, "to_numpy") and not isinstance(vectors, np.ndarray):
        vectors = vectors.to_numpy()  # a Series: of lists, or of arrays
    array = np.asarray(vectors)
    if array.ndim == 1 and (array.dtype == object or len(array) == 0):
        k = len(axes)
        rows = np.full((len(array), k), np.nan)
        for i, item in enumerate(array):
            if item is None:
                continue
            row = np.asarray(item, dtype=np.float64)
            if row.shape != (k,):
                raise ValueError(f"row {i} has {row.size} components; the space has {k} axes")
            rows[i] = row
        return rows
    if array.dtype == object:
        array = np.where(array == None, np.nan, array)  # noqa: E711 - element by element
    array = np.asarray(array, dtype=np.float64)
    if array.ndim != 2:
        raise ValueError(f"vectors must be rows of components, a 2-D array; got {array.ndim} dimensions")
    if array.shape[1] != len(axes):
        raise ValueError(f"the vectors have {array.shape[1]} components; the space has {len(axes)} axes")
    return array


def dominant_indices(rows: np.ndarray) -> np.ndarray:
    """The index of each row's largest component, the first of equal ones; k (one past the
    last axis) for a row of zeros or a row holding NaN."""
    k = rows.shape[1]
    if len(rows) == 0:
        return np.zeros(0, dtype=np.intp)
    missing = np.isnan(rows).any(axis=1)
    clean = np.where(missing[:, None], 0.0, rows)
    best = np.argmax(clean, axis=1)
    positive = clean[np.arange(len(clean)), best] > 0.0
    return np.where(positive & ~missing, best, k)


def dominant_axes(vectors: Any, space: Space | str | None = None) -> list[str | None]:
    """The name of each row's dominant axis (its largest component, the first of equal ones), or
    None for a row of zeros (no keyword matched) and for a missing input's row (NaN)."""
    axes = list(_space(space, "dominant_axes").axes)
    labels = np.array([*axes, None], dtype=object)
    return labels[dominant_indices(_rows(vectors, axes))].tolist()  # type: ignore[no-any-return]


def axis_counts(vectors: Any, space: Space | str | None = None) -> dict[str | None, int]:
    """How many rows have each axis as their dominant axis: every axis in the space's order (0
    where none does), then None, the rows of zeros and the missing inputs' rows."""
    axes = list(_space(space, "axis_counts").axes)
    counts = np.bincount(dominant_indices(_rows(vectors, axes)), minlength=len(axes) + 1)
    return {name: int(n) for name, n in zip([*axes, None], counts.tolist(), strict=True)}
