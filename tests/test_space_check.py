"""nuvra space check applies every rule a command applies to its space, says where an extended
file that cannot be read is named, and counts in the right number."""

import pytest

from nuvra.cli.context import RESERVED_COLUMNS
from nuvra_testing.helpers import run_nuvra as nuvra


def space_file(tmp_path, text, name="s.toml"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("column", sorted(RESERVED_COLUMNS))
def test_check_and_the_command_agree_on_an_axis_named_after_a_column(tmp_path, column):
    path = space_file(tmp_path, f'[axes.{column}]\nkeywords = ["socket"]\n')
    check = nuvra("space", "check", path)
    command = nuvra("vectors", "--space", path, "-", stdin=b"socket closed\n")
    assert check.returncode == command.returncode == 2
    assert check.stderr == command.stderr and f"an axis named {column!r}".encode() in check.stderr
    # the same file with another name for the axis passes both
    fine = space_file(tmp_path, f'[axes.{column}s]\nkeywords = ["socket"]\n', "fine.toml")
    assert nuvra("space", "check", fine).returncode == 0
    assert nuvra("vectors", "--space", fine, "-", stdin=b"socket closed\n").returncode == 0


def test_an_extends_that_cannot_be_read_names_the_file_and_line(tmp_path):
    path = space_file(tmp_path, 'name = "net"\n\nextends = "nosuch"\n[axes.net]\nkeywords = ["socket"]\n')
    result = nuvra("space", "check", path)
    assert result.returncode == 2
    message = result.stderr.decode()
    assert message.startswith(f"nuvra: invalid space: {path}:3: extends 'nosuch': ")
    assert "cannot read" in message and "nor a bundled space: default, logs" in message
    nested = space_file(tmp_path, 'extends = "s.toml"\n', "outer.toml")
    path = space_file(tmp_path, 'extends = "./gone.toml"\n')
    message = nuvra("space", "check", nested).stderr.decode()
    assert f"{path}:1: extends './gone.toml': " in message and "bundled" not in message
    # a file that is read and has problems keeps its own places
    space_file(tmp_path, '[axes.net]\nkeywords = ["x"]\n', "base.toml")
    path = space_file(tmp_path, 'extends = "base.toml"\n')
    message = nuvra("space", "check", path).stderr.decode()
    assert "base.toml:2:" in message and "extends 'base.toml'" not in message


def counted(n, one, many):
    return f"{n} {one if n == 1 else many}"


@pytest.mark.parametrize(("axes", "keywords"), [(1, 1), (1, 2), (2, 1), (3, 2)])
def test_counts_agree_in_number(tmp_path, axes, keywords):
    text = "".join(
        f"[axes.a{i}]\nkeywords = [{', '.join(f'"w{i}x{j}"' for j in range(keywords))}]\n" for i in range(axes)
    )
    path = space_file(tmp_path, text)
    names = ", ".join(f"a{i}" for i in range(axes))
    total = counted(axes * keywords, "keyword", "keywords")
    check = nuvra("space", "check", path)
    assert check.stdout.decode() == f"{path}: ok: {counted(axes, 'axis', 'axes')} ({names}), {total}\n"
    shown = nuvra("space", "show", path).stdout.decode().splitlines()
    assert shown[0] == f"space s: {counted(axes, 'axis', 'axes')}, {total}"
    assert shown[1] == f"a0 (threshold 0.4, {counted(keywords, 'keyword', 'keywords')}):"
