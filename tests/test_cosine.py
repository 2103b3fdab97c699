"""cosine_similarity_c: arithmetic order, special values, item conversion."""

import math
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from nuvra.semv_core import cosine_similarity_c
from nuvra_testing import reference
from nuvra_testing.helpers import Number, bits, entries, same_bits
from nuvra_testing.source_lines import COS, COS_FUNCTION, V1_ITEMS, V2_ITEMS

NAN = math.nan


@pytest.mark.parametrize(
    "v1, v2, expected",
    [
        ([1.0, 0.0, 0.0], [-1.0, 0.0, 0.0], -1.0),
        ([1, 1, 1], [1, 1, 1], 1.0000000000000002),
        ([1, 2, 0], [2, 1, 0], 0.7999999999999998),
        ([3, 4, 0], [4, 3, 0], 0.96),
        ([1, 0, 0], [0, 1, 0], 0.0),
        ([-1.0, 0.0, -0.0], [0.0, -1.0, 1.0], 0.0),
        ([0, 0, 0], [1, 2, 3], 0.0),
        ([1e-200, 0, 0], [1e-200, 0, 0], 0.0),
        ([1e200, 0, 0], [1e200, 0, 0], NAN),
        ([NAN, 0, 0], [0, 0, 0], 0.0),
        ([NAN, 0, 0], [1, 0, 0], NAN),
        ([math.inf, 0, 0], [1, 0, 0], NAN),
        ([1, 0, 0, None], [1, 0, 0], 1.0),
        ([True, 0, 0], [2, 0, 0], 1.0),
        ([-0.0, -0.0, -0.0], [-0.0, -0.0, -0.0], 0.0),
    ],
)
def test_examples_bit_for_bit(v1, v2, expected):
    result = cosine_similarity_c(v1, v2)
    assert type(result) is float
    if math.isnan(expected):  # the sign of a NaN made by the processor is its own
        assert math.isnan(result)
    else:
        assert bits(result) == bits(expected)
    assert same_bits(reference.cosine_similarity(v1, v2), result)


def test_products_are_not_fused():
    # With a fused multiply-add, a*b + c*d keeps the low bits of a*b and the
    # dot product of these vectors would not cancel to exactly zero.
    a = 1.0 + 2.0**-30
    v1, v2 = [a, a, 0.0], [a, -a, 0.0]
    assert bits(cosine_similarity_c(v1, v2)) == bits(0.0)
    x = 0.1
    v1, v2 = [x, 1.0, 0.0], [x, -(x * x), 0.0]
    assert same_bits(cosine_similarity_c(v1, v2), reference.cosine_similarity(v1, v2))


class Index:
    def __index__(self):
        return 7


class Sub(float):
    pass


def test_items_convert_by_the_interpreters_rules():
    assert cosine_similarity_c([Number(1.0), Index(), 0], [1.0, 7, 0]) == cosine_similarity_c(
        [1.0, 7.0, 0.0], [1.0, 7.0, 0.0]
    )
    assert cosine_similarity_c([Sub(2.0), 0, 0], [1, 0, 0]) == 1.0
    assert cosine_similarity_c([-1.0, 0, 0], [Number(-1.0), 0, 0]) == 1.0  # -1.0 is a value


@pytest.mark.parametrize(
    "v1, v2, exc, line",
    [
        (None, [1, 0, 0], TypeError, V1_ITEMS[0]),
        (["x", 0, 0], [1, 0, 0], TypeError, V1_ITEMS[0]),
        ([1, None, 0], None, TypeError, V1_ITEMS[1]),
        ([1, 0, 2**2000], [1, 0, 0], OverflowError, V1_ITEMS[2]),
        ([1, 0, 0], None, TypeError, V2_ITEMS[0]),
        ([1, 0, 0], [object(), 0, 0], TypeError, V2_ITEMS[0]),
        ([1, 0, 0], [1, "y", 0], TypeError, V2_ITEMS[1]),
        ([1, 0, 0], [1, 0, Number("no")], TypeError, V2_ITEMS[2]),
        ([], [1, 0, 0], IndexError, V1_ITEMS[0]),
        ([1, 0], [1, 0, 0], IndexError, V1_ITEMS[2]),
        ([1, 0, 0], [1], IndexError, V2_ITEMS[1]),
    ],
)
def test_read_failures_name_the_item(v1, v2, exc, line):
    with pytest.raises(exc) as info:
        cosine_similarity_c(v1, v2)
    assert entries(info.value) == [(COS, COS_FUNCTION), (COS, line)]


def test_none_and_short_list_messages():
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        cosine_similarity_c(None, None)
    with pytest.raises(IndexError, match=r"^cosine_similarity_c\(\) needs 3 items in 'v2', it has 1$"):
        cosine_similarity_c([1, 0, 0], [1])


def test_conversion_errors_are_the_interpreters_own():
    class Raises:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

    with pytest.raises(ZeroDivisionError, match="from __float__"):
        cosine_similarity_c([Raises(), 0, 0], [1, 0, 0])


class Shrinker:
    """Empties the list it is in while it converts, and is then the last owner of itself."""

    def __init__(self, target, value=1.0):
        self.target, self.value = target, value

    def __float__(self):
        self.target.clear()
        return self.value


def test_list_shortened_during_conversion_is_not_read_past_its_end():
    v1 = [0.0, 0.0, 0.0]
    v1[0] = Shrinker(v1)
    with pytest.raises(IndexError) as info:
        cosine_similarity_c(v1, [1, 0, 0])
    assert entries(info.value)[-1] == (COS, V1_ITEMS[1])
    v2 = [1.0, 0.0, 0.0]
    v2[1] = Shrinker(v2, 2.0)  # the item converts although the list lost it
    with pytest.raises(IndexError) as info:
        cosine_similarity_c([1, 0, 0], v2)
    assert entries(info.value)[-1] == (COS, V2_ITEMS[2])


def test_list_grown_during_conversion_reads_current_items():
    v1 = [1.0, 0.0, 0.0]

    class Grower:
        def __float__(self):
            v1[1:] = [5.0, 5.0]
            return 0.0

    v1[0] = Grower()
    assert cosine_similarity_c(v1, [0, 1, 1]) == cosine_similarity_c([0.0, 5.0, 5.0], [0, 1, 1])


def test_no_reference_is_kept():
    v1, v2 = [1.5, 2.5, 3.5], [Number(1.0), 2, 3]
    counts = sys.getrefcount(v1), sys.getrefcount(v2), sys.getrefcount(v2[0])
    for _ in range(1000):
        cosine_similarity_c(v1, v2)
        try:
            cosine_similarity_c(v1, [1, "x", 0])
        except TypeError:
            pass
    assert (sys.getrefcount(v1), sys.getrefcount(v2), sys.getrefcount(v2[0])) == counts


components = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1e-300, max_value=1e-300),
    st.integers(min_value=-(2**60), max_value=2**60),
    st.booleans(),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 1e308, -1e308, 5e-324]),
)
vectors = st.lists(components, min_size=3, max_size=5)


@given(vectors, vectors)
def test_matches_the_reference_bit_for_bit(v1, v2):
    assert same_bits(cosine_similarity_c(v1, v2), reference.cosine_similarity(v1, v2))


@given(st.lists(st.floats(min_value=0.0, max_value=1.0), min_size=3, max_size=3))
def test_symmetric(v):
    w = [v[2], v[0], v[1]]
    assert bits(cosine_similarity_c(v, w)) == bits(cosine_similarity_c(w, v))
