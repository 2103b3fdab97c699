"""nuvra.Space: random spaces, built in Python and from files, against the plain reference model, bit for bit,
per call, in batches and at the command line; the file format and its errors; pickling, equality and tokens."""

import json
import pickle
import random
import subprocess
import threading

import numpy as np
import pytest

import nuvra
from nuvra import Space, SpaceError
from nuvra.semv_core import get_semantic_vector_c, vectorize_text_c
from nuvra_testing import space_reference as ref
from nuvra_testing.helpers import bits, run_nuvra, run_python
from nuvra_testing.loggen import log_lines

LETTERS = "abcdefghijklmnoprstuyz"
TURKISH = "çÇğĞıİöÖşŞüÜ"


# --- random spaces and texts made to hit prefixes, near misses, ties and every option ---


def random_keyword(rng: random.Random) -> str:
    n = rng.choice([2, 2, 3, 4, 5, 6, 8, 12])
    alphabet = LETTERS if rng.random() < 0.9 else LETTERS + "0123456789_"
    return "".join(rng.choice(alphabet[:12] if rng.random() < 0.5 else alphabet) for _ in range(n))


def random_axes(rng: random.Random, k: int | None = None) -> list[tuple[str, list[str], float]]:
    k = k or rng.choice([1, 2, 3, 4, 5, 7, 64 if rng.random() < 0.1 else 6])
    seen: set[str] = set()
    axes = []
    for a in range(k):
        keywords = []
        for _ in range(rng.randint(1, 12)):
            keyword = random_keyword(rng)
            if keyword not in seen:
                seen.add(keyword)
                keywords.append(keyword)
        if not keywords:
            keywords = [f"ax{a}"]
            seen.add(keywords[0])
        threshold = rng.choice([0.4, 0.4, 0.1, 0.25, 0.5, 1 / 3, 0.75, 1.0, 0.6])
        axes.append((f"axis{a}", keywords, threshold))
    return axes


def fixed_shape_axes(rng: random.Random) -> list[tuple[str, list[str], float]]:
    """Three axes of short a-z keywords at the default threshold: the shape of the default space, which the
    engine runs on its fixed table layout, built from these lists. Scored anywhere as the default space, such
    a space gives the default space's answers."""
    seen: set[str] = set()
    axes = []
    for a in range(3):
        keywords = []
        for _ in range(rng.randint(1, 12)):
            keyword = "".join(rng.choice(LETTERS) for _ in range(rng.choice([2, 3, 4, 5, 6, 8, 10])))
            if keyword not in seen:
                seen.add(keyword)
                keywords.append(keyword)
        axes.append(
            (rng.choice(["net", "pay", "disk", "fault", "x", "security"]) + str(a), keywords or [f"ax{a}"], 0.4)
        )
    return axes


def random_space_axes(rng: random.Random, seed: int) -> tuple[list[tuple[str, list[str], float]], bool, bool]:
    """Axes and options of a random space: every third seed of the fixed shape (no options), on purpose."""
    if seed % 3 == 0:
        return fixed_shape_axes(rng), False, False
    return random_axes(rng), *random_options(rng)


def random_word(rng: random.Random, keywords: list[str]) -> str:
    """A keyword mangled: extended, cut, a letter changed, cased, Turkish, or noise."""
    w = rng.choice(keywords)
    roll = rng.random()
    if roll < 0.2:
        w = w + rng.choice(["", "s", "ed", "42", "_x", "ing"])
    elif roll < 0.4:
        i = rng.randrange(len(w))
        w = w[:i] + rng.choice(LETTERS) + w[i + 1 :]
    elif roll < 0.5:
        w = w[: rng.randint(1, len(w))]
    elif roll < 0.6:
        w = "".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 9)))
    elif roll < 0.7:
        w = w.translate(str.maketrans("cgiosu", "çğıöşü"))
    if rng.random() < 0.3:
        w = w.capitalize() if rng.random() < 0.5 else w.upper()
    return w


def random_text(rng: random.Random, keywords: list[str]) -> str:
    parts = []
    for _ in range(rng.randint(0, 12)):
        w = random_word(rng, keywords)
        roll = rng.random()
        if roll < 0.15:  # camel case and snake case, for split
            w = w.capitalize() + random_word(rng, keywords).capitalize() + rng.choice(["", "Error", "HTTP", "8"])
        elif roll < 0.25:
            w = w + "_" + random_word(rng, keywords)
        elif roll < 0.3:
            w = rng.choice(TURKISH) + w + rng.choice(["İ", "ı", "é", "😀", ""])
        parts.append(w)
    separators = [" ", " ", ", ", "-", ":", "\t", "/", "=", "ü", ".", "\u00a0"]
    return "".join(p + rng.choice(separators) for p in parts)


def random_options(rng: random.Random) -> tuple[bool, bool]:
    return rng.random() < 0.5, rng.random() < 0.5


def python_space(axes, split: bool, fold: bool, name=None) -> Space:
    spec = {a: {"keywords": k, "threshold": t} for a, k, t in axes}
    return Space(spec, split="words" if split else None, fold="turkish" if fold else None, name=name)


def all_keywords(axes) -> list[str]:
    return [k for _, keywords, _ in axes for k in keywords]


def same_rows(array: np.ndarray, rows: list[list[float]]) -> bool:
    expected = np.array(rows, dtype=np.float64).reshape(len(rows), array.shape[1] if array.ndim == 2 else 0)
    return array.shape == expected.shape and bool((array.view(np.uint64) == expected.view(np.uint64)).all())


# --- per call ---


def test_the_default_space_is_the_module():
    space = Space.default()
    assert space is Space.load("default") and space.axes == ("fault", "security", "data")
    assert space.word_vector is get_semantic_vector_c and space.text_vector is vectorize_text_c
    assert [space.keywords(a) for a in space.axes] == [tuple(k) for _, k, _ in ref.DEFAULT_AXES]
    assert {space.threshold(a) for a in space.axes} == {0.4}
    # The same lists in Python give a space equal in all but the name, on the same fast path.
    same = Space({a: k for a, k, _ in ref.DEFAULT_AXES})
    assert same.text_vector is vectorize_text_c and same != space and same == Space(same_axes(same))
    lines = log_lines(2000, seed=3)
    for line in lines:
        assert bits(ref.text_vector(ref.DEFAULT_AXES, line)) == bits(vectorize_text_c(line))
        assert [tuple(m) for m in space.explain(line)] == ref.explain(ref.DEFAULT_AXES, line)
        for token, _ in ref.tokens(line)[:3]:
            assert bits(ref.word_vector(ref.DEFAULT_AXES, token)) == bits(get_semantic_vector_c(token))
    assert same_rows(nuvra.vectorize_texts(lines, space=space), [vectorize_text_c(t) for t in lines])
    assert same_rows(nuvra.vectorize_texts(lines, space="default"), [vectorize_text_c(t) for t in lines])


def same_axes(space: Space) -> dict:
    return {a: {"keywords": list(space.keywords(a)), "threshold": space.threshold(a)} for a in space.axes}


@pytest.mark.parametrize("seed", range(40))
def test_random_spaces_per_call_are_the_reference(seed):
    rng = random.Random(seed)
    axes, split, fold = random_space_axes(rng, seed)
    space = python_space(axes, split, fold)
    assert space.k == len(axes) and space.axes == tuple(a for a, _, _ in axes)
    keywords = all_keywords(axes)
    for _ in range(150):
        word = random_word(rng, keywords)
        folded = word.translate(ref.FOLD) if fold else word
        assert bits(space.word_vector(word)) == bits(ref.word_vector(axes, folded)), word
    for _ in range(100):
        text = random_text(rng, keywords)
        assert bits(space.text_vector(text)) == bits(ref.text_vector(axes, text, split, fold)), text
        assert [tuple(m) for m in space.explain(text)] == ref.explain(axes, text, split, fold), text


def test_split_and_fold_cut_and_map_as_documented():
    space = Space({"err": ["file", "found", "http", "space", "utf8", "decode", "kayit"]}, split="words")
    cut = [m.token for m in space.explain("FileNotFoundError HTTPError no_space_left utf8Decode")]
    assert cut == ["file", "found", "http", "space", "utf8", "decode"]
    assert [m.start for m in space.explain("xx FileNotFoundError")] == [3, 10]
    assert Space({"err": {"keywords": ["kayit"], "threshold": 0.6}}).text_vector("kayıt") == [0.0]  # kay, t
    assert Space({"err": ["kayit"]}, fold="turkish").text_vector("KAYIT kayıt") == [1.0]
    # A fold keeps case: "ÖDEME" stays one word, and "xÖdeme" is cut before the capital as "xOdeme" is.
    folded = Space({"pay": ["odeme"]}, fold="turkish", split="words")
    assert [(m.token, m.start) for m in folded.explain("ÖDEME Ödeme xÖdeme")] == [
        ("odeme", 0),
        ("odeme", 6),
        ("odeme", 13),
    ]


def test_explain_records():
    space = Space({"fault": ["error", "panic"], "data": ["read", "table"]})
    records = space.explain("  ERROR42 bread tablo zzz")
    assert records == [
        nuvra.space.Match("error42", 2, "fault", "error", "prefix", 1.0),
        nuvra.space.Match("bread", 10, "data", "read", "bigrams", 0.75),
        nuvra.space.Match("tablo", 16, "data", "table", "bigrams", 0.6),
    ]
    assert records[1].score == space.word_vector("bread")[1] and space.explain("") == []
    with pytest.raises(TypeError):
        space.explain(None)  # type: ignore[arg-type]
    # The first keyword in list order that reaches the best score is named.
    tie = Space({"a": ["abx", "aby"]}, threshold=0.1)
    assert [m.keyword for m in tie.explain("abz")] == ["abx"]
    assert [tuple(m) for m in tie.explain_word("ABZ ")] == [("abz", 0, "a", "abx", "bigrams", 1 / 3)]


# --- batches ---


@pytest.mark.parametrize("seed", range(12))
def test_random_spaces_in_batches_are_the_reference(seed):
    rng = random.Random(100 + seed)
    axes, split, fold = random_space_axes(rng, seed)
    space = python_space(axes, split, fold)
    keywords = all_keywords(axes)
    texts = [random_text(rng, keywords) for _ in range(300)] + [None]
    rows = [ref.text_vector(axes, t, split, fold) for t in texts[:-1]] + [[float("nan")] * len(axes)]
    for workers in (1, 2):
        assert same_rows(nuvra.vectorize_texts(texts, space=space, workers=workers), rows)
    assert same_rows(nuvra.vectorize_texts(np.array(texts[:-1]), space=space), rows[:-1])
    data = ("\n".join(texts[:-1]) + "\n").encode()  # a last empty text is a line
    assert same_rows(nuvra.vectorize_lines(data, space=space, workers=2), [space.text_vector(t) for t in texts[:-1]])
    words = [random_word(rng, keywords) for _ in range(300)] + [None, "  ", "ĞÜŞ"]
    expected = [space.word_vector(w) if w is not None else [float("nan")] * len(axes) for w in words]
    assert same_rows(nuvra.word_vectors(words, space=space, workers=2), expected)
    plain = [ref.word_vector(axes, w.translate(ref.FOLD) if fold else w) for w in words[:-3]]
    assert same_rows(nuvra.word_vectors(words[:-3], space=space), plain)
    assert same_rows(nuvra.word_vectors(np.array(words[:-3] + ["ĞÜŞ"]), space=space), expected[:-3] + expected[-1:])
    query = random_text(rng, keywords) + " " + keywords[0]
    q = space.text_vector(query)
    scores = [ref.cosine(r, q) for r in rows[:-1]]
    assert bits(nuvra.cosine_similarities(rows[:-1], q).tolist()) == bits(scores)
    best = sorted(range(len(scores)), key=lambda i: (-scores[i], i))[:7]
    assert nuvra.most_similar(query, texts, k=7, space=space) == [(i, scores[i]) for i in best]
    assert nuvra.most_similar(q, texts, k=7, space=space) == [(i, scores[i]) for i in best]


def test_batch_inputs_of_other_kinds():
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    space = Space({"net": ["network", "socket"], "pay": ["payment", "refund"]}, fold="turkish")
    words = ["Socket", None, "REFUNDş", "paymnt"]
    expected = [space.word_vector(w) if w else [float("nan")] * 2 for w in words]
    for column in (pa.array(words), pa.chunked_array([words[:2], words[2:]]), pd.Series(words, dtype="string")):
        assert same_rows(nuvra.word_vectors(column, space=space), expected)
        assert nuvra.vectorize_texts(column, space=space).shape == (4, 2)
    # In a single-byte code page a Turkish letter is one byte that folds to a token character.
    lines = ["ödeme refünd", "socket şocket", "Iade İADE"]
    for encoding in ("utf-8", "iso8859-9", "cp1254", "utf-16"):
        data = "\n".join(lines).encode(encoding)
        assert same_rows(
            nuvra.vectorize_lines(data, encoding=encoding, space=space), [space.text_vector(t) for t in lines]
        )
    with pytest.raises(TypeError, match="item 1 is int"):
        nuvra.word_vectors(["socket", 3], space=space)
    with pytest.raises(TypeError, match="wrap a single text"):
        nuvra.word_vectors("socket", space=space)


def test_space_argument_and_cosines_of_any_length():
    with pytest.raises(ValueError, match="not a bundled space"):
        nuvra.vectorize_texts(["x"], space="no such space")
    with pytest.raises(TypeError, match="nuvra.Space"):
        nuvra.vectorize_texts(["x"], space=3)  # type: ignore[arg-type]
    one = Space({"only": ["error"]})
    assert nuvra.vectorize_texts([], space=one).shape == (0, 1)
    assert nuvra.most_similar("error", ["an error", "none"], k=5, space=one) == [(0, 1.0)]
    with pytest.raises(ValueError, match="as 1 numbers, got 3"):
        nuvra.most_similar([1, 0, 0], ["x"], space=one)
    rng = random.Random(5)
    for k in (1, 2, 3, 4, 9, 64):
        rows = [[rng.choice([0.0, -0.0, 1.0, rng.random(), float("nan")]) for _ in range(k)] for _ in range(50)]
        q = [rng.random() for _ in range(k)]
        assert bits(nuvra.cosine_similarities(rows, q).tolist()) == bits([ref.cosine(r, q) for r in rows])
        assert nuvra.cosine_similarities(np.empty(0), q).shape == (0,)
    with pytest.raises(ValueError, match=r"shape \(n, 2\)"):
        nuvra.cosine_similarities([[1.0, 2.0, 3.0]], [1.0, 2.0])
    with pytest.raises(ValueError, match="at least 1"):
        nuvra.cosine_similarities([[1.0]], [])


def test_one_space_from_many_threads():
    rng = random.Random(9)
    axes = random_axes(rng, 6)
    space = python_space(axes, True, True)
    texts = [random_text(rng, all_keywords(axes)) for _ in range(400)]
    expected = [bits(space.text_vector(t)) for t in texts]
    failures = []

    def work():
        if [bits(space.text_vector(t)) for t in texts] != expected:
            failures.append("per call")
        if not same_rows(nuvra.vectorize_texts(texts, space=space, workers=2), [space.text_vector(t) for t in texts]):
            failures.append("batch")

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# --- the object: checks, value semantics, pickles and tokens ---


def test_every_problem_is_reported_at_once():
    with pytest.raises(SpaceError) as info:
        Space(
            {
                "a": ["Ab", "x", "ok"],
                "": ["zz"],
                "b": ["ab", "ab", "ok"],
                "c": {"keywords": ["cc"], "threshold": 2, "colour": 1},
                "d": [],
                "e": "word",
                "f": ["é" * 3, "a" * 65, 7],
            },
            threshold=0,
            split="camel",
            fold="german",
        )
    error = info.value
    assert isinstance(error, ValueError)
    text = "\n".join(error.problems)
    for expected in [
        "keyword 'Ab' has 'A'",
        "keyword 'x' has 1 character",
        "an axis name is empty",
        "axis 'b': keyword 'ab' is given twice",
        "axis 'b': keyword 'ok' is on axis 'a' as well",
        "axis 'c': threshold must be in (0, 1], got 2",
        "axis 'c': unknown key 'colour'",
        "axis 'd': has no keywords",
        "axis 'e': keywords must be a list of keywords, got str",
        "keyword 'ééé' has 'é'",
        "has 65 characters",
        "keyword 7 is int",
        "threshold must be in (0, 1], got 0",
        'split must be "words"',
        'fold must be "turkish"',
    ]:
        assert expected in text, expected
    assert len(error.problems) == 15 and str(error).startswith("invalid space, 15 problems:")
    with pytest.raises(SpaceError, match="at most 64 axes"):
        Space({f"a{i}": [f"k{i}x"] for i in range(65)})
    with pytest.raises(SpaceError, match="at most 65,535 keywords"):
        Space({"a": [f"k{i}" for i in range(65_536)]})
    with pytest.raises(SpaceError, match=r"threshold must be in \(0, 1\], got nan"):
        Space({"a": ["ab"]}, threshold=float("nan"))
    with pytest.raises(SpaceError, match="threshold must be a number"):
        Space({"a": {"keywords": ["ab"], "threshold": True}})
    with pytest.raises(SpaceError, match=r"got 10{400}"):
        Space({"a": ["ab"]}, threshold=10**400)

    class Word(str):
        def __str__(self):
            return "changed"

    odd = Space({Word("net"): [Word("socket")]}, threshold=np.float32(0.5))
    assert type(odd.axes[0]) is str and type(odd.keywords("net")[0]) is str and odd.keywords("net") == ("socket",)
    assert odd.threshold("net") == 0.5 and odd == pickle.loads(pickle.dumps(odd))


def test_equality_hash_repr_and_immutability():
    axes = {"net": ["network", "socket"], "pay": {"keywords": ["payment"], "threshold": 0.5}}
    a, b = Space(axes, split="words", name="svc"), Space(axes, split="words", name="svc")
    assert a == b and hash(a) == hash(b) and len({a, b}) == 1
    for other in (
        Space(axes, name="svc"),
        Space(axes, split="words", fold="turkish", name="svc"),
        Space(axes, split="words", name="other"),
        Space({"net": ["socket", "network"], "pay": axes["pay"]}, split="words", name="svc"),
        Space({"net": ["network", "socket"], "pay": ["payment"]}, split="words", name="svc"),
        Space({"pay": axes["pay"], "net": axes["net"]}, split="words", name="svc"),
    ):
        assert other != a
    assert a != "svc" and a.keywords("net") == ("network", "socket") and a.threshold("pay") == 0.5
    assert repr(a) == (
        "Space(name='svc', axes=['net', 'pay'], keywords=3, thresholds={'net': 0.4, 'pay': 0.5}, split='words')"
    )
    assert repr(Space.default()) == "Space(name='default', axes=['fault', 'security', 'data'], keywords=91)"
    with pytest.raises(KeyError, match="no axis 'nope'"):
        a.keywords("nope")
    with pytest.raises(AttributeError):
        a.word_vector = len  # type: ignore[method-assign]
    with pytest.raises(AttributeError):
        a._axes = ()  # type: ignore[misc]


@pytest.mark.parametrize("seed", range(6))
def test_pickles_by_content(seed):
    rng = random.Random(200 + seed)
    axes, split, fold = random_space_axes(rng, seed)
    space = python_space(axes, split, fold, name=f"s{seed}")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(space, protocol))
        assert again == space and hash(again) == hash(space) and again is not space
    text = random_text(rng, all_keywords(axes))
    assert bits(again.text_vector(text)) == bits(ref.text_vector(axes, text, split, fold))
    assert pickle.loads(pickle.dumps(Space.default())).text_vector is vectorize_text_c
    # What a pickle holds is plain data and a format version, whatever the tables look like.
    function, args = space.__reduce__()
    assert function is nuvra.space._unpickle and args[0] == 1
    assert all(type(x) in (int, str, bool, tuple, float, type(None)) for x in args)
    with pytest.raises(SpaceError, match="format 2"):
        function(2, *args[1:])


def test_a_large_space_pickles_small_and_loads_fast_enough():
    rng = random.Random(1)
    seen: set[str] = set()
    while len(seen) < 20_000:
        seen.add("".join(rng.choice(LETTERS) for _ in range(rng.randint(4, 12))))
    keywords = sorted(seen)
    space = Space({f"axis{i}": keywords[i::16] for i in range(16)})
    data = pickle.dumps(space)
    assert len(data) <= 300_000
    assert pickle.loads(data) == space


def test_dask_tokens_are_deterministic_across_processes(tmp_path):
    tokenize = pytest.importorskip("dask.base").tokenize
    path = tmp_path / "s.toml"
    path.write_text('[axes.net]\nkeywords = ["network", "socket"]\n[axes.pay]\nkeywords = ["payment"]\n')
    space = Space.load(path)
    code = f"import dask.base, nuvra; print(dask.base.tokenize(nuvra.Space.load({str(path)!r})))"
    tokens = {run_python(code).stdout.strip() for _ in range(2)}
    assert tokens == {tokenize(space)}
    assert tokenize(Space.default()) != tokenize(space)
    assert tokenize(Space.load(path)) == tokenize(pickle.loads(pickle.dumps(space)))


# --- files ---


def write(tmp_path, name: str, text: str):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("seed", range(8))
def test_random_spaces_from_files_are_the_reference(tmp_path, seed):
    rng = random.Random(300 + seed)
    axes, split, fold = random_space_axes(rng, seed)
    space = python_space(axes, split, fold, name="random")
    from_toml = Space.load(write(tmp_path, "r.toml", space.to_toml()))
    spec = {"name": "random", "axes": {a: {"keywords": k, "threshold": t} for a, k, t in axes}}
    spec |= {"split": "words"} if split else {}
    spec |= {"fold": "turkish"} if fold else {}
    from_json = Space.load(write(tmp_path, "r.json", json.dumps(spec)))
    assert from_toml == space == from_json
    keywords = all_keywords(axes)
    for _ in range(50):
        text = random_text(rng, keywords)
        expected = bits(ref.text_vector(axes, text, split, fold))
        assert bits(from_toml.text_vector(text)) == expected == bits(from_json.text_vector(text))


SERVICES = """\
# services.toml
name = "services"
extends = "default"        # a bundled name, or a path relative to this file
threshold = 0.45           # for every axis without its own
split = "words"
fold = "turkish"

[axes.fault]               # an axis of the base: change it
add = ["segfault", "panic"]
remove = ["limit"]
threshold = 0.5

[axes.payment]             # a new axis, after the base's axes, in file order
keywords = ["payment", "refund", "iade", "fatura"]
"""


def test_a_file_extends_and_changes_its_base(tmp_path):
    path = write(tmp_path, "services.toml", SERVICES)
    space = Space.load(str(path))
    default = Space.default()
    assert space.name == "services" and space.axes == ("fault", "security", "data", "payment")
    assert space.keywords("fault") == (*[k for k in default.keywords("fault") if k != "limit"], "segfault", "panic")
    assert [space.threshold(a) for a in space.axes] == [0.5, 0.45, 0.45, 0.45]
    assert space.split == "words" and space.fold == "turkish"
    # A file extends another by a path relative to itself; the options carry over.
    sub = tmp_path / "sub"
    sub.mkdir()
    child = Space.load(write(sub, "child.toml", 'extends = "../services.toml"\n[axes.data]\nkeywords = ["disk"]\n'))
    assert child.name == "child" and child.keywords("data") == ("disk",) and child.split == "words"
    assert child.keywords("payment") == space.keywords("payment") and child.threshold("fault") == 0.5
    assert Space.load(write(tmp_path, "plain.toml", "[axes.a]\nkeywords = ['ab']\n")).threshold("a") == 0.4
    assert Space.load(write(tmp_path, "again.toml", space.to_toml())) == space


def problems_of(path) -> list[str]:
    with pytest.raises(SpaceError) as info:
        Space.load(path)
    assert all(str(path) in p for p in info.value.problems)
    return [p.replace(str(path), "F") for p in info.value.problems]


def test_every_mistake_of_a_file_at_once_with_its_line(tmp_path):
    bad = write(
        tmp_path,
        "bad.toml",
        """\
name = "bad"
extends = "default"
colour = "red"

[axes.fault]
add = ["Segfault", "panic", "error"]
remove = ["nothere"]
threshold = 1.5

[axes.payment]
keywords = ["payment", "x", "login"]
bogus = 1

[axes.empty]
keywords = []

[axes.new]
add = ["abc"]
""",
    )
    assert problems_of(bad) == [
        "F:3: unknown key 'colour' (a space file has name, extends, threshold, split, fold, axes)",
        "F:6: axis 'fault': keyword 'Segfault' has 'S': keywords are made of a-z, 0-9 and _ (keywords are lower case)",
        "F:6: axis 'fault': cannot add 'error': the axis has it already",
        "F:7: axis 'fault': cannot remove 'nothere': the axis has no such keyword",
        "F:8: axis 'fault': threshold must be in (0, 1], got 1.5",
        "F:11: axis 'payment': keyword 'x' has 1 character; keywords have 2 to 64",
        "F:11: axis 'payment': keyword 'login' is on axis 'security' as well",
        "F:12: axis 'payment': unknown key 'bogus' (an axis has keywords, add, remove, threshold)",
        "F:15: axis 'empty': has no keywords",
        "F:18: axis 'new': is not an axis of the base, so it needs keywords, not add",
    ]
    broken = write(tmp_path, "broken.toml", 'name = "x"\n[axes.a\nkeywords = []\n')
    assert problems_of(broken) == ["F:2: not valid TOML: Expected ']' at the end of a table declaration"]
    bad_json = write(tmp_path, "bad.json", '{"axes": {"net": {"keywords": ["network",\n "Dns"]}}, "split": 1}')
    assert problems_of(bad_json) == [
        'F:2: split must be "words" (or left out), got 1',
        "F:2: axis 'net': keyword 'Dns' has 'D': keywords are made of a-z, 0-9 and _ (keywords are lower case)",
    ]
    assert problems_of(write(tmp_path, "j.json", "[1, 2")) == ["F:1: not valid JSON: Expecting ',' delimiter"]
    assert problems_of(write(tmp_path, "n.toml", "name = 'n'\n")) == [
        "F: a space file needs axes ([axes.NAME] tables) or extends"
    ]
    assert problems_of(write(tmp_path, "u.toml", "[axes.a]\nkeywords = ['ab', 'cd']\nadd = ['ef']\n")) == [
        "F:3: axis 'a': keywords replaces the list: leave out add"
    ]
    (tmp_path / "latin.toml").write_bytes(b"[axes.a]\nkeywords = ['\xe9t\xe9']\n")
    assert problems_of(tmp_path / "latin.toml") == ["F:2: not UTF-8 text"]


def test_a_file_of_many_mistakes_is_reported_whole(tmp_path):
    # Each problem finds its line in an index, not by searching the file again.
    keywords = "".join(f'  "K{i}",\n' for i in range(20_000))
    path = write(tmp_path, "many.toml", f"[axes.a]\nkeywords = [\n{keywords}]\n[axes.b]\nkeywords = ['k1x']\n")
    problems = problems_of(path)
    assert len(problems) == 20_000 and problems[-1].startswith("F:20002: axis 'a': keyword 'K19999'")


def test_the_space_module_is_an_attribute_of_the_package():
    result = run_python("import nuvra; print(nuvra.space.bundled_names()[0], nuvra.space.Match._fields[-1])")
    assert result.stdout.split() == ["default", "score"], result.stderr


def test_cycles_and_missing_files(tmp_path):
    write(tmp_path, "a.toml", 'extends = "b.toml"\n')
    write(tmp_path, "b.toml", 'extends = "./a.toml"\n')
    with pytest.raises(SpaceError, match=r"extends itself through a cycle: .*a.toml -> .*b.toml -> .*a.toml"):
        Space.load(tmp_path / "a.toml")
    write(tmp_path, "self.toml", 'extends = "self.toml"\n[axes.a]\nkeywords = ["ab"]\n')
    with pytest.raises(SpaceError, match="cycle"):
        Space.load(tmp_path / "self.toml")
    with pytest.raises(SpaceError, match="cannot read: No such file"):
        Space.load(tmp_path / "nope.toml")
    with pytest.raises(SpaceError, match="no bundled space 'nope'"):
        Space.load("nope")
    assert "default" in nuvra.space.bundled_names()


# --- the command line ---


def csv_rows(result: subprocess.CompletedProcess) -> tuple[list[str], list[list[str]]]:
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


@pytest.mark.parametrize("seed", range(3))
def test_random_spaces_at_the_command_line_are_the_reference(tmp_path, seed):
    rng = random.Random(400 + seed)
    axes = random_axes(rng, rng.choice([2, 5]))
    split, fold = random_options(rng)
    space = python_space(axes, split, fold, name="r")
    path = write(tmp_path, "r.toml", space.to_toml())
    keywords = all_keywords(axes)
    texts = [random_text(rng, keywords).replace(",", " ").replace("\t", " ") for _ in range(200)]
    log = tmp_path / "log.txt"
    log.write_text("\n".join(texts) + "\n", encoding="utf-8")
    header, rows = csv_rows(run_nuvra("vectors", "--format", "csv", "--space", str(path), str(log)))
    names = [a for a, _, _ in axes]
    assert header == [*names, "axis", "text"]
    expected = [ref.text_vector(axes, t, split, fold) for t in texts]
    assert [[float(x) for x in row[: len(names)]] for row in rows] == expected
    assert [bits([float(x) for x in row[: len(names)]]) for row in rows] == [bits(v) for v in expected]
    dominant = [names[max(range(len(v)), key=lambda i: (v[i], -i))] if any(v) else "none" for v in expected]
    assert [row[len(names)] for row in rows] == dominant
    # The same from the environment, and the word vectors and explanations as well.
    from_env = run_nuvra("vectors", "--format", "csv", str(log), env={"NUVRA_SPACE": str(path)})
    assert from_env.stdout == run_nuvra("vectors", "--format", "csv", "--space", str(path), str(log)).stdout
    words = [random_word(rng, keywords).strip() or "ab" for _ in range(20)]
    header, rows = csv_rows(run_nuvra("word", "--format", "csv", "--space", str(path), "--", *words))
    assert [[float(x) for x in row[: len(names)]] for row in rows] == [space.word_vector(w) for w in words]
    text = " ".join(texts[:5])
    result = run_nuvra("explain", "--format", "jsonl", "--space", str(path), "--", text)
    explained = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [tuple(r.values()) for r in explained] == ref.explain(axes, text, split, fold)
    assert result.returncode == (0 if explained else 1)


def expected_ranking(axes, query: str, texts: list[str], k: int, by_words: bool) -> list[tuple[int, float]]:
    """The k best texts by the plain model: score, then (by_words) the query's words held, then order."""
    q = ref.text_vector(axes, query)
    scores = [ref.cosine(ref.text_vector(axes, t), q) for t in texts]
    words = nuvra._words.words_of(query) if by_words else frozenset()
    held = [nuvra._words.shared(t, words) for t in texts]
    ranked = sorted((i for i in range(len(texts)) if scores[i] > 0.0), key=lambda i: (-scores[i], -held[i], i))
    return [(i, scores[i]) for i in ranked[:k]]


@pytest.mark.parametrize("seed", range(4))
def test_a_space_of_the_fixed_shape_is_itself_on_every_path(tmp_path, seed):
    """Three axes of short a-z keywords at 0.4 run on the fixed table layout, built from their own lists;
    every way in gives that space's answers, never the default space's."""
    rng = random.Random(500 + seed)
    axes = (
        fixed_shape_axes(rng)
        if seed
        else [("net", ["socket", "dns"], 0.4), ("pay", ["payment", "refund"], 0.4), ("disk", ["disk", "inode"], 0.4)]
    )
    space = python_space(axes, False, False, name="three")
    assert space._native.on_fixed_tables and space != Space.default()
    keywords = all_keywords(axes)
    texts = [random_text(rng, keywords) for _ in range(150)] + ["socket refund failed", "error password database"]
    expected = [ref.text_vector(axes, t) for t in texts]
    assert [bits(space.text_vector(t)) for t in texts] == [bits(v) for v in expected]
    words = [random_word(rng, keywords) for _ in range(60)] + ["Refund", "ERROR"]
    assert [bits(space.word_vector(w)) for w in words] == [bits(ref.word_vector(axes, w)) for w in words]
    # Batches, per kind of input.
    assert same_rows(nuvra.vectorize_texts(texts, space=space, workers=2), expected)
    assert same_rows(nuvra.vectorize_texts(np.array(texts), space=space), expected)
    data = ("\n".join(texts) + "\n").encode()
    assert same_rows(nuvra.vectorize_lines(data, space=space, workers=2), expected)
    assert same_rows(nuvra.word_vectors(words, space=space), [ref.word_vector(axes, w) for w in words])
    # Rankings: the query scored in the space, ties by order or by the query's words.
    query = " ".join(rng.sample(keywords, min(2, len(keywords))))
    for ties in ("order", "words"):
        assert nuvra.most_similar(query, texts, k=9, space=space, ties=ties) == expected_ranking(
            axes, query, texts, 9, ties == "words"
        )
    q = ref.text_vector(axes, query)
    assert bits(nuvra.cosine_similarities(expected, query, space=space).tolist()) == bits(
        [ref.cosine(v, q) for v in expected]
    )
    # The command, from a file of the space.
    path = write(tmp_path, "three.toml", space.to_toml())
    log = tmp_path / "log.txt"
    log.write_text("\n".join(t.replace(",", " ") for t in texts) + "\n", encoding="utf-8")
    header, rows = csv_rows(run_nuvra("vectors", "--format", "csv", "--space", str(path), str(log)))
    assert header == [*space.axes, "axis", "text"]
    assert [bits([float(x) for x in row[:3]]) for row in rows] == [bits(v) for v in expected]
    header, rows = csv_rows(run_nuvra("word", "--format", "csv", "--space", str(path), "--", *words))
    assert [bits([float(x) for x in row[:3]]) for row in rows] == [bits(ref.word_vector(axes, w)) for w in words]
    result = run_nuvra("explain", "--format", "jsonl", "--space", str(path), "--", texts[-2])
    explained = [tuple(json.loads(line).values()) for line in result.stdout.decode().splitlines()]
    assert explained == ref.explain(axes, texts[-2])
    result = run_nuvra("similar", query, str(log), "-k", "5", "--format", "csv", "--space", str(path))
    ranking = expected_ranking(axes, query, texts, 5, True)
    assert result.stdout.decode().splitlines()[1:] == [
        f"{i + 1},{score!r},{texts[i].replace(',', ' ')}" for i, score in ranking
    ], result.stderr.decode()


def test_space_show_and_check(tmp_path):
    path = write(tmp_path, "services.toml", SERVICES)
    result = run_nuvra("space", "show", str(path))
    out = result.stdout.decode()
    assert result.returncode == 0 and out.startswith(
        "space services: 4 axes, 96 keywords; split = words, fold = turkish"
    )
    assert "fault (threshold 0.5, 29 keywords):" in out and "payment (threshold 0.45, 4 keywords):" in out
    assert "segfault panic" in out and " limit " not in out
    toml = run_nuvra("space", "show", "--toml", env={"NUVRA_SPACE": str(path)}).stdout.decode()
    assert Space.load(write(tmp_path, "shown.toml", toml)) == Space.load(path)
    assert run_nuvra("space", "show").stdout.decode().startswith("space default: 3 axes, 91 keywords\n")
    check = run_nuvra("space", "check", str(path))
    assert (
        check.returncode == 0
        and check.stdout.decode() == f"{path}: ok: 4 axes (fault, security, data, payment), 96 keywords\n"
    )
    bad = write(tmp_path, "bad.toml", "[axes.a]\nkeywords = ['A']\n[axes.b]\nkeywords = []\n")
    check = run_nuvra("space", "check", str(bad))
    assert check.returncode == 2 and check.stdout == b""
    assert check.stderr.decode().splitlines() == [
        "nuvra: invalid space, 2 problems:",
        f"  {bad}:2: axis 'a': keyword 'A' has 1 character; keywords have 2 to 64",
        f"  {bad}:4: axis 'b': has no keywords",
    ]


def test_command_line_space_errors(tmp_path):
    for args, env, message in [
        (["word", "--space", "nope", "x"], {}, "nuvra: invalid space: no bundled space 'nope'"),
        (["word", "x"], {"NUVRA_SPACE": "nope"}, "(from NUVRA_SPACE)"),
        (["vectors", "--space", str(write(tmp_path, "t.toml", "[axes.text]\nkeywords=['ab']\n"))], {}, "clash"),
    ]:
        result = run_nuvra(*args, env=env)
        assert result.returncode == 2 and message in result.stderr.decode() and result.stdout == b""
        assert b"Traceback" not in result.stderr


def test_the_default_columns_are_named_after_the_axes(tmp_path):
    header, rows = csv_rows(run_nuvra("word", "--format", "csv", "ERROR42", "bread"))
    assert header == ["fault", "security", "data", "axis", "word"]
    assert rows == [["1.0", "0.0", "0.0", "fault", "ERROR42"], ["0.6", "0.0", "0.75", "data", "bread"]]
    several = run_nuvra("explain", "--format", "csv", "disk error", "nothing", "passwd")
    assert several.stdout.decode().splitlines() == [
        "input,token,start,axis,keyword,how,score",
        "1,error,5,fault,error,prefix,1.0",
        "3,passwd,0,security,password,bigrams,0.5",
    ]
    none = run_nuvra("explain", "hello world")
    assert none.returncode == 1 and none.stdout == b"" and b"no token of 'hello world' matched" in none.stderr
    explained = run_nuvra("word", "--explain", "--format", "csv", "bread")
    assert explained.stdout.decode().splitlines() == [
        "token,axis,keyword,how,score,word",
        "bread,fault,break,bigrams,0.6,bread",
        "bread,data,read,bigrams,0.75,bread",
    ]


def test_similar_and_plot_in_a_space_of_other_than_three_axes(tmp_path):
    path = write(
        tmp_path, "s.toml", "[axes.net]\nkeywords = ['network', 'socket']\n[axes.pay]\nkeywords = ['payment']\n"
    )
    log = tmp_path / "log.txt"
    log.write_text("socket closed\npayment failed\nnetwork payment\nhello\n")
    result = run_nuvra("similar", "network", str(log), "-k", "2", "--format", "csv", "--space", str(path))
    assert result.stdout.decode().splitlines() == [
        "line,score,text",
        "1,1.0,socket closed",
        f"3,{2**-0.5!r},network payment",
    ]
    pytest.importorskip("matplotlib")
    for spec in (
        "[axes.a]\nkeywords = ['socket']\n",
        "".join(f"[axes.a{i}]\nkeywords = ['k{i}x']\n" for i in range(7)),
    ):
        result = run_nuvra(
            "plot", str(log), "-o", str(tmp_path / "p.png"), "--space", str(write(tmp_path, "p.toml", spec))
        )
        assert result.returncode == 0 and (tmp_path / "p.png").stat().st_size > 0, result.stderr.decode()


def test_the_package_reads_the_core_s_rules():
    """What keywords and tokens are made of and the Turkish fold are the core's, and agree with the plain
    model: a keyword of any other character is refused by both layers alike."""
    from nuvra import _batch

    assert str.maketrans(*_batch.TURKISH_FOLD) == ref.FOLD
    assert set(_batch.TOKEN_CHARACTERS) == {c for c in map(chr, range(128)) if ref.tokens(f" {c} ")}
    assert set(_batch.KEYWORD_CHARACTERS) == {c.lower() for c in _batch.TOKEN_CHARACTERS}
    for c in map(chr, range(1, 128)):
        keyword = f"a{c}b"
        ok = c in _batch.KEYWORD_CHARACTERS
        if ok:
            assert Space({"x": [keyword]}).keywords("x") == (keyword,)
        else:
            with pytest.raises(SpaceError):
                Space({"x": [keyword]})
            with pytest.raises(ValueError):
                _batch.Space([("x", [keyword], 0.4)], False, False)
    longest = "a" * _batch.MAX_KEYWORD_LENGTH
    assert Space({"x": [longest]}).keywords("x") == (longest,)
    with pytest.raises(ValueError):
        _batch.Space([("x", [longest + "a"], 0.4)], False, False)
    with pytest.raises(SpaceError, match=f"keywords have {_batch.MIN_KEYWORD_LENGTH} to"):
        Space({"x": [longest + "a"]})
