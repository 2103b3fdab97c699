"""The rows of `nuvra vectors` written in native code (Output.write_rows) against the same rows
written by the Python writer (Output.write_block), byte for byte: crafted and random texts and
numbers, every format and location column, texts as str and as the UTF-8 bytes they were
decoded from, on one thread and on several, whole and a piece at a time."""

import contextlib
import io
import itertools
import json
import math
import os
import random
import struct
import sys
from array import array

import numpy as np
import pytest

from nuvra import _batch
from nuvra.cli import dominant_axes, output, terminal

AXES = ["fault", "security", "data"]
FORMATS = ["table", "csv", "jsonl"]
# The location columns command_vectors gives each format, with -n and one or several files.
LOCATIONS = {
    "table": [[], ["line"], ["where"]],
    "csv": [[], ["line"], ["file", "line"]],
    "jsonl": [[], ["line"], ["file", "line"]],
}

CRAFTED_TEXTS = [
    "",
    "plain log line",
    "a,b",
    'say "hi"',
    '"',
    "cr\rinside",
    "tab\there",
    "line\nend",
    "\x1b[31mred\x1b[0m",
    "\x00\x07\x7f\x85\x9f",
    "\u2028\u2029\u202a\u202e\u2066\u2069\u202f",
    "lone \ud800 high",
    "undecodable \udc80\udc9f\udca0\udcff",
    "mixed run \udca0\ud800\udcff",
    "escaped byte ends a run \udca0\udc85\ud800",
    "trailing   ",
    "trailing ideographic\u3000\u00a0\u2000\u200a\u1680\u205f\u202f",
    "   ",
    "\t",
    " \x1c",
    "\u00a0",
    "back\\slash",
    'json "\\" \b\f',
    "non-BMP \U0001f4a5 \U0010ffff",
    "Türkçe güvenlik uyarısı: şüpheli giriş",
    "İzin ŞİFRE",
    "x" * 3000,
]

CRAFTED_NUMBERS = [
    0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1e16, 1e15, 9999999999999998.0, 1e-5, 1e-4, 0.0001,
    5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1 / 3, 2 / 3, 123456.789, -1e-9, 0.00005,
    0.00015, 0.00025, -0.00005, 0.5, 1.0, 0.7071067811865476, 0.8944271909999159, 1e22, 1.5e-7, 1e100, 1e300,
    -1e300, 12345678901234567.0,
]  # fmt: skip


def random_double(rng: random.Random) -> float:
    return struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]


def random_text(rng: random.Random) -> str:
    alphabet = 'ab ,"\t\r\x1b\x7f\x85é\u2028\u202e\u3000\u00a0\udc80\udc9b\udcff\ud800\U0001f4a5\\\b'
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(12)))


def python_rows(fmt, location, texts, vectors, first_line, name, axes=AXES, whole=False) -> bytes:
    """The rows as the Python writer writes them, from the columns command_vectors gave it."""
    stream = io.BytesIO()
    out = output.Output(fmt, [*location, *axes, "axis", "text"], stream, contextlib.nullcontext, axes)
    k = len(axes)
    v = np.frombuffer(vectors, dtype=np.float64).reshape(-1, k)
    for begin, end, line in blocks(len(texts), first_line, whole):
        numbers = [line + i for i in range(end - begin)]
        columns: dict = {}
        if "where" in location:
            columns["where"] = [f"{name}:{n}" for n in numbers]
        if "file" in location:
            columns["file"] = [name] * len(numbers)
        if "line" in location:
            columns["line"] = numbers
        columns |= {a: v[begin:end, i].tolist() for i, a in enumerate(axes)}
        columns |= {"axis": dominant_axes(v[begin:end], axes), "text": texts[begin:end]}
        out.write_block(columns)
    return stream.getvalue()


def native_rows(fmt, location, texts, vectors, first_line, name, workers=1, as_bytes=False, axes=AXES, whole=False):
    """The rows as write_rows writes them; texts given as their UTF-8 bytes when as_bytes."""
    stream = io.BytesIO()
    out = output.Output(fmt, [*location, *axes, "axis", "text"], stream, contextlib.nullcontext, axes)
    assert out.writes_rows()
    k = len(axes)
    for begin, end, line in blocks(len(texts), first_line, whole):
        part = texts[begin:end]
        given = "".join(t + "\n" for t in part).encode("utf-8", "surrogateescape") if as_bytes else part
        out.write_rows(given, vectors[begin * k : end * k], line, name, workers)
    return stream.getvalue()


def lines_of(texts: list[str]) -> list[str]:
    """The texts that can be lines of a file read as UTF-8 with surrogateescape (a "\r" at
    the end of a line is not part of its text: see test_a_line_ending_in_cr...)."""
    return [
        t for t in texts if "\n" not in t and not t.endswith("\r") and not any(0xD800 <= ord(c) <= 0xDC7F for c in t)
    ]


def blocks(n: int, first_line: int, whole: bool = False):
    """Two blocks, as the command gives them, or one when whole: (begin, end, line number of begin)."""
    if whole:
        yield 0, n, first_line
        return
    half = n // 2
    yield 0, half, first_line
    yield half, n, first_line + half


def crafted_rows(rng: random.Random) -> tuple[list[str], array]:
    texts = [*CRAFTED_TEXTS, *(random_text(rng) for _ in range(300))]
    numbers = [*CRAFTED_NUMBERS, *(random_double(rng) for _ in range(200))]
    values = array("d", (rng.choice(numbers) for _ in range(3 * len(texts))))
    # Rows whose axis is each of the axes, none, and ties.
    values[:12] = array("d", [0.6, 0.8, 0.0, 0.0, 0.0, 0.0, 0.5, 0.5, 0.5, 0.0, 0.0, 1.0])
    return texts, values


@pytest.mark.parametrize("fmt", FORMATS)
def test_native_rows_are_the_python_rows(fmt):
    rng = random.Random(7)
    texts, vectors = crafted_rows(rng)
    for location in LOCATIONS[fmt]:
        for name in ("app.log", 'we,ird "name"\x1b]0;t\x07\udcff.log'):
            expected = python_rows(fmt, location, texts, vectors, 98, name)
            assert native_rows(fmt, location, texts, vectors, 98, name) == expected, (location, name)
            # The texts as their bytes: lines of UTF-8, undecodable bytes kept by surrogateescape.
            lines = lines_of(texts)
            rows = vectors[: 3 * len(lines)]
            expected = python_rows(fmt, location, lines, rows, 1, name)
            assert native_rows(fmt, location, lines, rows, 1, name, as_bytes=True) == expected, (location, name)


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_line_ending_in_cr_and_lines_that_are_not_utf_8(fmt):
    raw = b"a\r\nb\r\r\n\r\nc\x80\x9f\xa0\xff \xed\xa0\x80 \xc0\xaf \xe2\x82 \xf4\x90\x80\x80\xc2\xa0 \r\nlast"
    texts = [t.removesuffix("\r") for t in raw.decode("utf-8", "surrogateescape").split("\n")]
    vectors = array("d", [0.25, 0.5, 0.75] * len(texts))
    stream = io.BytesIO()
    out = output.Output(fmt, ["line", *AXES, "axis", "text"], stream, contextlib.nullcontext, AXES)
    out.write_rows(raw, vectors, 1, "x", 1)
    assert stream.getvalue() == python_rows(fmt, ["line"], texts, vectors, 1, "x")


@pytest.mark.parametrize("fmt", FORMATS)
def test_every_float_is_written_as_repr_and_format_write_it(fmt):
    rng = random.Random(fmt)
    values = [*CRAFTED_NUMBERS, *(random_double(rng) for _ in range(30_000))]
    values += [rng.uniform(-1, 1) for _ in range(10_000)]
    values += [rng.random() * 10.0 ** rng.randrange(-30, 30) for _ in range(10_000)]
    values += [x / 20000 for x in range(-40, 40)]  # halfway cases of 4 decimals
    values += [0.0] * (-len(values) % 3)
    vectors = array("d", values)
    texts = ["t"] * (len(values) // 3)
    got = native_rows(fmt, [], texts, vectors, 1, "f", as_bytes=True)
    assert got == python_rows(fmt, [], texts, vectors, 1, "f")


@pytest.mark.parametrize("fmt", FORMATS)
def test_several_threads_write_what_one_writes(fmt):
    rng = random.Random(3)
    texts = [random_text(rng) + " disk write error" * rng.randrange(4) for _ in range(40_000)]
    vectors = array("d", (rng.choice(CRAFTED_NUMBERS[:30]) for _ in range(3 * len(texts))))
    location = LOCATIONS[fmt][-1]
    one = native_rows(fmt, location, texts, vectors, 5, "a.log", workers=1)
    assert native_rows(fmt, location, texts, vectors, 5, "a.log", workers=4) == one
    assert python_rows(fmt, location, texts, vectors, 5, "a.log") == one
    lines = lines_of(texts)
    rows = vectors[: 3 * len(lines)]
    one = native_rows(fmt, location, lines, rows, 5, "a.log", workers=1)
    assert native_rows(fmt, location, lines, rows, 5, "a.log", workers=2, as_bytes=True) == one


class Pieces(io.BytesIO):
    def __init__(self):
        super().__init__()
        self.sizes = []

    def write(self, data):
        self.sizes.append(len(data))
        return super().write(data)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("as_bytes", [False, True])
def test_a_long_line_is_written_a_piece_at_a_time(fmt, as_bytes):
    text = ('disk \x1b[1m error\t, "quoted" é \u2028 ' * 150_000) + "  "
    texts = ["short", text, "", "end"]
    vectors = array("d", [0.5, 0.25, 0.0] * len(texts))
    stream = Pieces()
    out = output.Output(fmt, ["line", *AXES, "axis", "text"], stream, contextlib.nullcontext, AXES)
    given = "".join(t + "\n" for t in texts).encode() if as_bytes else texts
    out.write_rows(given, vectors, 1, "x", 2)
    assert stream.getvalue() == python_rows(fmt, ["line"], texts, vectors, 1, "x")
    assert len(stream.sizes) > 5 and max(stream.sizes) < 2 << 20


@pytest.mark.parametrize("fmt", ["table", "csv"])
def test_a_run_of_surrogates_across_a_piece_of_a_long_line(fmt):
    # A run of an undecodable byte and a lone surrogate is written escaped whole, as in a short
    # line, also where the pieces of a long line would split it in two.
    run = "\udca0\ud800"
    text = "x" * (output.WRITE_CHUNK - 1) + run + "y" * 10
    vectors = array("d", [0.5, 0.25, 0.0] * 2)
    expected = python_rows(fmt, [], ["short " + run, text], vectors, 1, "f")
    assert expected.count(b"\\udca0\\ud800") == 2
    assert native_rows(fmt, [], ["short " + run, text], vectors, 1, "f", whole=True) == expected


def test_a_space_of_other_axes_and_one_axis():
    rng = random.Random(11)
    for axes in (["net"], ["a", "b", "c", "d", "a_very_long_axis_name"]):
        texts = [random_text(rng) for _ in range(200)]
        vectors = array("d", (rng.choice(CRAFTED_NUMBERS) for _ in range(len(axes) * len(texts))))
        for fmt in FORMATS:
            for location in LOCATIONS[fmt]:
                expected = python_rows(fmt, location, texts, vectors, 1, "n", axes)
                assert native_rows(fmt, location, texts, vectors, 1, "n", axes=axes) == expected


def test_an_axis_name_wider_than_any_number():
    # The numbers under an axis of 70,000 letters are padded to its width, as format() pads them.
    axes = ["x" * 70_000, "net"]
    vectors = array("d", [0.25, 0.5, -1.0, math.nan])
    expected = python_rows("table", [], ["a", "b"], vectors, 1, "f", axes)
    assert native_rows("table", [], ["a", "b"], vectors, 1, "f", axes=axes) == expected


def test_the_table_keeps_its_columns_under_long_names_and_tokens():
    # An axis name or a token longer than the 8 columns a name gets widens its column, so
    # every row's text starts where the header's does, in either writer.
    axes = ["payments_gateway", "net"]
    texts = ["payment failed", "network down", "nothing"]
    vectors = array("d", [1.0, 0.0, 0.0, 1.0, 0.0, 0.0])
    table = python_rows("table", [], texts, vectors, 1, "f", axes)
    assert native_rows("table", [], texts, vectors, 1, "f", axes=axes) == table
    starts = {line.index(text) for line, text in zip(table.decode().splitlines(), ["text", *texts], strict=True)}
    assert len(starts) == 1
    stream = io.BytesIO()
    columns = ["token", "start", "axis", "keyword", "how", "score"]
    explained = output.Output("table", columns, stream, contextlib.nullcontext)
    explained.write_block(
        {"token": ["policy", "execution"], "start": [13, 32], "axis": ["security", "payments_gateway"],
         "keyword": ["polic", "exec"], "how": ["prefix", "prefix"], "score": [1.0, 1.0]}
    )  # fmt: skip
    header, *rows = stream.getvalue().decode().splitlines()
    cells = [["policy", "13", "security", "polic", "prefix"], ["execution", "32", "payments_gateway", "exec", "prefix"]]
    for row, values in zip(rows, cells, strict=True):
        for name, value in zip(columns, values, strict=False):  # the left-aligned columns
            assert row[header.index(name) :].startswith(value + " "), (name, row)


def test_plain_white_space_is_what_the_table_strips():
    # The white space that the table writes as itself (and strips at the end of a row).
    plain = [c for c in range(0x110000) if chr(c).isspace() and terminal.escape_for_terminal(chr(c)) == chr(c)]
    texts = [f"x{chr(c)}" for c in plain] + [f"{chr(c)}" for c in plain]
    vectors = array("d", [0.0] * 3 * len(texts))
    expected = python_rows("table", [], texts, vectors, 1, "f")
    assert native_rows("table", [], texts, vectors, 1, "f") == expected
    assert native_rows("table", [], texts, vectors, 1, "f", as_bytes=True) == expected
    assert expected.count(b" \n") == 0


def test_bad_arguments_raise():
    pieces = (b"",) * 7
    cells = (b"a", b"b", b"c", b"none")
    args = [0, ["a"], array("d", [0.0] * 3), 3, 1, 4, 0, pieces, cells, (8, 8, 8), lambda b: None, 1]
    _batch.format_rows(*args)
    for position, bad, error in [
        (1, ["a", "b"], ValueError),  # more texts than vectors
        (1, [b"a"], TypeError),
        (1, b"a\nb\n", ValueError),  # two lines for one vector
        (1, np.array(["a"]), TypeError),  # code points of four bytes, not UTF-8
        (1, memoryview(b"ab").cast("H"), TypeError),
        (1, np.array([1.0]), TypeError),
        (2, np.zeros((3, 2))[:, 0], ValueError),  # not contiguous
        (2, np.zeros(3, ">f8"), ValueError),
        (2, array("f", [0.0] * 3), ValueError),
        (2, array("d", [0.0] * 4), ValueError),
        (3, 0, ValueError),
        (0, 3, ValueError),
        (7, pieces[:-1], ValueError),
        (8, ("a", "b", "c", "d"), TypeError),
        (9, (8, 8), ValueError),
        (10, None, TypeError),
        (11, -1, ValueError),
    ]:
        with pytest.raises(error):
            _batch.format_rows(*args[:position], bad, *args[position + 1 :])
    with pytest.raises(TypeError):
        _batch.format_rows(*args[:-1])

    def failing(data):
        raise BrokenPipeError

    with pytest.raises(BrokenPipeError):
        _batch.format_rows(*args[:10], failing, 1)


@pytest.mark.parametrize("fmt", FORMATS)
def test_line_numbers_beyond_the_largest_index(fmt):
    # A block whose first line number is sys.maxsize - 1: the numbers after sys.maxsize are
    # written as Python writes them, not wrapped to negative ones.
    texts = ["a", "b", "c", "d"]
    vectors = array("d", [0.5, 0.25, 0.0] * len(texts))
    for location in LOCATIONS[fmt][1:]:
        expected = python_rows(fmt, location, texts, vectors, sys.maxsize - 1, "f", whole=True)
        assert native_rows(fmt, location, texts, vectors, sys.maxsize - 1, "f", whole=True) == expected
        assert str(sys.maxsize + 2).encode() in expected


# --- long file names in the table's where column ---------------------------------------------------

SHORT_NAME = "/var/log/apt/term.log"


def path_of(length: int, own: str) -> str:
    """A path of length characters whose file's own name is own, under directories of words."""
    words = itertools.cycle(["usr", "share", "doc", "some-package", "very", "long", "path"])
    directories = ""
    while len(directories) + 1 + len(own) < length:
        directories += "/" + next(words)
    return directories[: length - 1 - len(own)] + "/" + own


def rows_of_inputs(fmt, inputs, native, places=(), first_line=1) -> bytes:
    """The rows of several inputs, (name, texts, vectors) each in turn, with the location columns the
    command gives with several inputs, written by write_rows when native, else by write_block."""
    stream = io.BytesIO()
    location = LOCATIONS[fmt][-1]
    out = output.Output(fmt, [*location, *AXES, "axis", "text"], stream, contextlib.nullcontext, AXES, places)
    for name, texts, vectors in inputs:
        v = np.frombuffer(vectors, dtype=np.float64).reshape(-1, 3)
        for begin, end, line in blocks(len(texts), first_line):
            if native:
                out.write_rows(texts[begin:end], vectors[3 * begin : 3 * end], line, name, 1)
                continue
            numbers = list(range(line, line + end - begin))
            if location == ["where"]:
                columns: dict = {"where": [f"{name}:{n}" for n in numbers]}
            else:
                columns = {"file": [name] * len(numbers), "line": numbers}
            columns |= {a: v[begin:end, i].tolist() for i, a in enumerate(AXES)}
            out.write_block(columns | {"axis": dominant_axes(v[begin:end], AXES), "text": texts[begin:end]})
    return stream.getvalue()


def inputs_of(names, rows=30):
    """For each name, rows texts that tell their input and line, and their vectors."""
    rng = random.Random(17)
    return [
        (
            name,
            [f"disk error {i} of input {n}" for i in range(rows)],
            array("d", (rng.random() for _ in range(3 * rows))),
        )
        for n, name in enumerate(names)
    ]


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_long_file_name_is_shortened_in_the_table_alone(fmt):
    from nuvra_testing.helpers import shows_place

    long_name = path_of(150, "changelog.log")
    assert len(long_name) == 150
    share = output.Output("table", ["where"], io.BytesIO(), contextlib.nullcontext).where_width
    assert share == 80 // output.WHERE_SHARE  # standard output is not a terminal here
    for names in ([SHORT_NAME, long_name], [long_name, SHORT_NAME]):
        inputs = inputs_of(names)
        for places in ((), names):
            rows = rows_of_inputs(fmt, inputs, native=False, places=places)
            assert rows_of_inputs(fmt, inputs, native=True, places=places) == rows
            lines = rows.decode().splitlines()
            header = "" if fmt == "jsonl" else lines.pop(0)
            assert len(lines) == 60
            written = [(name, n, text) for name, texts, _ in inputs for n, text in enumerate(texts, 1)]
            for line, (name, n, text) in zip(lines, written, strict=True):
                if fmt == "csv":
                    assert line.startswith(f"{name},{n},") and line.endswith(text)
                elif fmt == "jsonl":
                    assert json.loads(line)["file"] == name and json.loads(line)["text"] == text
                else:
                    # Every row's text within 80 columns; in the same column as the header's
                    # when the column is sized for every input up front.
                    start = line.index(text)
                    assert start < 80 and (start == header.index("text") or not places)
                    cell = line.split(" ", 1)[0]
                    assert shows_place(cell, name, n) and len(cell) <= share
                    assert ("\u2026" in cell) == (name == long_name) and cell.endswith(f"/changelog.log:{n}") == (
                        name == long_name
                    )


@pytest.mark.parametrize("fmt", FORMATS)
def test_both_writers_shorten_names_alike(fmt):
    # Escapes, a long name of no directory (kept whole), line numbers that gain a digit between
    # blocks: the native rows are the Python rows.
    names = [
        path_of(150, 'we,ird "name"\x1b]0;t\x07\udcff.log'),
        "x" * 150,
        path_of(60, "app.log"),
        path_of(27, "a.log"),
        "/" + "\x1b" * 40 + "/b.log",
    ]
    for first_line in (1, 99_990):
        for places in ((), names):
            inputs = inputs_of(names, rows=20)
            expected = rows_of_inputs(fmt, inputs, native=False, places=places, first_line=first_line)
            assert rows_of_inputs(fmt, inputs, native=True, places=places, first_line=first_line) == expected
            assert ("\u2026".encode() in expected) == (fmt == "table")  # the table alone shortens


class Terminal(io.BytesIO):
    def isatty(self):
        return True


def test_the_share_of_a_terminal_s_width(monkeypatch):
    from nuvra_testing.helpers import shows_place

    name = path_of(40, "app.log")
    monkeypatch.setenv("COLUMNS", "150")  # what shutil.get_terminal_size reads first
    cells = {}
    for stream in (io.BytesIO(), Terminal()):
        out = output.Output("table", ["where", "score", "text"], stream, contextlib.nullcontext)
        out.write_block({"where": [f"{name}:7"], "score": [0.5], "text": ["disk error"]})
        cells[type(stream)] = stream.getvalue().decode().splitlines()[1].split(" ", 1)[0]
    # 80 columns: shortened to a third of them; a terminal of 150: a third of 150 holds it whole.
    assert len(cells[io.BytesIO]) == 80 // 3 and shows_place(cells[io.BytesIO], name, 7)
    assert cells[Terminal] == f"{name}:7"


def test_an_output_that_cannot_encode_the_ellipsis(monkeypatch):
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(io.BytesIO(), encoding="ascii"))
    name = path_of(150, "app.log")
    stream = io.BytesIO()
    out = output.Output("table", ["where", "score", "text"], stream, contextlib.nullcontext)
    out.write_block({"where": [f"{name}:7"], "score": [0.5], "text": ["disk error"]})
    cell = stream.getvalue().decode("ascii").splitlines()[1].split(" ", 1)[0]
    head, dots, tail = cell.partition("...")
    assert dots and len(cell) == 80 // 3 and name.startswith(head) and tail.endswith("/app.log:7")


FINALISING = """
import builtins, os, threading, time
from array import array
from nuvra import _batch


class Lines:
    # Bytes whose release runs Python code, which is fatal without the lock.
    def __init__(self, data):
        self.data = data

    def __buffer__(self, flags):
        return memoryview(self.data)

    def __release_buffer__(self, view):
        view.release()


class SlowToGo:
    # Freed late in the interpreter's finalisation (it is a builtin): it holds finalisation
    # open while the call below wants the lock back (after its threads' part, or in write()).
    def __del__(self, sleep=time.sleep):
        sleep(0.5)


n = 200_000
texts = Lines(b"disk write failed on node 7, permission denied, retrying the whole batch\\n" * n)
vectors = array("d", [0.5, 0.25, 0.0]) * n
pieces, cells = (b"",) * 7, (b"a", b"b", b"c", b"-")
builtins.keeper = SlowToGo()
inside = threading.Event()


workers = WORKERS


def write(data):
    if workers == 1:
        time.sleep(0.01)  # without the lock, as a write to a file or a pipe


def work():
    inside.set()
    for _ in range(1000):
        _batch.format_rows(1, texts, vectors, 3, 1, 0, 0, pieces, cells, (8, 8, 8), write, workers)


def threads():
    return len(os.listdir("/proc/self/task"))


before = threads()
threading.Thread(target=work, daemon=True).start()
inside.wait()
while workers > 1 and threads() < before + 2:  # a helper runs: the call is in its threads' part
    time.sleep(0.001)
time.sleep(0.1)
"""


@pytest.mark.slow
@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="counts threads in /proc")
@pytest.mark.parametrize("workers", [1, 2])
def test_the_interpreter_finalising_while_rows_are_written(workers):
    # The calling thread, a daemon, is ended when it takes the lock back (after its threads'
    # part, or in write()): nothing it holds may be released then, without the lock.
    from nuvra_testing.helpers import run_python

    if workers == 1 and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The interpreter's pthread_exit unwinds the frames under write() without telling
        # AddressSanitizer, whose own stack use at the end of the unwinding then lands on
        # their variables, still marked out of scope: a use after scope it reports.
        pytest.skip("AddressSanitizer misreads a thread unwound from inside a call")

    result = run_python(FINALISING.replace("WORKERS", str(workers)))
    assert result.returncode == 0, (result.returncode, result.stderr)


@pytest.mark.parametrize("fmt", FORMATS)
def test_the_python_writer_writes_negative_zero_after_zero(fmt):
    # Rows of equal values share their written cells, but 0.0 and -0.0 are equal keys.
    vectors = array("d", [0.0, 0.5, 0.5, -0.0, 0.5, 0.5] * 2)  # two blocks of two rows
    rows = python_rows(fmt, [], ["a", "b", "c", "d"], vectors, 1, "f").decode().splitlines()[-4:]
    assert ["-0.0" in row for row in rows] == [False, True, False, True]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("errors", ["strict", "surrogateescape", "replace"])
def test_the_command_writes_the_python_writer_s_rows(tmp_path, fmt, errors):
    # End to end: the command's rows against the Python writer's, for two files given with -n.
    import nuvra
    from nuvra_testing.helpers import run_nuvra

    lines = [t for t in lines_of(CRAFTED_TEXTS) if errors != "strict" or not any(0xD800 <= ord(c) < 0xE000 for c in t)]
    raw = "\r\n".join(lines).encode("utf-8", "surrogateescape") + b"\n"
    paths = [tmp_path / "a.log", tmp_path / "b\x1b.log"]
    for path in paths:
        path.write_bytes(raw)
    result = run_nuvra("vectors", "-n", "--format", fmt, "--errors", errors, *map(str, paths))
    assert result.returncode == 0, result.stderr
    texts = [t.removesuffix("\r") for t in raw.decode("utf-8", errors).split("\n")[:-1]]
    vectors = array("d", nuvra.vectorize_texts(texts).ravel().tolist())
    location = LOCATIONS[fmt][-1]
    stream = io.BytesIO()
    places = [str(path) for path in paths]  # the where column sized for every input, as the command sizes it
    out = output.Output(fmt, [*location, *AXES, "axis", "text"], stream, contextlib.nullcontext, AXES, places)
    for path in paths:
        columns: dict = {"line": list(range(1, len(texts) + 1))}
        if location == ["where"]:
            columns = {"where": [f"{path}:{n}" for n in columns["line"]]}
        elif "file" in location:
            columns = {"file": [str(path)] * len(texts), **columns}
        v = np.frombuffer(vectors, dtype=np.float64).reshape(-1, 3)
        columns |= {a: v[:, i].tolist() for i, a in enumerate(AXES)}
        out.write_block(columns | {"axis": dominant_axes(v, AXES), "text": texts})
    assert result.stdout == stream.getvalue()


# --- codecs that start with a byte-order mark -------------------------------------------------------


def vectors_under(encoding: str, files: list[str], fmt: str) -> bytes:
    """nuvra vectors of files, standard output under PYTHONIOENCODING=encoding (which -I would ignore)."""
    import subprocess

    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    result = subprocess.run(
        [sys.executable, "-m", "nuvra", "vectors", "--format", fmt, *files],
        capture_output=True,
        cwd="/",
        timeout=300,
        env={**env, "PYTHONIOENCODING": encoding},
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("fmt", ["csv", "table"])
def test_one_byte_order_mark_per_output(tmp_path, fmt):
    """Several blocks (one per file) and a line written in pieces: one mark starts the output,
    and the text is what UTF-8 gives, whole."""
    rng = random.Random(5)
    words = ["disk", "ağ", "hatası", "bağlantı", "socket", "timeout", "şifre", "ünlü"]
    long_line = " ".join(rng.choice(words) for _ in range(3 * output.WRITE_CHUNK // 6))
    assert len(long_line) > 2 * output.WRITE_CHUNK
    files = []
    for n in range(3):
        path = tmp_path / f"part{n}.log"
        lines = [" ".join(rng.choice(words) for _ in range(5)) for _ in range(200)]
        if n == 1:
            lines.insert(100, long_line)
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        files.append(str(path))
    plain = vectors_under("utf-8", files, fmt).decode("utf-8")
    assert long_line in plain and "\ufeff" not in plain
    marks = {"utf-8-sig": b"\xef\xbb\xbf", "utf-16": "\ufeff".encode("utf-16")[:2]}
    for encoding, mark in marks.items():
        raw = vectors_under(encoding, files, fmt)
        assert raw.startswith(mark)
        text = raw.decode(encoding)  # the first mark is the codec's own; any other stays in the text
        assert text.count("\ufeff") == 0, (encoding, text.count("\ufeff"))
        assert text == plain
