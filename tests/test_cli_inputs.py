"""grep's conventions for many inputs: a bad input is one line on standard error and the run goes
on with the others; the exit code at the end says that inputs failed. Also -n, -k and --workers
as the other commands and the API take them."""

import gzip
import io
import json
import os

import pytest

from nuvra_testing.helpers import run_nuvra as nuvra

GOOD = ["ERROR: disk write failed", "login denied for admin"]
OTHER = ["sorgu tablo", "permission denied"]


@pytest.fixture
def inputs(tmp_path):
    """Two good files, and a bad input of each kind, by name."""
    good = tmp_path / "good.log"
    good.write_text("\n".join(GOOD) + "\n", encoding="utf-8")
    other = tmp_path / "other.log"
    other.write_text("\n".join(OTHER) + "\n", encoding="utf-8")
    latin = tmp_path / "latin.log"
    latin.write_bytes(b"disk error\ncaf\xe9 table\nlast error\n")  # line 2 is not UTF-8
    broken = tmp_path / "broken.log.gz"
    broken.write_bytes(gzip.compress(b"disk error\n" * 1000)[:-20])
    directory = tmp_path / "dir"
    directory.mkdir()
    return {
        "good": str(good),
        "other": str(other),
        "missing": str(tmp_path / "missing.log"),
        "directory": str(directory),
        "latin": str(latin),
        "broken": str(broken),
    }


BAD_INPUTS = {
    "missing": (3, "{}: no such file"),
    "directory": (4, "{}: is a directory"),
    "latin": (5, "{}: line 2: cannot decode as utf-8"),
    "broken": (4, "{}: cannot decompress"),
}


def texts(result):
    return [json.loads(row)["text"] for row in result.stdout.splitlines()]


@pytest.mark.parametrize("bad", list(BAD_INPUTS))
def test_a_bad_input_among_good_ones_is_one_line_and_exit_2(inputs, bad):
    code, message = BAD_INPUTS[bad]
    result = nuvra("vectors", inputs["good"], inputs[bad], inputs["other"], "--format", "jsonl", "--errors", "strict")
    # Every line of the good files, in order; of a file that fails midway, the lines before the failure.
    assert [t for t in texts(result) if t not in ("disk error",)] == GOOD + OTHER
    (line,) = result.stderr.decode().splitlines()
    assert line.startswith("nuvra: " + message.format(inputs[bad]))
    assert result.returncode == 2
    # Alone, the input's failure keeps its own exit code.
    alone = nuvra("vectors", inputs[bad], "--format", "jsonl", "--errors", "strict")
    assert alone.returncode == code and len(alone.stderr.splitlines()) == 1
    assert b"Traceback" not in result.stderr + alone.stderr


def test_every_command_goes_on_past_bad_inputs(inputs, tmp_path):
    bad = [inputs["missing"], inputs["directory"], inputs["latin"]]
    similar = nuvra(
        "similar", "permission denied", *bad, inputs["good"], inputs["other"], "-k", "2", "--errors", "strict"
    )
    # One line per failed input, then how many lines scored.
    assert similar.returncode == 2 and len(similar.stderr.splitlines()) == 4
    assert similar.stderr.splitlines()[-1] == b"nuvra: 2 of 4 lines scored above 0; 2 shown"
    rows = [row.split(maxsplit=2) for row in similar.stdout.decode().splitlines()[1:]]
    # Tied at 1.0, the line holding both words of the query first.
    from nuvra_testing.helpers import shows_place

    assert [row[1:] for row in rows] == [["1.0000", OTHER[1]], ["1.0000", GOOD[1]]]
    assert shows_place(rows[0][0], inputs["other"], 2) and shows_place(rows[1][0], inputs["good"], 2)
    pytest.importorskip("matplotlib")
    image = tmp_path / "space.png"
    plot = nuvra("plot", inputs["good"], inputs["missing"], "-o", str(image))
    assert plot.returncode == 2 and image.exists()
    assert plot.stderr.decode().splitlines()[0] == f"nuvra: {inputs['missing']}: no such file"


def test_no_input_read_is_the_failure_s_own_code(inputs):
    # Every input failed: the code of the first failure, and nothing selected does not hide it.
    result = nuvra("vectors", inputs["missing"], inputs["directory"])
    assert result.returncode == 3 and result.stdout == b"" and len(result.stderr.splitlines()) == 2
    result = nuvra("similar", "error", inputs["directory"], inputs["missing"])
    assert result.returncode == 4 and result.stdout == b""
    # A query that selects nothing, with a failed input: the failure's code, as grep's 2 wins over 1.
    result = nuvra("similar", "segfault", inputs["good"], inputs["missing"])
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 2


def test_the_lines_of_a_file_before_it_fails_are_kept(inputs):
    result = nuvra("vectors", "-n", inputs["latin"], inputs["good"], "--format", "jsonl", "--errors", "strict")
    rows = [json.loads(r) for r in result.stdout.splitlines()]
    # The undecodable line's block is dropped whole: here the file is one block.
    assert [(r["file"], r["line"]) for r in rows] == [(inputs["good"], 1), (inputs["good"], 2)]
    assert result.returncode == 2
    replaced = nuvra("vectors", inputs["latin"], inputs["good"], "--errors", "replace", "--format", "jsonl")
    assert replaced.returncode == 0 and len(texts(replaced)) == 5


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file whatever its mode")
def test_an_unreadable_file_among_good_ones(inputs, tmp_path):
    secret = tmp_path / "secret.log"
    secret.write_text("password leaked\n")
    secret.chmod(0)
    result = nuvra("vectors", str(secret), inputs["good"], "--format", "jsonl")
    assert texts(result) == GOOD and result.returncode == 2
    assert result.stderr == f"nuvra: {secret}: permission denied\n".encode()


def test_line_numbers_are_accepted_by_every_command_that_prints_lines(inputs):
    plain = nuvra("similar", "disk error", inputs["good"], inputs["other"], "-k", "2")
    for args in (["-n", "disk error"], ["disk error", "-n"], ["--line-number", "disk error"]):
        result = nuvra("similar", *args, inputs["good"], inputs["other"], "-k", "2")
        assert result.returncode == 0 and result.stdout == plain.stdout, args
    numbered = nuvra("vectors", inputs["good"], "-n", "--format", "csv").stdout.decode().splitlines()
    assert numbered[0] == "line,fault,security,data,axis,text" and numbered[2].startswith("2,")


def test_k_and_workers_agree_with_the_api(inputs):
    import nuvra as api

    lines = ["ERROR: disk write failed", "error in module", "fatal error"]  # every one scores for "error"
    default = nuvra(
        "similar", "error", "-", "--format", "jsonl", "--no-location", stdin=("\n".join(lines * 5)).encode()
    )
    assert len(default.stdout.splitlines()) == len(api.most_similar("error", lines * 5)) == 10
    # k = 0 selects nothing in both: an empty list, and no row with exit code 1 (as grep -m 0).
    assert api.most_similar("error", lines, k=0) == []
    zero = nuvra("similar", "error", inputs["good"], "-k", "0")
    assert zero.returncode == 1 and zero.stdout == b"" and zero.stderr == b"nuvra: -k 0 selects no line\n"
    # Every bad --workers value is one line, the same line, and no usage.
    for value in ("0", "-2", "many"):
        result = nuvra("vectors", inputs["good"], "--workers", value)
        assert result.returncode == 2
        assert result.stderr == f"nuvra: --workers must be at least 1, or -1 for every core; got '{value}'\n".encode()


def test_ctrl_c_on_a_stream_prints_the_best_lines_so_far(inputs, monkeypatch, capfd):
    # tail -f app.log | nuvra similar ...: the input never ends; Ctrl-C comes while the next lines are awaited.
    from nuvra import cli
    from nuvra.cli import context

    real = context.blocks_of

    def endless(*args, **kwargs):
        yield from real(*args, **kwargs)
        raise KeyboardInterrupt

    monkeypatch.setattr(context, "blocks_of", endless)
    assert cli.main(["similar", "permission denied", inputs["good"], "--format", "jsonl", "-k", "1"]) == 130
    out, _ = capfd.readouterr()
    assert [json.loads(row)["text"] for row in out.splitlines()] == [GOOD[1]]
    help_text = cli.parser()._subparsers._group_actions[0].choices["similar"].format_help()
    assert "ranked when the input ends" in " ".join(help_text.split())


# --- The progress bar ---


def test_progress_counts_the_bytes_of_standard_input(monkeypatch, capfd):
    from nuvra import cli
    from nuvra.cli import progress

    counted = []
    monkeypatch.setattr(progress.Progress, "advance", lambda self, b, n: counted.append((b, n)))
    for encoding, data in (("utf-8", b"disk error\n" * 1000), ("utf-16", "disk error\n".encode("utf-16") * 10)):
        read, write = os.pipe()
        os.write(write, data)
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            monkeypatch.setattr("sys.stdin", io.TextIOWrapper(pipe))
            assert cli.main(["vectors", "-", "--encoding", encoding, "--format", "csv"]) == 0
        assert sum(b for b, _ in counted) == len(data), encoding
        counted.clear()
    capfd.readouterr()


def test_progress_keeps_the_line_count_on_a_narrow_terminal_and_draws_ascii_in_a_c_locale():
    from tqdm import tqdm

    from nuvra.cli import progress

    for bar_format, total in ((progress.BAR_FORMAT, 100 << 20), (progress.BAR_FORMAT_UNSIZED, None)):
        line = tqdm.format_meter(3 << 20, total, 2.0, ncols=40, prefix="app.log: 123,456 lines", unit="B",
                                 unit_scale=True, unit_divisor=1024, bar_format=bar_format)  # fmt: skip
        assert line.startswith("app.log: 123,456 lines ") and len(line) <= 40, line
    for environ, utf8 in [
        ({"LANG": "C"}, False),
        ({"LANG": "C", "LC_CTYPE": "C.UTF-8"}, False),  # CPython's own coercion of the C locale
        ({}, False),
        ({"LC_ALL": "POSIX", "LANG": "en_US.UTF-8"}, False),
        ({"LANG": "en_US.UTF-8"}, True),
        ({"LC_ALL": "C.UTF-8"}, True),
        ({"LC_CTYPE": "tr_TR.utf8", "LANG": "C"}, True),
        ({"LANG": "de_DE.UTF-8@euro"}, True),
        ({"LANG": "tr_TR.ISO-8859-9"}, False),
    ]:
        assert progress.terminal_is_utf8(environ) is utf8, environ
