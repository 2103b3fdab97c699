"""vectorize_lines against decoding, splitting and vectorize_texts, for every text codec and error handler."""

import codecs
import encodings.aliases
import mmap
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_batch import assert_same, expected_texts

import nuvra
from nuvra import _batch
from nuvra._lines import line_check

ERRORS = ["strict", "ignore", "replace", "surrogateescape", "backslashreplace"]


def text_codecs() -> list[str]:
    names = set()
    for name in set(encodings.aliases.aliases.values()) | {"utf_8", "cp1252", "latin_1", "ascii", "utf_8_sig"}:
        try:
            info = codecs.lookup(name)
        except LookupError:
            continue
        if getattr(info, "_is_text_encoding", True):
            names.add(info.name)
    return sorted(names)


def expected_lines(data: bytes, encoding: str, errors: str):
    """The lines as the docstring defines them, or the exception decoding raises."""
    try:
        text = data.decode(encoding, errors)
    except Exception as exc:  # noqa: BLE001 - whatever decoding raises, vectorize_lines must raise too
        return type(exc)
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return expected_texts(lines)


def assert_lines(data, encoding="utf-8", errors="strict", workers=1):
    expected = expected_lines(bytes(data), encoding, errors)
    if isinstance(expected, type):
        with pytest.raises(expected):
            nuvra.vectorize_lines(data, encoding=encoding, errors=errors, workers=workers)
    else:
        assert_same(nuvra.vectorize_lines(data, encoding=encoding, errors=errors, workers=workers), expected)


def sample(seed: int, size: int = 600) -> bytes:
    """Log-like bytes with every byte value, tokens that an ignored byte joins, and line ends."""
    rng = random.Random(seed)
    pieces = [b"error", b"err", b"or", b"login", b"DB", b"write", b"dosya", b" ", b"\n", b"\r\n", b"_", b"42"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(pieces) if rng.random() < 0.8 else bytes([rng.randrange(256)])
    return bytes(out)


@pytest.mark.parametrize("encoding", text_codecs())
def test_every_text_codec_and_error_handler(encoding):
    for errors in ERRORS:
        for seed in range(3):
            assert_lines(sample(seed), encoding, errors)
        assert_lines(b"plain error line\r\nlogin denied\n\nlast", encoding, errors)


def test_the_fast_path_is_taken_where_it_holds():
    assert line_check("utf-8", "strict") == "utf-8" and line_check("UTF8", "replace") is None
    assert line_check("latin-1", "strict") is None
    cp1252 = line_check("cp1252", "strict")
    assert isinstance(cp1252, bytes) and cp1252[0x81] and not cp1252[0x80]
    assert line_check("cp1252", "surrogateescape") is None
    assert isinstance(line_check("ascii", "ignore"), bytes)
    # Multibyte codecs whose later bytes may be ASCII letters, EBCDIC, UTF-16: decoded whole.
    for encoding in ("shift_jis", "cp037", "utf-16", "utf-8-sig", "gb18030"):
        assert line_check(encoding, "strict") is False


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=300), st.sampled_from(ERRORS), st.sampled_from(["utf-8", "cp1252", "ascii", "latin-1"]))
def test_arbitrary_bytes(data, errors, encoding):
    assert_lines(data, encoding, errors)


def test_line_ends():
    assert nuvra.vectorize_lines(b"").shape == (0, 3)
    assert nuvra.vectorize_lines(b"\n").shape == (1, 3)
    assert nuvra.vectorize_lines(b"a\n\n").shape == (2, 3)
    assert nuvra.vectorize_lines(b"a\r\nb").shape == (2, 3)
    assert_same(nuvra.vectorize_lines(b"error\r\nlogin\r"), expected_texts(["error", "login"]))
    # A last line that decodes to nothing is no line; one before a "\n" is.
    assert nuvra.vectorize_lines(b"error\n\x80", errors="ignore").shape == (1, 3)
    assert nuvra.vectorize_lines(b"error\n\x80\n", errors="ignore").shape == (2, 3)


def test_strict_errors_name_the_line():
    data = b"error one\nfine\nlogin \xff two\nmore \xfe\n"
    with pytest.raises(UnicodeDecodeError) as info:
        nuvra.vectorize_lines(data)
    assert info.value.object == b"login \xff two" and info.value.start == 6
    assert info.value.__notes__ == ["in line 3 of the input"]
    with pytest.raises(UnicodeDecodeError):
        nuvra.vectorize_lines(b"\x81 undefined in cp1252", encoding="cp1252")


def test_buffers_mmaps_and_workers(tmp_path):
    data = sample(9, 200_000).replace(b"\xff", b"")
    expected = expected_lines(data, "utf-8", "replace")
    for view in (bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8)):
        assert_same(nuvra.vectorize_lines(view, errors="replace", workers=2), expected)
    path = tmp_path / "log"
    path.write_bytes(data)
    with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert_same(nuvra.vectorize_lines(m, errors="replace", workers=2), expected)


def test_bad_arguments():
    with pytest.raises(TypeError, match="expected bytes, got str"):
        nuvra.vectorize_lines("error")
    with pytest.raises(TypeError):
        nuvra.vectorize_lines([b"error"])
    with pytest.raises(LookupError):
        nuvra.vectorize_lines(b"x", encoding="no-such-codec")
    with pytest.raises(LookupError):
        nuvra.vectorize_lines(b"x", errors="no-such-handler")
    with pytest.raises(ValueError, match="workers"):
        nuvra.vectorize_lines(b"x", workers=0)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40).map(lambda b: b.replace(b"\x00", b"\n")), st.data())
def test_line_spans_are_those_of_a_split(data, draw):
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    rows = sorted(draw.draw(st.lists(st.integers(0, len(lines) + 1), max_size=6)))
    if rows and rows[-1] >= len(lines):
        with pytest.raises(IndexError, match=f"no line {next(r for r in rows if r >= len(lines))}"):
            _batch.line_spans(data, rows)
        return
    assert [data[b:e] for b, e in _batch.line_spans(memoryview(data), rows)] == [lines[r] for r in rows]
