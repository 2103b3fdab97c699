"""The query's words a line holds, counted in native code on a column (nuvra._batch.shared_words)
against the plain twin in nuvra/_words.py, on str columns of every width and on lines read in place."""

import os
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nuvra
from nuvra import _batch, _lines, _words

# Lines that put the word boundaries, the case rules and the fold to the test: words at the start
# and the end, inside longer words and names, next to "_" and digits, next to and made of non-ASCII
# letters, the Turkish letters that fold (and those that do not: â, ß), the Kelvin sign (K, which
# str.lower and re.IGNORECASE without re.ASCII would take for "k") and the long s (ſ).
CRAFTED = [
    "",
    "disk",
    "DISK",
    "Disk full",
    "full disk",
    "the disk is full.",
    "diskfull disks subdisk disk_ _disk disk0 0disk",
    "disk-full/disk.full:disk",
    "DİSK İzin IZIN izin ızın İZİN",
    "Şifre şifre ŞİFRE sifre",
    "Güvenlik GÜVENLİK guvenlik güvenlık",
    "çökme ÇÖKME cokme",
    "doğru DOĞRU dogru",
    "âdisk diskâ dißk disk",
    "\u212aey key KEY",
    "\u017fifre sifre",
    "dısk",
    "\u0130",
    "\u0131",
    "x\u0131y xiy",
    "🙂disk🙂 full🙂",
    "\tdisk\r",
    "disk\x00full",
    "ñdisk diskñ",
    "error: disk full; disk full; DISK FULL",
    "a_b a b _a_b_ A_B",
    "123 0123 1234",
    "sifre izin cokme dogru guvenlik key disk full",
]

QUERIES = [
    frozenset(),
    frozenset({"disk"}),
    frozenset({"disk", "full"}),
    frozenset({"full", "disk", "error", "missing"}),
    frozenset({"disk", "izin", "sifre", "guvenlik", "cokme", "dogru", "key"}),
    frozenset({"a_b", "a", "b", "_a_b_"}),
    frozenset({"123", "0123"}),
    frozenset({"i", "x", "y", "xiy"}),
    frozenset({"dsk", "dk"}),
]


def plain(lines, rows, words, fold):
    return [_words.shared(lines[i], words, fold) for i in rows]


def native(lines, rows, words, fold):
    return _batch.shared_words(_lines.text_column(lines), rows, words, fold)


@pytest.mark.parametrize("fold", [False, True])
@pytest.mark.parametrize("words", QUERIES, ids=lambda q: ",".join(sorted(q)) or "empty")
def test_crafted_lines_as_the_plain_twin_counts_them(words, fold):
    # Each line alone (its own width), and all of them in one column in a scrambled order.
    for line in CRAFTED:
        assert native([line], [0], words, fold) == plain([line], [0], words, fold), line
    rows = list(range(len(CRAFTED)))
    random.Random(7).shuffle(rows)
    assert native(CRAFTED, rows, words, fold) == plain(CRAFTED, rows, words, fold)


def test_crafted_counts_a_person_expects():
    # A few counts written out, so that the twins cannot agree on a wrong rule.
    words = frozenset({"disk", "full"})
    lines = ["Disk FULL", "diskfull disks", "disk_full disk-full", "âdisk ß", "DİSK"]
    assert native(lines, [0, 1, 2, 3, 4], words, False) == [2, 0, 2, 1, 0]
    assert native(lines, [4], words, True) == [1]
    assert native(["Şifre", "ŞİFRE", "\u017fifre"], [0, 1, 2], frozenset({"sifre"}), True) == [1, 1, 0]
    assert native(["\u212aey"], [0], frozenset({"key"}), True) == [0]


def test_the_same_row_twice_and_repeated_words():
    lines = ["disk disk disk", "full"]
    assert native(lines, [1, 0, 0, 1], ["disk", "disk", "full"], False) == [1, 1, 1, 1]
    assert native(lines, [], ["disk"], False) == []
    assert native(lines, [0, 1], [], False) == [0, 0]


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
def test_lines_read_in_place(encoding):
    # Rows that hold the bytes of the lines (most of them) and rows that the codec decoded (the
    # undecodable one), counted as the text of the lines.
    lines = ["Disk full\r", "diskfull disk", "bad \xff byte disk", "full", "âdisk full", ""]
    data = "\n".join(lines).encode(encoding, errors="replace")
    if encoding == "utf-8":
        data = data.replace("\xff".encode(), b"\xffdisk\xff")  # not UTF-8
    words = frozenset({"disk", "full", "byte", "xffdisk"})
    for errors in ("strict", "replace", "backslashreplace", "ignore", "surrogateescape"):
        check = _lines.line_check(encoding, errors)
        if errors == "strict" and encoding == "utf-8":
            continue
        texts = _lines.decoded_lines(data, encoding, errors)
        column = _lines.line_column(data, check, encoding, errors)
        rows = list(range(len(texts)))
        assert _batch.shared_words(column, rows, words, False) == plain(texts, rows, words, False), errors


ALPHABET = "dDiIsSkK fFuUlL_0-.İıŞşĞğÇçÖöÜüâß\u212a\u017f🙂\t"


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.text(alphabet=ALPHABET, max_size=40), min_size=1, max_size=12),
    st.frozensets(st.sampled_from(["disk", "full", "dis", "sk", "i", "s", "k", "_", "d_f", "0", "su"]), max_size=5),
    st.booleans(),
    st.data(),
)
def test_random_lines_as_the_plain_twin_counts_them(lines, words, fold, data):
    rows = data.draw(st.lists(st.integers(0, len(lines) - 1), max_size=20))
    assert native(lines, rows, words, fold) == plain(lines, rows, words, fold)


@pytest.mark.slow
def test_many_long_lines_without_the_lock():
    # Enough text that the count runs without the interpreter lock; the last word of the query
    # is found only at the very end of the last line.
    rng = random.Random(3)
    pieces = ["disk", "Disk", "full", "fulll", "İzin", "ızın", "_", " ", "-", "é", "x"]
    lines = ["".join(rng.choice(pieces) for _ in range(rng.randrange(200, 2000))) for _ in range(200)]
    lines[-1] += " needle"
    words = frozenset({"disk", "full", "izin", "needle"})
    rows = list(range(len(lines)))
    for fold in (False, True):
        assert native(lines, rows, words, fold) == plain(lines, rows, words, fold)


def test_the_fold_is_refused_on_bytes_read_in_place():
    # Lines read in place are bytes, not code points: "\u01c0" is the UTF-8 bytes C7 80 (C7 is
    # Ç in Latin-1) and "ş" the cp1254 byte FE (þ in Latin-1), so a fold on them would count
    # "c" and miss "s". Such a column counts without the fold, and refuses it.
    lines = [("\u01c0 ş", "utf-8"), ("ç ş", "cp1254")]
    for line, encoding in lines:
        data = (line + "\n").encode(encoding)
        column = _lines.line_column(data, _lines.line_check(encoding, "strict"), encoding, "strict")
        assert _batch.shared_words(column, [0], ["c", "s"], False) == plain([line], [0], {"c", "s"}, False)
        with pytest.raises(ValueError):
            _batch.shared_words(column, [0], ["c", "s"], True)
    pa = pytest.importorskip("pyarrow")
    arrow = _batch.arrow_source(pa.chunked_array([["\u01c0 ş"]]).__arrow_c_stream__())
    with pytest.raises(ValueError):
        _batch.shared_words(arrow.column(0, 1, False), [0], ["c", "s"], True)


@pytest.mark.skipif(
    any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan")),
    reason="the sanitizers' runtimes reserve more address space than the limit allows",
)
def test_a_query_word_longer_than_every_row_costs_no_memory():
    # A word of 100 million letters among the query's words: no row can hold it, and counting
    # needs no more memory than the word itself (the process may map 1 GiB in all).
    from nuvra_testing.helpers import run_python

    result = run_python("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from nuvra import _batch, _lines
        column = _lines.text_column(["disk full", "a" * 100, "full"])
        print(_batch.shared_words(column, [0, 1, 2], ["full", "a" * 100_000_000, "a" * 100, "disk"], False))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[2, 1, 1]\n"


def test_wrong_arguments_raise():
    column = _lines.text_column(["disk"])
    with pytest.raises(TypeError):
        _batch.shared_words(["disk"], [0], ["disk"], False)
    with pytest.raises(IndexError):
        _batch.shared_words(column, [1], ["disk"], False)
    with pytest.raises(IndexError):
        _batch.shared_words(column, [-1], ["disk"], False)
    with pytest.raises(TypeError):
        _batch.shared_words(column, [0.0], ["disk"], False)
    with pytest.raises(TypeError):
        _batch.shared_words(column, [0], [b"disk"], False)
    for word in ["Disk", "", "dis k", "dısk"]:
        with pytest.raises(ValueError):
            _batch.shared_words(column, [0], [word], False)
    words_column = _batch.sequence_column(["disk"], True, "word_vectors", 0, None)
    with pytest.raises(ValueError):
        _batch.shared_words(words_column, [0], ["disk"], False)


def test_most_similar_counts_folded_words_in_every_kind_of_input(monkeypatch):
    # In a space that folds Turkish letters, the lines that hold the query's words once folded
    # come first among equal scores, whatever holds the texts (Arrow's UTF-8 included).
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")

    monkeypatch.setattr(nuvra.batch, "_CHUNK_ROWS", 3)
    space = nuvra.Space.load("logs")
    query = "şifre hatası"
    texts = ["sifreler hatali", "parola", "ŞİFRE yanlış", "Şifre HATASI", "şifre", None, "sifre hatasi"]
    words = _words.words_of(query, True)
    scored = [(i, space.text_vector(t)) for i, t in enumerate(texts) if t is not None]
    q = space.text_vector(query)
    ranked = []
    for i, v in scored:
        s = nuvra.cosine_similarities([v], q, space=space)[0]
        if s > 0:
            ranked.append((-s, -_words.shared(texts[i], words, True), i, float(s)))
    expected = [(i, s) for *_, i, s in sorted(ranked)][:4]
    assert [i for i, _ in expected[:2]] == [3, 6]  # both words, in input order
    for column in (
        texts,
        iter(texts),
        np.array([t or "" for t in texts])[[0, 1, 2, 3, 4, 6]],
        pa.array(texts),
        pd.Series(texts, dtype="string[pyarrow]"),
    ):
        got = nuvra.most_similar(query, column, k=4, ties="words", space=space)
        if isinstance(column, np.ndarray):  # without the missing row: indexes after it shift by one
            got = [(i + (i >= 5), s) for i, s in got]
        assert got == expected, type(column)
