"""Argument binding: counts, keywords, type tests, their messages and entries."""

import functools

import pytest

from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing.helpers import entries
from nuvra_testing.source_lines import COS, COS_FUNCTION, FUNCTION_LINES, V1_ITEMS, WORD, WORD_NORMALISE

A, B = [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]


def raises(call, exc=TypeError):
    with pytest.raises(exc) as info:
        call()
    return str(info.value), entries(info.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cosine_similarity_c(A), "takes exactly 2 positional arguments (1 given)"),
        (lambda: cosine_similarity_c(A, A, A), "takes exactly 2 positional arguments (3 given)"),
        (
            lambda: cosine_similarity_c(A, A, A, v1=A),
            "takes exactly 2 positional arguments (3 given)",
        ),
        (lambda: cosine_similarity_c(), "takes exactly 2 positional arguments (0 given)"),
        (lambda: cosine_similarity_c(v1=A), "takes exactly 2 positional arguments (1 given)"),
        (lambda: cosine_similarity_c(v2=A), "takes exactly 2 positional arguments (0 given)"),
        (lambda: cosine_similarity_c(A, v1=B), "got multiple values for keyword argument 'v1'"),
        (lambda: cosine_similarity_c(x=A), "got an unexpected keyword argument 'x'"),
        (lambda: cosine_similarity_c(A, V2=A), "got an unexpected keyword argument 'V2'"),
        (lambda: cosine_similarity_c(V1=A, x=A), "got an unexpected keyword argument 'V1'"),
        (
            lambda: cosine_similarity_c(A, v1=A, x=A),
            "got multiple values for keyword argument 'v1'",
        ),
    ],
)
def test_cosine_binding_failures(call, message):
    assert raises(call) == (f"cosine_similarity_c() {message}", [(COS, COS_FUNCTION)])


@pytest.mark.parametrize(
    "function, name",
    [(get_semantic_vector_c, "get_semantic_vector_c"), (vectorize_text_c, "vectorize_text_c")],
)
def test_one_parameter_binding_failures(function, name):
    dotted = [(f"nuvra.semv_core.{name}", FUNCTION_LINES[name])]
    param = function.__code__.co_varnames[0]
    count = f"{name}() takes exactly 1 positional argument"
    assert raises(lambda: function()) == (f"{count} (0 given)", dotted)
    assert raises(lambda: function("a", "b")) == (f"{count} (2 given)", dotted)
    assert raises(lambda: function("a", **{param: "b"})) == (
        f"{name}() got multiple values for keyword argument '{param}'",
        dotted,
    )
    assert raises(lambda: function(**{param.upper(): "b"})) == (
        f"{name}() got an unexpected keyword argument '{param.upper()}'",
        dotted,
    )
    assert function(**{param: "error"}) == function("error")


def test_keywords_bind_in_any_order():
    v1, v2 = [1, 2, 0], [2, 1, 0]
    expected = cosine_similarity_c(v1, v2)
    assert cosine_similarity_c(v2=v2, v1=v1) == expected
    assert cosine_similarity_c(v1, v2=v2) == expected
    assert cosine_similarity_c(**{"v2": v2, "v1": v1}) == expected
    assert functools.partial(cosine_similarity_c, v2=v2)(v1) == expected
    assert cosine_similarity_c(v2, v1) == cosine_similarity_c(v1=v2, v2=v1)


def test_keyword_names_are_matched_by_equality_too():
    # A name built at run time is equal to, not identical with, the interned one.
    name = "".join(["v", "1"])
    assert cosine_similarity_c(**{name: A, "v2": A}) == 1.0


class Named(str):
    pass


class Raising(str):
    def __eq__(self, other):
        raise LookupError("eq raised")

    __hash__ = str.__hash__


class Liar(str):
    def __eq__(self, other):
        return other == "v2"

    __hash__ = str.__hash__


def test_keyword_names_of_str_subclasses():
    assert cosine_similarity_c(A, **{Named("v2"): A}) == 1.0
    message, where = raises(lambda: cosine_similarity_c(A, **{Raising("v2"): A}), LookupError)
    assert (message, where) == ("eq raised", [(COS, COS_FUNCTION)])
    # Equal by its own __eq__ to "v2" only.
    assert cosine_similarity_c(A, **{Liar("zz"): B}) == 0.0


def test_non_str_keyword_names_are_refused():
    assert raises(lambda: cosine_similarity_c(A, **{1: A})) == ("keywords must be strings", [])


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: get_semantic_vector_c(b"error"),
            "Argument 'word' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: get_semantic_vector_c(Named("error")),
            "Argument 'word' has incorrect type (expected str, got Named)",
        ),
        (lambda: vectorize_text_c(3), "Argument 'text' has incorrect type (expected str, got int)"),
        (
            lambda: vectorize_text_c(text=b""),
            "Argument 'text' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: cosine_similarity_c((1, 0, 0), "x"),
            "Argument 'v1' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: cosine_similarity_c(None, (1, 0, 0)),
            "Argument 'v2' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: cosine_similarity_c(A, type("L", (list,), {})(A)),
            "Argument 'v2' has incorrect type (expected list, got L)",
        ),
    ],
)
def test_type_test_failures_have_no_entry(call, message):
    assert raises(call) == (message, [])


def test_type_name_is_cut_at_200_bytes():
    long_type = type("T" * 300, (), {})
    message, _ = raises(lambda: get_semantic_vector_c(long_type()))
    assert message == f"Argument 'word' has incorrect type (expected str, got {'T' * 200})"
    wide = type("é" * 150, (), {})  # 300 bytes in UTF-8: 100 whole characters fit
    message, _ = raises(lambda: vectorize_text_c(wide()))
    assert message == f"Argument 'text' has incorrect type (expected str, got {'é' * 100})"


def test_none_passes_binding_for_every_parameter():
    # Each body then refuses None itself, with its own entries.
    _, where = raises(lambda: cosine_similarity_c(None, None))
    assert where == [(COS, COS_FUNCTION), (COS, V1_ITEMS[0])]
    _, where = raises(lambda: get_semantic_vector_c(None))
    assert where[-1] == (WORD, WORD_NORMALISE)


def test_bound_arguments_are_released():
    import sys

    v1, v2, word = [1.0, 2.0, 3.0], [3.0, 2.0, 1.0], "x" * 10
    counts = [sys.getrefcount(o) for o in (v1, v2, word)]
    for _ in range(1000):
        cosine_similarity_c(v1, v2)
        cosine_similarity_c(v2=v2, v1=v1)
        get_semantic_vector_c(word=word)
        for bad in (
            lambda: cosine_similarity_c(v1, v1=v2),
            lambda: cosine_similarity_c(v1, x=v2),
            lambda: cosine_similarity_c(v1, (1,)),
            lambda: get_semantic_vector_c(word, word),
        ):
            try:
                bad()
            except TypeError:
                pass
    assert [sys.getrefcount(o) for o in (v1, v2, word)] == counts
