"""Undecodable bytes in real logs: read as U+FFFD by default and counted on standard error;
--errors strict stops at the first, as it did."""

import gzip
import json
import random

import pytest

from nuvra.cli import inputs
from nuvra_testing.helpers import run_nuvra as nuvra

BAD = [b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\x80\x80"]


def mixed_log(count: int, seed: int) -> tuple[bytes, int, int]:
    """A log of valid and invalid UTF-8 lines, the number of lines holding undecodable bytes,
    and the number of those bytes (each maximal invalid run as UTF-8 reads it)."""
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        line = f"line {i}: disk error on sda".encode()
        if rng.random() < 0.2:
            cut = rng.randrange(len(line))
            line = line[:cut] + rng.choice(BAD) + line[cut:]
        lines.append(line)
    bad_lines = sum(1 for line in lines if line != line.decode("utf-8", "ignore").encode())
    bad_bytes = sum(len(line) - len(line.decode("utf-8", "ignore").encode()) for line in lines)
    return b"\n".join(lines) + b"\n", bad_lines, bad_bytes


class TestReplacedByDefault:
    @pytest.mark.parametrize("seed", [1, 2])
    def test_every_line_is_read_and_the_undecodable_ones_are_counted(self, tmp_path, seed, monkeypatch):
        data, bad_lines, bad_bytes = mixed_log(3000, seed)
        assert bad_lines > 0
        path = tmp_path / "mixed.log.gz"
        path.write_bytes(gzip.compress(data))
        for command in (["vectors", "--format", "jsonl"], ["similar", "disk error", "-k", "1"]):
            result = nuvra(*command, str(path))
            assert result.returncode == 0, result.stderr
            (warning,) = [m for m in result.stderr.decode().splitlines() if "warning" in m]
            assert warning == (
                f"nuvra: warning: {path}: {bad_lines:,} lines held {bad_bytes:,} undecodable bytes,"
                " read as U+FFFD (--errors strict stops at the first)"
            )
        rows = nuvra("vectors", "--format", "jsonl", str(path)).stdout.splitlines()
        assert [json.loads(r)["text"] for r in rows] == data.decode("utf-8", "replace").splitlines()

    def test_blocks_are_counted_each_and_their_lines_kept(self, tmp_path, monkeypatch):
        # Small blocks: undecodable bytes in many blocks, counted once each, in order.
        data, bad_lines, bad_bytes = mixed_log(500, 3)
        counted = inputs.Undecodable()
        from nuvra import Space
        from nuvra.cli.inputs import Source

        path = tmp_path / "mixed.log"
        path.write_bytes(data)
        monkeypatch.setattr(inputs, "BLOCK_BYTES", 512)
        with open(path, "rb") as stream:
            blocks = list(inputs.blocks_of(Source(str(path)), stream, "utf-8", "replace", 1, Space.default(), counted))
        assert len(blocks) > 10
        assert (counted.lines, counted.bytes) == (bad_lines, bad_bytes)
        assert sum(len(b) for b in blocks) == 500

    def test_ignore_drops_and_says_so_and_a_clean_log_says_nothing(self, tmp_path):
        path = tmp_path / "x.log"
        path.write_bytes(b"disk \xff error\nfine\n")
        result = nuvra("vectors", "--errors", "ignore", "--format", "jsonl", str(path))
        assert [json.loads(r)["text"] for r in result.stdout.splitlines()] == ["disk  error", "fine"]
        assert b"1 line held 1 undecodable byte, dropped" in result.stderr
        clean = tmp_path / "clean.log"
        clean.write_bytes(b"disk error\n\xc3\xa7ok g\xc3\xbczel\n")
        result = nuvra("vectors", str(clean))
        assert result.returncode == 0 and result.stderr == b""
        assert result.stdout == nuvra("vectors", "--errors", "strict", str(clean)).stdout

    def test_an_encoding_decoded_whole_counts_bytes(self, tmp_path):
        path = tmp_path / "wide.log"
        path.write_bytes("disk error\nfine\n".encode("utf-16-le") + b"\x00\xd8\n\x00")
        result = nuvra("vectors", "--encoding", "utf-16-le", str(path))
        assert result.returncode == 0
        assert b": 2 undecodable bytes, read as U+FFFD" in result.stderr


class TestStrictOnRequest:
    def test_strict_stops_with_exit_5_and_no_count(self, tmp_path):
        path = tmp_path / "x.log"
        path.write_bytes(b"fine\nbad \xff\n")
        result = nuvra("vectors", "--errors", "strict", str(path))
        assert result.returncode == 5 and b"line 2: cannot decode" in result.stderr
        assert b"warning" not in result.stderr

    def test_help_says_the_default(self):
        text = " ".join(nuvra("vectors", "--help").stdout.decode().split())
        assert "replace (the default)" in text and "strict stops at the first" in text
