"""Rankings a person can use: lines that score 0 are never similar, and among equal scores the
lines holding the query's words come first, in `nuvra similar` and `nuvra.most_similar`."""

import array
import json
import math
import re
from unittest import mock

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import nuvra
from nuvra import _lines, cli
from nuvra.cli import inputs
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c
from nuvra_testing.helpers import run_nuvra as nuvra_command

QUERY = "permission denied"
# An apt log in small: many lines tie with the query on the security axis, one of them late
# says what the query says, and most lines score 0.
TIED = [f"Unpacking libk5crypto3:amd64 (1.20.1-2+deb12u{i}) ..." for i in range(12)]
HIT = "invoke-rc.d: policy-rc.d denied execution of restart (permission denied)."
APT_LOG = [
    *(f"Setting up tzdata (2024a-0+deb12u{i}) ..." for i in range(5)),
    *TIED,
    "Setting up tzdata (2024a-0+deb12u1) ...",
    "invoke-rc.d: policy-rc.d denied execution of start.",
    HIT,
    "Processing triggers for man-db (2.11.2-2) ...",
]


def score(text, query=QUERY):
    return cosine_similarity_c(vectorize_text_c(query), vectorize_text_c(text))


def words(text):
    return {w.lower() for w in re.findall(r"[A-Za-z0-9_]+", text)}


def by_words(query, texts, k, min_score=0.0):
    """The ranking as a person reads it: score, then words of the query held, then input order."""
    q = words(query)
    ranked = [(score(t, query), len(q & words(t)), i) for i, t in enumerate(texts) if isinstance(t, str)]
    ranked = [r for r in ranked if r[0] > 0 and r[0] >= min_score]
    ranked.sort(key=lambda r: (-r[0], -r[1], r[2]))
    return [(i, s) for s, _, i in ranked[:k]]


def test_the_log_is_one_where_many_lines_tie():
    scores = [score(t) for t in APT_LOG]
    assert scores.count(scores[APT_LOG.index(HIT)]) >= len(TIED) + 2
    assert scores.count(0.0) >= 5


@pytest.fixture
def apt_log(tmp_path):
    path = tmp_path / "term.log"
    path.write_text("\n".join(APT_LOG) + "\n", encoding="utf-8")
    return path


def test_similar_puts_the_line_with_the_query_words_first_and_never_lists_zero(apt_log):
    result = nuvra_command("similar", QUERY, str(apt_log), "-k", "3", "--format", "jsonl")
    rows = [json.loads(r) for r in result.stdout.splitlines()]
    assert result.returncode == 0
    # The line holding both words, then the one holding "denied", then the first tied line.
    assert [r["text"] for r in rows] == [HIT, APT_LOG[APT_LOG.index(HIT) - 1], TIED[0]]
    positive = sum(score(t) > 0 for t in APT_LOG)
    stderr = result.stderr.decode()
    assert f"nuvra: {positive} of {len(APT_LOG)} lines scored above 0; 3 shown" in stderr
    tied = sum(score(t) == rows[-1]["score"] for t in APT_LOG)
    assert f"{tied} lines share the score {rows[-1]['score']!r} of the last line shown" in stderr
    # Every line asked for: those scoring 0 are left out.
    every = nuvra_command("similar", QUERY, str(apt_log), "-k", "1000", "--format", "jsonl")
    rows = [json.loads(r) for r in every.stdout.splitlines()]
    assert len(rows) == positive and min(r["score"] for r in rows) > 0
    assert b"share" not in every.stderr
    # Input order alone, when asked.
    ordered = nuvra_command("similar", QUERY, str(apt_log), "-k", "1", "--ties", "order", "--format", "jsonl")
    assert json.loads(ordered.stdout)["text"] == TIED[0]
    assert b"the first 1 of them in input order" in ordered.stderr


def test_min_score_and_nothing_above_it(tmp_path):
    query, partial = "database error", "ERROR: write failed"  # not quite on the query's axes
    path = tmp_path / "mixed.log"
    path.write_text(f"hello\n{partial}\nlogin denied\ndatabase error\n", encoding="utf-8")
    s = score(partial, query)
    assert 0 < s < 1 and score("database error", query) == 1.0
    for floor, expected in ((repr(s), ["database error", partial]), ("0.96", ["database error"])):
        result = nuvra_command("similar", query, str(path), "--min-score", floor, "--format", "csv", "--whole-line")
        assert [r.split(",")[-1] for r in result.stdout.decode().splitlines()[1:]] == expected
        assert f"nuvra: 2 of 4 lines scored above 0; {len(expected)} shown" in result.stderr.decode()
    high = nuvra_command("similar", query, str(path), "--min-score", "1.5", "--whole-line")
    assert high.returncode == 1 and high.stdout == b""
    assert (
        high.stderr.decode().strip()
        == "nuvra: 2 of 4 lines scored above 0, none at least 1.5 (--min-score): no line is similar"
    )
    path.write_text("hello\nERROR: write failed\n", encoding="utf-8")
    nothing = nuvra_command("similar", "password", str(path))
    assert nothing.returncode == 1 and nothing.stdout == b""
    assert nothing.stderr.decode().strip() == "nuvra: 0 of 2 lines scored above 0: no line is similar"
    bad = nuvra_command("similar", "disk", str(path), "--min-score", "nan")
    assert bad.returncode == 2 and b"not a finite number" in bad.stderr


def test_the_tie_message_agrees_with_the_rounded_table(tmp_path):
    # Two scores a rounding apart: both show as 1.0000 in the table.
    high, low = "error " * 200 + "password", "error " * 150 + "password"
    query = "error"
    assert 1.0 > score(high, query) > score(low, query) and f"{score(low, query):.4f}" == "1.0000"
    high, low = (score(high, query), high), (score(low, query), low)
    path = tmp_path / "round.log"
    path.write_text(f"{high[1]}\n{low[1]}\n{low[1]}\n{low[1]}\n", encoding="utf-8")
    result = nuvra_command("similar", query, str(path), "-k", "2", "--whole-line")
    table = result.stdout.decode().splitlines()[1:]
    assert [row.split()[1] for row in table] == ["1.0000", "1.0000"]
    message = f"3 lines share the score {low[0]!r} (rounded to 1.0000 in the table) of the last line shown;"
    assert message in result.stderr.decode()
    jsonl = nuvra_command("similar", query, str(path), "-k", "2", "--format", "jsonl", "--whole-line")
    assert f"3 lines share the score {low[0]!r} of the last line shown;" in jsonl.stderr.decode()


# The ranking across blocks, in process: a file large enough for several blocks of the command's
# own size would make a slow test.

SCORES = [math.nan, -0.0, 0.0, 0.25, 0.5, 1.0]
TOKENS = ["disk", "Disk", "DISK_", "full", "error", "x"]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.lists(st.tuples(st.sampled_from(SCORES), st.lists(st.sampled_from(TOKENS), max_size=4)), max_size=8),
        max_size=5,
    ),
    st.integers(1, 6),
    st.sampled_from([0.0, 0.25, 0.6]),
    st.sampled_from(["", "disk full", "disk full disk"]),
    st.booleans(),
)
def test_the_ranking_over_blocks_by_words_is_that_of_one_sort(blocks, k, min_score, query, native):
    # native: the blocks carry their column, and the words are counted on it in native code.
    query_words = frozenset(w.lower() for w in query.split())
    ranking = cli.Ranking(k, min_score, query_words)
    every = []  # (score, words held, order, text) of every line, in input order
    for b, lines in enumerate(blocks):
        texts = [f"block{b} " + " ".join(tokens) for _, tokens in lines]
        vectors = array.array("d", [0.0]) * (3 * len(lines))
        column = _lines.text_column(texts) if native else None
        block = inputs.Block(inputs.Source("x"), 1, vectors, texts, None, "utf-8", "strict", 3, column)
        ranking.add(block, array.array("d", [s for s, _ in lines]))
        every += [(s, len(query_words & words(t)), len(every), t) for (s, _), t in zip(lines, texts, strict=True)]
    ranked = [e for e in every if e[0] > 0 and e[0] >= min_score]
    best = sorted(ranked, key=lambda e: (-e[0], -e[1], e[2]))[:k]
    assert [(e[0], e[5]) for e in ranking.best] == [(e[0], e[3]) for e in best]
    assert ranking.ties() == (sum(e[0] == best[-1][0] for e in ranked) if best else 0)
    assert ranking.positive == sum(e[0] > 0 for e in every)


# --- most_similar -------------------------------------------------------------------------------


def test_most_similar_by_words_in_every_kind_of_input(monkeypatch):
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    monkeypatch.setattr(nuvra.batch, "_CHUNK_ROWS", 4)  # the hit arrives in a later chunk
    texts = [*APT_LOG[:10], None, *APT_LOG[10:]]
    expected = by_words(QUERY, texts, 3)
    assert expected[0] == (texts.index(HIT), score(HIT))
    for column in (
        texts,
        tuple(texts),
        iter(texts),
        np.array(texts, dtype=object),
        np.array([t or "" for t in texts]),
        pa.chunked_array([texts[:7], texts[7:]]),
        pa.array(texts),
        pd.Series(texts, dtype="string[pyarrow]"),
        pd.Series(texts, dtype=object),
    ):
        assert nuvra.most_similar(QUERY, column, k=3, ties="words") == expected, type(column)
    # The default keeps input order among equal scores, and lists no zero either.
    assert nuvra.most_similar(QUERY, texts, k=3)[0] == (texts.index(TIED[0]), score(TIED[0]))
    every = nuvra.most_similar(QUERY, texts, k=100)
    assert len(every) == sum(isinstance(t, str) and score(t) > 0 for t in texts)
    assert nuvra.most_similar(QUERY, texts, k=100, ties="words") == by_words(QUERY, texts, 100)


@settings(max_examples=100, deadline=None)
@given(
    st.lists(
        st.sampled_from(["disk error", "Disk full", "error", "hello", "password", "disk_write failed", None]),
        max_size=30,
    ),
    st.integers(0, 8),
    st.sampled_from([0.0, 0.5, 0.99]),
    st.sampled_from(["disk error", "disk full", "password error"]),
    st.sampled_from([1, 3, 1 << 18]),
)
@example(["error", "disk error"], 1, 0.0, "disk error", 1)  # the line with both words in a later chunk
def test_most_similar_by_words_matches_one_sort(texts, k, min_score, query, chunk):
    with mock.patch.object(nuvra.batch, "_CHUNK_ROWS", chunk):
        best = nuvra.most_similar(query, texts, k=k, ties="words", min_score=min_score)
    assert best == by_words(query, texts, k, min_score)


def test_most_similar_min_score_and_its_checks():
    texts = ["hello", "ERROR: write failed", "login denied", "database error"]
    s = score(texts[1], "database error")
    assert 0 < s < 1
    assert nuvra.most_similar("database error", texts, min_score=s) == [(3, 1.0), (1, s)]
    assert nuvra.most_similar("database error", texts, min_score=0.96) == [(3, 1.0)]
    assert nuvra.most_similar("database error", texts, min_score=-5) == [(3, 1.0), (1, s)]
    assert nuvra.most_similar([0.0, 0.0, 0.0], texts) == []
    with pytest.raises(ValueError, match="ties must be 'order' or 'words'"):
        nuvra.most_similar("error", texts, ties="first")
    with pytest.raises(ValueError, match="min_score must be a number"):
        nuvra.most_similar("error", texts, min_score=math.nan)
    with pytest.raises(ValueError, match="needs the query as a text"):
        nuvra.most_similar([1.0, 0.0, 0.0], texts, ties="words")


# --- The one ranker under both -------------------------------------------------------------------


@pytest.mark.parametrize("k", [1, 3, 7, 13, 40])
def test_the_command_and_most_similar_rank_a_tie_heavy_log_alike(tmp_path, monkeypatch, capfd, k):
    # Hundreds of lines tie on the query's axis, holding none, one or both of its words, spread over
    # many blocks of the command and chunks of most_similar.
    texts = [
        ("denied for user %d", "invoke-rc.d permission %d denied", "Unpacking libk5crypto3 %d", "hello %d")[i % 4] % i
        for i in range(400)
    ]
    texts[333] = HIT
    path = tmp_path / "ties.log"
    path.write_text("\n".join(texts) + "\n", encoding="utf-8")
    monkeypatch.setattr(inputs, "BLOCK_BYTES", 256)
    monkeypatch.setattr(nuvra.batch, "_CHUNK_ROWS", 37)
    expected = by_words(QUERY, texts, k)
    assert len({s for _, s in expected}) < len(expected) or k == 1  # the k best tie
    assert cli.main(["similar", QUERY, str(path), "-k", str(k), "--format", "jsonl"]) == 0
    out, err = capfd.readouterr()
    rows = [json.loads(row) for row in out.splitlines()]
    assert [(r["line"] - 1, r["score"]) for r in rows] == expected
    assert [r["text"] for r in rows] == [texts[i] for i, _ in expected]
    tied = sum(score(t) == expected[-1][1] for t in texts)
    assert f"{tied} lines share the score" in err
    assert nuvra.most_similar(QUERY, texts, k=k, ties="words") == expected


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.lists(st.tuples(st.sampled_from(SCORES), st.integers(0, 3)), max_size=12), max_size=6),
    st.integers(0, 20),
    st.sampled_from([0.0, 0.25, 0.6]),
    st.sampled_from([0, 1, 3]),
)
def test_the_ranker_over_chunks_is_one_sort_and_counts_words_only_where_they_can_rank(chunks, k, min_score, words):
    from nuvra._ranking import Ranker

    ranker = Ranker(k, min_score, words, count_ties=True)
    every = []  # (score, words held, order) of every row, in input order
    for chunk in chunks:
        scores = array.array("d", [s for s, _ in chunk])
        base = len(every)
        every += [(s, min(h, words), base + i) for i, (s, h) in enumerate(chunk)]

        def held(rows, base=base, every=every):
            assert rows == sorted(rows) and words
            # A row's words are counted only when its score reaches the k-th best so far.
            seen = sorted((e[0] for e in every if e[0] > 0 and e[0] >= min_score), reverse=True)
            assert all(every[base + i][0] >= seen[min(k, len(seen)) - 1] for i in rows)
            return [every[base + i][1] for i in rows]

        made = []

        def items(rows, base=base, made=made):
            assert rows == sorted(rows)
            made += [base + i for i in rows]
            return [f"row {base + i}" for i in rows]

        ranker.add(scores, held, items)
        # Items are made only for the rows that stay among the best, or that a row of equal score
        # holding more of the query's words displaced later in the chunk.
        kept = {e[2] for e in ranker.best}
        for r in set(made) - kept:
            assert words and any(e[0] == every[r][0] and e[1] > every[r][1] for e in ranker.best)
    ranked = [e for e in every if e[0] > 0 and e[0] >= min_score]
    best = sorted(ranked, key=lambda e: (-e[0], -e[1] if words else 0, e[2]))[:k]
    assert [(s, o, item) for s, _, o, item in ranker.best] == [(e[0], e[2], f"row {e[2]}") for e in best]
    assert ranker.ties() == (sum(e[0] == best[-1][0] for e in ranked) if best else 0)
    assert ranker.positive == sum(e[0] > 0 for e in every) and ranker.order == len(every)
