"""The dominant axis of a vector: the column "axis" of vectors and word, and the colours of plot."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

__all__ = ["dominant_axes", "dominant_axis"]


def dominant_axis(vector: Sequence[float], names: Sequence[str]) -> str:
    """The axis of the largest component, the first on ties; "none" for zero."""
    best = max(range(len(names)), key=lambda i: (vector[i], -i))
    return names[best] if vector[best] > 0.0 else "none"


def dominant_axes(vectors: np.ndarray, names: Sequence[str]) -> list[str]:
    """dominant_axis of each row: argmax takes the first of equal components."""
    import numpy as np

    if len(vectors) == 0:
        return []
    best = np.argmax(vectors, axis=1)
    positive = vectors[np.arange(len(vectors)), best] > 0.0
    labels = np.array([*names, "none"], dtype=object)
    return labels[np.where(positive, best, len(names))].tolist()  # type: ignore[no-any-return]
