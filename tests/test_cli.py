"""The nuvra command on real-looking logs, end to end: each case runs it as a subprocess."""

import bz2
import csv
import fcntl
import gzip
import io
import json
import lzma
import os
import pty
import select
import struct
import subprocess
import sys
import termios
import time

import pytest

from nuvra.semv_core import cosine_similarity_c, vectorize_text_c

LINES = ["ERROR: disk write failed", "login denied for admin", "hello world", "sorgu tablo"]


def nuvra(*args: str, stdin: bytes | None = b"", env: dict | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-I", "-m", "nuvra", *args],
        input=stdin,
        capture_output=True,
        cwd="/",
        timeout=120,
        env={**os.environ, **(env or {})},
    )


def no_traceback(result: subprocess.CompletedProcess) -> None:
    assert b"Traceback" not in result.stderr, result.stderr.decode()


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "app.log"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8")
    return path


def test_piped_stdin_is_read_without_a_dash(log):
    result = nuvra("vectors", "--format", "jsonl", stdin=log.read_bytes())
    assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == LINES
    assert result.stderr == b""


def test_a_query_that_names_a_file_is_said_to_be_a_query(log):
    result = nuvra("similar", str(log), stdin=b"error here\n")
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
    table = nuvra("vectors", "-n", str(log), str(other)).stdout.decode().splitlines()
    assert table[0].split()[0] == "where" and table[6].startswith(f"{other}:2 ")
    single = nuvra("vectors", "-n", str(log)).stdout.decode().splitlines()
    assert single[0].split()[0] == "line" and single[4].split()[0] == "4"
    best = nuvra("similar", "key rotation", str(log), str(other), "-k", "2").stdout.decode().splitlines()
    # Both score 1.0: the first file's line comes first.
    assert best[1].startswith(f"{log}:2 ") and best[2].startswith(f"{other}:2 ")


def test_ties_are_counted_and_keep_input_order(tmp_path):
    path = tmp_path / "ties.log"
    path.write_text("".join(f"error number {i}\n" for i in range(30)) + "disk\n", encoding="utf-8")
    result = nuvra("similar", "error", str(path), "-k", "3", "--format", "jsonl")
    assert [json.loads(r)["line"] for r in result.stdout.splitlines()] == [1, 2, 3]
    assert b"30 lines share the score 1.0000" in result.stderr and result.returncode == 0
    exact = nuvra("similar", "error", str(path), "-k", "30")
    assert b"share" not in exact.stderr


def test_a_query_that_matches_no_keyword_selects_nothing(log):
    result = nuvra("similar", "segfault", str(log))
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr == b"nuvra: the query 'segfault' matches no keyword, so every line would score 0\n"


def test_similar_scores_as_the_per_call_functions(log):
    rows = [json.loads(r) for r in nuvra("similar", "write error", str(log), "--format", "jsonl").stdout.splitlines()]
    query = vectorize_text_c("write error")
    assert [r["score"] for r in rows] == sorted(
        (cosine_similarity_c(query, vectorize_text_c(t)) for t in LINES), reverse=True
    )


def test_version_and_missing_files_print_no_header(log):
    version = nuvra("--version")
    assert version.returncode == 0 and version.stdout.startswith(b"nuvra 0.1.0")
    result = nuvra("vectors", str(log), "/no/such.log")
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
    assert "4 lines in the semantic space" in svg and "lines by dominant axis" in svg


def test_lines_that_arrive_slowly_are_not_held_back():
    # As from tail -f: the row of a line comes out before the input ends.
    proc = subprocess.Popen([sys.executable, "-I", "-m", "nuvra", "vectors", "--format", "csv"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/")  # fmt: skip
    proc.stdin.write(b"error one\n")
    proc.stdin.flush()
    header, row = proc.stdout.readline(), proc.stdout.readline()
    assert header == b"x,y,z,axis,text\n" and row == b"1.0,0.0,0.0,fault,error one\n"
    proc.stdin.close()
    assert proc.wait(timeout=60) == 0
    proc.stdout.close()
    proc.stderr.close()
