"""Spaces: named axes of keywords, the words and texts they score, and files that hold them.

A :class:`Space` is k axes in order, each a name, an ordered list of keywords
and a threshold, and two options (``split="words"``, ``fold="turkish"``). It
is checked here, every problem at once, and compiled by the native engine;
once made it never changes and may be shared by any number of threads.

- word vector: with ``fold``, the Turkish letters are mapped to ASCII first
  (``ç→c``, ``ğ→g``, ``ı→i``, ``İ→I``, ``ö→o``, ``ş→s``, ``ü→u``, case kept); the
  word is lower-cased and stripped. The first keyword it starts with, axes in
  order and each axis's keywords in order, gives 1.0 on its axis ("prefix").
  Otherwise each component is the best Jaccard score of the word's character
  bigrams against the bigrams of the axis's keywords, kept when it reaches the
  axis's threshold ("bigrams").
- text vector: the tokens are the runs of ``A-Z a-z 0-9 _``; with
  ``split="words"`` each is cut further at ``_`` and where a capital starts a
  new word (``FileNotFoundError``, ``HTTPError``, ``no_space_left``). The word
  vectors of the tokens that score are added and scaled to length 1.

For the default space these are exactly the functions of :mod:`nuvra.semv_core`.
"""

from __future__ import annotations

import bisect
import math
import numbers
import os
import re
import stat
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from nuvra import _batch
from nuvra.semv_core import get_semantic_vector_c, vectorize_text_c

__all__ = ["Match", "Space", "SpaceError", "bundled_names", "fold_word"]

# The core's rules, read from it: a space's limits, what keywords are made of, the Turkish fold.
MAX_AXES: int = _batch.MAX_AXES
MAX_KEYWORDS: int = _batch.MAX_KEYWORDS
MIN_KEYWORD_LENGTH: int = _batch.MIN_KEYWORD_LENGTH
MAX_KEYWORD_LENGTH: int = _batch.MAX_KEYWORD_LENGTH
DEFAULT_THRESHOLD: float = _batch.DEFAULT_THRESHOLD
KEYWORD_CHARACTERS: str = _batch.KEYWORD_CHARACTERS
# The layout of a pickled space: (version, name, axes, split, fold) with each
# axis (name, keywords joined by spaces, threshold).
PICKLE_VERSION = 1

_KEYWORD = re.compile(f"[{re.escape(KEYWORD_CHARACTERS)}]{{{MIN_KEYWORD_LENGTH},{MAX_KEYWORD_LENGTH}}}")
_FOLD = str.maketrans(*_batch.TURKISH_FOLD)
_TOP_KEYS = ("name", "extends", "threshold", "split", "fold", "axes")
# The largest space file read: far above any real space (the largest space the core
# takes is well under a megabyte of TOML), small enough to refuse a file that is no space.
MAX_SPACE_FILE_BYTES = 64 << 20
_AXIS_KEYS = ("keywords", "add", "remove", "threshold")


def fold_word(word: str, fold: bool) -> str:
    """A word as a space scores it: Turkish letters mapped to ASCII (with fold), lower-cased, stripped."""
    return str.lower(word.translate(_FOLD) if fold else word).strip()


class SpaceError(ValueError):
    """A space, or a space file, that cannot be used: ``problems`` holds every problem found, one line each."""

    def __init__(self, problems: Sequence[str], source: str | None = None) -> None:
        self.problems = list(problems)
        self.source = source
        head = f"{source}: " if source else ""
        if len(self.problems) == 1:
            super().__init__(f"{head}invalid space: {self.problems[0]}")
        else:
            lines = "\n".join(f"  {p}" for p in self.problems)
            super().__init__(f"{head}invalid space, {len(self.problems)} problems:\n{lines}")


class Match(NamedTuple):
    """One token and one axis it scored on, as :meth:`Space.explain` lists them."""

    token: str
    """The token as it was scored: folded, split and lower-cased."""
    start: int
    """Its offset in the text, in code points."""
    axis: str
    """The name of the axis."""
    keyword: str
    """The keyword that gave the score: the prefix, or the first keyword with the best bigram score."""
    how: str
    """``"prefix"`` or ``"bigrams"``."""
    score: float
    """The token's component on the axis, before the text's vector is scaled."""


# --- checks ---------------------------------------------------------------------------------------


class _Problems:
    """Problems found so far; where(...) gives each its place in a file, when there is one."""

    def __init__(self, where: Callable[..., tuple[str, int]] | None = None) -> None:
        self.found: list[tuple[int, str]] = []  # (line, problem); the line 0 when unknown
        self.axes: set[str] = set()  # the axes with a problem
        self.where = where

    def add(self, message: str, *, axis: str | None = None, key: str | None = None, keyword: str | None = None) -> None:
        prefix, line = self.where(axis=axis, key=key, keyword=keyword) if self.where else ("", 0)
        label = f"axis {axis!r}: " if axis is not None else ""
        if axis is not None:
            self.axes.add(axis)
        self.found.append((line, f"{prefix}{label}{message}"))

    @property
    def items(self) -> list[str]:
        """The problems in the order of the lines they are found on (sorted stably)."""
        return [problem for _, problem in sorted(self.found, key=lambda found: found[0])]


def _is_number(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _check_threshold(value: object, problems: _Problems, axis: str | None) -> float | None:
    if not _is_number(value):
        problems.add(f"threshold must be a number in (0, 1], got {type(value).__name__}", axis=axis, key="threshold")
        return None
    try:
        t = float(value)  # type: ignore[arg-type]
    except OverflowError:
        t = math.inf
    if not 0.0 < t <= 1.0:  # NaN fails too
        problems.add(f"threshold must be in (0, 1], got {value!r}", axis=axis, key="threshold")
        return None
    return t


def _keyword_problem(keyword: object) -> str | None:
    if not isinstance(keyword, str):
        return f"keyword {keyword!r} is {type(keyword).__name__}, not a str"
    if _KEYWORD.fullmatch(keyword):
        return None
    if not MIN_KEYWORD_LENGTH <= len(keyword) <= MAX_KEYWORD_LENGTH:
        count = f"{len(keyword)} character" + ("" if len(keyword) == 1 else "s")
        return f"keyword {keyword!r} has {count}; keywords have {MIN_KEYWORD_LENGTH} to {MAX_KEYWORD_LENGTH}"
    bad = sorted({c for c in keyword if c not in KEYWORD_CHARACTERS})
    shown = ", ".join(repr(c) for c in bad)
    hint = " (keywords are lower case)" if any(c.isupper() for c in bad) else ""
    return f"keyword {keyword!r} has {shown}: keywords are made of a-z, 0-9 and _{hint}"


def _check_name(value: object, what: str) -> str | None:
    if not isinstance(value, str):
        return f"{what} must be a str, got {type(value).__name__}"
    if not value:
        return f"{what} is empty"
    if not value.isprintable():
        return f"{what} {value!r} holds a control or unprintable character"
    return None


def _keywords_of(value: object, problems: _Problems, axis: str, key: str) -> list[str] | None:
    """A list of keywords from a file or from Python, each checked; None when it is not a list at all."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable) or isinstance(value, Mapping):
        problems.add(f"{key} must be a list of keywords, got {type(value).__name__}", axis=axis, key=key)
        return None
    out = []
    for keyword in value:
        problem = _keyword_problem(keyword)
        if problem:
            problems.add(problem, axis=axis, keyword=keyword if isinstance(keyword, str) else None, key=key)
        else:
            out.append(str.__str__(keyword))  # a subclass of str as the str it holds
    return out


def _check_option(value: object, allowed: str, key: str, problems: _Problems) -> bool:
    if value is None or value is False:
        return False
    if value == allowed:
        return True
    problems.add(f'{key} must be "{allowed}" (or left out), got {value!r}', key=key)
    return False


def _final_checks(axes: list[tuple[str, list[str], float]], problems: _Problems) -> None:
    """What holds for a space as a whole: its size, and each keyword on one axis only.

    An axis that already has a problem is not reported again for being left empty."""
    if not axes and not problems.found:
        problems.add("a space needs at least one axis", key="axes")
    if len(axes) > MAX_AXES:
        problems.add(f"a space has at most {MAX_AXES} axes, this one has {len(axes)}", key="axes")
    seen: dict[str, str] = {}
    total = 0
    for name, keywords, _ in axes:
        if not keywords and name not in problems.axes:
            problems.add("has no keywords", axis=name, key="keywords")
        total += len(keywords)
        repeated = set()
        for keyword in keywords:
            other = seen.setdefault(keyword, name)
            if other != name:
                problems.add(f"keyword {keyword!r} is on axis {other!r} as well", axis=name, keyword=keyword)
            elif keyword in repeated:
                problems.add(f"keyword {keyword!r} is given twice", axis=name, keyword=keyword)
            repeated.add(keyword)
    if total > MAX_KEYWORDS:
        problems.add(f"a space has at most {MAX_KEYWORDS:,} keywords, this one has {total:,}", key="axes")


# --- the space ------------------------------------------------------------------------------------


def _native_space(axes: Sequence[tuple[str, Sequence[str], float]], split: bool, fold: bool) -> Any:
    return _batch.Space([(n, list(k), t) for n, k, t in axes], split, fold)


class Space:
    """k named axes of keywords: the space that words and texts are placed in.

    ``Space(axes, *, threshold=0.4, split=None, fold=None, name=None)``:
    ``axes`` maps each axis name, in order, to its keywords (a sequence of
    str), or to a mapping with ``keywords`` and an optional ``threshold``.
    ``threshold`` is that of every axis without its own, in (0, 1].
    ``split="words"`` cuts tokens at ``_`` and at camel case; ``fold="turkish"``
    maps Turkish letters to ASCII first. Keywords are 2 to 64 characters of
    a-z, 0-9 and _, each on one axis only; 1 to 64 axes, at most 65,535
    keywords. Every problem raises :class:`SpaceError` at once.

    A space never changes once made and may be used from many threads. It
    compares and hashes by content (name, axes, keywords, thresholds and
    options), pickles by content and has a deterministic Dask token.
    ``Space.default()`` is the fixed space of :mod:`nuvra.semv_core`;
    ``Space.load(name_or_path)`` reads a bundled space or a .toml or .json file.
    """

    __slots__ = {
        "_axes": "",
        "_split": "",
        "_fold": "",
        "_name": "",
        "_native": "",
        "_hash": "",
        "word_vector": "word_vector(word) -> list[float]: the vector of one word, k floats.",
        "text_vector": "text_vector(text) -> list[float]: the vector of a text, k floats of length 1, or k zeros.",
    }

    _axes: tuple[tuple[str, tuple[str, ...], float], ...]
    _split: bool
    _fold: bool
    _name: str | None
    _native: Any
    _hash: int | None
    word_vector: Callable[[str], list[float]]
    text_vector: Callable[[str], list[float]]

    def __init__(
        self,
        axes: Mapping[str, Sequence[str] | Mapping[str, Any]],
        *,
        threshold: float = DEFAULT_THRESHOLD,
        split: str | None = None,
        fold: str | None = None,
        name: str | None = None,
    ) -> None:
        problems = _Problems()
        default_t = _check_threshold(threshold, problems, None) or DEFAULT_THRESHOLD
        splits = _check_option(split, "words", "split", problems)
        folds = _check_option(fold, "turkish", "fold", problems)
        if name is not None and (problem := _check_name(name, "name")):
            problems.add(problem, key="name")
        checked: list[tuple[str, list[str], float]] = []
        if not isinstance(axes, Mapping):
            problems.add(f"axes must be a mapping of axis names to keywords, got {type(axes).__name__}", key="axes")
            axes = {}
        for axis, value in axes.items():
            if problem := _check_name(axis, "an axis name"):
                problems.add(problem, key="axes")
                continue
            t = default_t
            if isinstance(value, Mapping):
                for key in value:
                    if key not in ("keywords", "threshold"):
                        problems.add(f"unknown key {key!r} (an axis has keywords and threshold)", axis=axis, key=key)
                if "threshold" in value:
                    t = _check_threshold(value["threshold"], problems, axis) or t
                if "keywords" not in value:
                    problems.add("has no keywords", axis=axis, key="keywords")
                    continue
                value = value["keywords"]
            keywords = _keywords_of(value, problems, axis, "keywords")
            if keywords is not None:
                checked.append((str.__str__(axis), keywords, t))
        _final_checks(checked, problems)
        if problems.items:
            raise SpaceError(problems.items)
        self._set(tuple((a, tuple(k), t) for a, k, t in checked), splits, folds, name)

    def _set(
        self,
        axes: tuple[tuple[str, tuple[str, ...], float], ...],
        split: bool,
        fold: bool,
        name: str | None,
        native: Any = None,
    ) -> None:
        if native is None:
            native = _native_space(axes, split, fold)
        setter = object.__setattr__
        setter(self, "_axes", axes)
        setter(self, "_split", split)
        setter(self, "_fold", fold)
        setter(self, "_name", name)
        setter(self, "_native", native)
        setter(self, "_hash", None)
        if (axes, split, fold) == _default_content():
            # The default space's content, under any name: the module's own functions give the same
            # results, as fast.
            setter(self, "word_vector", get_semantic_vector_c)
            setter(self, "text_vector", vectorize_text_c)
            return
        setter(self, "text_vector", native.text_vector)
        native_word = native.word_vector
        if fold:

            def word_vector(word: str) -> list[float]:
                return native_word(str.lower(word.translate(_FOLD)).strip())  # type: ignore[no-any-return]

        else:

            def word_vector(word: str) -> list[float]:
                return native_word(str.lower(word).strip())  # type: ignore[no-any-return]

        word_vector.__doc__ = "The vector of one word, k floats."
        setter(self, "word_vector", word_vector)

    @classmethod
    def _make(
        cls, axes: Sequence[tuple[str, Sequence[str], float]], split: bool, fold: bool, name: str | None
    ) -> Space:
        """A space from parts already checked."""
        problems = _Problems()
        cleaned = [(a, list(k), float(t)) for a, k, t in axes]
        _final_checks(cleaned, problems)
        if problems.items:
            raise SpaceError(problems.items)
        space = cls.__new__(cls)
        space._set(tuple((a, tuple(k), t) for a, k, t in cleaned), split, fold, name)
        return space

    @classmethod
    def default(cls) -> Space:
        """The fixed space of :mod:`nuvra.semv_core`: axes "fault", "security" and "data".

        Its word_vector and text_vector are ``get_semantic_vector_c`` and
        ``vectorize_text_c`` themselves.
        """
        global _DEFAULT
        if _DEFAULT is None:
            native = _batch.default_space()
            space = cls.__new__(cls)
            space._set(_default_content()[0], False, False, "default", native)
            _DEFAULT = space
        return _DEFAULT

    @classmethod
    def load(cls, name_or_path: str | os.PathLike[str]) -> Space:
        """A bundled space by name (``"default"``, see :func:`bundled_names`), or a .toml or .json file.

        A file's mistakes are all reported at once in one :class:`SpaceError`,
        each with the file, the line, the axis and the key or keyword.
        """
        return _load(name_or_path)

    # --- what a space holds ---

    @property
    def name(self) -> str | None:
        """The space's name, or None."""
        return self._name

    @property
    def axes(self) -> tuple[str, ...]:
        """The names of the axes, in order."""
        return tuple(a for a, _, _ in self._axes)

    @property
    def k(self) -> int:
        """The number of axes: the length of every vector."""
        return len(self._axes)

    @property
    def split(self) -> str | None:
        """``"words"`` when tokens are cut at ``_`` and camel case, else None."""
        return "words" if self._split else None

    @property
    def fold(self) -> str | None:
        """``"turkish"`` when Turkish letters are mapped to ASCII first, else None."""
        return "turkish" if self._fold else None

    def keywords(self, axis: str) -> tuple[str, ...]:
        """The keywords of an axis, in order."""
        return self._axis(axis)[1]

    def threshold(self, axis: str) -> float:
        """The threshold of an axis."""
        return self._axis(axis)[2]

    def _axis(self, axis: str) -> tuple[str, tuple[str, ...], float]:
        for entry in self._axes:
            if entry[0] == axis:
                return entry
        raise KeyError(f"no axis {axis!r} in this space; its axes are {', '.join(self.axes)}")

    @property
    def nbytes(self) -> int:
        """The bytes the space holds now: its compiled tables, the scratch of its per-call
        methods, and :attr:`kept_bytes`. It grows after a batch call and shrinks on :meth:`release`."""
        return int(self._native.nbytes)

    @property
    def kept_bytes(self) -> int:
        """The part of :attr:`nbytes` kept from one batch call to the next: a scratch (a token
        cache of about 1.6 MiB on the general tables, under 1 MiB on the fixed ones) for each
        thread of the widest call so far, at most eight. :meth:`release` gives them back."""
        return int(self._native.kept_bytes)

    def release(self) -> int:
        """Frees the scratches kept for batch calls (:attr:`kept_bytes`); the bytes freed. The
        space stays usable: the next call makes what it needs again. Safe while other threads
        score in the space: a scratch in use is kept by its call and given back when it ends."""
        return int(self._native.release())

    def explain(self, text: str) -> list[Match]:
        """Which token scored on which axis, by which keyword, how, and how much, in token order."""
        if not isinstance(text, str):
            raise TypeError(f"explain() expected a str, got {type(text).__name__}")
        axes = self._axes
        return [
            Match(token, start, axes[a][0], axes[a][1][i], how, score)
            for token, start, a, i, how, score in self._native.explain(text)
        ]

    def explain_word(self, word: str) -> list[Match]:
        """Which keyword gave a word its vector (:meth:`word_vector`), and how: one record per positive component.

        ``token`` is the word as scored (folded, lower-cased, stripped) and ``start`` is 0.
        """
        vector = self.word_vector(word)
        w = fold_word(word, self._fold)
        if not any(vector):
            return []
        for axis, keywords, _ in self._axes:
            for keyword in keywords:
                if w.startswith(keyword):
                    return [Match(w, 0, axis, keyword, "prefix", 1.0)]
        bigrams = _bigrams(w)
        out = []
        for (axis, keywords, _), score in zip(self._axes, vector, strict=True):
            if score > 0.0:
                keyword = next(k for k in keywords if _jaccard(bigrams, _bigrams(k)) == score)
                out.append(Match(w, 0, axis, keyword, "bigrams", score))
        return out

    def to_toml(self) -> str:
        """The space as a TOML file that :meth:`load` reads back equal."""
        lines = []
        if self._name is not None:
            lines.append(f"name = {_toml_string(self._name)}")
        if self._split:
            lines.append('split = "words"')
        if self._fold:
            lines.append('fold = "turkish"')
        for axis, keywords, t in self._axes:
            lines += ["", f"[axes.{_toml_key(axis)}]", f"threshold = {t!r}", "keywords = ["]
            lines += _wrapped(keywords)
            lines.append("]")
        return "\n".join(lines) + "\n"

    # --- value semantics ---

    def _content(self) -> tuple[object, ...]:
        axes = tuple((a, " ".join(k), t) for a, k, t in self._axes)
        return (PICKLE_VERSION, self._name, axes, self._split, self._fold)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Space):
            return NotImplemented
        return (self._name, self._axes, self._split, self._fold) == (
            other._name,
            other._axes,
            other._split,
            other._fold,
        )

    def __hash__(self) -> int:
        if self._hash is None:
            object.__setattr__(self, "_hash", hash((self._name, self._axes, self._split, self._fold)))
        return self._hash  # type: ignore[return-value]

    def __reduce__(self) -> tuple[Callable[..., Space], tuple[object, ...]]:
        """Pickles by content: a format version and plain data, each axis's keywords joined by spaces."""
        return _unpickle, self._content()

    def __dask_tokenize__(self) -> tuple[object, ...]:
        """The space's content, which Dask hashes into the same token in every process."""
        return ("nuvra.Space", *self._content())

    def __copy__(self) -> Space:
        return self

    def __deepcopy__(self, memo: object) -> Space:
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"a Space cannot be changed (setting {name!r})")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"a Space cannot be changed (deleting {name!r})")

    def __repr__(self) -> str:
        count = sum(len(k) for _, k, _ in self._axes)
        parts = [f"name={self._name!r}"] if self._name is not None else []
        parts += [f"axes={list(self.axes)!r}", f"keywords={count}"]
        thresholds = {t for _, _, t in self._axes}
        if thresholds == {DEFAULT_THRESHOLD}:
            pass
        elif len(thresholds) == 1:
            parts.append(f"threshold={thresholds.pop()!r}")
        else:
            parts.append("thresholds=" + repr({a: t for a, _, t in self._axes}))
        if self._split:
            parts.append("split='words'")
        if self._fold:
            parts.append("fold='turkish'")
        return f"Space({', '.join(parts)})"


_DEFAULT: Space | None = None
_Axes = tuple[tuple[str, tuple[str, ...], float], ...]
_DEFAULT_CONTENT: tuple[_Axes, bool, bool] | None = None


def _default_content() -> tuple[_Axes, bool, bool]:
    """(axes, split, fold) of the default space, as a Space holds them."""
    global _DEFAULT_CONTENT
    if _DEFAULT_CONTENT is None:
        axes = tuple((a, tuple(k), float(t)) for a, k, t in _batch.default_space().axes)
        _DEFAULT_CONTENT = (axes, False, False)
    return _DEFAULT_CONTENT


def space_of(space: object, name: str) -> Space:
    """The space a function scores in: ``space=`` as its caller gave it (None for the default space, a
    :class:`Space`, or a bundled space's name)."""
    if space is None:
        return Space.default()
    if isinstance(space, Space):
        return space
    if isinstance(space, str):
        if space not in bundled_names():
            raise ValueError(
                f"{name}() got space={space!r}, which is not a bundled space ({', '.join(bundled_names())});"
                " for a file, pass nuvra.Space.load(path)"
            )
        return Space.load(space)
    raise TypeError(f"{name}() expected space= as a nuvra.Space or a bundled space's name, got {type(space).__name__}")


def _unpickle(version: int, name: str | None, axes: Sequence[tuple[str, str, float]], split: bool, fold: bool) -> Space:
    """A space from a pickle, checked as the constructor and files check theirs: a pickle is
    input like any other, and may have been written by hand."""
    if version != PICKLE_VERSION:
        raise SpaceError([f"a pickled space of format {version!r}; this version of nuvra reads format 1"])
    problems = _Problems()
    if name is not None and (problem := _check_name(name, "name")):
        problems.add(problem, key="name")
    for key, value in (("split", split), ("fold", fold)):
        if type(value) is not bool:  # what __reduce__ writes; anything else would be taken as truthy
            problems.add(f"{key} must be True or False, got {value!r}", key=key)
    checked: list[tuple[str, list[str], float]] = []
    if not isinstance(axes, (list, tuple)):
        problems.add(f"axes must be a list of (name, keywords, threshold), got {type(axes).__name__}", key="axes")
        axes = ()
    names: set[str] = set()
    for item in axes:
        if not isinstance(item, tuple) or len(item) != 3:
            problems.add(f"an axis must be (name, keywords, threshold), got {item!r}", key="axes")
            continue
        axis, keywords, threshold = item
        if problem := _check_name(axis, "an axis name"):
            problems.add(problem, key="axes")
            continue
        if axis in names:
            problems.add("is given twice", axis=axis, key="axes")
            continue
        names.add(axis)
        t = _check_threshold(threshold, problems, axis)
        if not isinstance(keywords, str):
            problems.add(
                f"keywords must be a str of keywords joined by spaces, got {type(keywords).__name__}", axis=axis
            )
            continue
        words = _keywords_of(keywords.split(" "), problems, axis, "keywords")
        if words is not None and t is not None:
            checked.append((str.__str__(axis), words, t))
    _final_checks(checked, problems)
    if problems.items:
        raise SpaceError(problems.items, "a pickled space")
    return Space._make(checked, split is True, fold is True, None if name is None else str.__str__(name))


def _bigrams(s: str) -> set[str]:
    return {s[i : i + 2] for i in range(len(s) - 1)} if len(s) > 1 else {s}


def _jaccard(a: set[str], b: set[str]) -> float:
    common = len(a & b)
    return float(common) / float(len(a) + len(b) - common)


def _toml_key(s: str) -> str:
    return s if re.fullmatch(r"[A-Za-z0-9_-]+", s) else _toml_string(s)


def _toml_string(s: str) -> str:
    import json

    # A JSON string of printable text is a TOML basic string.
    return json.dumps(s, ensure_ascii=False)


def _wrapped(keywords: Sequence[str]) -> list[str]:
    lines, line = [], "  "
    for keyword in keywords:
        item = f'"{keyword}", '
        if len(line) + len(item) > 100 and line.strip():
            lines.append(line.rstrip())
            line = "  "
        line += item
    if line.strip():
        lines.append(line.rstrip())
    return lines


# --- files ----------------------------------------------------------------------------------------


def bundled_names() -> list[str]:
    """The names of the bundled spaces, which Space.load and --space take."""
    from importlib import resources

    names = {"default"}
    folder = resources.files("nuvra").joinpath("spaces")
    if folder.is_dir():
        names.update(entry.name[: -len(".toml")] for entry in folder.iterdir() if entry.name.endswith(".toml"))
    return sorted(names)


def _is_path(name_or_path: str) -> bool:
    return (
        os.sep in name_or_path
        or (os.altsep is not None and os.altsep in name_or_path)
        or name_or_path.endswith((".toml", ".json"))
        or name_or_path.startswith(".")
    )


def _load(name_or_path: str | os.PathLike[str]) -> Space:
    if isinstance(name_or_path, (bytes, os.PathLike)):
        name_or_path = os.fsdecode(name_or_path)  # bytes that are not UTF-8 as lone surrogates
    if not isinstance(name_or_path, str):
        raise TypeError(f"Space.load() expected a name or a path, got {type(name_or_path).__name__}")
    if not _is_path(name_or_path):
        if name_or_path == "default":
            return Space.default()
        if name_or_path in bundled_names():
            return _Loader().space(_bundled_path(name_or_path), name_or_path)
        if not os.path.exists(name_or_path):
            raise SpaceError(
                [f"no bundled space {name_or_path!r} (there are {', '.join(bundled_names())}), and no such file"]
            )
    return _Loader().space(name_or_path, None)


def _bundled_path(name: str) -> str:
    from importlib import resources

    return str(resources.files("nuvra").joinpath("spaces", f"{name}.toml"))


class _Located:
    """Finds where an axis, a key or a keyword is written in a file's text, best effort.

    The lines of every quoted string, every key and every table header are indexed once,
    so that a file with many problems is not searched again for each."""

    _STRING = re.compile(r"""["']([^"'\\]*)["']""")
    _KEY = re.compile(r"""(?:^|[\s{,])["']?([^\s"'=:{},\[\]]+)["']?\s*[=:]""")
    _HEADER = re.compile(r"""^\s*\[\s*axes\s*\.\s*(?:"([^"]*)"|'([^']*)'|([^\s\]]+))\s*\]""")

    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.strings: dict[str, list[int]] = {}
        self.keys: dict[str, list[int]] = {}
        self.axis_headers: dict[str, int] = {}
        self.headers: list[int] = []
        for n, line in enumerate(text.splitlines()):
            for m in self._STRING.finditer(line):
                self.strings.setdefault(m.group(1), []).append(n)
            for m in self._KEY.finditer(line):
                self.keys.setdefault(m.group(1), []).append(n)
            if line.lstrip().startswith("["):
                self.headers.append(n)
                header = self._HEADER.match(line)
                if header:
                    self.axis_headers.setdefault(next(g for g in header.groups() if g is not None), n)

    @staticmethod
    def _first(lines: list[int] | None, start: int, stop: int | None) -> int | None:
        if not lines:
            return None
        i = bisect.bisect_left(lines, start)
        return lines[i] if i < len(lines) and (stop is None or lines[i] < stop) else None

    def _axis_span(self, axis: str) -> tuple[int, int | None] | None:
        start = self.axis_headers.get(axis)
        if start is not None:
            i = bisect.bisect_right(self.headers, start)
            return start, self.headers[i] if i < len(self.headers) else None
        found = self._first(self.keys.get(axis) or self.strings.get(axis), 0, None)
        return (found, None) if found is not None else None

    def __call__(self, *, axis: str | None, key: str | None, keyword: str | None) -> tuple[str, int]:
        line = None
        span = self._axis_span(axis) if axis is not None else (0, None)
        if span is not None:
            line = span[0] if axis is not None else None
            if keyword is not None:
                found = self._first(self.strings.get(keyword), *span)
                line = found if found is not None else line
            elif key is not None:
                found = self._first(self.keys.get(key), *span)
                line = found if found is not None else line
        if line is None and keyword is not None:
            line = self._first(self.strings.get(keyword), 0, None)
        return (f"{self.path}:{line + 1}: ", line + 1) if line is not None else (f"{self.path}: ", 0)


def _name_of_file(path: str) -> str:
    """The name a file gives a space that names none: its name without the extension, kept as
    it is when printable, else with each character that is not shown escaped (\\xa0, \\u200b),
    and each byte that is not UTF-8 (read as a lone surrogate) as that byte (\\xfc). Whatever
    the file is called, the name is a valid one."""
    stem = os.path.splitext(os.path.basename(path))[0]
    if stem.isprintable():
        return stem or "space"
    out = []
    for c in stem:
        code = ord(c)
        if c.isprintable():
            out.append(c)
        elif 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        else:
            out.append(f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}")
    return "".join(out)


def _kind_of_file(mode: int) -> str:
    kinds = [
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    ]
    return next((name for test, name in kinds if test(mode)), "a special file")


def _read_space_file(path: str, display: str) -> bytes:
    """The bytes of a regular file of at most MAX_SPACE_FILE_BYTES. A FIFO, a device or
    anything else that may never end is refused before a byte of it is read: the file is
    opened without waiting for a writer, and its kind checked on the open descriptor."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except OSError as e:
        raise SpaceError([f"{display}: cannot read: {e.strerror or e}"]) from None
    with open(fd, "rb", closefd=True) as f:
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                kind = _kind_of_file(info.st_mode)
                raise SpaceError([f"{display}: not a regular file ({kind}); a space file is a regular file"])
            raw = f.read(MAX_SPACE_FILE_BYTES + 1) if info.st_size <= MAX_SPACE_FILE_BYTES else b""
        except OSError as e:
            raise SpaceError([f"{display}: cannot read: {e.strerror or e}"]) from None
    if info.st_size > MAX_SPACE_FILE_BYTES or len(raw) > MAX_SPACE_FILE_BYTES:
        raise SpaceError([f"{display}: larger than {MAX_SPACE_FILE_BYTES >> 20} MiB, far beyond any space"])
    return raw


class _Loader:
    """Reads a space file and the files it extends, every problem of each file at once."""

    def __init__(self) -> None:
        self.chain: list[str] = []

    def space(self, path: str, bundled: str | None) -> Space:
        display = f"<bundled space {bundled!r}>" if bundled else path
        real = os.path.realpath(path)
        if real in self.chain:
            cycle = " -> ".join([*self.chain[self.chain.index(real) :], real])
            raise SpaceError([f"{display}: extends itself through a cycle: {cycle}"])
        self.chain.append(real)
        try:
            raw = _read_space_file(path, display)
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                line = raw[: e.start].count(b"\n") + 1
                raise SpaceError([f"{display}:{line}: not UTF-8 text"]) from None
            data = self._parse(path, display, text)
            return self._build(path, display, text, data, bundled)
        finally:
            self.chain.pop()

    @staticmethod
    def _parse(path: str, display: str, text: str) -> dict[str, Any]:
        # Both parsers recurse once per level of arrays and tables: a file nested
        # thousands of levels deep ends them with a RecursionError.
        try:
            return _Loader._parse_text(path, display, text)
        except RecursionError:
            raise SpaceError([f"{display}: nested too deeply (arrays or tables within each other)"]) from None

    @staticmethod
    def _parse_text(path: str, display: str, text: str) -> dict[str, Any]:
        import json
        import tomllib

        if path.endswith(".json"):
            try:
                data = json.loads(text)
            except json.JSONDecodeError as e:
                raise SpaceError([f"{display}:{e.lineno}: not valid JSON: {e.msg}"]) from None
            if not isinstance(data, dict):
                raise SpaceError([f"{display}:1: a space file holds an object, not {type(data).__name__}"])
            return data
        try:
            return tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            message = str(e)
            m = re.search(r"\(at line (\d+), column \d+\)$", message)
            where = f"{display}:{m.group(1)}" if m else display
            reason = message[: m.start()].strip() if m else message
            raise SpaceError([f"{where}: not valid TOML: {reason}"]) from None

    def _base(self, path: str, value: str) -> Space:
        if not _is_path(value) and value in bundled_names():
            return Space.default() if value == "default" else self.space(_bundled_path(value), value)
        return self.space(os.path.join(os.path.dirname(path), value), None)

    def _build(self, path: str, display: str, text: str, data: dict[str, Any], bundled: str | None) -> Space:
        problems = _Problems(_Located(display, text))
        for key in data:
            if key not in _TOP_KEYS:
                problems.add(f"unknown key {key!r} (a space file has {', '.join(_TOP_KEYS)})", key=key)
        base: Space | None = None
        if "extends" in data:
            extends = data["extends"]
            if not isinstance(extends, str) or not extends:
                problems.add("extends must be a bundled space's name or a path", key="extends")
            else:
                try:
                    base = self._base(path, extends)
                except SpaceError as e:
                    # Where the extended file cannot be read, the line that names it says so.
                    if len(e.problems) != 1 or ": cannot read: " not in e.problems[0]:
                        raise
                    known = "" if _is_path(extends) else f" (nor a bundled space: {', '.join(bundled_names())})"
                    problems.add(f"extends {extends!r}: {e.problems[0]}{known}", key="extends")
        name = data.get("name", bundled or _name_of_file(path))
        if problem := _check_name(name, "name"):
            problems.add(problem, key="name")
        top_t = _check_threshold(data["threshold"], problems, None) if "threshold" in data else None
        split = _check_option(data.get("split"), "words", "split", problems) if "split" in data else None
        fold = _check_option(data.get("fold"), "turkish", "fold", problems) if "fold" in data else None
        axes = self._axes(data.get("axes", {}), base, top_t, problems)
        if base is None and "axes" not in data:
            problems.add("a space file needs axes ([axes.NAME] tables) or extends", key="axes")
        _final_checks(axes, problems)
        if problems.items:
            raise SpaceError(problems.items)
        return Space._make(
            axes,
            split if split is not None else bool(base and base._split),
            fold if fold is not None else bool(base and base._fold),
            name,
        )

    @staticmethod
    def _axes(
        table: object, base: Space | None, top_t: float | None, problems: _Problems
    ) -> list[tuple[str, list[str], float]]:
        axes: dict[str, tuple[list[str], float]] = {}
        for axis, base_keywords, base_t in base._axes if base is not None else ():
            axes[axis] = (list(base_keywords), top_t if top_t is not None else base_t)
        if not isinstance(table, dict):
            problems.add(f"axes must be a table of axes, got {type(table).__name__}", key="axes")
            table = {}
        for axis, entry in table.items():
            if problem := _check_name(axis, "an axis name"):
                problems.add(problem, key="axes")
                continue
            if not isinstance(entry, dict):
                problems.add(
                    f"must be a table (keywords, add, remove, threshold), got {type(entry).__name__}", axis=axis
                )
                continue
            for key in entry:
                if key not in _AXIS_KEYS:
                    problems.add(f"unknown key {key!r} (an axis has {', '.join(_AXIS_KEYS)})", axis=axis, key=key)
            in_base = axis in axes
            keywords, t = axes.get(axis, ([], top_t if top_t is not None else DEFAULT_THRESHOLD))
            if "threshold" in entry:
                t = _check_threshold(entry["threshold"], problems, axis) or t
            changes = [k for k in ("add", "remove") if k in entry]
            if "keywords" in entry:
                if changes:
                    problems.add(
                        f"keywords replaces the list: leave out {' and '.join(changes)}", axis=axis, key=changes[0]
                    )
                keywords = _keywords_of(entry["keywords"], problems, axis, "keywords") or []
            elif changes and not in_base:
                problems.add(
                    f"is not an axis of the base, so it needs keywords, not {' and '.join(changes)}",
                    axis=axis,
                    key=changes[0],
                )
            elif not changes:
                if not in_base:
                    problems.add("has no keywords", axis=axis, key="keywords")
            else:
                keywords = list(keywords)
                for keyword in _keywords_of(entry.get("remove", []), problems, axis, "remove") or []:
                    if keyword in keywords:
                        keywords.remove(keyword)
                    else:
                        problems.add(
                            f"cannot remove {keyword!r}: the axis has no such keyword", axis=axis, keyword=keyword
                        )
                for keyword in _keywords_of(entry.get("add", []), problems, axis, "add") or []:
                    if keyword in keywords:
                        problems.add(f"cannot add {keyword!r}: the axis has it already", axis=axis, keyword=keyword)
                    else:
                        keywords.append(keyword)
            axes[axis] = (keywords, t)
        return [(axis, keywords, t) for axis, (keywords, t) in axes.items()]
