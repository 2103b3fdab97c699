"""The batch engine under hostile use: Arrow producers that lie or fail,
allocations that fail, daemon threads cut off by the interpreter's exit, and
numbers that convert to something other than what they hold."""

import contextlib
import ctypes
import decimal
import fractions
import math
import os
import re
import struct
import sys

import numpy as np
import pytest

import nuvra
from nuvra import _batch
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing.helpers import Number, bits, run_python

INT64_MAX = 2**63 - 1

# --- an Arrow producer made by hand -----------------------------------------------------------------
# pyarrow would refuse to export what these tests need: lengths, offsets and
# callbacks that no valid array has.


class ArrowSchema(ctypes.Structure):
    _fields_ = [
        ("format", ctypes.c_char_p),
        ("name", ctypes.c_char_p),
        ("metadata", ctypes.c_char_p),
        ("flags", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArray(ctypes.Structure):
    _fields_ = [
        ("length", ctypes.c_int64),
        ("null_count", ctypes.c_int64),
        ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("buffers", ctypes.c_void_p),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.c_void_p),
        ("get_next", ctypes.c_void_p),
        ("get_last_error", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def address(callback):
    return ctypes.cast(callback, ctypes.c_void_p).value


class Chunk:
    """One Arrow array: its format, length, offset and buffers (bytes, or
    None for a null pointer), kept alive with it."""

    def __init__(self, fmt, length, buffers, offset=0):
        self.format = fmt
        self.kept = [ctypes.create_string_buffer(b, len(b)) if b is not None else None for b in buffers]
        self.pointers = (ctypes.c_void_p * max(len(buffers), 1))(
            *[ctypes.addressof(b) if b is not None else None for b in self.kept]
        )
        self.length, self.offset, self.n_buffers = length, offset, len(buffers)

    def fill(self, array, release):
        array.length, array.offset, array.n_buffers = self.length, self.offset, self.n_buffers
        array.null_count = -1
        array.buffers = ctypes.addressof(self.pointers)
        array.release = address(release)


def utf8_chunk(items, large=False, offset=0):
    """A string (or large_string) array of items (bytes or None)."""
    code = "q" if large else "i"
    offsets, valid = [0], 0
    for i, item in enumerate(items):
        offsets.append(offsets[-1] + len(item or b""))
        valid |= (item is not None) << i
    data = b"".join(item or b"" for item in items)
    bitmap = valid.to_bytes(len(items) // 8 + 1, "little")
    return Chunk(
        b"U" if large else b"u",
        len(items) - offset,
        [bitmap, struct.pack(f"<{len(offsets)}{code}", *offsets), data],
        offset,
    )


def offsets_chunk(offsets, data=b"x" * 64, large=False):
    """A string array with the offsets given as they are, valid or not."""
    code = "q" if large else "i"
    return Chunk(
        b"U" if large else b"u", len(offsets) - 1, [None, struct.pack(f"<{len(offsets)}{code}", *offsets), data]
    )


class Producer:
    """Exports chunks through __arrow_c_array__ (one chunk) or
    __arrow_c_stream__, and records every release."""

    def __init__(self, chunks, stream=False, fail_at=None, raise_in_release=False):
        self.chunks, self.fail_at, self.raise_in_release = chunks, fail_at, raise_in_release
        self.released = []
        self.calls = 0
        self.message = ctypes.create_string_buffer(b"the producer's disk is gone")
        self._callbacks = [
            SCHEMA_RELEASE(self._release_schema),
            ARRAY_RELEASE(self._release_array),
            GET_SCHEMA(self._get_schema),
            GET_NEXT(self._get_next),
            GET_LAST_ERROR(lambda stream: ctypes.addressof(self.message)),
            STREAM_RELEASE(self._release_stream),
        ]
        self._structs = []
        if stream:
            self.__arrow_c_stream__ = self._export_stream
        else:
            self.__arrow_c_array__ = self._export_array

    def _note(self, what):
        self.released.append(what)
        if self.raise_in_release:
            raise RuntimeError("a release callback that raises")

    def _release_schema(self, schema):
        schema.contents.release = None
        self._note("schema")

    def _release_array(self, array):
        array.contents.release = None
        self._note("array")

    def _release_stream(self, stream):
        stream.contents.release = None
        self._note("stream")

    def _schema_into(self, schema):
        schema.format = self.chunks[0].format
        schema.release = address(self._callbacks[0])

    def _get_schema(self, stream, out):
        self._schema_into(out.contents)
        return 0

    def _get_next(self, stream, out):
        i, self.calls = self.calls, self.calls + 1
        if i == self.fail_at:
            return 5  # EIO
        if i < len(self.chunks):
            self.chunks[i].fill(out.contents, self._callbacks[1])
        else:
            out.contents.release = None  # the end
        return 0

    def _export_array(self, requested_schema=None):
        schema, array = ArrowSchema(), ArrowArray()
        self._schema_into(schema)
        self.chunks[0].fill(array, self._callbacks[1])
        self._structs += [schema, array]
        return (
            _capsule_new(ctypes.addressof(schema), b"arrow_schema", None),
            _capsule_new(ctypes.addressof(array), b"arrow_array", None),
        )

    def _export_stream(self, requested_schema=None):
        self.calls = 0
        stream = ArrowArrayStream()
        stream.get_schema, stream.get_next, stream.get_last_error, stream.release = map(address, self._callbacks[2:])
        self._structs.append(stream)
        return _capsule_new(ctypes.addressof(stream), b"arrow_array_stream", None)


def bit_rows(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


# --- Arrow: what is checked ---------------------------------------------------------------------------


def test_the_hand_made_producer_is_read_as_the_per_call_function_reads_its_items():
    items = [b"disk write failed", None, "güvenlik ihlali".encode(), b""]
    expected = [vectorize_text_c(t.decode()) if t is not None else [math.nan] * 3 for t in items]
    for chunk in (utf8_chunk(items), utf8_chunk(items, large=True)):
        np.testing.assert_array_equal(bit_rows(nuvra.vectorize_texts(Producer([chunk]))), bit_rows(expected))
    stream = Producer([utf8_chunk(items[:2]), utf8_chunk(items[2:])], stream=True)
    np.testing.assert_array_equal(bit_rows(nuvra.vectorize_texts(stream)), bit_rows(expected))
    sliced = utf8_chunk([b"pad", *items], offset=1)
    np.testing.assert_array_equal(bit_rows(nuvra.vectorize_texts(Producer([sliced]))), bit_rows(expected))


def test_a_null_column_too_long_to_hold_is_memory_error():
    for length in (2**62, INT64_MAX):
        with pytest.raises(MemoryError):
            nuvra.vectorize_texts(Producer([Chunk(b"n", length, [])]))
        with pytest.raises(MemoryError):
            nuvra.word_vectors(Producer([Chunk(b"n", length, [])], stream=True))
    assert len(_batch.arrow_source(Producer([Chunk(b"n", INT64_MAX, [])]).__arrow_c_array__())) == INT64_MAX


@pytest.mark.parametrize(
    ("chunks", "message"),
    [
        ([Chunk(b"n", 2**62, [], offset=2**62)], "offset \\+ length past"),
        ([Chunk(b"n", 1, [], offset=INT64_MAX)], "offset \\+ length past"),
        ([offsets_chunk([0, 1, 2])], None),  # valid, for contrast
        ([Chunk(b"u", 2**40, [None, b"\0" * 8, b"x"], offset=2**62)], "offset \\+ length past"),
        ([Chunk(b"U", 3, [None, b"\0" * 32, b"x"], offset=INT64_MAX - 2)], "offset \\+ length past"),
        ([Chunk(b"vu", 1, [None, b"\0" * 16, b"\0" * 8], offset=2**60)], "offset \\+ length past"),
        ([Chunk(b"u", 1, [None, b"\0" * 8, b"x"], offset=-1)], "negative offset"),
        ([Chunk(b"u", -1, [None, b"\0" * 8, b"x"])], "negative length"),
        ([Chunk(b"n", 2**62, []), Chunk(b"n", 2**62, [])], "add up past the largest int64"),
        ([Chunk(b"n", INT64_MAX, []), Chunk(b"n", 1, [])], "add up past the largest int64"),
        ([offsets_chunk([-4, 1, 2])], "offset is negative"),
        ([offsets_chunk([0, 5, 3])], "offsets decrease"),
        ([offsets_chunk([0, -(2**31), 3])], "offsets decrease"),
        ([offsets_chunk([0, 2, 1], large=True)], "offsets decrease"),
        ([offsets_chunk([-(2**63), 0], large=True)], "offset is negative"),
    ],
    ids=lambda value: None if isinstance(value, list) else str(value).replace("\\", "").replace(" ", "_"),
)
def test_arrow_arithmetic_that_overflows_or_offsets_that_lie_are_value_errors(chunks, message):
    # Each would read far outside its buffers, or overflow an int64, if let through.
    for stream in (False, True) if len(chunks) == 1 else (True,):
        producer = Producer(chunks, stream=stream)
        if message is None:
            assert nuvra.vectorize_texts(producer).shape == (len(chunks[0].kept[1]) // 4 - 1, 3)
            continue
        with pytest.raises(ValueError, match=f"malformed Arrow array: .*{message}"):
            nuvra.vectorize_texts(producer)


def test_views_with_too_many_buffers_and_streams_without_callbacks_are_value_errors():
    chunk = Chunk(b"vu", 1, [None, b"\0" * 16, b"\0" * 8])
    chunk.n_buffers = 2**40  # more data buffers than a view's int32 can name
    with pytest.raises(ValueError, match="malformed Arrow array: string_view buffers"):
        nuvra.vectorize_texts(Producer([chunk]))
    for callback in ("get_schema", "get_next"):
        producer = Producer([utf8_chunk([b"a"])], stream=True)
        capsule = producer.__arrow_c_stream__()
        setattr(producer._structs[-1], callback, None)
        with pytest.raises(ValueError, match="a stream without its callbacks"):
            _batch.arrow_source(capsule)


# --- Arrow: failing streams and failing allocations ----------------------------------------------------


@contextlib.contextmanager
def unraisable_seen():
    """What reaches sys.unraisablehook meanwhile (ctypes sends there what its callbacks raise)."""
    seen = []
    hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = hook


@pytest.mark.parametrize("raise_in_release", [False, True])
def test_a_failing_stream_keeps_its_error_and_everything_is_released(raise_in_release):
    chunk = utf8_chunk([b"error", b"db"])
    with unraisable_seen() as seen:
        for fail_at in (0, 1, 2):
            producer = Producer([chunk, chunk], stream=True, fail_at=fail_at, raise_in_release=raise_in_release)
            with pytest.raises(OSError, match=r"the Arrow stream failed \(error 5\): the producer's disk is gone"):
                nuvra.vectorize_texts(producer)
            assert sorted(producer.released) == sorted(["schema"] + ["array"] * fail_at), fail_at
        # Released with no error of its own: nothing is left set.
        producer = Producer([offsets_chunk([0, 5, 3])], stream=True, raise_in_release=raise_in_release)
        with pytest.raises(ValueError, match="offsets decrease"):
            nuvra.vectorize_texts(producer)
        assert sorted(producer.released) == ["array", "schema"]
        producer = Producer([chunk], stream=True, raise_in_release=raise_in_release)
        assert nuvra.vectorize_texts(producer).shape == (2, 3)
        assert sorted(producer.released) == ["array", "schema"]
    assert [type(u.exc_value) for u in seen] == [RuntimeError] * (10 if raise_in_release else 0)


def test_memory_error_while_decoding_an_arrow_word_stays_memory_error():
    _testcapi = pytest.importorskip("_testcapi")
    # Not ASCII, so the interpreter decodes it; not lowered in place, so it normalises it too.
    source = _batch.arrow_source(Producer([utf8_chunk([b"db", "ÄRGER".encode(), "ǅ".encode()])]).__arrow_c_array__())
    expected = [get_semantic_vector_c(w) for w in ("db", "ÄRGER", "ǅ")]
    outcomes = set()
    for start in range(200):
        for stop in (start + 1, 0):
            out = np.empty((3, 3))
            _testcapi.set_nomemory(start, stop)
            try:
                column = source.column(0, 3, True)
                column.fill(out, 1, _batch.default_space())
                error = None
            except Exception as e:  # noqa: BLE001 - judged below
                error = e
            finally:
                _testcapi.remove_mem_hooks()
            if error is None:
                np.testing.assert_array_equal(bit_rows(out), bit_rows(expected))
                outcomes.add("result")
            else:
                assert type(error) is MemoryError, (start, stop, error)
                outcomes.add("MemoryError")
        if "result" in outcomes and start > 20:
            break
    assert outcomes == {"result", "MemoryError"}


# --- most_similar and top with k past any size -------------------------------------------------------


def test_k_past_any_size_gives_every_row():
    texts = ["error", "db write failed", None, "login", "error"]
    every = nuvra.most_similar("error", texts, k=len(texts))
    assert len(every) == 3  # None and "login", which scores 0, never rank
    for k in (2**63 - 1, 2**63, 2**64, 10**30):
        assert nuvra.most_similar("error", texts, k=k) == every
    scores = np.array([0.5, 0.25, 1.0])
    assert _batch.top(scores, 2**200) == ([2, 0, 1], 1)
    for k in (-1, -(2**200)):
        with pytest.raises(ValueError, match="k >= 0"):
            _batch.top(scores, k)


# --- cosines read numbers as the per-call function does ----------------------------------------------


class OddFloat(float):
    __float__ = lambda self: 2.0  # noqa: E731


class OddIndex:
    def __index__(self):
        return 3


NUMBERS = [
    OddFloat(1.0),
    OddFloat(-0.0),
    np.float64(0.1),
    np.float32(0.1),
    np.float16(0.3),
    np.int64(2**62 + 1),
    np.uint64(2**64 - 1),
    2**53 + 1,
    2**1000,
    -(2**70) - 1,
    True,
    fractions.Fraction(1, 3),
    decimal.Decimal("0.1"),
    Number(0.7),
    OddIndex(),
    math.nan,
    1e-310,
]


def test_cosines_read_every_kind_of_number_as_the_per_call_function():
    rows = [[a, b, c] for a, b, c in zip(NUMBERS, NUMBERS[1:] + NUMBERS[:1], NUMBERS[2:] + NUMBERS[:2], strict=True)]
    queries = [[OddFloat(1.0), 1.0, 0.0], [1, 0, 0], [np.float32(0.1), 2**53 + 1, fractions.Fraction(2, 3)]]
    for query in queries:
        expected = [cosine_similarity_c(list(row), list(query)) for row in rows]
        for vectors in (rows, tuple(map(tuple, rows)), np.array(rows, dtype=object), iter(rows)):
            got = nuvra.cosine_similarities(vectors, query)
            np.testing.assert_array_equal(bit_rows(got), bit_rows(expected))
    # The case as reported: the stored 1.0, not the 2.0 of __float__.
    assert bits(nuvra.cosine_similarities([[OddFloat(1.0), 1.0, 0.0]], [1, 0, 0])[0]) == bits(
        cosine_similarity_c([OddFloat(1.0), 1.0, 0.0], [1, 0, 0])
    )
    assert nuvra.most_similar([OddFloat(1.0), 1.0, 0.0], ["error"]) == [
        (0, cosine_similarity_c(vectorize_text_c("error"), [OddFloat(1.0), 1.0, 0.0]))
    ]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16, np.int64, np.uint64, np.int8, np.bool_])
def test_cosines_of_numeric_arrays_match_their_items(dtype):
    base = np.random.default_rng(7).standard_normal((50, 3)) * 100
    if dtype is np.uint64:
        array = np.array([[2**64 - 1, 2**63 + 1, 1], [3, 2**53 + 1, 0]], dtype=dtype)
    elif dtype is np.bool_:
        array = base > 0
    else:
        array = np.clip(base, -120, 120).astype(dtype)
    query = list(array[0])
    expected = [cosine_similarity_c(list(row), query) for row in array]
    np.testing.assert_array_equal(bit_rows(nuvra.cosine_similarities(array, query)), bit_rows(expected))


def test_cosines_of_array_likes_that_convert_to_numpy():
    pd = pytest.importorskip("pandas")
    rows = [[1.0, 2.0, 3.0], [0.5, -1, 2**53 + 1]]
    expected = [cosine_similarity_c(row, [1, 0, 0]) for row in rows]
    frame = pd.DataFrame(rows, columns=["x", "y", "z"])
    np.testing.assert_array_equal(bit_rows(nuvra.cosine_similarities(frame, [1, 0, 0])), bit_rows(expected))
    masked = np.ma.masked_array(np.array(rows), mask=False)
    np.testing.assert_array_equal(bit_rows(nuvra.cosine_similarities(masked, [1, 0, 0])), bit_rows(expected))


def test_cosines_refuse_what_the_per_call_function_refuses():
    with pytest.raises(TypeError):
        cosine_similarity_c(["1", 0, 0], [1, 0, 0])
    with pytest.raises(TypeError, match="must be real number, not str"):
        nuvra.cosine_similarities([["1", 0, 0]], [1, 0, 0])
    with pytest.raises(TypeError, match="must be real number"):
        nuvra.cosine_similarities(np.array([["1", "0", "0"]]), [1, 0, 0])
    with pytest.raises(OverflowError):
        nuvra.cosine_similarities([[10**400, 0, 0]], [1, 0, 0])
    with pytest.raises(ValueError, match=r"shape \(n, 3\): row 1 has 2 items"):
        nuvra.cosine_similarities([[1, 2, 3], [1, 2]], [1, 2, 3])
    with pytest.raises(ValueError, match=r"shape \(n, 3\): row 0 is float, not a sequence"):
        nuvra.cosine_similarities([1.0, 2.0, 3.0], [1, 2, 3])
    with pytest.raises(TypeError, match=r"shape \(n, 3\), got int"):
        nuvra.cosine_similarities(5, [1, 2, 3])
    with pytest.raises(ValueError, match=r"shape \(n, 3\) for a query of 3, got shape \(3,\)"):
        nuvra.cosine_similarities(np.ones(3), [1, 2, 3])


# --- the interpreter finalising during a call ----------------------------------------------------------

FINALISING = """
import os, sys, threading, time
import numpy as np
import nuvra
sys.path.insert(0, {tests!r})
from test_batch_hostile import Producer, utf8_chunk

kind, workers = {kind!r}, {workers}
line = "disk write failed on node 7, permission denied " * 2
n = 300_000
if kind == "list":
    args = ([line * 2] * n,)
elif kind == "numpy_U":
    args = (np.array([line] * n),)
elif kind == "numpy_object":
    args = (np.array([line * 2] * n, dtype=object),)
elif kind == "arrow":
    args = (Producer([utf8_chunk([line.encode()] * n)], stream=True),)
elif kind == "lines":
    args = ((line + "\\n").encode() * n,)
else:
    args = ("disk error", [line * 10] * n)
call = {{"lines": nuvra.vectorize_lines, "most_similar": nuvra.most_similar}}.get(kind, nuvra.vectorize_texts)


class SlowToGo:
    # Freed as the interpreter tears its modules down: it holds finalisation
    # open long enough for the call below to want the lock back meanwhile.
    def __del__(self):
        time.sleep(0.5)


keeper = SlowToGo()
inside = threading.Event()


def work():
    inside.set()
    for _ in range(1000):
        call(*args, workers=workers)


def threads():
    return len(os.listdir("/proc/self/task"))


before = threads()
threading.Thread(target=work, daemon=True).start()
inside.wait()
if workers > 1:
    # Once a helper thread runs, the call is inside its threaded part, which
    # lasts long enough for the exit to come while the helpers work.
    while threads() < before + 2:
        time.sleep(0.001)
else:
    time.sleep(0.3)
"""


@pytest.mark.slow
@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="counts threads in /proc")
@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("kind", ["list", "numpy_U", "numpy_object", "arrow", "lines", "most_similar"])
def test_the_interpreter_finalising_during_a_call_exits_cleanly(kind, workers):
    result = run_python(FINALISING.format(tests=os.path.dirname(__file__), kind=kind, workers=workers))
    assert "terminate called" not in result.stderr, result.stderr
    if result.returncode == 66 and "ThreadSanitizer" in result.stderr:
        # ThreadSanitizer reports the daemon thread, which the interpreter
        # ends and never joins, as leaked; nothing else is let through.
        summaries = re.findall(r"SUMMARY: ThreadSanitizer: (.*)", result.stderr)
        assert summaries and all(s.startswith("thread leak") and "do_start_joinable_thread" in s for s in summaries), (
            result.stderr
        )
    else:
        assert result.returncode == 0, (result.returncode, result.stderr)


# --- Arrow: ranking by words on columns that offer only the PyCapsule interface -------------------


class TestArrowRanksByWords:
    """most_similar(ties="words") reads a column that offers only __arrow_c_array__ or
    __arrow_c_stream__ (as nanoarrow and arro3 arrays do) as it reads the same texts in a list."""

    TEXTS = ["parola", None, "parola yanlış", "Şifre yanlış", "disk dolu", "ŞİFRE YANLIŞ parola", "", "parola"]

    def producers(self):
        items = [t.encode() if t is not None else None for t in self.TEXTS]
        yield Producer([utf8_chunk(items)])
        yield Producer([utf8_chunk(items, large=True)])
        yield Producer([utf8_chunk(items[:3]), utf8_chunk([]), utf8_chunk(items[3:])], stream=True)

    @pytest.mark.parametrize("fold", [None, "turkish"])
    @pytest.mark.parametrize("chunk_rows", [3, 1 << 16])
    def test_as_the_same_texts_in_a_list(self, monkeypatch, fold, chunk_rows):
        import nuvra.batch

        monkeypatch.setattr(nuvra.batch, "_CHUNK_ROWS", chunk_rows)
        space = nuvra.Space({"auth": ["sifre", "parola"], "disk": ["disk", "dolu"]}, fold=fold)
        query = "şifre yanlış"
        expected = nuvra.most_similar(query, self.TEXTS, k=10, ties="words", space=space)
        by_order = nuvra.most_similar(query, self.TEXTS, k=10, ties="order", space=space)
        assert expected != by_order  # the words decide among equal scores
        for producer in self.producers():
            assert not hasattr(producer, "__len__") and not hasattr(producer, "__getitem__")
            assert nuvra.most_similar(query, producer, k=10, ties="words", space=space) == expected
            assert nuvra.most_similar(query, producer, k=2, ties="words", space=space) == expected[:2]

    def test_an_empty_column_and_bytes_that_are_not_utf8(self):
        space = nuvra.Space({"auth": ["sifre"]}, fold="turkish")
        assert nuvra.most_similar("sifre", Producer([utf8_chunk([])]), ties="words", space=space) == []
        bad = Producer([utf8_chunk([b"sifre", b"\xc5 sifre"])])
        with pytest.raises(ValueError, match="item 1 of the Arrow column is not valid UTF-8"):
            nuvra.most_similar("sifre", bad, ties="words", space=space)
