"""The words of a query that a line holds: how rankings order lines of equal score.

A text's words are its runs of A-Z, a-z, 0-9 and _, lower-cased, after the
space's Turkish fold when it has one (so "güvenlik" and "Guvenlik" are one
word). Camel and snake case are not split here: "PermissionDenied" is one word.
"""

from __future__ import annotations

import re

from nuvra import _batch
from nuvra.space import _FOLD

# The characters of words, as the core's tokens have them (A-Z, a-z, 0-9 and _).
TOKEN_CHARACTERS: str = _batch.TOKEN_CHARACTERS
_CLASS = f"[{re.escape(TOKEN_CHARACTERS)}]"
_WORD = re.compile(f"{_CLASS}+")


def words_of(text: str, fold: bool = False) -> frozenset[str]:
    """The distinct words of text, lower-cased (folded first with fold)."""
    if fold:
        text = text.translate(_FOLD)
    return frozenset(w.lower() for w in _WORD.findall(text))


def matcher(query_words: frozenset[str]) -> re.Pattern[str] | None:
    """A pattern that finds the query's words as whole words of a text, in any case."""
    if not query_words:
        return None
    alternatives = "|".join(sorted(map(re.escape, query_words), key=len, reverse=True))
    return re.compile(rf"(?<!{_CLASS})(?:{alternatives})(?!{_CLASS})", re.ASCII | re.IGNORECASE)


def shared(text: str, query_words: frozenset[str], fold: bool = False, pattern: re.Pattern[str] | None = None) -> int:
    """How many of query_words the text holds (pattern: matcher(query_words), made once for many texts)."""
    if not query_words:
        return 0
    if pattern is None:
        pattern = matcher(query_words)
        assert pattern is not None
    if fold:
        text = text.translate(_FOLD)
    # Match by match, stopping once every word is found: a long line repeats its words, and a
    # list of every match would cost more than the line.
    found: set[str] = set()
    for match in pattern.finditer(text):
        found.add(match.group().lower())
        if len(found) == len(query_words):
            break
    return len(found)
