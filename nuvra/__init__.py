"""nuvra: technical words and texts in a semantic space of named axes.

The native module :mod:`nuvra.semv_core` holds the three per-call functions
``get_semantic_vector_c``, ``vectorize_text_c`` and ``cosine_similarity_c``.
The batch functions below (from :mod:`nuvra.batch`) give the same results for
whole columns at once, as numpy arrays, on several threads without the
interpreter lock. :class:`Space` (from :mod:`nuvra.space`) is a space of the
user's own axes and keywords, from Python or from a file, which every batch
function takes as ``space=``; ``Space.default()`` is the fixed space. They load
on first use, so that ``import nuvra.semv_core`` imports neither them nor numpy.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from nuvra.axes import axis_counts, dominant_axes
    from nuvra.batch import cosine_similarities, most_similar, vectorize_lines, vectorize_texts, word_vectors
    from nuvra.groups import Groups, group_lines
    from nuvra.space import Space, SpaceError

__all__ = [
    "Space",
    "SpaceError",
    "axis_counts",
    "dominant_axes",
    "cosine_similarities",
    "most_similar",
    "vectorize_lines",
    "vectorize_texts",
    "word_vectors",
    "Groups",
    "group_lines",
]
_SPACE = frozenset(__all__[:2])
_AXES = frozenset(__all__[2:4])
_BATCH = frozenset(__all__[4:9])
_GROUPS = frozenset(__all__[9:])

# The distribution's version, as in pyproject.toml (a test keeps the two the same): read here
# without importlib.metadata, which is slow to import.
__version__ = "0.1.0"


def __getattr__(name: str) -> object:
    if name in _BATCH:
        from nuvra import batch

        return getattr(batch, name)
    if name in _SPACE:
        from nuvra import space

        return getattr(space, name)
    if name in _GROUPS:
        from nuvra import groups

        return getattr(groups, name)
    if name in _AXES:
        from nuvra import axes

        return getattr(axes, name)
    if name in ("axes", "batch", "groups", "space"):  # the submodules, on first use as attributes
        import importlib

        return importlib.import_module(f"nuvra.{name}")
    raise AttributeError(f"module 'nuvra' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazy loading's own hooks are left out, so that help(nuvra) lists the public names alone.
    return sorted({*globals(), *__all__} - {"__getattr__", "__dir__", "TYPE_CHECKING"})


def _built_elsewhere() -> list[str]:
    """Where the built extensions are, when this package is a source tree without them (the
    repository's root on sys.path, as `python -c` and `python -m` put it from there): the other
    directories named nuvra on sys.path that hold them, else nothing."""
    import os
    import sys
    from importlib.machinery import EXTENSION_SUFFIXES

    def built(directory: str) -> bool:
        return any(os.path.isfile(os.path.join(directory, "_batch" + suffix)) for suffix in EXTENSION_SUFFIXES)

    here = os.path.dirname(os.path.abspath(__file__))
    if built(here):
        return []
    found = []
    for entry in sys.path:
        candidate = os.path.join(os.path.abspath(entry or os.curdir), "nuvra")
        if candidate != here and candidate not in found and built(candidate):
            found.append(candidate)
    return found[:1]


# The source tree's modules come first; the extensions (and whatever else the source tree lacks)
# from the installed package.
__path__ += _built_elsewhere()  # noqa: PLE0605
del _built_elsewhere
