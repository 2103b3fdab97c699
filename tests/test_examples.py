"""The Dask examples on a small corpus: the threaded scheduler and a local cluster of processes."""

import bz2
import gzip
import lzma
import os
import subprocess
import sys

import numpy as np
import pytest

import nuvra
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c

pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples")
sys.path.insert(0, EXAMPLES)

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
    assert frame.groupby("file")["line"].apply(list).map(lambda ns: ns == list(range(1, 31))).all()
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


def test_compressed_files_are_read_as_their_text(tmp_path):
    for suffix, compress in ((".gz", gzip.compress), (".xz", lzma.compress), (".bz2", bz2.compress)):
        (tmp_path / f"app.log{suffix}").write_bytes(compress("\n".join(LINES).encode() + b"\n"))
    frame = dask_frame.vectorised(dask_frame.log_frame(str(tmp_path / "app.log.*"))).compute(scheduler="sync")
    assert frame["text"].tolist() == LINES * 3 and frame["line"].tolist() == list(range(1, 6)) * 3
    expected = np.array([vectorize_text_c(t) for t in LINES * 3])
    np.testing.assert_array_equal(
        frame[["fault", "security", "data"]].to_numpy().view(np.uint64), expected.view(np.uint64)
    )


def run_example(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300, cwd=EXAMPLES)


def test_the_frame_says_what_it_wrote_and_a_pattern_without_files_is_one_line(corpus, tmp_path):
    out = tmp_path / "vectors.parquet"
    result = run_example("dask_frame.py", corpus, "-o", str(out))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"wrote the vectors of 90 lines from 3 files to {out} (3 partitions)\n"
    nothing = str(tmp_path / "*.nothing")
    for args in (["dask_frame.py", nothing, "-o", str(out)], ["dask_cluster.py", "error", nothing]):
        result = run_example(*args)
        assert result.returncode == 1 and result.stderr == f"{args[0]}: no file matches {nothing!r}\n"
