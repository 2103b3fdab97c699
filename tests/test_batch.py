"""The batch functions against the per-call functions, bit for bit."""

import array
import heapq
import math
import os
import random
import struct
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nuvra
from nuvra import _batch
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing import loggen
from nuvra_testing.helpers import bits, run_python
from nuvra_testing.strategies import texts, words

HARD_TEXTS = [
    "",
    "error",
    "ERROR: disk write failed for user admin",
    "kullanıcı girişi reddedildi: şifre hatalı",
    "\ud800 lone surrogate \udfff error",
    "sep\x1cara\x1dted\x1eby\x1fcontrol error",
    "emoji \U0001f4a5 crash \U0001f600 database",
    "İSTANBUL DOSYA ĞARIZA",
    "x" * 40 + " token" * 3,
    "a_b_c 42 __init__ 0x7f",
]


def bit_rows(rows) -> np.ndarray:
    """Rows of floats as their IEEE-754 bit patterns: -0.0 is not 0.0, and NaN equals NaN."""
    return np.ascontiguousarray(rows, dtype=np.float64).view(np.uint64)


# The per-call functions take exact str only; the batch takes subclasses as the str they hold.
def expected_texts(items) -> np.ndarray:
    nan3 = [math.nan] * 3
    rows = [vectorize_text_c(str.__str__(t)) if isinstance(t, str) else nan3 for t in items]
    return np.array(rows, dtype=np.float64).reshape(-1, 3)


def expected_words(items) -> np.ndarray:
    return np.array([get_semantic_vector_c(str.__str__(w)) for w in items], dtype=np.float64).reshape(-1, 3)


def assert_same(actual: np.ndarray, expected: np.ndarray) -> None:
    assert actual.dtype == np.float64 and actual.flags.c_contiguous
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bit_rows(actual), bit_rows(expected))


@pytest.fixture(scope="module")
def log_lines():
    return loggen.log_lines(20_000, seed=7)


# --- vectorize_texts and word_vectors -----------------------------------------------------------


@settings(max_examples=200, deadline=None)
@given(st.lists(texts, max_size=30), st.sampled_from([1, 2, 3]))
def test_texts_match_the_per_call_function(items, workers):
    assert_same(nuvra.vectorize_texts(items, workers=workers), expected_texts(items))


@settings(max_examples=200, deadline=None)
@given(st.lists(words, max_size=30), st.sampled_from([1, 2]))
def test_words_match_the_per_call_function(items, workers):
    assert_same(nuvra.word_vectors(items, workers=workers), expected_words(items))


def test_hard_cases_and_real_lines(log_lines):
    items = HARD_TEXTS + log_lines[:2000] + ["error " * 200_000, "dosya\u0131 " * 50_000]
    assert_same(nuvra.vectorize_texts(items, workers=2), expected_texts(items))
    tokens = [w for line in items[:2100] for w in line.split()] + HARD_TEXTS + ["  Error\t", "\x85LOG\xa0"]
    assert_same(nuvra.word_vectors(tokens, workers=2), expected_words(tokens))


def test_every_worker_count_and_many_threads_agree(log_lines):
    expected = expected_texts(log_lines)
    for workers in (1, 2, 3, 8):
        assert_same(nuvra.vectorize_texts(log_lines, workers=workers), expected)
    results = [None] * 6

    def run(i):
        results[i] = nuvra.vectorize_texts(log_lines, workers=1 + i % 3)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        assert_same(result, expected)


def test_empty_input_has_shape_0_by_3():
    for function in (nuvra.vectorize_texts, nuvra.word_vectors):
        for empty in ([], (), iter([]), np.array([], dtype="U3")):
            assert function(empty).shape == (0, 3)
    assert nuvra.vectorize_lines(b"").shape == (0, 3)


# --- inputs ----------------------------------------------------------------------------------------


class Text(str):
    def lower(self):  # the per-call function uses str's own methods; so must the batch
        return "error"


def test_sequences_iterables_and_str_subclasses():
    items = HARD_TEXTS + [Text("Database"), np.str_("login denied")]
    expected = expected_texts(items)
    for kind in (list, tuple, iter, lambda xs: (x for x in xs)):
        assert_same(nuvra.vectorize_texts(kind(items)), expected)
    assert_same(nuvra.word_vectors(items), expected_words(items))


def test_numpy_arrays():
    items = HARD_TEXTS[:6] + ["trailing\x00\x00", "\x00inner\x00nul"]
    array = np.array(items)
    assert array.dtype.kind == "U"
    # numpy drops trailing NULs when it gives an item back; that is the str it holds.
    held = array.tolist()
    assert_same(nuvra.vectorize_texts(array), expected_texts(held))
    assert_same(nuvra.word_vectors(array), expected_words(held))
    assert_same(nuvra.vectorize_texts(array[::-2]), expected_texts(held[::-2]))
    assert_same(nuvra.vectorize_texts(array.astype(array.dtype.newbyteorder(">"))), expected_texts(held))
    objects = np.array(items + [None], dtype=object)
    assert_same(nuvra.vectorize_texts(objects), expected_texts(items + [None]))
    with pytest.raises(ValueError, match="1-D"):
        nuvra.vectorize_texts(array.reshape(2, -1))
    with pytest.raises(TypeError, match="dtype int64"):
        nuvra.vectorize_texts(np.arange(3))


def test_pandas_series():
    pd = pytest.importorskip("pandas")
    items = HARD_TEXTS[:4] + [None, "login"]
    expected = expected_texts(items)
    assert_same(nuvra.vectorize_texts(pd.Series(items, dtype=object)), expected)
    for dtype in ("string[pyarrow]", "string[python]"):
        assert_same(nuvra.vectorize_texts(pd.Series(items, dtype=dtype)), expected)
    assert_same(nuvra.vectorize_texts(pd.Series(items, dtype=object)[2:]), expected[2:])
    assert_same(
        nuvra.vectorize_texts(pd.Series([math.nan, pd.NA, "error"], dtype=object)),
        expected_texts([None, None, "error"]),
    )


def arrow_cases(pa, items):
    """Arrow columns holding items, by name: every string layout, sliced and chunked."""
    cases = {}
    for name, type_ in (
        ("string", pa.string()),
        ("large_string", pa.large_string()),
        ("string_view", pa.string_view()),
    ):
        padded = pa.array(["pad", None] + items + ["tail"], type=type_)
        cases[name] = pa.array(items, type=type_)
        cases[f"{name} sliced"] = padded.slice(2, len(items))
        cases[f"{name} chunked"] = pa.chunked_array(
            [pa.array(items[:3], type=type_), pa.array([], type=type_), pa.array(items[3:], type=type_)]
        )
    return cases


def test_arrow_columns_of_every_layout():
    pa = pytest.importorskip("pyarrow")
    items = HARD_TEXTS[:2] + [None] + [t for t in HARD_TEXTS[2:] if "\ud800" not in t] + ["x" * 13, "y" * 12]
    expected, expected_w = expected_texts(items), expected_words([w if w is not None else "" for w in items])
    expected_w[2] = math.nan
    for name, column in arrow_cases(pa, items).items():
        assert_same(nuvra.vectorize_texts(column, workers=2), expected), name
        assert_same(nuvra.word_vectors(column), expected_w), name
    assert_same(nuvra.vectorize_texts(pa.nulls(3)), expected_texts([None] * 3))


def test_polars_series():
    pl = pytest.importorskip("polars")
    items = ["error", None, "güvenlik ihlali", "db write", "z" * 20]
    assert_same(nuvra.vectorize_texts(pl.Series(items)), expected_texts(items))


def test_arrow_columns_that_hold_no_strings_are_refused():
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="format 'l'"):
        nuvra.vectorize_texts(pa.array([1, 2]))
    with pytest.raises(TypeError, match="dictionary-encoded"):
        nuvra.vectorize_texts(pa.array(["a", "b"]).dictionary_encode())


# --- missing values and bad input -----------------------------------------------------------------


def test_missing_values_give_rows_of_nan():
    pd = pytest.importorskip("pandas")
    items = ["error", None, math.nan, np.float64("nan"), pd.NA, "login"]
    result = nuvra.vectorize_texts(items)
    assert np.isnan(result[1:5]).all() and not np.isnan(result[[0, 5]]).any()
    assert np.isnan(nuvra.word_vectors([None, "x"])[0]).all()


@pytest.mark.parametrize("function", [nuvra.vectorize_texts, nuvra.word_vectors])
def test_a_bad_item_is_named_by_index_and_type(function):
    with pytest.raises(TypeError, match=r"item 2 is int, not a str"):
        function(["a", None, 5, "b"])
    with pytest.raises(TypeError, match=r"item 70000 is bytes"):
        function(iter(["a"] * 70_000 + [b"x"]))
    with pytest.raises(TypeError, match="got str: wrap a single text in a list"):
        function("error")
    with pytest.raises(TypeError, match="got int"):
        function(5)


@pytest.mark.parametrize("workers", [0, -2, 1.0, "2", True, None])
def test_workers_must_be_a_positive_int_or_minus_one(workers):
    with pytest.raises(ValueError, match="workers must be an int >= 1, or -1"):
        nuvra.vectorize_texts(["a"], workers=workers)


def test_workers_minus_one_or_more_than_the_cores():
    for workers in (-1, 64, 2**70):
        assert_same(nuvra.vectorize_texts(HARD_TEXTS * 500, workers=workers), expected_texts(HARD_TEXTS * 500))


def test_references_are_released():
    items = [f"error {i}" for i in range(100)]
    before = [sys.getrefcount(x) for x in items]
    for _ in range(50):
        nuvra.vectorize_texts(items, workers=2)
        nuvra.word_vectors(items)
        with pytest.raises(TypeError):
            nuvra.vectorize_texts(items + [1])
    assert [sys.getrefcount(x) for x in items] == before


# --- cosine_similarities ----------------------------------------------------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-310, 1e308, -1e308, math.inf, -math.inf, math.nan, 3.0]


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.lists(st.one_of(st.sampled_from(SPECIAL), st.floats()), min_size=3, max_size=3), max_size=20),
    st.lists(st.one_of(st.sampled_from(SPECIAL), st.floats()), min_size=3, max_size=3),
)
def test_cosines_match_the_per_call_function(vectors, query):
    expected = np.array([cosine_similarity_c(v, query) for v in vectors], dtype=np.float64)
    np.testing.assert_array_equal(
        bit_rows(nuvra.cosine_similarities(vectors, query)), bit_rows(expected.reshape(len(vectors)))
    )


def test_cosines_give_the_per_call_nan():
    # Which NaN a product of two NaNs gives depends on the order of its operands.
    payload = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]
    vectors = [[0.0, 0.0, math.nan], [payload, 1.0, 0.0], [1.0, 2.0, 3.0]] * 3
    for query in ([0.0, 0.0, payload], [math.nan, 1.0, 0.0], [-math.nan, payload, 1.0]):
        expected = [cosine_similarity_c(v, query) for v in vectors]
        np.testing.assert_array_equal(bit_rows(nuvra.cosine_similarities(vectors, query)), bit_rows(expected))


def test_cosines_take_array_likes_of_numbers():
    vectors = [[1, 2, 3], [0, 0, 0], [True, 0, 2**60]]
    expected = [cosine_similarity_c(v, [3, 2, 1]) for v in vectors]
    np.testing.assert_array_equal(bit_rows(nuvra.cosine_similarities(vectors, (3, 2, 1))), bit_rows(expected))
    assert nuvra.cosine_similarities(np.empty((0, 3)), [1, 0, 0]).shape == (0,)
    with pytest.raises(ValueError, match=r"shape \(n, 3\)"):
        nuvra.cosine_similarities([[1, 2]], [1, 2, 3])
    with pytest.raises(ValueError, match=r"shape \(n, 2\): row 0 has 3 items"):
        nuvra.cosine_similarities([[1, 2, 3]], [1, 2])

    # Numbers of any k are read as the per-call function reads them: a float subclass by its value.
    class Odd(float):
        def __float__(self):
            return 99.0

    rows = nuvra.cosine_similarities([[Odd(1.0), 0, 0, 0]], [1, 0, 0, 0])
    assert bits(rows[0]) == bits(1.0)


# --- most_similar ---------------------------------------------------------------------------------


def expected_top(query, items, k):
    q = vectorize_text_c(query) if isinstance(query, str) else list(query)
    scored = [(cosine_similarity_c(vectorize_text_c(t), q), -i) for i, t in enumerate(items) if isinstance(t, str)]
    scored = [(s, i) for s, i in scored if s > 0]  # NaN and 0 never rank
    return [(-i, s) for s, i in heapq.nlargest(k, scored)]


@pytest.mark.parametrize("k", [0, 1, 3, 10, 10_000])
def test_most_similar_matches_the_loop(log_lines, k):
    items = log_lines[:3000] + [None] * 3
    for query in ("database write error", "password denied", [0.0, 1.0, 0.0], (1, 1, 1)):
        assert nuvra.most_similar(query, items, k=k, workers=2) == expected_top(query, items, k)


def test_most_similar_streams_in_chunks_and_keeps_ties_in_input_order(monkeypatch, log_lines):
    pa = pytest.importorskip("pyarrow")
    monkeypatch.setattr(nuvra.batch, "_CHUNK_ROWS", 7)
    items = log_lines[:500]
    expected = expected_top("error", items, 25)
    for column in (items, iter(items), np.array(items), pa.chunked_array([items[:100], items[100:]])):
        assert nuvra.most_similar("error", column, k=25) == expected
    ties = nuvra.most_similar("error", ["error"] * 20, k=5)
    assert ties == [(i, 1.0) for i in range(5)]


def test_most_similar_never_ranks_missing_or_nan():
    assert nuvra.most_similar([math.nan, 0, 0], ["error", "login"], k=5) == []
    assert nuvra.most_similar("error", [None, "error", math.nan], k=5) == [(1, 1.0)]
    with pytest.raises(ValueError, match="k must be an int >= 0"):
        nuvra.most_similar("error", ["a"], k=-1)
    with pytest.raises(ValueError, match="3 numbers"):
        nuvra.most_similar([1, 2], ["a"])


SCORES = st.lists(st.sampled_from([math.nan, -0.0, 0.0, 0.25, 1.0, -1.0, math.inf]), max_size=40)


def plain_top(scores, k):
    """The rows of the k best scores by sorting, NaN left out, and how many share the last one's score."""
    ranked = sorted((i for i, s in enumerate(scores) if not math.isnan(s)), key=lambda i: (-scores[i], i))[:k]
    return ranked, sum(s == scores[ranked[-1]] for s in scores) if ranked else 0


@settings(max_examples=300, deadline=None)
@given(SCORES, st.integers(0, 45))
def test_top_rows_are_those_of_a_sort(scores, k):
    assert _batch.top(array.array("d", scores), k) == plain_top(scores, k)


@pytest.mark.parametrize("k", [1, 7, 600, 2100, 6000])
def test_top_rows_of_long_columns_in_any_order(k):
    # Long enough that candidates are cut to the k best on the way, many times for small k.
    rng = random.Random(k)
    scores = [rng.choice([math.nan, -0.0, 0.0, 0.5, 1.0]) if rng.random() < 0.5 else rng.random() for _ in range(5000)]
    for column in (scores, sorted(s for s in scores if not math.isnan(s)), scores[::-1]):
        assert _batch.top(array.array("d", column), k) == plain_top(column, k)


def test_top_rows_check_their_arguments():
    with pytest.raises(ValueError, match="float64"):
        _batch.top(array.array("f", [1.0]), 1)
    with pytest.raises(ValueError, match="k >= 0"):
        _batch.top(array.array("d", [1.0]), -1)
    with pytest.raises(TypeError):
        _batch.top(array.array("d", [1.0]), 1.0)


# --- the lock, Ctrl-C ---------------------------------------------------------------------------------


def test_the_lock_is_released_during_a_long_call(log_lines):
    items = log_lines * 25  # about a second of work on one thread
    ticks = []
    stop = threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    thread = threading.Thread(target=heartbeat)
    started = time.perf_counter()
    thread.start()
    nuvra.vectorize_texts(items, workers=1)
    elapsed = time.perf_counter() - started
    stop.set()
    thread.join()
    gaps = np.diff([started, *ticks])
    # With the lock held, the heartbeat would stop for the whole call.
    assert len(ticks) > 0.5 * elapsed / 0.005 * 0.2 and gaps.max() < max(0.25, elapsed / 4)


def test_ctrl_c_interrupts_a_long_call():
    result = run_python(
        """
        import os, subprocess, time
        import nuvra
        # Several seconds of work on two threads, interrupted after half a
        # second by another process, as a terminal's Ctrl-C would be.
        items = ["error in database write " * 40] * 4_000_000
        subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
        started = time.perf_counter()
        try:
            nuvra.vectorize_texts(items, workers=2)
            print("finished", time.perf_counter() - started)
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - started)
        """,
        default_sigint=True,
    )
    assert result.returncode == 0, result.stderr
    outcome, seconds = result.stdout.split()
    # Sanitizer builds run several times slower and say so in NUVRA_TIME_SCALE.
    limit = 1.5 * float(os.environ.get("NUVRA_TIME_SCALE", "1"))
    assert outcome == "interrupted" and float(seconds) < limit, result.stdout


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="reads thread masks from /proc")
def test_ctrl_c_goes_to_the_calling_thread_not_the_helpers():
    # While a call runs with the lock released, a Python thread reads each
    # thread's blocked signals: the helper blocks SIGINT and SIGTERM, so they
    # go to the calling thread, which runs the handlers; faults stay unblocked.
    result = run_python(
        """
        import os, signal, threading, time
        import nuvra
        masks = {}
        done = threading.Event()
        def look():
            # Every thread, again and again until the call returns: how soon
            # the helper starts depends on the build and the machine's load.
            while not done.is_set():
                for task in os.listdir("/proc/self/task"):
                    try:
                        with open(f"/proc/self/task/{task}/status") as f:
                            fields = dict(line.split(":", 1) for line in f)
                    except OSError:  # the thread has ended
                        continue
                    masks[int(task)] = int(fields["SigBlk"], 16)
                time.sleep(0.02)
        reader = threading.Thread(target=look)
        reader.start()
        nuvra.vectorize_texts(["error in database write " * 40] * 1_000_000, workers=2)
        done.set()
        reader.join()
        main = os.getpid()
        bit = lambda s: 1 << (s - 1)
        # Sanitizer runtimes keep threads of their own that block everything.
        helpers = [m for t, m in masks.items() if t not in (main, reader.native_id)]
        print(masks[main] & bit(signal.SIGINT) == 0,
              any(m & bit(signal.SIGINT) and m & bit(signal.SIGTERM) and not m & bit(signal.SIGSEGV) for m in helpers))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"], result.stdout


def test_random_batches_with_shared_token_caches_match(log_lines):
    # Token caches live for one call on each thread: shuffled batches meet the
    # same tokens in another order.
    rng = random.Random(3)
    items = log_lines[:4000] + HARD_TEXTS
    expected = expected_texts(items)
    for _ in range(3):
        order = list(range(len(items)))
        rng.shuffle(order)
        assert_same(nuvra.vectorize_texts([items[i] for i in order], workers=2), expected[order])


# --- the module ---------------------------------------------------------------------------------------------


def test_the_engine_runs_in_an_interpreter_of_its_own(tmp_path):
    """Everything of nuvra._batch lives in its module's state: a subinterpreter with its own lock loads
    a module of its own and scores with its own default space, while this one's stays usable."""
    interpreters = pytest.importorskip("_interpreters")
    out_path = tmp_path / "out.txt"
    code = f"""
import importlib.util
from array import array
spec = importlib.util.spec_from_file_location("nuvra._batch", {_batch.__file__!r})
engine = importlib.util.module_from_spec(spec)
spec.loader.exec_module(engine)
column = engine.sequence_column(["disk error", "password", "nothing"], False, "t", 0, None)
out = array("d", [0.0]) * 9
column.fill(out, 2, engine.default_space())
open({str(out_path)!r}, "w").write(repr(list(out)))
"""
    interp = interpreters.create()
    try:
        assert interpreters.exec(interp, code) is None
    finally:
        interpreters.destroy(interp)
    expected = [x for t in ("disk error", "password", "nothing") for x in vectorize_text_c(t)]
    assert eval(out_path.read_text()) == expected
    assert nuvra.vectorize_texts(["disk error"]).tolist() == [vectorize_text_c("disk error")]
