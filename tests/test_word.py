"""get_semantic_vector_c: normalisation, prefix scan, bigram fallback."""

import sys

import pytest
from hypothesis import given, settings

import nuvra.semv_core as semv_core
from nuvra.semv_core import get_semantic_vector_c, vectorize_text_c
from nuvra_testing import reference
from nuvra_testing.helpers import entries, same_bits
from nuvra_testing.source_lines import WORD, WORD_FUNCTION, WORD_NORMALISE
from nuvra_testing.strategies import words


@pytest.mark.parametrize(
    "word, expected",
    [
        ("", [0.0, 0.0, 0.0]),
        ("   ", [0.0, 0.0, 0.0]),
        ("  ERROR42 ", [1.0, 0.0, 0.0]),
        ("Login", [0.0, 1.0, 0.0]),
        ("loginfail", [0.0, 1.0, 0.0]),
        ("logfile", [0.0, 0.0, 1.0]),
        ("certain", [0.0, 1.0, 0.0]),
        ("x", [0.0, 0.0, 0.0]),
        ("ab", [0.0, 0.0, 0.0]),
        ("passwd", [0.0, 0.5, 0.0]),
        ("tok", [0.0, 0.5, 0.0]),
        ("dtabase", [0.0, 0.0, 0.625]),
        ("errlog", [0.0, 0.0, 0.4]),
        ("blog", [0.0, 0.4, 0.6666666666666666]),
        ("bread", [0.6, 0.0, 0.75]),
        ("illow", [0.4, 0.6, 0.0]),
        ("my error", [0.5714285714285714, 0.0, 0.0]),
        ("xerror", [0.8, 0.0, 0.0]),
        ("rminater", [1.0, 0.0, 0.0]),
        ("çokme", [0.6, 0.0, 0.0]),
        ("şifre", [0.0, 0.6, 0.0]),
        ("ÇÖKME", [0.0, 0.0, 0.0]),
        ("IZIN", [0.0, 1.0, 0.0]),
        ("İzin", [0.0, 0.4, 0.0]),
        ("\u212aey", [0.0, 1.0, 0.0]),  # the Kelvin sign lower-cases to k
        ("\x1c\x1fdb\x85\u3000", [0.0, 0.0, 1.0]),  # every kind of whitespace is stripped
        ("\x00db", [0.0, 0.0, 0.5]),  # NUL is no whitespace: {"\x00d", "db"} against {"db"}
        ("db\ud800", [0.0, 0.0, 1.0]),
    ],
)
def test_examples_bit_for_bit(word, expected):
    result = get_semantic_vector_c(word)
    assert same_bits(result, expected)
    assert same_bits(reference.get_semantic_vector(word), expected)


def test_zero_and_unit_vectors_hold_the_shared_floats():
    zero, unit = get_semantic_vector_c(""), get_semantic_vector_c("error")
    assert zero is not get_semantic_vector_c("")
    assert all(item is zero[0] for item in zero + unit[1:] + get_semantic_vector_c(" \t\u3000"))
    assert unit[0] is get_semantic_vector_c("key")[1] is get_semantic_vector_c("VERI")[2]
    assert unit[0] == 1.0 and zero[0] == 0.0


def test_fallback_vectors_hold_new_floats():
    a, b = get_semantic_vector_c("bread"), get_semantic_vector_c("x")
    assert a[1] is not b[0] and b[0] is not b[1]
    assert a[1] is not get_semantic_vector_c("")[0]


def test_result_is_a_new_list_every_time():
    first = get_semantic_vector_c("password")
    first[1] = 7.0
    assert get_semantic_vector_c("password") == [0.0, 1.0, 0.0]


def test_none_is_refused_on_every_call():
    for _ in range(3):
        with pytest.raises(TypeError, match="descriptor 'lower' for 'str' objects doesn't apply") as info:
            get_semantic_vector_c(None)
        assert entries(info.value) == [(WORD, WORD_FUNCTION), (WORD, WORD_NORMALISE)]


def test_ascii_words_create_only_the_result():
    # Three shared floats and a list: the allocated blocks grow by the lists alone
    # (each is an object and its item array).
    keep = []
    get_semantic_vector_c("errorlog")
    before = sys.getallocatedblocks()
    for _ in range(100):
        keep.append(get_semantic_vector_c("  Errorlog "))
    assert sys.getallocatedblocks() - before <= 2 * 100 + 5


@pytest.mark.parametrize("word", ["xerror", "İzin", "çokme şifre", "a\U0001f600b" * 50])
def test_no_leak(word):
    for _ in range(200):
        get_semantic_vector_c(word)
    before = sys.getallocatedblocks()
    for _ in range(2000):
        get_semantic_vector_c(word)
    assert sys.getallocatedblocks() - before < 20


@pytest.mark.parametrize(
    "word",
    [
        "".join(chr(c) for c in range(32, 0x3000, 7)),  # many distinct pairs of every width
        "".join(chr(0x10000 + i) + chr(0x10000 + (i * 7919) % 5000) for i in range(5000)),
        "ab" * 100_000 + "ror",
        "\ud800\udc00" * 50 + "\udfff" * 3,
        "q" * 40 + "ue" + "ry" * 3,
    ],
)
def test_long_words_match_the_reference(word):
    assert same_bits(get_semantic_vector_c(word), reference.get_semantic_vector(word))
    assert same_bits(get_semantic_vector_c(word.upper()), reference.get_semantic_vector(word.upper()))


@pytest.mark.parametrize(
    "word",
    [
        "connection",  # every bigram a keyword bigram: d is their number
        "passwdxy",  # other bigrams that begin differently: d is known
        "passwdwz",  # two other bigrams begin with w: d counted, and 4/10 kept
        "zq" * 40 + "error",  # one other pair repeated: counted to 4/7
        "erzq" + "zq" * 20,  # the lower bound already rules every keyword out
        "q" + "disconnectpermissionveritabanisertifika",  # more than 22 keyword bigrams
        "qz" * 100 + "x" + "".join(chr(c) for c in range(0x61, 0x7B)),  # stops on the way
        "ç" * 3 + "okme",  # other bigrams of code points that are no symbol
    ],
)
def test_each_way_of_counting_bigrams(word):
    assert same_bits(get_semantic_vector_c(word), reference.get_semantic_vector(word))
    text = f"{word} {word.upper()}"
    assert same_bits(vectorize_text_c(text), reference.vectorize_text(text))


@pytest.mark.parametrize("axis", range(3))
def test_every_keyword_counted_up_to_the_threshold(axis):
    # Each keyword's bigrams, all of them or all but its first, in a word that
    # does not start with it, lengthened by other bigrams (digits) from well
    # inside the threshold to past it: each keyword's own count, set size and
    # least kept count decide where its score is dropped.
    for keyword in reference.KEYWORDS[axis]:
        for body in (keyword, keyword[1:]):
            for extra in range(12):
                word = "q" + body + "0123456789_"[:extra]
                assert same_bits(get_semantic_vector_c(word), reference.get_semantic_vector(word)), word
                text = f"{word} {word.upper()}"
                assert same_bits(vectorize_text_c(text), reference.vectorize_text(text)), text


@settings(max_examples=1500)
@given(words)
def test_matches_the_reference_bit_for_bit(word):
    assert same_bits(get_semantic_vector_c(word), reference.get_semantic_vector(word))


@given(words)
def test_fallback_components_are_zero_or_scores(word):
    vector = get_semantic_vector_c(word)
    assert len(vector) == 3 and all(type(x) is float for x in vector)
    assert all(x == 0.0 or 0.4 <= x <= 1.0 for x in vector)


def test_vocabularies_are_private_and_never_rebuilt():
    assert not any(name.endswith(("_KEYWORDS", "_BIGRAMS")) for name in dir(semv_core))
