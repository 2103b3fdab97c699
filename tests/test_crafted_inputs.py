"""Words built against the sets that collect bigrams cost what the same
characters shuffled cost, give or take a small constant per character.

The sets hold at most 23 pairs, since a word with more distinct bigrams scores
nothing; a lookup of a pair that is not a symbol pair scans its set. The worst
case for that order is a word that cycles through 22 distinct pairs of such
code points, so that the set is full and every lookup scans it, for as long as
the word lasts. Shuffling the same characters makes more distinct pairs, which
ends collection early.
"""

import random
import time

import pytest

from nuvra.semv_core import get_semantic_vector_c, vectorize_text_c
from nuvra_testing import reference
from nuvra_testing.helpers import same_bits

LENGTH = 220_000
# Linear time with any constant a machine has: far below what a quadratic
# set would take on these lengths (tens of seconds).
ALLOWANCE_PER_CHARACTER = 200e-9

CYCLES = {
    "ASCII punctuation": "!\"#$%&'()*+,-./:;<=>?@",
    "Latin Extended-A, lowered in place": "".join(chr(c) for c in range(0x101, 0x12D, 2)),
    "CJK, lowered by str.lower": "".join(chr(0x4E00 + i) for i in range(22)),
    "symbols": "0123456789_qwertyuiopz",
}
assert all(len(cycle) == 22 for cycle in CYCLES.values())


def seconds(function, argument, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function(argument)
        best = min(best, time.perf_counter() - start)
    return best


@pytest.mark.parametrize("cycle", CYCLES.values(), ids=CYCLES.keys())
@pytest.mark.parametrize("function", [get_semantic_vector_c, vectorize_text_c])
def test_a_word_that_fills_the_set_costs_what_its_letters_shuffled_cost(cycle, function):
    crafted = cycle * (LENGTH // len(cycle))
    letters = list(crafted)
    random.Random(1).shuffle(letters)
    shuffled = "".join(letters)
    assert seconds(function, crafted) <= 4 * seconds(function, shuffled) + ALLOWANCE_PER_CHARACTER * LENGTH


@pytest.mark.parametrize("cycle", CYCLES.values(), ids=CYCLES.keys())
def test_crafted_words_keep_their_results(cycle):
    for repeats in (1, 2, 5):
        for tail in ("", "db", "error", "Ā"):
            word = "passw" + cycle[: len(cycle) - repeats] * repeats + tail
            assert same_bits(get_semantic_vector_c(word), reference.get_semantic_vector(word))


def test_a_word_counted_pair_by_pair_costs_what_its_letters_shuffled_cost():
    # "connection" has 8 distinct keyword bigrams, enough that the bound on
    # its distinct bigrams cannot rule it out, so the whole word is counted
    # pair by pair; the 13 pairs of the cycle and "n!" keep it at 22 distinct
    # bigrams, just short of the stop, with the set of other pairs full.
    crafted = "connection" + "!\"#$%&'()*+,-" * (LENGTH // 13)
    letters = list(crafted)
    random.Random(1).shuffle(letters)
    shuffled = "".join(letters)
    assert same_bits(get_semantic_vector_c(crafted), reference.get_semantic_vector(crafted))
    assert (
        seconds(get_semantic_vector_c, crafted)
        <= 4 * seconds(get_semantic_vector_c, shuffled) + ALLOWANCE_PER_CHARACTER * LENGTH
    )
