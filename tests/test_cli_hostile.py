"""The nuvra command under hostile use: FIFOs, file names that hold terminal escapes, a full
or closed standard output, options among the operands, decoders that hold their text back,
and one line of many megabytes."""

import io
import json
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from nuvra.cli import output, terminal
from nuvra.semv_core import cosine_similarity_c, vectorize_text_c
from nuvra_testing.helpers import run_nuvra as nuvra

LINES = ["ERROR: disk write failed", "login denied for admin", "hello world", "sorgu tablo"]
HOSTILE_NAME = "\x1b]0;pwned\x07.log"  # would set the terminal's title


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "app.log"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8")
    return path


def one_line_error(result: subprocess.CompletedProcess) -> str:
    """The message of a run that failed cleanly: one line on standard error, no traceback."""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("nuvra: "), result.stderr.decode()
    return lines[0]


# --- FIFOs: checked without being opened, read once ---


def test_a_fifo_gives_every_line_to_one_read(tmp_path, log):
    fifo = tmp_path / "pipe"
    for trial in range(5):
        os.mkfifo(fifo)
        lines = [f"error {trial} line {i}" for i in range(3)]
        write = "import sys; open(sys.argv[1], 'wb').write(sys.argv[2].encode())"
        writer = subprocess.Popen([sys.executable, "-I", "-c", write, str(fifo), "".join(f"{x}\n" for x in lines)])
        try:
            command = [sys.executable, "-I", "-m", "nuvra", "vectors", str(log), str(fifo), "--format", "jsonl"]
            result = subprocess.run(command, capture_output=True, timeout=60, cwd="/")
            assert writer.wait(timeout=60) == 0  # not killed by SIGPIPE
        finally:
            writer.kill()
            writer.wait()
        assert result.returncode == 0, result.stderr
        assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == LINES + lines
        os.unlink(fifo)


# --- Escapes: every string that reaches a terminal is escaped ---


def test_file_names_are_escaped_in_every_column_and_message(tmp_path, log):
    hostile = tmp_path / HOSTILE_NAME
    hostile.write_text("error here\n")
    shown = str(tmp_path / "\\x1b]0;pwned\\x07.log").encode()
    runs = {
        "similar": nuvra("similar", "error", str(hostile), str(log), "--whole-line"),
        "-n": nuvra("vectors", "-n", str(hostile), str(log)),
        "missing": nuvra("vectors", str(hostile) + ".missing"),
        "option": nuvra("vectors", "--\x1b]0;pwned\x07"),
        "query": nuvra("similar", "x\x1b]0;pwned\x07", str(log)),
    }
    for name, result in runs.items():
        assert b"\x1b" not in result.stdout + result.stderr and b"\x07" not in result.stdout + result.stderr, name
    # The table's FILE:LINE cells: the escaped name, shortened in its middle where it is long.
    from nuvra_testing.helpers import shows_place

    for run in ("similar", "-n"):
        assert shows_place(runs[run].stdout.splitlines()[1].split(b" ", 1)[0], shown.decode(), 1), run
    assert runs["missing"].returncode == 3 and shown + b".missing: no such file" in runs["missing"].stderr
    assert runs["option"].returncode == 2 and b"unrecognized arguments: --\\x1b]0;pwned\\x07" in runs["option"].stderr
    undecodable = tmp_path / "\x9b\x1b[2J.log"
    undecodable.write_bytes(b"\xff\n")
    result = nuvra("vectors", str(undecodable), "--errors", "strict")
    assert result.returncode == 5 and b"\\x9b\\x1b[2J.log: line 1: cannot decode" in result.stderr


def test_the_location_column_is_as_wide_as_its_escaped_names(tmp_path, log):
    hostile = tmp_path / HOSTILE_NAME
    hostile.write_text("error here\n")
    rows = nuvra("vectors", "-n", str(hostile), str(log)).stdout.decode().splitlines()
    # Every row's second cell starts in the same column.
    starts = {len(row) - len(row.split(" ", 1)[1].lstrip()) for row in rows[1:]}
    assert len(starts) == 1


# --- Standard output full or closed: one line and exit code 7 ---

EXIT_OUTPUT = 7


def every_command(tmp_path, log) -> list[tuple[list[str], int]]:
    """Each command with what it exits with when standard output cannot be written."""
    commands = [
        (["vectors", str(log)], EXIT_OUTPUT),
        (["vectors", "--sample", "--format", "csv"], EXIT_OUTPUT),
        (["vectors", "-n", str(log), str(log), "--format", "jsonl"], EXIT_OUTPUT),
        (["similar", "error", str(log)], EXIT_OUTPUT),
        (["similar", "error", "--sample", "-k", "99999999999999999999"], EXIT_OUTPUT),
        (["word", "error", "passwd"], EXIT_OUTPUT),
        (["--version"], EXIT_OUTPUT),
        (["--help"], EXIT_OUTPUT),
        (["similar", "--help"], EXIT_OUTPUT),
    ]
    try:
        import matplotlib  # noqa: F401

        # plot writes its image to a file and nothing to standard output; an image it cannot write is exit code 7.
        commands.append((["plot", str(log), "-o", str(tmp_path / "space.png")], 0))
        if os.path.exists("/dev/full"):
            os.symlink("/dev/full", tmp_path / "full.png")
            commands.append((["plot", str(log), "-o", str(tmp_path / "full.png")], EXIT_OUTPUT))
    except ImportError:
        pass
    return commands


@pytest.mark.parametrize("redirect", [">/dev/full", ">&-"])
def test_every_command_with_standard_output_full_or_closed(tmp_path, log, redirect):
    if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    for args, code in every_command(tmp_path, log):
        result = subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", sys.executable, "-I", "-m", "nuvra", *args],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120, cwd="/")  # fmt: skip
        assert result.returncode == code, (args, result.stderr.decode())
        if code == 0:
            assert b"Traceback" not in result.stderr and b"Exception" not in result.stderr
            continue
        message = one_line_error(result)
        if args[0] == "plot":
            assert message.endswith("full.png: cannot write: No space left on device")
        elif redirect == ">&-":
            assert message == "nuvra: standard output is closed", args
        else:
            assert message == "nuvra: cannot write to standard output: No space left on device", args


def test_a_count_beyond_any_input_means_every_line(log):
    result = nuvra("similar", "error", str(log), "-k", "99999999999999999999", "--format", "jsonl")
    positive = [t for t in LINES if cosine_similarity_c(vectorize_text_c("error"), vectorize_text_c(t)) > 0]
    assert (
        result.returncode == 0
        and result.stderr
        == f"nuvra: {len(positive)} of {len(LINES)} lines scored above 0; {len(positive)} shown\n".encode()
    )
    assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == positive
    bad = nuvra("similar", "error", str(log), "-k", "many")
    assert bad.returncode == 2 and bad.stderr == b"nuvra: -k must be a number of lines, got 'many'\n"


# --- Options anywhere among the operands ---


@pytest.mark.parametrize(
    "mixed, canonical",
    [
        (["similar", "error", "-k", "1", "{log}"], ["similar", "-k", "1", "error", "{log}"]),
        (
            ["similar", "error", "{log}", "--format", "jsonl", "{other}", "--no-location", "-k2"],
            ["similar", "--format", "jsonl", "--no-location", "-k", "2", "error", "{log}", "{other}"],
        ),
        (
            ["vectors", "{log}", "--encoding", "latin-1", "-n", "{other}", "--form=csv", "--workers", "1"],
            ["vectors", "--encoding", "latin-1", "-n", "--format", "csv", "--workers", "1", "{log}", "{other}"],
        ),
        (["vectors", "{log}", "--sample"], ["vectors", "--sample", "{log}"]),  # refused the same way
        (["word", "disk", "--format", "csv", "passwd"], ["word", "--format", "csv", "disk", "passwd"]),
        (["similar", "--", "-error", "{log}"], ["similar", "error", "{log}"]),  # the query's "-" is no keyword
        (["similar", "-k", "1", "-5 errors", "{log}"], ["similar", "-k", "1", "--", "-5 errors", "{log}"]),
    ],
)
def test_options_go_anywhere_and_double_dash_ends_them(tmp_path, log, mixed, canonical):
    other = tmp_path / "other.log"
    other.write_text("disk full\nkey rotated\n", encoding="utf-8")
    names = {"log": str(log), "other": str(other)}
    expected = nuvra(*(a.format(**names) for a in canonical))
    result = nuvra(*(a.format(**names) for a in mixed))
    assert (result.returncode, result.stdout, result.stderr) == (expected.returncode, expected.stdout, expected.stderr)
    assert result.returncode == (2 if "--sample" in mixed else 0), result.stderr


def test_after_double_dash_a_dash_is_a_file_name(tmp_path, log):
    result = nuvra("vectors", "--", "-n")
    assert result.returncode == 3 and one_line_error(result) == "nuvra: -n: no such file"
    dashed = tmp_path / "--format"
    dashed.write_text("error\n")
    result = nuvra("vectors", str(log), "--format", "csv", "--", "--format")  # a relative name, read from /
    assert result.returncode == 2 and result.stderr == b"nuvra: --format: no such file\n"
    assert result.stdout.startswith(b"fault,security,data,axis,text\n")  # the log, read on
    result = subprocess.run([sys.executable, "-I", "-m", "nuvra", "vectors", "--format", "csv", "--", "--format"],
                            capture_output=True, timeout=120, cwd=tmp_path)  # fmt: skip
    assert result.returncode == 0 and result.stdout.splitlines()[1] == b"1.0,0.0,0.0,fault,error"


# --- Decoders that give their text at the end ---


def test_text_released_at_the_final_flush_is_split_into_lines(tmp_path):
    path = tmp_path / "hosts.log"
    path.write_bytes(b"error on host\r\ndb down\nlast line")
    for args, stdin in (([str(path)], b""), ([], path.read_bytes())):
        result = nuvra("vectors", "--encoding", "idna", "--format", "jsonl", *args, stdin=stdin)
        assert result.returncode == 0, result.stderr
        assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == ["error on host", "db down", "last line"]


# --- One long line ---


def write_all(fmt: str, values: dict, chunk: int) -> bytes:
    stream = io.BytesIO()
    out = output.Output(fmt, list(values), stream, lambda: __import__("contextlib").nullcontext())
    saved = output.WRITE_CHUNK
    output.WRITE_CHUNK = chunk
    try:
        out.write_block(values)
        out.write_block(values)  # the header once
    finally:
        output.WRITE_CHUNK = saved
    return stream.getvalue()


TEXTS = st.text(st.sampled_from(["a", " ", "\t", "\x1b", ",", '"', "\udcff", "\u202e", "é", "\n"]), max_size=12)


@settings(max_examples=300, deadline=None)
@given(st.lists(TEXTS, min_size=1, max_size=4), st.sampled_from(["table", "csv", "jsonl"]), st.booleans())
def test_rows_written_in_pieces_are_the_rows_written_whole(texts, fmt, where):
    values: dict = {"where": [f"f{i}.log:{i}" for i in range(len(texts))]} if where else {}
    values |= {"x": [0.5] * len(texts), "axis": ["fault"] * len(texts), "text": texts}
    assert write_all(fmt, values, 3) == write_all(fmt, values, 1 << 30)


def peak_rss_kb(args: list[str]) -> int:
    """The peak resident memory of the command, in KiB, read in a parent of its own."""
    code = (
        "import resource, subprocess, sys\n"
        "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    result = subprocess.run([sys.executable, "-I", "-c", code, sys.executable, "-I", "-m", "nuvra", *args],
                            capture_output=True, timeout=600, cwd="/", check=True)  # fmt: skip
    return int(result.stdout)


@pytest.mark.slow
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer keeps freed memory in quarantine: peak memory says nothing there",
)
@pytest.mark.parametrize("command", [["vectors"], ["vectors", "--format", "jsonl"], ["similar", "error"]])
def test_one_long_line_takes_about_twice_its_size(tmp_path, command):
    size = 50 << 20
    path = tmp_path / "long.log"
    with path.open("wb") as f:
        f.write(b"short error line\n")
        f.write(b"disk error, " * (size // 12))  # no newline at the end
    small = tmp_path / "small.log"
    small.write_bytes(b"short error line\n")
    base = peak_rss_kb([*command, str(small)])
    peak = peak_rss_kb([*command, str(path)])
    assert (peak - base) * 1024 <= 2.25 * size, (peak, base)


# --- The escaping function's fast paths ---


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet=st.one_of(st.characters(codec="utf-8"), st.sampled_from("\x1b\x07\t\x85\u202e\u2028\udc9b"))))
def test_escaping_is_the_table_s_translation_on_every_path(text):
    # Printable text passes unchanged, ASCII controls are replaced one kind at a time, the rest
    # goes through the regular expression: all give what translating character by character gives.
    assert terminal.escape_for_terminal(text) == text.translate(terminal._TABLE_ESCAPES)
    assert terminal.escape_for_terminal(text.encode("ascii", "replace").decode()) == text.encode(
        "ascii", "replace"
    ).decode().translate(terminal._TABLE_ESCAPES)


def test_every_escaped_character_is_one_that_isprintable_rejects():
    # what the fast path for printable text relies on
    assert [hex(c) for c in terminal._TABLE_ESCAPES if chr(c).isprintable()] == []
