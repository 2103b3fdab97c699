"""Words lower-cased and stripped in place agree with str.lower and
str.strip(), which stay the definition, over every code point."""

import functools
import sys

import pytest

from nuvra.semv_core import get_semantic_vector_c
from nuvra_testing import reference
from nuvra_testing.helpers import same_bits

# Below this every code point but U+0130 is lowered in place; above it, and
# for U+0130, the module calls str.lower.
LOWERED_LIMIT = 0x180
PLACEHOLDER = 0xF0000  # private use: no case, no whitespace, no keyword letter


def canonical(w: str) -> str:
    """The normalised word with each distinct non-ASCII code point replaced by
    a placeholder in order of first occurrence: keywords are ASCII, so the
    reference's result depends only on which non-ASCII code points are equal."""
    names: dict[str, str] = {}
    return "".join(c if c < "\x80" else names.setdefault(c, chr(PLACEHOLDER + len(names))) for c in w)


@functools.cache
def reference_of_canonical(w: str) -> list[float]:
    return reference.get_semantic_vector(w)


def expected(word: str) -> list[float]:
    return reference_of_canonical(canonical(str.lower(word).strip()))


def mismatches(words):
    return [word for word in words if not same_bits(get_semantic_vector_c(word), expected(word))]


def test_canonical_words_keep_the_reference_result():
    for word in ["İzin", "çokme", "ÇÖKME", "şifre ş", "ĞĞdatabase", "\x85db\xa0", "Ādāta"]:
        assert same_bits(expected(word), reference.get_semantic_vector(word))


@pytest.mark.slow
def test_every_pair_of_code_points_below_the_limit():
    # Lowered in place, two code points must be equal exactly when their lower
    # cases are (a b a makes two distinct bigrams or one), and a letter must
    # become the same ASCII letter; whitespace is stripped only at the ends.
    points = [chr(c) for c in range(LOWERED_LIMIT)]
    words = [a + b + a + "database" for a in points for b in points]
    words += [a + "atabase" for a in points] + ["da" + a + b for a in points for b in ("abase", "a", "")]
    assert mismatches(words) == []


@pytest.mark.slow
def test_every_code_point():
    # Above the limit the interpreter lowers; the word takes that path
    # wherever its widest code point lies.
    words = ["x" + chr(c) + "\u0101" + chr(c) + "error" for c in range(sys.maxunicode + 1)]
    assert mismatches(words) == []
