"""Where each row came from, as the command shows it: a table's FILE:LINE cells fit a third of
80 columns (of the terminal's width on a terminal), a long file name shortened in its middle,
its own name and the line number whole; CSV and JSON lines give every path whole."""

import csv
import io
import json
from pathlib import Path

from nuvra_testing.helpers import run_nuvra as nuvra
from nuvra_testing.helpers import shows_place

SHORT_LINES = ["disk write failed on sda", "login denied for admin"]
LONG_LINES = ["connection timeout to the database", "permission denied for user root", "hello"]


def path_of(directory: Path, length: int, own: str) -> Path:
    """A file named own, its path length characters long, under new directories in directory."""
    left = length - len(str(directory)) - 1 - len(own)
    assert left > 10, str(directory)
    while left > 0:
        # Directories of at most 40 characters, each with its "/"; the last takes what is left.
        size = min(40, left - 1) if left - 1 > 40 + 5 else left - 1
        directory = directory / ("d" * size)
        left -= size + 1
    path = directory / own
    path.parent.mkdir(parents=True, exist_ok=True)
    return path


def two_inputs(tmp_path: Path) -> tuple[Path, Path]:
    short = tmp_path / "term.log"
    short.write_text("".join(line + "\n" for line in SHORT_LINES), encoding="utf-8")
    long = path_of(tmp_path, 150, "changelog.log")
    long.write_text("".join(line + "\n" for line in LONG_LINES), encoding="utf-8")
    assert len(str(long)) == 150
    return short, long


def test_every_row_s_text_within_80_columns(tmp_path):
    short, long = two_inputs(tmp_path)
    for files in ([short, long], [long, short]):
        result = nuvra("vectors", "-n", "--whole-line", *map(str, files))
        assert result.returncode == 0, result.stderr
        header, *rows = result.stdout.decode().splitlines()
        written = [(path, n, text) for path in files for n, text in enumerate(path.read_text().splitlines(), 1)]
        assert len(rows) == len(written)
        for row, (path, n, text) in zip(rows, written, strict=True):
            # The text starts where the header's does, within the first 80 columns.
            assert row.index(text) == header.index("text") < 80, row
            cell = row.split(" ", 1)[0]
            assert shows_place(cell, str(path), n) and len(cell) <= 80 // 3
            assert ("\u2026" in cell) == (len(f"{path}:{n}") > 80 // 3)
            assert cell.endswith(f"/{path.name}:{n}")
    best = nuvra("similar", "--whole-line", "denied", str(short), str(long)).stdout.decode().splitlines()
    assert best[0].index("text") < 80 and len(best) == 3
    for row in best[1:]:
        cell = row.split(" ", 1)[0]
        assert row.index("denied") < 80 and len(cell) <= 80 // 3
        assert shows_place(cell, str(short), 2) or shows_place(cell, str(long), 2)


def test_csv_and_json_lines_keep_every_path_whole(tmp_path):
    short, long = two_inputs(tmp_path)
    files = [long, short]
    expected = [(str(path), n) for path in files for n in range(1, len(path.read_text().splitlines()) + 1)]
    result = nuvra("vectors", "-n", "--format", "csv", *map(str, files))
    assert result.returncode == 0, result.stderr
    rows = list(csv.DictReader(io.StringIO(result.stdout.decode())))
    assert [(r["file"], int(r["line"])) for r in rows] == expected
    result = nuvra("vectors", "-n", "--format", "jsonl", *map(str, files))
    assert [(r["file"], r["line"]) for r in map(json.loads, result.stdout.splitlines())] == expected
    result = nuvra("similar", "--format", "jsonl", "denied", *map(str, files))
    assert {json.loads(r)["file"] for r in result.stdout.splitlines()} == {str(long), str(short)}
