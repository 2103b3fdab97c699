"""nuvra: technical words and texts in a three-axis semantic space.

The native module :mod:`nuvra.semv_core` holds the three per-call functions
``get_semantic_vector_c``, ``vectorize_text_c`` and ``cosine_similarity_c``.
The batch functions below (from :mod:`nuvra.batch`) give the same results for
whole columns at once, as numpy arrays, on several threads without the
interpreter lock. They load on first use, so that ``import nuvra.semv_core``
imports neither them nor numpy.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from nuvra.batch import cosine_similarities, most_similar, vectorize_lines, vectorize_texts, word_vectors

__all__ = ["cosine_similarities", "most_similar", "vectorize_lines", "vectorize_texts", "word_vectors"]

# The distribution's version, as in pyproject.toml (a test keeps the two the same): read here
# without importlib.metadata, which is slow to import.
__version__ = "0.1.0"


def __getattr__(name: str) -> object:
    if name in __all__:
        from nuvra import batch

        return getattr(batch, name)
    raise AttributeError(f"module 'nuvra' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazy loading's own hooks are left out, so that help(nuvra) lists the public names alone.
    return sorted({*globals(), *__all__} - {"__getattr__", "__dir__", "TYPE_CHECKING"})
