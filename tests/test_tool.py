"""The command-line tool, the stubs, packaging: nuvra as its users meet it."""

import json
import os
import subprocess
import sys

import pytest

from nuvra import cli
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c

HERE = os.path.dirname(__file__)
ROOT = os.path.dirname(HERE)


def nuvra(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-I", "-m", "nuvra", *args], input=stdin, capture_output=True, cwd="/", timeout=120
    )


@pytest.fixture
def log_file(tmp_path):
    path = tmp_path / "app.log"
    path.write_text("ERROR: disk write failed\nlogin denied for admin\nhello world\nsorgu tablo\n", encoding="utf-8")
    return str(path)


def test_vectors_in_every_format(log_file):
    table = nuvra("vectors", log_file)
    assert table.returncode == 0 and table.stderr == b""
    lines = table.stdout.decode().splitlines()
    assert lines[0].split() == ["x", "y", "z", "axis", "text"]
    assert lines[1].split()[3:] == ["fault", "ERROR:", "disk", "write", "failed"]
    assert [line.split()[3] for line in lines[1:]] == ["fault", "security", "none", "data"]
    rows = [json.loads(line) for line in nuvra("vectors", log_file, "--format", "jsonl").stdout.splitlines()]
    assert [r["text"] for r in rows][:2] == ["ERROR: disk write failed", "login denied for admin"]
    assert [rows[0]["x"], rows[0]["y"], rows[0]["z"]] == vectorize_text_c("ERROR: disk write failed")
    csv_lines = nuvra("vectors", log_file, "--format", "csv").stdout.decode().splitlines()
    assert csv_lines[0] == "x,y,z,axis,text"
    assert csv_lines[1].split(",")[:3] == [repr(x) for x in vectorize_text_c("ERROR: disk write failed")]


def test_vectors_from_stdin_and_several_files(log_file):
    result = nuvra("vectors", "-", log_file, "--format", "jsonl", stdin=b"key\r\nquery")
    texts = [json.loads(line)["text"] for line in result.stdout.splitlines()]
    assert texts[:2] == ["key", "query"] and len(texts) == 6


def test_sample_is_read_with_the_sample_option():
    result = nuvra("vectors", "--sample", "--format", "jsonl")
    rows = result.stdout.splitlines()
    assert result.returncode == 0 and len(rows) >= 300
    assert {json.loads(r)["axis"] for r in rows} >= {"fault", "security", "data"}


def test_similar_ranks_by_cosine(log_file):
    result = nuvra("similar", "disk write error", log_file, "-k", "2", "--format", "jsonl")
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    query = vectorize_text_c("disk write error")
    assert [r["text"] for r in rows] == ["ERROR: disk write failed", "sorgu tablo"]
    assert [r["line"] for r in rows] == [1, 4]
    assert rows[0]["score"] == cosine_similarity_c(query, vectorize_text_c(rows[0]["text"]))


def test_word_vectors():
    rows = [json.loads(x) for x in nuvra("word", "passwd", "bread", "--format", "jsonl").stdout.splitlines()]
    assert [[r["x"], r["y"], r["z"]] for r in rows] == [get_semantic_vector_c("passwd"), get_semantic_vector_c("bread")]
    assert [r["axis"] for r in rows] == ["security", "data"]


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["vectors", "/no/such/file"], 3, "nuvra: /no/such/file: no such file"),
        (["vectors", "/"], 4, "nuvra: /: is a directory"),
        (["vectors", "--bogus"], 2, "unrecognized arguments: --bogus"),
        (["similar", "x", "-k", "0"], 2, "nuvra: -k must be at least 1"),
        (["vectors", "--encoding", "klingon"], 2, "nuvra: unknown encoding 'klingon'"),
        ([], 2, "the following arguments are required: COMMAND"),
    ],
)
def test_user_errors_have_a_message_and_an_exit_code(args, code, message):
    result = nuvra(*args)
    assert result.returncode == code
    assert message in result.stderr.decode() and b"Traceback" not in result.stderr


def test_undecodable_bytes(tmp_path):
    path = tmp_path / "bad.log"
    path.write_bytes(b"fine\n\xff\xfe broken\n")
    result = nuvra("vectors", str(path))
    assert result.returncode == 5 and b"Traceback" not in result.stderr
    assert f"nuvra: {path}: line 2: cannot decode as utf-8".encode() in result.stderr
    assert result.stdout == b""  # no header before the error
    replaced = nuvra("vectors", str(path), "--errors", "replace", "--format", "jsonl")
    assert replaced.returncode == 0 and len(replaced.stdout.splitlines()) == 2
    latin = nuvra("vectors", str(path), "--encoding", "latin-1", "--format", "jsonl")
    assert json.loads(latin.stdout.splitlines()[1])["text"] == "ÿþ broken"


def test_unreadable_file(tmp_path):
    # A file that opens but fails to read.
    if os.path.exists("/proc/self/mem"):
        result = nuvra("vectors", "/proc/self/mem")
        assert result.returncode == 4 and b"nuvra: /proc/self/mem: cannot read" in result.stderr
    if os.geteuid() != 0:  # root reads every file whatever its mode
        path = tmp_path / "secret.log"
        path.write_text("x")
        path.chmod(0)
        result = nuvra("vectors", str(path))
        assert result.returncode == 4 and b"permission denied" in result.stderr


def test_closed_output_pipe_is_not_an_error():
    proc = subprocess.Popen([sys.executable, "-I", "-m", "nuvra", "vectors", "--sample"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd="/")  # fmt: skip
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=60) == 0 and b"Traceback" not in proc.stderr.read()
    proc.stderr.close()


def test_dominant_axis():
    assert cli.dominant_axis([0.0, 0.0, 0.0]) == "none"
    assert cli.dominant_axis([0.5, 0.5, 0.1]) == "fault"
    assert cli.dominant_axis([0.0, 0.2, 0.9]) == "data"


def test_plot(tmp_path, log_file):
    pytest.importorskip("matplotlib")
    out = tmp_path / "space.png"
    result = nuvra("plot", log_file, "-o", str(out))
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_what_to_install(log_file):
    code = "import sys; sys.modules['matplotlib'] = None; from nuvra.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run([sys.executable, "-I", "-c", code, "plot", log_file, "-o", "/tmp/never.png"],
                            capture_output=True, cwd="/")  # fmt: skip
    assert result.returncode == 6 and b"pip install 'nuvra-semv[plot]'" in result.stderr


@pytest.mark.slow
def test_stubs_pass_mypy_strict():
    api = pytest.importorskip("mypy.api")
    out, err, status = api.run(["--strict", "--no-incremental", os.path.join(HERE, "typed_usage.py")])
    assert status == 0, out + err
    out, _, status = api.run(["--strict", "--no-incremental", "-c", "from nuvra.semv_core import vectorize_text_c\n"
                              "x: int = vectorize_text_c(b'bytes')"])  # fmt: skip
    assert status == 1 and "incompatible type" in out
    # The stubs type the calls that succeed: None always raises, so it does not type-check.
    none_call = "from nuvra.semv_core import get_semantic_vector_c\nget_semantic_vector_c(None)"
    out, _, status = api.run(["--strict", "--no-incremental", "-c", none_call])
    assert status == 1 and "incompatible type" in out


@pytest.mark.slow
def test_stubs_match_the_modules():
    pytest.importorskip("mypy.stubtest")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nuvra.semv_core", "nuvra._batch"],
                            capture_output=True, text=True, cwd="/", timeout=300)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_wheel_and_sdist_build(tmp_path):
    import tarfile
    import zipfile

    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(tmp_path), ROOT],
                   check=True, capture_output=True, timeout=900)  # fmt: skip
    (wheel,) = tmp_path.glob("nuvra_semv-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    for expected in ("nuvra/semv_core.pyi", "nuvra/_batch.pyi", "nuvra/py.typed", "nuvra/data/sample.log",
                     "nuvra/cli/__init__.py", "nuvra_semv-0.1.0.dist-info/licenses/LICENSE"):  # fmt: skip
        assert expected in names
    assert any(n.startswith("nuvra/semv_core.cpython-313") and n.endswith(".so") for n in names)
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("METADATA"))).decode()
    assert "Requires-Python: <3.14,>=3.13" in metadata or "Requires-Python: >=3.13,<3.14" in metadata
    assert "Provides-Extra: plot" in metadata and "Provides-Extra: dask" in metadata
    assert "Requires-Dist: numpy" in metadata and "License: MIT" in metadata
    build = pytest.importorskip("build")
    del build
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path), ROOT],
                   check=True, capture_output=True, timeout=600)  # fmt: skip
    (sdist,) = tmp_path.glob("nuvra_semv-*.tar.gz")
    members = tarfile.open(sdist).getnames()
    assert any(m.endswith("src/module/module.cpp") for m in members)
    assert not any("/.venv/" in m or "/build/" in m for m in members)
