"""The nuvra command on real-looking logs, end to end: each case runs it as a subprocess, but for
the reading in blocks and the ranking across them."""

import array
import bz2
import csv
import fcntl
import gzip
import io
import json
import lzma
import math
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from nuvra import Space, _batch, cli
from nuvra.cli import inputs
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing.helpers import run_nuvra as nuvra
from nuvra_testing.helpers import run_python

LINES = ["ERROR: disk write failed", "login denied for admin", "hello world", "sorgu tablo"]


def message_of(line: str) -> str:
    """What the command scores of a line by default: from its message (or its severe level) on, unless only
    blanks follow."""
    rest = line[_batch.message_start(line) :]
    return rest if rest.strip() else line


def no_traceback(result: subprocess.CompletedProcess) -> None:
    assert b"Traceback" not in result.stderr, result.stderr.decode()


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "app.log"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8")
    return path


# --- The commands, their formats and errors ---


def test_vectors_in_every_format(log):
    table = nuvra("vectors", str(log))
    assert table.returncode == 0 and table.stderr == b""
    lines = table.stdout.decode().splitlines()
    assert lines[0].split() == ["fault", "security", "data", "axis", "text"]
    assert lines[1].split()[3:] == ["fault", "ERROR:", "disk", "write", "failed"]
    assert [line.split()[3] for line in lines[1:]] == ["fault", "security", "none", "data"]
    rows = [json.loads(line) for line in nuvra("vectors", str(log), "--format", "jsonl").stdout.splitlines()]
    assert [r["text"] for r in rows][:2] == ["ERROR: disk write failed", "login denied for admin"]
    assert message_of("ERROR: disk write failed") == "ERROR: disk write failed"  # a severe level is scored
    assert [rows[0]["fault"], rows[0]["security"], rows[0]["data"]] == vectorize_text_c("ERROR: disk write failed")
    csv_lines = nuvra("vectors", str(log), "--format", "csv").stdout.decode().splitlines()
    assert csv_lines[0] == "fault,security,data,axis,text"
    assert csv_lines[1].split(",")[:3] == [repr(x) for x in vectorize_text_c(message_of("ERROR: disk write failed"))]


def test_vectors_from_stdin_and_several_files(log):
    result = nuvra("vectors", "-", str(log), "--format", "jsonl", stdin=b"key\r\nquery")
    texts = [json.loads(line)["text"] for line in result.stdout.splitlines()]
    assert texts[:2] == ["key", "query"] and len(texts) == 6


def test_sample_is_read_with_the_sample_option():
    result = nuvra("vectors", "--sample", "--format", "jsonl")
    rows = result.stdout.splitlines()
    assert result.returncode == 0 and len(rows) >= 300
    assert {json.loads(r)["axis"] for r in rows} >= {"fault", "security", "data"}


def test_similar_ranks_by_cosine(log):
    result = nuvra("similar", "disk write error", str(log), "-k", "2", "--format", "jsonl")
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    query = vectorize_text_c("disk write error")
    assert [r["text"] for r in rows] == ["ERROR: disk write failed", "sorgu tablo"]
    assert [r["line"] for r in rows] == [1, 4]
    assert rows[0]["score"] == cosine_similarity_c(query, vectorize_text_c(message_of(rows[0]["text"])))


def test_word_vectors():
    rows = [json.loads(x) for x in nuvra("word", "passwd", "bread", "--format", "jsonl").stdout.splitlines()]
    vectors = [[r["fault"], r["security"], r["data"]] for r in rows]
    assert vectors == [get_semantic_vector_c("passwd"), get_semantic_vector_c("bread")]
    assert [r["axis"] for r in rows] == ["security", "data"]


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["vectors", "/no/such/file"], 3, "nuvra: /no/such/file: no such file"),
        (["vectors", "/"], 4, "nuvra: /: is a directory"),
        (["vectors", "--bogus"], 2, "unrecognized arguments: --bogus"),
        (["similar", "x", "-k", "-1"], 2, "nuvra: -k must be at least 0, got -1"),
        (["vectors", "--workers", "0"], 2, "nuvra: --workers must be at least 1, or -1 for every core; got '0'"),
        (["vectors", "--encoding", "klingon"], 2, "nuvra: unknown encoding 'klingon'"),
        ([], 2, "the following arguments are required: COMMAND"),
    ],
)
def test_user_errors_have_a_message_and_an_exit_code(args, code, message):
    result = nuvra(*args)
    assert result.returncode == code
    assert message in result.stderr.decode()
    no_traceback(result)


def test_undecodable_bytes(tmp_path):
    path = tmp_path / "bad.log"
    path.write_bytes(b"fine\n\xff\xfe broken\n")
    result = nuvra("vectors", str(path), "--errors", "strict")
    assert result.returncode == 5
    no_traceback(result)
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
    axes = Space.default().axes
    assert cli.dominant_axis([0.0, 0.0, 0.0], axes) == "none"
    assert cli.dominant_axis([0.5, 0.5, 0.1], axes) == "fault"
    assert cli.dominant_axis([0.0, 0.2, 0.9], axes) == "data"
    assert cli.dominant_axis([0.0, 0.3, 0.3, 0.1], ["a", "b", "c", "d"]) == "b"
    vectors = np.array([[0.0, 0.3, 0.3, 0.1], [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1e-300]])
    assert cli.dominant_axes(vectors, ["a", "b", "c", "d"]) == ["b", "none", "d"]


def test_plot(tmp_path, log):
    pytest.importorskip("matplotlib")
    out = tmp_path / "space.png"
    result = nuvra("plot", str(log), "-o", str(out))
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_what_to_install(log):
    code = "import sys; sys.modules['matplotlib'] = None; from nuvra.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run([sys.executable, "-I", "-c", code, "plot", str(log), "-o", "/tmp/never.png"],
                            capture_output=True, cwd="/")  # fmt: skip
    assert result.returncode == 6 and b"pip install 'nuvra[plot]'" in result.stderr


# --- Real logs: pipes, compression, encodings, locations, terminals ---


def test_piped_stdin_is_read_without_a_dash(log):
    result = nuvra("vectors", "--format", "jsonl", stdin=log.read_bytes())
    assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == LINES
    assert result.stderr == b""


def test_a_query_that_names_a_file_is_said_to_be_a_query(log):
    result = nuvra("similar", str(log), stdin=f"{log}\n".encode())
    assert result.returncode == 0
    assert f"ranking standard input against the text '{log}'".encode() in result.stderr


@pytest.mark.parametrize("suffix, compress", [(".gz", gzip.compress), (".xz", lzma.compress), (".bz2", bz2.compress)])
def test_compressed_inputs(tmp_path, log, suffix, compress):
    path = tmp_path / f"app.log{suffix}"
    path.write_bytes(compress(log.read_bytes()))
    for args, stdin in (([str(path)], b""), (["-"], path.read_bytes())):
        result = nuvra("vectors", *args, "--format", "jsonl", stdin=stdin)
        assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == LINES, result.stderr
    broken = tmp_path / f"broken{suffix}"
    broken.write_bytes(path.read_bytes()[:-8])
    result = nuvra("vectors", str(broken))
    assert result.returncode == 4 and b"cannot decompress" in result.stderr
    no_traceback(result)


def test_crlf_lines_lose_their_cr_in_every_encoding(tmp_path):
    for encoding in ("utf-8", "utf-16"):
        path = tmp_path / f"{encoding}.log"
        path.write_bytes("disk error\r\nlogin denied\r\n".encode(encoding))
        rows = nuvra("vectors", "--encoding", encoding, "--format", "jsonl", str(path)).stdout.splitlines()
        assert [json.loads(r)["text"] for r in rows] == ["disk error", "login denied"]


@pytest.mark.parametrize("encoding", ["rot13", "base64", "zlib", "bz2", "hex", "undefined", "klingon"])
def test_encodings_that_decode_no_text_are_refused_before_any_output(log, encoding):
    result = nuvra("vectors", str(log), "--encoding", encoding)
    assert result.returncode == 2 and result.stdout == b""
    assert len(result.stderr.splitlines()) == 1 and encoding.encode() in result.stderr
    no_traceback(result)


@pytest.mark.parametrize("errors", ["strict", "replace", "ignore", "surrogateescape"])
def test_json_lines_are_valid_utf8_json_under_every_error_handler(tmp_path, errors):
    path = tmp_path / "odd.log"
    path.write_bytes(b"plain error\nbad \xff\xfe byte\ttab \x1b[31m\n")
    result = nuvra("vectors", str(path), "--errors", errors, "--format", "jsonl", env={"PYTHONIOENCODING": "ascii"})
    no_traceback(result)
    if errors == "strict":
        assert result.returncode == 5 and result.stdout == b""
        return
    rows = [json.loads(line.decode("utf-8")) for line in result.stdout.splitlines()]
    assert rows[0]["text"] == "plain error" and len(rows) == 2
    expected = b"bad \xff\xfe byte\ttab \x1b[31m".decode("utf-8", errors)
    assert rows[1]["text"] == expected


def test_csv_and_table_write_undecodable_bytes_back(tmp_path):
    path = tmp_path / "odd.log"
    raw = b'bad \xff byte, quoted "x"'
    path.write_bytes(raw + b"\n")
    result = nuvra("vectors", str(path), "--errors", "surrogateescape", "--format", "csv")
    (row,) = list(csv.reader(io.StringIO(result.stdout.decode("utf-8", "surrogateescape"))))[1:]
    assert row[4].encode("utf-8", "surrogateescape") == raw
    table = nuvra("vectors", str(path), "--errors", "surrogateescape")
    assert raw in table.stdout


def test_the_table_escapes_control_characters_and_escape_sequences(tmp_path):
    path = tmp_path / "hostile.log"
    path.write_bytes(b"error \x1b]0;pwned\x07 title\nbell\x07 \x9b and \xe2\x80\xae reversed\r\n")
    result = nuvra("vectors", str(path), "--errors", "surrogateescape")
    body = result.stdout.split(b"\n", 1)[1]
    assert not any(b < 0x20 and b != 0x0A for b in body) and b"\x7f" not in body
    assert b"error \\x1b]0;pwned\\x07 title" in body and b"\\u202e" in body and b"\\x9b" in body
    # JSON keeps the text as it is, escaped the JSON way.
    rows = [
        json.loads(r)
        for r in nuvra("vectors", str(path), "--format", "jsonl", "--errors", "replace").stdout.splitlines()
    ]
    assert rows[0]["text"] == "error \x1b]0;pwned\x07 title"


def test_line_numbers_over_several_files(tmp_path, log):
    other = tmp_path / "other.log"
    other.write_text("disk full\nkey rotated\n", encoding="utf-8")
    rows = [
        json.loads(r) for r in nuvra("vectors", "-n", str(log), str(other), "--format", "jsonl").stdout.splitlines()
    ]
    assert [(r["file"], r["line"]) for r in rows] == [(str(log), n) for n in range(1, 5)] + [
        (str(other), 1),
        (str(other), 2),
    ]
    from nuvra_testing.helpers import shows_place

    table = nuvra("vectors", "-n", str(log), str(other)).stdout.decode().splitlines()
    assert table[0].split()[0] == "where" and shows_place(table[6].split(" ", 1)[0], str(other), 2)
    single = nuvra("vectors", "-n", str(log)).stdout.decode().splitlines()
    assert single[0].split()[0] == "line" and single[4].split()[0] == "4"
    best = nuvra("similar", "key rotation", str(log), str(other), "-k", "2", "--ties", "order")
    # Both score 1.0: the first file's line comes first, in input order, and first of all
    # by default, since it holds a word of the query.
    best = best.stdout.decode().splitlines()
    assert shows_place(best[1].split(" ", 1)[0], str(log), 2) and shows_place(best[2].split(" ", 1)[0], str(other), 2)
    best = nuvra("similar", "key rotation", str(log), str(other), "-k", "2").stdout.decode().splitlines()
    assert shows_place(best[1].split(" ", 1)[0], str(other), 2) and shows_place(best[2].split(" ", 1)[0], str(log), 2)


def test_ties_are_counted_and_keep_input_order(tmp_path):
    path = tmp_path / "ties.log"
    path.write_text("".join(f"error number {i}\n" for i in range(30)) + "disk\n", encoding="utf-8")
    result = nuvra("similar", "error", str(path), "-k", "3", "--format", "jsonl")
    assert [json.loads(r)["line"] for r in result.stdout.splitlines()] == [1, 2, 3]
    assert b"30 lines share the score 1.0 of the last line shown" in result.stderr and result.returncode == 0
    exact = nuvra("similar", "error", str(path), "-k", "30")
    assert b"share" not in exact.stderr


# Blocks and the ranking across them, in process: a file large enough for several
# blocks of the command's own size would make a slow test.

SCORE_SET = [math.nan, -0.0, 0.0, 0.5, 1.0]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.lists(st.sampled_from(SCORE_SET), max_size=8), max_size=5), st.integers(1, 12))
def test_the_ranking_over_blocks_is_that_of_one_sort(blocks, k):
    ranking = cli.Ranking(k)
    every = []  # (score, order, text) of every line, in input order
    for b, scores in enumerate(blocks):
        texts = [f"block {b} line {i}" for i in range(len(scores))]
        vectors = array.array("d", [0.0]) * (3 * len(scores))
        block = inputs.Block(inputs.Source("x"), 1, vectors, texts, None, "utf-8", "strict")
        ranking.add(block, array.array("d", scores))
        every += [(s, len(every), t) for s, t in zip(scores, texts, strict=True)]
    best = sorted((e for e in every if e[0] > 0), key=lambda e: (-e[0], e[1]))[:k]
    assert [(e[0], e[5]) for e in ranking.best] == [(e[0], e[2]) for e in best]
    assert ranking.ties() == (sum(e[0] == best[-1][0] for e in every) if best else 0)


class Trickle(io.RawIOBase):
    """A stream that gives a few bytes at a time, as a pipe may."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def readable(self) -> bool:
        return True

    def readinto(self, view) -> int:
        n = min(len(view), 3, len(self.data))
        view[:n], self.data = self.data[:n], self.data[n:]
        return n


@pytest.mark.parametrize("pipe", [False, True])
def test_blocks_are_whole_lines_however_the_bytes_arrive(monkeypatch, pipe):
    monkeypatch.setattr(inputs, "BLOCK_BYTES", 16)
    data = b"short\n" + b"a line longer than the whole buffer\n" + b"x\n" * 20 + b"\n\nno newline at the end"
    stream = io.BufferedReader(Trickle(data)) if pipe else io.BytesIO(data)
    blocks = [bytes(b) for b in inputs.read_blocks(inputs.Source("x"), stream)]  # copied: the buffer is reused
    assert b"".join(blocks) == data and len(blocks) > 3
    assert all(b.endswith(b"\n") for b in blocks[:-1])


def test_similar_and_word_start_without_numpy(log, tmp_path):
    # numpy's import is most of a short run's time: only vectors and plot need it.
    space = tmp_path / "s.toml"
    space.write_text("[axes.fault]\nkeywords = ['error', 'fail']\n[axes.data]\nkeywords = ['disk']\n")
    result = run_python(f"""
        import sys
        from nuvra.cli import main
        assert main(["similar", "disk error", {str(log)!r}]) == 0 and main(["word", "disk"]) == 0
        assert main(["similar", "disk error", {str(log)!r}, "--space", {str(space)!r}]) == 0
        assert main(["explain", "disk error", "--space", {str(space)!r}]) == 0
        assert main(["word", "--explain", "error"]) == 0 and main(["space", "show"]) == 0
        print("numpy" in sys.modules)
    """)
    assert result.returncode == 0 and result.stdout.splitlines()[-1] == "False", result.stderr


def test_a_query_that_matches_no_keyword_selects_nothing(log):
    result = nuvra("similar", "segfault", str(log))
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr == b"nuvra: the query 'segfault' matches no keyword, so every line would score 0\n"


def test_similar_scores_as_the_per_call_functions(log):
    rows = [json.loads(r) for r in nuvra("similar", "write error", str(log), "--format", "jsonl").stdout.splitlines()]
    query = vectorize_text_c("write error")
    assert [r["score"] for r in rows] == sorted(
        (s for t in LINES if (s := cosine_similarity_c(query, vectorize_text_c(message_of(t)))) > 0), reverse=True
    )


def test_version_and_missing_files_print_no_header(log):
    version = nuvra("--version")
    assert version.returncode == 0 and version.stdout.startswith(b"nuvra 0.1.0")
    result = nuvra("vectors", "/no/such.log")
    assert result.returncode == 3 and result.stdout == b""


def read_until(fd: int, needle: bytes, seconds: float) -> bytes:
    out = b""
    deadline = time.monotonic() + seconds
    while needle not in out and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
    return out


def on_a_terminal(args: list[str], stdin) -> tuple[int, bytes]:
    """Runs nuvra with standard output and error on one pseudo-terminal of 100 columns."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen([sys.executable, "-I", "-m", "nuvra", *args], stdin=stdin, stdout=follower,
                            stderr=follower, cwd="/")  # fmt: skip
    os.close(follower)
    out = b""
    while True:
        chunk = read_until(leader, b"\x00", 0.5)
        out += chunk
        if not chunk and proc.poll() is not None:
            break
    os.close(leader)
    return proc.wait(timeout=120), out.replace(b"\r\n", b"\n")


@pytest.mark.slow
def test_progress_bar_on_a_terminal_never_mixes_into_rows(tmp_path):
    path = tmp_path / "big.log"
    path.write_bytes(b"".join(b"error %d in disk write of table %d\n" % (i, i % 7) for i in range(600_000)))
    code, text = on_a_terminal(["vectors", str(path), "--workers", "1"], subprocess.DEVNULL)
    assert code == 0
    # tqdm drew a bar with the size to read (so an ETA), the rate and the lines read.
    assert b"big.log:" in text and b"/21.6M" in text and b"B/s" in text and b"lines" in text
    # Every row is whole: the bar is cleared before rows are written, and drawn again after.
    rows = [line.rsplit(b"\r", 1)[-1] for line in text.split(b"\n") if b"disk write" in line]
    assert len(rows) == 600_000 and all(r.lstrip().startswith((b"1.0000", b"0.")) for r in rows)
    with path.open("rb") as stdin:
        code, text = on_a_terminal(["similar", "disk error", "--workers", "1"], stdin)
    # Standard input has no size: bytes and lines read, and the rate.
    assert code == 0 and b"stdin:" in text and b"B/s" in text and b"lines" in text


def test_no_bar_without_a_terminal(log):
    result = nuvra("vectors", str(log))
    assert result.stderr == b""


@pytest.mark.slow
def test_plot_checks_its_output_first_and_refuses_an_empty_input(tmp_path, log):
    pytest.importorskip("matplotlib")
    bad = nuvra("plot", str(log), "-o", str(tmp_path / "out.xyz"))
    assert bad.returncode == 2 and b"'.xyz' is not an image format" in bad.stderr
    no_traceback(bad)
    none = nuvra("plot", str(log), "-o", str(tmp_path / "out"))
    assert none.returncode == 2 and b"no extension" in none.stderr
    empty = tmp_path / "empty.log"
    empty.write_bytes(b"")
    result = nuvra("plot", str(empty), "-o", str(tmp_path / "empty.png"))
    assert result.returncode == 1 and result.stderr == b"nuvra: no lines to plot: the input is empty\n"
    assert not (tmp_path / "empty.png").exists()


@pytest.mark.slow
def test_plot_draws_densities(tmp_path, log):
    pytest.importorskip("matplotlib")
    out = tmp_path / "space.svg"
    result = nuvra("plot", str(log), "-o", str(out))
    assert result.returncode == 0, result.stderr
    svg = out.read_text()
    assert f"{log}: 4 lines" in svg and "lines by dominant axis" in svg


def test_lines_that_arrive_slowly_are_not_held_back():
    # As from tail -f: the row of a line comes out before the input ends.
    command = [sys.executable, "-I", "-m", "nuvra", "vectors", "--format", "csv", "--whole-line"]
    proc = subprocess.Popen(command, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/")  # fmt: skip
    proc.stdin.write(b"error one\n")
    proc.stdin.flush()
    header, row = proc.stdout.readline(), proc.stdout.readline()
    assert header == b"fault,security,data,axis,text\n" and row == b"1.0,0.0,0.0,fault,error one\n"
    proc.stdin.close()
    assert proc.wait(timeout=60) == 0
    proc.stdout.close()
    proc.stderr.close()
