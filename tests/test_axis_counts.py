"""Dominant axes and counts per axis: nuvra.dominant_axes and nuvra.axis_counts on every kind of
result, and nuvra vectors --counts against the rows the command writes."""

import collections
import csv
import io
import json

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nuvra
from nuvra.cli.axes import dominant_axis
from nuvra_testing.helpers import run_nuvra

AXES = nuvra.Space.default().axes


def plain_dominant(row, names):
    """One row's dominant axis, plainly: None for a row with NaN or of zeros."""
    if any(x != x for x in row):
        return None
    name = dominant_axis(row, names)
    return None if name == "none" else name


class TestDominantAxes:
    def test_zero_rows_missing_rows_and_ties(self):
        vectors = np.array([[0.0, 0.0, 0.0], [0.6, 0.8, 0.0], [np.nan] * 3, [0.5, 0.0, 0.5], [0.0, 0.0, 1.0]])
        assert nuvra.dominant_axes(vectors) == [None, "security", None, "fault", "data"]
        assert nuvra.axis_counts(vectors) == {"fault": 1, "security": 1, "data": 1, None: 2}

    @settings(max_examples=60, deadline=None)
    @given(
        st.lists(
            st.lists(st.sampled_from([0.0, 0.25, 0.5, 1.0, float("nan")]), min_size=5, max_size=5),
            max_size=30,
        )
    )
    def test_against_the_plain_rule_in_a_space_of_five_axes(self, rows):
        space = nuvra.Space.load("logs")
        vectors = np.array(rows, dtype=np.float64).reshape(len(rows), 5)
        expected = [plain_dominant(list(r), space.axes) for r in vectors]
        assert nuvra.dominant_axes(vectors, space) == expected
        counts = nuvra.axis_counts(vectors, space="logs")
        assert list(counts) == [*space.axes, None]
        assert counts == {name: expected.count(name) for name in counts}

    def test_missing_inputs_of_pandas_and_polars_are_none_not_the_first_axis(self):
        pd = pytest.importorskip("pandas")
        pl = pytest.importorskip("polars")
        texts = ["ERROR: disk write failed", "", "login denied", None, "hello"]
        # polars reads empty lines of a CSV as nulls: their rows are NaN, and have no axis
        frame = pl.read_csv(io.StringIO("text\n" + "\n".join(t or "" for t in texts) + "\n"))
        assert frame["text"].null_count() >= 1
        for column in (texts, pd.Series(texts), pl.Series(texts), frame["text"]):
            vectors = nuvra.vectorize_texts(column)
            labels = nuvra.dominant_axes(vectors)
            assert labels[0] == "fault" and labels[2] == "security" and labels[3] is None
            assert nuvra.axis_counts(vectors)[None] == 3
        vectors = nuvra.vectorize_texts(texts)
        # the same numbers held in a DataFrame (columns taken by name) or a Series of lists
        shuffled = pd.DataFrame(vectors, columns=AXES)[["data", "fault", "security"]]
        assert nuvra.dominant_axes(shuffled) == nuvra.dominant_axes(vectors)
        nulls = pl.DataFrame({a: [None if v != v else v for v in vectors[:, i]] for i, a in enumerate(AXES)})
        assert nuvra.dominant_axes(nulls) == nuvra.dominant_axes(vectors)
        lists = pl.Series([None if np.isnan(r).any() else r.tolist() for r in vectors])
        assert nuvra.axis_counts(lists) == nuvra.axis_counts(vectors)

    def test_vectors_of_another_space_are_refused(self):
        with pytest.raises(ValueError, match="5 axes"):
            nuvra.dominant_axes(np.zeros((2, 3)), space="logs")
        with pytest.raises(TypeError, match="space"):
            nuvra.axis_counts(np.zeros((2, 3)), space=3)
        assert nuvra.axis_counts(np.zeros((0, 3))) == {"fault": 0, "security": 0, "data": 0, None: 0}


class TestCountsCommand:
    @pytest.mark.parametrize("space", [[], ["--space", "logs"]])
    def test_counts_agree_with_the_rows_in_every_format(self, space):
        rows = run_nuvra("vectors", "--sample", "--format", "csv", *space)
        assert rows.returncode == 0
        expected = collections.Counter(r["axis"] for r in csv.DictReader(io.StringIO(rows.stdout.decode())))
        names = [*(nuvra.Space.load(space[1]).axes if space else AXES), "none"]

        got = run_nuvra("vectors", "--sample", "--counts", "--format", "csv", *space)
        table = list(csv.DictReader(io.StringIO(got.stdout.decode())))
        assert [r["axis"] for r in table] == names
        assert {r["axis"]: int(r["lines"]) for r in table} == {n: expected[n] for n in names}
        assert sum(float(r["share"]) for r in table) == pytest.approx(1.0)

        got = run_nuvra("vectors", "--sample", "--counts", "--format", "jsonl", *space)
        assert {j["axis"]: j["lines"] for j in map(json.loads, got.stdout.decode().splitlines())} == dict(
            table_of(table)
        )

        got = run_nuvra("vectors", "--sample", "--counts", *space).stdout.decode().splitlines()
        assert got[0].split() == ["axis", "lines", "share"]
        last = got[-1].split()
        assert last[:2] == ["total", f"{sum(expected.values()):,}"] and last[2] == "100.0%"
        for line, name in zip(got[1:-1], names, strict=True):
            cells = line.split()
            assert cells[0] == name and int(cells[1].replace(",", "")) == expected[name]

    def test_counts_of_an_empty_input(self):
        got = run_nuvra("vectors", "--counts", "-", stdin=b"")
        assert got.returncode == 0
        assert got.stdout.decode().splitlines()[-1].split() == ["total", "0", "0.0%"]


def table_of(rows):
    return [(r["axis"], int(r["lines"])) for r in rows]
