"""A pure-Python reference of the vectors of any space.

A space is given as plain data: a list of (name, keywords, threshold) per
axis, and the two options. Written straight from the rules, with Python sets
and regular expressions, as slow and obvious as possible; the tests compare
nuvra.Space (per call, in batches and at the command line) against it bit for
bit. For the three default axes it is the reference of nuvra.semv_core.
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence

from nuvra_testing.reference import X_KEYWORDS, Y_KEYWORDS, Z_KEYWORDS

Axis = tuple[str, Sequence[str], float]

DEFAULT_AXES: list[Axis] = [("fault", X_KEYWORDS, 0.4), ("security", Y_KEYWORDS, 0.4), ("data", Z_KEYWORDS, 0.4)]

FOLD = str.maketrans("çÇğĞıİöÖşŞüÜ", "cCgGiIoOsSuU")

TOKEN = re.compile("[A-Za-z0-9_]+")
# Inside a token: a cut before an upper-case letter after a lower-case letter
# or a digit, and before an upper-case letter that follows an upper-case
# letter and precedes a lower-case one; "_" cuts as well.
CUT = re.compile("(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])")


def bigram_set(s: str) -> set[str]:
    if len(s) < 2:
        return {s}
    return {s[i : i + 2] for i in range(len(s) - 1)}


def jaccard(a: set[str], b: set[str]) -> float:
    common = len(a & b)
    return float(common) / float(len(a) + len(b) - common)


def word_vector_explained(
    axes: Sequence[Axis], word: str, fold: bool = False
) -> tuple[list[float], list[tuple[int, int, str]]]:
    """The word vector, and (axis, keyword index, how) of each positive component."""
    k = len(axes)
    if fold:
        word = word.translate(FOLD)
    w = word.lower().strip()
    if not w:
        return [0.0] * k, []
    for a, (_, keywords, _) in enumerate(axes):
        for i, keyword in enumerate(keywords):
            if w.startswith(keyword):
                v = [0.0] * k
                v[a] = 1.0
                return v, [(a, i, "prefix")]
    wb = bigram_set(w)
    v, why = [], []
    for a, (_, keywords, threshold) in enumerate(axes):
        best, best_i = 0.0, -1
        for i, keyword in enumerate(keywords):
            score = jaccard(wb, bigram_set(keyword))
            if score > best:
                best, best_i = score, i
        if best >= threshold:
            v.append(best)
            why.append((a, best_i, "bigrams"))
        else:
            v.append(0.0)
    return v, why


def word_vector(axes: Sequence[Axis], word: str, fold: bool = False) -> list[float]:
    return word_vector_explained(axes, word, fold)[0]


def tokens(text: str, split: bool = False, fold: bool = False) -> list[tuple[str, int]]:
    """(token as scored, offset in code points) of each token of the text."""
    if fold:
        text = text.translate(FOLD)
    out = []
    for m in TOKEN.finditer(text):
        pieces = [(m.group(), m.start())]
        if split:
            pieces = []
            for part in re.finditer("[^_]+", m.group()):
                starts = [0, *(c.start() for c in CUT.finditer(part.group())), len(part.group())]
                for s, e in zip(starts, starts[1:], strict=False):
                    if e > s:
                        pieces.append((part.group()[s:e], m.start() + part.start() + s))
        out += [(p.lower(), start) for p, start in pieces]
    return out


def text_vector(axes: Sequence[Axis], text: str, split: bool = False, fold: bool = False) -> list[float]:
    k = len(axes)
    total = [0.0] * k
    matched = False
    for token, _ in tokens(text, split, fold):
        v = word_vector(axes, token)
        if any(c > 0.0 for c in v):
            matched = True
            total = [s + c for s, c in zip(total, v, strict=True)]
    if not matched:
        return [0.0] * k
    squares = 0.0
    for s in total:
        squares = squares + s * s
    length = math.sqrt(squares)
    if length == 0.0:
        return [0.0] * k
    return [s / length for s in total]


def explain(axes: Sequence[Axis], text: str, split: bool = False, fold: bool = False) -> list[tuple]:
    """(token, start, axis name, keyword, how, score) per token and positive component, in token order."""
    out = []
    for token, start in tokens(text, split, fold):
        v, why = word_vector_explained(axes, token)
        for a, i, how in why:
            out.append((token, start, axes[a][0], axes[a][1][i], how, v[a]))
    return out


def cosine(v1: Sequence[float], v2: Sequence[float]) -> float:
    dot = n1 = n2 = 0.0
    for a, b in zip(v1, v2, strict=True):
        dot = dot + a * b
    if dot == 0.0:
        return 0.0
    for a in v1:
        n1 = n1 + a * a
    for b in v2:
        n2 = n2 + b * b
    if n1 == 0.0 or n2 == 0.0:
        return 0.0
    return dot / (math.sqrt(n1) * math.sqrt(n2))
