"""vectorize_text_c: tokens, the numeric core, memory."""

import random
import re
import sys
import tracemalloc

import pytest
from hypothesis import given, settings

from nuvra.semv_core import get_semantic_vector_c, vectorize_text_c
from nuvra_testing import reference
from nuvra_testing.helpers import entries, same_bits
from nuvra_testing.loggen import mixed_text
from nuvra_testing.source_lines import TEXT, TEXT_FUNCTION, TEXT_TOKENISE
from nuvra_testing.strategies import texts


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ERROR: disk write failed, 2024", [0.8944271909999159, 0.0, 0.4472135954999579]),
        (
            "ERROR: disk write failed, 2024 ERROR: disk write failed, 2024",
            [0.8944271909999159, 0.0, 0.4472135954999579],
        ),
        (
            "Database connection failed: permission denied for user admin",
            [0.350982059081517, 0.9084241529168674, 0.22710603822921685],
        ),
        (
            "Disk hatası: güvenlik_log 2024 kaydı",
            [0.8554161657593788, 0.3888255298906267, 0.3421664663037515],
        ),
        ("readme datab", [0.24667928063493072, 0.0, 0.969097173922942]),
        ("readme datab readme datab", [0.24667928063493078, 0.0, 0.969097173922942]),
        ("error key db", [0.5773502691896258, 0.5773502691896258, 0.5773502691896258]),
        ("", [0.0, 0.0, 0.0]),
        ("  !!! ...", [0.0, 0.0, 0.0]),
        ("hello world 2024", [0.0, 0.0, 0.0]),
        ("İstisna ŞİFRE çökme", reference.vectorize_text("stisna FRE kme")),
        ("güvenlik", reference.vectorize_text("g venlik")),
        (
            "ERROR\x00key\ud800db\U0001f600",
            [0.5773502691896258, 0.5773502691896258, 0.5773502691896258],
        ),
        ("e-mail don't file.txt", reference.vectorize_text("e mail don t file txt")),
    ],
)
def test_examples_bit_for_bit(text, expected):
    assert same_bits(vectorize_text_c(text), expected)
    assert same_bits(reference.vectorize_text(text), expected)


@pytest.mark.parametrize(
    "text, tokens",
    [
        (
            "Disk hatası: güvenlik_log 2024 kaydı",
            ["Disk", "hatas", "g", "venlik_log", "2024", "kayd"],
        ),
        (
            "db_error42 e-mail don't file.txt",
            ["db_error42", "e", "mail", "don", "t", "file", "txt"],
        ),
        ("İstisna ŞİFRE çökme", ["stisna", "FRE", "kme"]),
        ("snake_case42", ["snake_case42"]),
        (
            "\uff25rror \u212aey \u0660db",
            ["rror", "ey", "db"],
        ),  # full-width E, Kelvin sign, Arabic digit
    ],
)
def test_tokens_are_the_ascii_runs(text, tokens):
    # The vector of a text equals that of its tokens joined by single spaces.
    assert re.findall(reference.TOKEN_PATTERN, text) == tokens
    assert same_bits(vectorize_text_c(text), vectorize_text_c(" ".join(tokens)))


def test_tokens_keep_their_case_until_the_word_vector():
    # ERROR, error and Error each reach the word vector, which lower-cases.
    assert vectorize_text_c("ERROR error Error") == [1.0, 0.0, 0.0]
    assert get_semantic_vector_c("ERROR") == get_semantic_vector_c("error")


def test_single_matched_token_gives_its_own_direction():
    vector = get_semantic_vector_c("blog")
    norm = (vector[1] ** 2 + vector[2] ** 2) ** 0.5
    assert vectorize_text_c("blog") == [0.0, vector[1] / norm, vector[2] / norm]


def test_zero_results_hold_the_shared_float_and_normalised_ones_new_floats():
    zero = get_semantic_vector_c("")[0]
    for text in ("", "...", "hello"):
        result = vectorize_text_c(text)
        assert result == [0.0, 0.0, 0.0] and all(item is zero for item in result)
    result = vectorize_text_c("error")
    assert result == [1.0, 0.0, 0.0] and result[1] is not zero
    result[0] = 5.0
    assert vectorize_text_c("error") == [1.0, 0.0, 0.0]


def test_none_is_refused_at_the_tokenising_line():
    with pytest.raises(TypeError, match="expected a str for 'text', got None") as info:
        vectorize_text_c(None)
    assert entries(info.value) == [(TEXT, TEXT_FUNCTION), (TEXT, TEXT_TOKENISE)]


@pytest.mark.parametrize("width", ["", "ğ", "\U0001f600"])
@pytest.mark.parametrize("token", ["db", "9log", "x_db", "errr", "r2d2", "aB1"])
def test_tokens_across_the_units_read_together(width, token):
    # Texts are read 64 units at a time: the token starts at every place
    # around the first two joins, so that its letters fall on both sides.
    for start in [*range(56, 70), *range(120, 132)]:
        text = width + " " * (start - len(width)) + token + " erorr"
        assert same_bits(vectorize_text_c(text), reference.vectorize_text(text)), start


@pytest.mark.parametrize("width", ["", "ğ", "\U0001f600"])
def test_the_last_part_block_counts_only_its_own_units(width):
    # The last block of a text longer than a block is read together with
    # units of the block before it: tokens there must not count twice, nor
    # join a token that begins the last block.
    words = "db error x9 lo_g sshdb "
    for n in range(60, 200):
        text = width + (words * 12)[: n - len(width)]
        assert same_bits(vectorize_text_c(text), reference.vectorize_text(text)), n


@settings(max_examples=800)
@given(texts)
def test_matches_the_reference_bit_for_bit(text):
    assert same_bits(vectorize_text_c(text), reference.vectorize_text(text))


@given(texts)
def test_result_has_length_one_or_is_zero(text):
    x, y, z = vectorize_text_c(text)
    length = (x * x + y * y + z * z) ** 0.5
    assert length == 0.0 or abs(length - 1.0) < 1e-12
    assert min(x, y, z) >= 0.0


@pytest.mark.slow
@pytest.mark.parametrize("extra", ["", "é", "ğ", "\U0001f600"])
def test_large_text_matches_the_reference(extra):
    text = mixed_text(2_000_000, seed=len(extra), extra=extra)
    assert same_bits(vectorize_text_c(text), reference.vectorize_text(text))


@pytest.mark.parametrize("width", ["", "ğ", "\U0001f600"])
def test_long_texts_that_repeat_near_twins_match_the_reference(width):
    # Long texts keep the vectors of their tokens for the call: tokens that
    # differ only late, only in case, or only past the kept length must not
    # share a vector. Each near twin is summed on its own, so one wrong
    # vector changes the sum.
    stems = [
        "xdatabase",
        "xdatabasq",
        "dtabase",
        "dtabasE",
        "rminater",
        "rminatex",
        "passwdpasswdpass",
        "passwdpasswdpasq",
        "passwdpasswdpassw",
        "passwdpasswdpassx",
        "blog_",
        "blog9",
        "a_b",
        "A_B",
    ]
    rng = random.Random(5)
    words = [rng.choice(stems) for _ in range(3000)]
    words = [w.upper() if rng.random() < 0.2 else w for w in words]
    for text in (width.join(words), " ".join(words)):
        assert len(text) > 8192
        assert same_bits(vectorize_text_c(text), reference.vectorize_text(text))
    for stem in stems:
        text = " ".join([stem] * 600 + ["error"])
        assert same_bits(vectorize_text_c(text), reference.vectorize_text(text))


@pytest.mark.parametrize("extra", ["", "ğ"])
def test_memory_does_not_grow_with_the_text(extra):
    text = mixed_text(8_000_000, seed=3, extra=extra)
    size = sys.getsizeof(text)
    vectorize_text_c(text)
    tracemalloc.start()
    try:
        vectorize_text_c(text)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 4096
    assert sys.getsizeof(text) == size


def test_no_leak():
    samples = ["", "hello", "error key", "güvenlik_log ŞİFRE", "x" * 5000]
    for _ in range(100):
        for s in samples:
            vectorize_text_c(s)
    before = sys.getallocatedblocks()
    for _ in range(2000):
        for s in samples:
            vectorize_text_c(s)
        try:
            vectorize_text_c(None)
        except TypeError:
            pass
    assert sys.getallocatedblocks() - before < 20
