"""nuvra groups, nuvra similar --groups, and the message part that vectors and similar score."""

from __future__ import annotations

import json
import random
import string
import time

import pytest

from nuvra import Space, _batch, _lines
from nuvra.cli.axes import dominant_axis
from nuvra.semv_core import vectorize_text_c
from nuvra_testing.helpers import run_nuvra as nuvra

SPACE = Space.default()
HEADER = "Jun 14 15:16:{:02d} combo {}[{}]: "


def kinds_log(rng: random.Random) -> tuple[list[str], dict[str, list[int]]]:
    """Lines of three kinds, shuffled, and the line numbers (from 1) of each kind."""
    made = (
        [("sshd", f"session opened for user {rng.choice(['alice', 'bob', 'carol', 'dave'])}") for _ in range(40)]
        + [("kernel", f"disk write failed on sector {rng.randrange(10**6)}") for _ in range(25)]
        + [("su", f"authentication failure; uid={rng.randrange(1000)}") for _ in range(10)]
    )
    rng.shuffle(made)
    lines, where = [], {}
    for n, (program, message) in enumerate(made, 1):
        lines.append(HEADER.format(n % 60, program, rng.randrange(99999)) + message)
        where.setdefault(program, []).append(n)
    return lines, where


@pytest.fixture
def log(tmp_path):
    lines, where = kinds_log(random.Random(7))
    path = tmp_path / "today.log"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path, lines, where


def rows_of(result) -> list[dict]:
    assert result.returncode == 0, result.stderr.decode()
    return [json.loads(r) for r in result.stdout.splitlines()]


def test_every_kind_with_its_count_axis_and_first_line(log):
    path, lines, where = log
    rows = rows_of(nuvra("groups", str(path), "--format", "jsonl"))
    assert len(rows) == 3 and sum(r["count"] for r in rows) == len(lines)
    assert sorted((r["count"], r["line"]) for r in rows) == sorted((len(n), n[0]) for n in where.values())
    assert [r["count"] for r in rows] == sorted((r["count"] for r in rows), reverse=True)
    for r in rows:
        assert r["share"] == r["count"] / len(lines)
        assert r["axis"] == dominant_axis(SPACE.text_vector(r["template"].replace("<*>", " ")), SPACE.axes)
        assert "<*>" in r["template"] and "combo" not in r["template"]  # variable parts, no header
        first = lines[r["line"] - 1]
        assert r["template"].split("<*>")[0] in first
    csv = nuvra("groups", str(path), "--format", "csv").stdout.decode().splitlines()
    assert csv[0] == "count,share,axis,line,template"
    assert [c.split(",")[0] for c in csv[1:]] == [str(r["count"]) for r in rows]
    table = nuvra("groups", str(path)).stdout.decode().splitlines()
    assert table[0].split() == ["count", "share", "axis", "line", "template"]
    assert [t.split()[:4] for t in table[1:]] == [
        [str(r["count"]), f"{r['share']:.4f}", r["axis"], str(r["line"])] for r in rows
    ]


def test_totals_on_standard_error(log):
    path, lines, _ = log
    result = nuvra("groups", str(path), "--format", "jsonl")
    rows = rows_of(result)
    by_axis = {a: sum(r["count"] for r in rows if r["axis"] == a) for a in [*SPACE.axes, "none"]}
    said = result.stderr.decode()
    assert f"nuvra: {len(lines)} lines, 3 kinds (3 shown)" in said and "lines/s" in said
    assert ", ".join(f"{a} {n}" for a, n in by_axis.items()) in said


def test_k_and_axis_select_kinds(log):
    path, _, _ = log
    every = rows_of(nuvra("groups", str(path), "--format", "jsonl"))
    top = nuvra("groups", str(path), "--format", "jsonl", "-k", "2")
    assert rows_of(top) == every[:2] and b"the 2 most frequent kinds of 3 shown" in top.stderr
    assert rows_of(nuvra("groups", str(path), "--format", "jsonl", "-k", "0")) == every
    for axis in [*SPACE.axes, "none"]:
        chosen = nuvra("groups", str(path), "--format", "jsonl", "--axis", axis)
        expected = [r for r in every if r["axis"] == axis]
        assert (chosen.returncode, [json.loads(r) for r in chosen.stdout.splitlines()]) == (
            0 if expected else 1,
            expected,
        )
    bad = nuvra("groups", str(path), "--axis", "nope")
    assert bad.returncode == 2 and b"the axes are fault, security, data, none" in bad.stderr


def test_a_kind_only_in_todays_log_is_new(log, tmp_path):
    path, lines, where = log
    old = tmp_path / "old.log"
    old.write_text("\n".join(t for n, t in enumerate(lines, 1) if n not in where["kernel"]) + "\n")
    today = rows_of(nuvra("groups", str(path), "--baseline", str(old), "--format", "jsonl"))
    assert len(today) == 3 and sum(r["count"] for r in today) == len(lines)
    assert {r["line"]: r["new"] for r in today} == {n[0]: "yes" if p == "kernel" else "no" for p, n in where.items()}
    new = nuvra("groups", str(path), "--baseline", str(old), "--new", "--format", "jsonl")
    assert [r["line"] for r in rows_of(new)] == [where["kernel"][0]]
    assert b"1 kinds new against the baseline of" in new.stderr
    same = nuvra("groups", str(path), "--baseline", str(path), "--new")
    assert same.returncode == 1 and same.stdout == b""
    alone = nuvra("groups", str(path), "--new")
    assert alone.returncode == 2 and b"--new needs --baseline" in alone.stderr


def test_stdin_and_several_files(log, tmp_path):
    path, lines, _ = log
    from_file = rows_of(nuvra("groups", str(path), "--format", "jsonl"))
    assert rows_of(nuvra("groups", "--format", "jsonl", stdin=path.read_bytes())) == from_file
    other = tmp_path / "other.log"
    other.write_text(lines[0] + "\n")
    both = rows_of(nuvra("groups", str(other), str(path), "--format", "jsonl"))
    assert both[0]["file"] == str(other) and both[0]["line"] == 1
    assert sum(r["count"] for r in both) == len(lines) + 1


def test_header_pattern(tmp_path):
    path = tmp_path / "custom.log"
    path.write_text("".join(f"<<{i}|node{i % 7}>> job done in {i} s\n" for i in range(30)))
    rows = rows_of(nuvra("groups", str(path), "--format", "jsonl", "--header", r"<<[^>]*>> "))
    assert [(r["count"], r["template"]) for r in rows] == [(30, "job done in <*> s")]
    bad = nuvra("groups", str(path), "--header", "(")
    assert bad.returncode == 2 and b"not a regular expression" in bad.stderr


def test_empty_binary_and_undecodable_inputs(tmp_path):
    empty = tmp_path / "empty.log"
    empty.write_bytes(b"")
    result = nuvra("groups", str(empty))
    assert result.returncode == 1 and result.stdout == b"" and b"nuvra: 0 lines, 0 kinds" in result.stderr
    binary = tmp_path / "binary.bin"
    binary.write_bytes(random.Random(1).randbytes(1 << 16))
    result = nuvra("groups", str(binary), "--format", "jsonl")
    assert result.returncode == 0 and b"Traceback" not in result.stderr
    assert sum(json.loads(r)["count"] for r in result.stdout.splitlines()) == binary.read_bytes().count(b"\n") + 1
    assert b"undecodable byte" in result.stderr
    table = nuvra("groups", str(binary))
    assert table.returncode == 0 and b"\x1b" not in table.stdout
    undecodable = tmp_path / "latin.log"
    undecodable.write_bytes(b"caf\xe9 closed on port 80\ncaf\xe9 closed on port 81\n")
    strict = nuvra("groups", str(undecodable), "--errors", "strict")
    assert strict.returncode == 5 and b"line 1: cannot decode" in strict.stderr
    rows = rows_of(nuvra("groups", str(undecodable), "--format", "jsonl"))
    assert [(r["count"], r["template"]) for r in rows] == [(2, "caf\ufffd closed on port <*>")]


def test_a_line_of_25_megabytes(tmp_path):
    path = tmp_path / "long.log"
    path.write_bytes(b"disk error " * (25 * 2**20 // 11) + b"\nshort line\n")
    started = time.monotonic()
    rows = rows_of(nuvra("groups", str(path), "--format", "jsonl"))
    assert time.monotonic() - started < 60
    assert sorted(r["count"] for r in rows) == [1, 1] and {r["line"] for r in rows} == {1, 2}
    assert max(len(r["template"]) for r in rows) > 25 * 10**6


def test_lines_without_structure_give_bounded_output(tmp_path):
    rng = random.Random(3)
    count = 300_000  # more distinct keys than the grouper holds
    path = tmp_path / "noise.log"
    path.write_text("".join(" ".join("".join(rng.choices(string.ascii_letters, k=6)) for _ in range(3)) + "\n"
                            for _ in range(count)))  # fmt: skip
    started = time.monotonic()
    result = nuvra("groups", str(path), "--format", "csv")
    assert result.returncode == 0 and time.monotonic() - started < 90
    rows = result.stdout.count(b"\n") - 1
    apart = count - rows
    assert 0 < rows < count and apart > 0
    assert f"nuvra: {apart:,} lines counted apart, in no kind".encode() in result.stderr
    assert b"nuvra: 3 most frequent kinds" not in result.stderr
    top = nuvra("groups", str(path), "-k", "3")
    assert top.stdout.count(b"\n") == 4


def test_similar_groups_ranks_the_querys_kind_first(log):
    path, lines, where = log
    query = lines[where["kernel"][3] - 1]
    rows = rows_of(nuvra("similar", "--groups", query, str(path), "--format", "jsonl"))
    assert rows[0]["line"] == where["kernel"][0] and rows[0]["count"] == len(where["kernel"])
    assert [r["template"] for r in rows] == list(dict.fromkeys(r["template"] for r in rows))
    assert {r["count"] for r in rows} <= {len(n) for n in where.values()}
    # The other kinds by the cosine of their template with the query's message.
    message = query[_batch.message_start(query) :]
    assert message.startswith("disk write failed")
    q = SPACE.text_vector(message)
    scores = [
        sum(a * b for a, b in zip(q, SPACE.text_vector(r["template"].replace("<*>", " ")), strict=True)) for r in rows
    ]
    assert [round(s, 9) for s in scores[1:]] == sorted((round(s, 9) for s in scores[1:]), reverse=True)


def test_similar_groups_collapses_tied_lines_into_kinds(tmp_path):
    rng = random.Random(5)
    lines = [f"worker {rng.randrange(10**5)} error on job {rng.randrange(999)}" for _ in range(111)]
    lines += [f"error while reading {rng.choice('abcde')}.cfg" for _ in range(9)]
    path = tmp_path / "tied.log"
    path.write_text("\n".join(lines) + "\n")
    single = nuvra("similar", "error", str(path), "-k", "200", "--format", "jsonl")
    assert len(single.stdout.splitlines()) == 120
    kinds = rows_of(nuvra("similar", "--groups", "error", str(path), "--format", "jsonl"))
    assert sorted(r["count"] for r in kinds) == [9, 111]
    assert len(kinds) < len(single.stdout.splitlines()) / 10


def test_whole_line_and_the_message_of_a_line_with_a_header(tmp_path):
    line = "Jun 14 15:16:01 combo sshd(pam_unix)[19939]: disk write failed"
    message = line[_batch.message_start(line) :]
    assert message == "disk write failed" and vectorize_text_c(message) != vectorize_text_c(line)
    path = tmp_path / "one.log"
    path.write_text(line + "\nerror\n")

    def vectors(*options):
        rows = rows_of(nuvra("vectors", str(path), "--format", "jsonl", *options))
        return [[r[a] for a in SPACE.axes] for r in rows]

    # A line that is all header ("error" alone) is its own message.
    assert vectors() == [vectorize_text_c(message), vectorize_text_c("error")]
    assert vectors("--whole-line") == [vectorize_text_c(line), vectorize_text_c("error")]
    ranked = rows_of(nuvra("similar", line, str(path), "--format", "jsonl", "-k", "1"))
    assert ranked[0]["score"] == pytest.approx(1.0)
    whole = rows_of(nuvra("similar", "disk write failed", str(path), "--format", "jsonl", "--whole-line"))
    assert whole[0]["score"] < 0.99


def test_message_column_cuts_each_row_after_its_header():
    rng = random.Random(11)
    heads = ["", "Jun 14 15:16:01 combo sshd[1]: ", "2024-01-02 03:04:05,678 WARN [main] ", "ERROR: "]
    bodies = ["disk write failed", "caf\u00e9 \u2603 login", "\U0001f600 data lost", "", "  ", "error"]
    texts = [rng.choice(heads) + rng.choice(bodies) + rng.choice(["", "\r"]) for _ in range(500)]
    column = _batch.message_column(_lines.text_column(texts), 4)
    got = _lines.filled(column, 2, SPACE._native)

    def message(t: str) -> str:
        rest = t[_batch.message_start(t.removesuffix("\r")) :]
        return rest if rest.strip(" \t\r") else t

    expected = _lines.text_vectors([message(t) for t in texts], 1, SPACE._native)
    assert got == expected
    data = "\n".join(texts).encode()
    in_place = _batch.message_column(_lines.line_column(data, None, "utf-8", "replace"), 3)
    assert _lines.filled(in_place, 1, SPACE._native) == expected
