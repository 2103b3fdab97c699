"""The Dask examples on a small corpus: the threaded scheduler and a local cluster of processes."""

import os
import sys

import numpy as np
import pytest

import nuvra
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c

pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples"))

import dask_cluster  # noqa: E402
import dask_frame  # noqa: E402

EXAMPLE_SPACE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples", "services.toml")

LINES = ["ERROR: disk write failed", "user login denied", "select from table", "hello", "güvenlik ihlali"]


@pytest.fixture
def corpus(tmp_path, monkeypatch):
    monkeypatch.setattr(dask_frame, "LINES_PER_PARTITION", 7)
    for part in range(3):
        lines = [f"{line} {part}.{n}" for n in range(6) for line in LINES]
        (tmp_path / f"part{part}.log").write_text("\n".join(lines) + ("\n" if part else ""), encoding="utf-8")
    return str(tmp_path / "*.log")


def test_blocks_cover_every_line_once(corpus):
    frame = dask_frame.log_frame(corpus).compute(scheduler="sync")
    assert frame.groupby("path")["line_number"].apply(list).map(lambda ns: ns == list(range(1, 31))).all()
    assert dask_frame.log_frame(corpus).npartitions == 3 * 5


def test_map_partitions_on_the_threaded_scheduler(corpus):
    frame = dask_frame.vectorised(dask_frame.log_frame(corpus)).compute(scheduler="threads")
    expected = np.array([vectorize_text_c(t) for t in frame["text"]])
    columns = ["fault", "security", "data"]
    np.testing.assert_array_equal(frame[columns].to_numpy().view(np.uint64), expected.view(np.uint64))


def test_map_partitions_in_a_space_file(corpus):
    space = nuvra.Space.load(EXAMPLE_SPACE)
    frame = dask_frame.vectorised(dask_frame.log_frame(corpus), space).compute(scheduler="threads")
    expected = np.array([space.text_vector(t) for t in frame["text"]])
    np.testing.assert_array_equal(frame[list(space.axes)].to_numpy().view(np.uint64), expected.view(np.uint64))


@pytest.mark.slow
def test_top_k_on_a_local_cluster_of_processes(corpus):
    distributed = pytest.importorskip("distributed")
    query = "write error on disk"
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        best = dask_cluster.most_similar(corpus, query, 4, client)
    assert [(os.path.basename(p), n) for _, p, n, _ in best] == [
        ("part0.log", 1),
        ("part0.log", 6),
        ("part0.log", 11),
        ("part0.log", 16),
    ]
    q = vectorize_text_c(query)
    assert all(score == cosine_similarity_c(q, vectorize_text_c(text)) for score, _, _, text in best)
    assert nuvra.most_similar(query, [t for *_, t in best], k=1)[0][1] == best[0][0]
    # A space travels to the worker processes by its content.
    space = nuvra.Space.load(EXAMPLE_SPACE)
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        best = dask_cluster.most_similar(corpus, "güvenlik ihlali", 3, client, space)
    q = space.text_vector("güvenlik ihlali")
    frame = dask_frame.log_frame(corpus).compute(scheduler="sync")
    scores = nuvra.cosine_similarities(nuvra.vectorize_texts(frame["text"], space=space), q)
    assert [score for score, *_ in best] == sorted(scores.tolist(), reverse=True)[:3]
