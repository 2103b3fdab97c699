"""Log lines grouped into kinds: headers, variable parts, templates that do not depend on how the input is cut,
matching, pickling, and inputs without any structure."""

import os
import pickle
import random

import numpy as np
import pytest

import nuvra
from nuvra import _batch, groups

LOGHUB = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "loghub")


def key_of(line: str, header: bool = True) -> str:
    column = _batch.sequence_column([line], False, "t", 0, None)
    return _batch.Grouper().keys(column, 1, header)[0]


# --- headers and keys -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "line, message",
    [
        ("Jun 14 15:16:01 combo sshd(pam_unix)[19939]: check pass; user unknown", "check pass; user unknown"),
        (
            "081109 203615 148 INFO dfs.DataNode$PacketResponder: PacketResponder 1 for block",
            "PacketResponder 1 for block",
        ),
        ("[Sun Dec 04 04:47:44 2005] [notice] workerEnv.init() ok /etc/x", "workerEnv.init() ok /etc/x"),
        ("[Sun Dec 04 04:47:44 2005] [error] [client 1.2.3.4] Directory index", "[client 1.2.3.4] Directory index"),
        ("17/06/09 20:10:40 INFO executor.Executor: Got assigned task 1", "Got assigned task 1"),
        ("20171223-22:15:29:606|Step_LSC|30002312|onStandStepChanged 3579", "onStandStepChanged 3579"),
        ("2024-01-05T10:00:00.123Z ERROR [main] com.example.App - disk full", "disk full"),
        ("- 1131566461 2005.11.09 dn228 Nov 9 12:01:01 dn228/dn228 crond[2916]: (root) CMD x", "(root) CMD x"),
        (
            "nova-api.log.1 2017-05-16 00:00:00.008 25746 INFO nova.osapi.server [req-3 - - -] 10.1.1.1 GET",
            "10.1.1.1 GET",
        ),
        # Words after a date are confirmed as host names by a word (a month, a program), not by a version.
        ("2025-06-24 14:36:53 configure libxau6:amd64 1:1.0.9-1 <none>", "configure libxau6:amd64 1:1.0.9-1 <none>"),
        # Messages alone keep every word: nothing in front of them looks like a header.
        ("session opened for user root by (uid=0)", "session opened for user root by (uid=0)"),
        (
            "connection from 10.0.0.1 (host) at Sun Jul 10 03:55:21 2005",
            "connection from 10.0.0.1 (host) at Sun Jul 10 03:55:21 2005",
        ),
        # A level in front of a message is a header of its own.
        ("Warning: we failed to resolve data source name x", "we failed to resolve data source name x"),
        ("", ""),
        ("ERROR", ""),
    ],
)
def test_the_header_is_left_out_and_the_message_kept(line, message):
    assert line[_batch.header_length(line) :] == message


@pytest.mark.parametrize(
    "token, variable",
    [
        ("10.251.73.220:50010", True),
        ("fe80::1ff:fe23:4567:890a", True),
        ("00:1a:2b:3c:4d:5e", True),
        ("b9000564-fe1a-409b-b8cc-1e88b294cd1d", True),
        ("a692162415ae12ef", True),
        ("deadbeefcafe", True),
        ("/var/log/syslog", True),
        ("https://example.com/a?b=1", True),
        ("root@example.com", True),
        ("15ms", True),
        ("2.2.40-1.1+deb12u2", True),
        ("blk_-1608999687919862906", True),
        ("Started", False),
        ("user", False),
        ("NODEVssh", False),
    ],
)
def test_variable_parts_are_found_by_their_shape(token, variable):
    key = key_of(f"before {token} after", header=False)
    assert (key == "before <*> after") == variable, key


def test_a_block_id_is_one_kind_with_or_without_its_sign_and_sizes_take_their_unit():
    assert key_of("block blk_-160 of size 12 KB", False) == key_of("block blk_987 of size 3.5 MB", False)
    assert key_of("rhost=218.188.2.4 user=root", False) == "rhost=<*> user=root"


# --- templates ----------------------------------------------------------------------------------------------


def kinds(g: nuvra.Groups) -> set[frozenset[int]]:
    """The grouping as sets of line indexes, whatever the templates' order."""
    by: dict[int, set[int]] = {}
    for i, kind in enumerate(g.ids.tolist()):
        by.setdefault(kind, set()).add(i)
    return {frozenset(v) for v in by.values()}


def generated(n: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    users = ["root", "news", "cyrus", "test", "guest"]
    forms = [
        lambda: (
            f"Jun {rng.randint(1, 30)} 10:{rng.randint(10, 59)}:00 combo sshd[{rng.randint(100, 999)}]: "
            f"session opened for user {rng.choice(users)} by (uid={rng.randint(0, 9)})"
        ),
        lambda: f"Jun {rng.randint(1, 30)} 10:00:00 combo sshd[1]: session closed for user {rng.choice(users)}",
        lambda: (
            f"2017-05-16 00:00:00.{rng.randint(100, 999)} 1 INFO nova.compute [req-1 - -] VM "
            f"{rng.choice(['Started', 'Paused', 'Resumed', 'Stopped'])} (Lifecycle Event)"
        ),
        lambda: (
            f"081109 203615 148 INFO dfs.DataNode: Received block blk_{rng.randint(-(10**9), 10**9)} of size "
            f"{rng.randint(1, 10**6)} from /10.0.0.{rng.randint(1, 254)}"
        ),
    ]
    return [rng.choice(forms)() for _ in range(n)]


def test_templates_write_each_variable_part_and_keep_closed_sets_apart():
    g = nuvra.group_lines(generated(3000))
    assert set(g.templates) == {
        "session opened for user <*> by (uid=<*>)",
        "session closed for user <*>",
        "VM Started (Lifecycle Event)",
        "VM Paused (Lifecycle Event)",
        "VM Resumed (Lifecycle Event)",
        "VM Stopped (Lifecycle Event)",
        "Received block <*> of size <*> from <*>",
    }
    assert g.counts.sum() == 3000 and list(g.counts) == sorted(g.counts, reverse=True)
    for kind, first in enumerate(g.first.tolist()):
        assert g.ids[first] == kind and (g.ids[:first] != kind).all()
    assert g.vectors.shape == (len(g), 3) and g.axes == ("fault", "security", "data")


def test_the_grouping_does_not_depend_on_how_the_input_is_cut(monkeypatch):
    lines = generated(5000, seed=2)
    data = ("\n".join(lines) + "\n").encode()
    whole = nuvra.group_lines(lines)
    for other in (
        nuvra.group_lines(lines, workers=2),
        nuvra.group_lines(data),
        nuvra.group_lines(np.array(lines)),
        nuvra.group_lines(iter(lines)),
    ):
        assert other.templates == whole.templates and (other.ids == whole.ids).all()
        assert (other.counts == whole.counts).all() and (other.first == whole.first).all()
    monkeypatch.setattr(groups, "_CHUNK_ROWS", 37)
    monkeypatch.setattr(groups, "_CHUNK_BYTES", 1000)
    for small in (nuvra.group_lines(lines, workers=2), nuvra.group_lines(data, workers=2)):
        assert small.templates == whole.templates and (small.ids == whole.ids).all()
    # Another order of the lines gives the same kinds with the same counts.
    shuffled = lines[:]
    random.Random(3).shuffle(shuffled)
    other = nuvra.group_lines(shuffled)
    assert sorted(zip(other.templates, other.counts.tolist(), strict=True)) == sorted(
        zip(whole.templates, whole.counts.tolist(), strict=True)
    )


def test_a_header_pattern_or_none_at_all():
    lines = ["<1> alpha 7 done", "<2> alpha 8 done", "<3> beta 9 done"]
    assert nuvra.group_lines(lines, header=r"<\d+> ").templates[0] == "alpha <*> done"
    assert len(nuvra.group_lines(lines, header=r"<\d+> \w+ ")) == 1
    assert nuvra.group_lines(["x 1", "x 2"], header=False).templates == ["x <*>"]
    with pytest.raises(ValueError, match="regular expression"):
        nuvra.group_lines(lines, header="(")


def test_match_and_pickles():
    g = nuvra.group_lines(generated(2000, seed=4))
    again = pickle.loads(pickle.dumps(g))
    assert again.templates == g.templates and (again.ids == g.ids).all() and (again.vectors == g.vectors).all()
    tomorrow = generated(500, seed=5) + ["kernel: something never seen 42", None]
    matched = again.match(tomorrow, workers=2)
    assert matched[-2] == -1 and matched[-1] == -1 and (matched[:-2] >= 0).all()
    # Each line's key fits its kind's template token by token: equal, or a variable there.
    for line, kind in zip(tomorrow[:-2], matched[:-2].tolist(), strict=True):
        key, template = key_of(line).split(" "), g.templates[kind].split(" ")
        assert len(key) == len(template) and all(t in ("<*>", k) for k, t in zip(key, template, strict=True))
    assert (g.match(generated(2000, seed=4)) == g.ids).all()


# --- bad input -------------------------------------------------------------------------------------------------


def test_empty_binary_and_undecodable_input():
    assert len(nuvra.group_lines([])) == 0 and nuvra.group_lines(b"").ids.shape == (0,)
    g = nuvra.group_lines(b"\x00\x01\xff\xfe error 5\n\xc3\x28 error 6\n\n")
    assert g.ids.shape == (3,) and g.counts.sum() == 3
    assert nuvra.group_lines(["", None, "x"]).ids.tolist()[1] == -1
    with pytest.raises(TypeError):
        nuvra.group_lines([b"bytes"])
    with pytest.raises(ValueError):
        nuvra.group_lines(["x"], min_values=1)


def test_lines_without_structure_stay_bounded():
    rng = random.Random(6)
    grouper = _batch.Grouper(max_keys=1000)
    lines = ["".join(rng.choice("abcdefghij ") for _ in range(30)) for _ in range(20_000)]
    grouper.add(_batch.sequence_column(lines, False, "t", 0, None), 2, True, 0, None)
    assert grouper.key_count == 1000 and grouper.unkeyed > 0 and grouper.lines == 20_000
    texts, counts, _, _ = grouper.templates(3)
    assert sum(counts) + grouper.unkeyed == 20_000 and len(texts) <= 1000


@pytest.mark.slow
def test_a_line_of_25_mb():
    line = "error " + "x1 " * (25 << 20 // 3)
    g = nuvra.group_lines([line, "error y"])
    assert g.counts.sum() == 2


@pytest.mark.skipif(not os.path.isdir(LOGHUB), reason="the loghub logs are not here")
def test_real_logs_group_close_to_their_true_templates():
    """On each real log, most lines land in a kind that holds exactly the lines of their true template."""
    import csv

    for name in ("Apache", "HDFS", "Linux"):
        with open(os.path.join(LOGHUB, f"{name}_2k.log_structured_corrected.csv"), encoding="utf-8") as f:
            truth = [row["EventId"] for row in csv.DictReader(f)]
        with open(os.path.join(LOGHUB, f"{name}_2k.log"), "rb") as f:
            g = nuvra.group_lines(f.read())
        assert len(g.ids) == len(truth)
        by_kind: dict[int, set[int]] = {}
        by_true: dict[str, set[int]] = {}
        for i, (kind, t) in enumerate(zip(g.ids.tolist(), truth, strict=True)):
            by_kind.setdefault(kind, set()).add(i)
            by_true.setdefault(t, set()).add(i)
        right = sum(len(s) for s in by_kind.values() if s == by_true[truth[next(iter(s))]])
        assert right / len(truth) >= 0.9, name


@pytest.mark.parametrize(
    "line, scored",
    [
        ("2024-01-05 10:00:00 ERROR [main] com.example.App - disk full", "ERROR [main] com.example.App - disk full"),
        ("Jun 14 15:16:01 host app[1]: WARN: retrying", "WARN: retrying"),
        ("17/06/09 20:10:40 INFO executor.Executor: Got task 1", "Got task 1"),
        ("just a message", "just a message"),
    ],
)
def test_a_severe_level_is_scored_with_the_message(line, scored):
    # Grouping leaves every level out; scoring keeps the ones that say something went wrong.
    assert line[_batch.message_start(line) :] == scored
    assert _batch.message_start(line) <= _batch.header_length(line)


def test_many_very_long_lines_of_one_length_end_quickly():
    # Keys far longer than a message are not merged place by place, which would cost the square of their length.
    import time

    words = ["alpha", "beta", "gamma", "delta"]
    lines = [" ".join(words[(i + j) % 4] for j in range(20_000)) for i in range(4)]
    started = time.perf_counter()
    g = nuvra.group_lines(lines)
    assert len(g) == 4 and time.perf_counter() - started < 20


def test_lines_cut_by_the_grouper_are_the_lines_of_a_column():
    """add_bytes cuts a buffer's lines on its threads: the same key ids and templates as add() on the
    buffer's line column, for lines of every kind (empty, CRLF, undecodable, no final newline), in pieces."""
    from nuvra import _lines

    rng = random.Random(12)
    lines = generated(40_000, seed=13) + ["", "\r", "x\r", "\xff\xfe odd", "Jun 1 a[1]: \x00 nul"]
    rng.shuffle(lines)
    for data in (
        "\n".join(lines).encode("utf-8", "surrogateescape").replace(b"odd", b"\xc3\x28"),
        ("\n".join(lines) + "\n").encode(),
        b"",
        b"\n",
        b"no newline at all",
    ):
        for workers in (1, 3):
            by_column, by_bytes = _batch.Grouper(), _batch.Grouper()
            column = _lines.line_column(data, None, "utf-8", "replace")
            expected = np.empty(len(column), dtype=np.int32)
            by_column.add(column, workers, True, 7, expected)
            got = np.frombuffer(by_bytes.add_bytes(data, workers, True, 7), dtype=np.int32)
            assert (got == expected).all() and by_bytes.lines == by_column.lines
            assert by_bytes.templates(3) == by_column.templates(3) and by_bytes.held() == by_column.held()
