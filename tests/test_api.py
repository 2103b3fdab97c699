"""What a user of the API meets first: tables where a column is expected, the positions and
labels of most_similar, queries as text, the version and help(nuvra)."""

import os
import pydoc
import re
import tomllib

import numpy as np
import pytest

import nuvra
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c

ROOT = os.path.dirname(os.path.dirname(__file__))
MESSAGES = ["ERROR: disk write failed", None, "login denied", "sorgu tablo", "hello"]


def tables():
    """The same texts as a table of every kind, each with a column "msg"."""
    found = []
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"msg": MESSAGES, "n": range(len(MESSAGES))})
    found += [("pandas", frame), ("pandas, one column", frame[["msg"]])]
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"msg": MESSAGES})
    found += [("pyarrow", table), ("pyarrow batch", table.to_batches()[0])]
    pl = pytest.importorskip("polars")
    found += [("polars", pl.DataFrame({"msg": MESSAGES}))]
    return found


def test_a_table_is_refused_with_the_function_and_how_to_pass_a_column():
    for kind, table in tables():
        for function in (nuvra.vectorize_texts, nuvra.word_vectors):
            name = function.__name__
            with pytest.raises(TypeError, match=re.escape(f"{name}() expected a column of str, got a table")) as e:
                function(table)
            assert f'pass one of its columns, as in {name}(df["msg"])' in str(e.value), kind
        with pytest.raises(TypeError, match=re.escape("most_similar() expected a column of str, got a table")):
            nuvra.most_similar("error", table)
        # and the column, as the message says, is taken
        column = table["msg"] if kind != "pyarrow batch" else table.column("msg")
        np.testing.assert_array_equal(nuvra.vectorize_texts(column), nuvra.vectorize_texts(MESSAGES), kind)


def test_a_struct_column_from_an_unknown_class_is_refused_as_a_table():
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"msg": ["disk error"]})

    class Exporter:  # an Arrow stream of a table, from no class the functions know
        def __arrow_c_stream__(self, requested_schema=None):
            return table.__arrow_c_stream__(requested_schema)

    with pytest.raises(TypeError, match=re.escape("got a table of columns (Exporter): pass one of its columns")):
        nuvra.vectorize_texts(Exporter())


def test_most_similar_gives_positions_or_the_labels_of_a_series():
    pd = pytest.importorskip("pandas")
    series = pd.Series(MESSAGES, index=[10, 11, 12, 13, 14])
    subset = series[series.str.len() > 6]  # 10, 12, 13: positions 0, 1, 2
    by_position = nuvra.most_similar("database write error", subset, k=2)
    by_label = nuvra.most_similar("database write error", subset, k=2, labels=True)
    assert [i for i, _ in by_position] == [2, 0]  # sorgu tablo, then the disk error
    assert [label for label, _ in by_label] == [13, 10]
    assert [s for _, s in by_label] == [s for _, s in by_position]
    assert [subset.iloc[i] for i, _ in by_position] == [subset.loc[label] for label, _ in by_label]
    named = pd.Series(["login denied", "disk error"], index=["a", "b"])
    assert nuvra.most_similar("password", named, k=1, labels=True) == [("a", 1.0)]
    with pytest.raises(TypeError, match=r"labels=True\) needs a pandas Series.*got list"):
        nuvra.most_similar("error", ["disk error"], labels=True)


def test_cosine_similarities_takes_a_text_query_as_most_similar_does():
    vectors = nuvra.vectorize_texts(["disk write failed", "login denied", "hello"])
    by_text = nuvra.cosine_similarities(vectors, "write error on table")
    query = vectorize_text_c("write error on table")
    expected = [cosine_similarity_c(list(map(float, row)), query) for row in vectors]
    assert by_text.tolist() == expected
    assert nuvra.cosine_similarities(vectors, query).tolist() == expected
    for bad in (["a", "b", "c"], [1, "x", 0]):
        with pytest.raises(TypeError, match=r"cosine_similarities\(\) expected the query as a text or as 3 numbers"):
            nuvra.cosine_similarities(vectors, bad)


def test_version_is_the_distribution_s():
    from importlib import metadata

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    assert project["name"] == "nuvra"
    assert nuvra.__version__ == project["version"] == metadata.version("nuvra")


def test_help_shows_the_public_names_alone():
    text = pydoc.render_doc(nuvra, renderer=pydoc.plaintext)
    for name in nuvra.__all__:
        assert f"{name}(" in text
    for private in ("__getattr__", "__dir__", "TYPE_CHECKING"):
        assert private not in text
    assert set(dir(nuvra)) >= set(nuvra.__all__) | {"__version__", "semv_core"} - {"semv_core"}
