"""Semantic vectors of technical words and texts, and their cosine similarity.

Axis x holds faults and errors, y security and access, z data and storage.
"""

from types import ModuleType
from typing import SupportsFloat, SupportsIndex

math: ModuleType
__test__: dict[str, object]

def get_semantic_vector_c(word: str) -> list[float]:
    """[x, y, z] of one word: a unit vector when the lower-cased, stripped word
    starts with a keyword of an axis, else per-axis Jaccard scores of its
    character bigrams, each 0.0 or at least 0.4. None raises TypeError."""

def vectorize_text_c(text: str) -> list[float]:
    """[x, y, z] of a text: the sum of the vectors of its matching tokens (runs
    of A-Z a-z 0-9 _), scaled to length 1; [0.0, 0.0, 0.0] when none matches.
    None raises TypeError."""

# An item of a vector is a float, an int, a bool, or anything with __float__ or __index__.
# The lists are generic in it, so that a list[int] is taken as a list[float] is (a list is
# invariant in its items).
def cosine_similarity_c[I1: SupportsFloat | SupportsIndex, I2: SupportsFloat | SupportsIndex](
    v1: list[I1], v2: list[I2]
) -> float:
    """The cosine of the angle between the first three items of two lists;
    0.0 when a dot product or length is zero. None raises TypeError; a list of
    fewer than three items raises IndexError."""
