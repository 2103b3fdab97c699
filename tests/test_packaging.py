"""The wheel and the sdist: what they hold and declare."""

import fnmatch
import glob
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(__file__))


@pytest.mark.slow
def test_wheel_and_sdist_build(tmp_path):
    import tarfile
    import zipfile

    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(tmp_path), ROOT],
                   check=True, capture_output=True, timeout=900)  # fmt: skip
    (wheel,) = tmp_path.glob("nuvra-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    for expected in ("nuvra/semv_core.pyi", "nuvra/_batch.pyi", "nuvra/py.typed", "nuvra/data/sample.log",
                     "nuvra/spaces/logs.toml", "nuvra/cli/__init__.py",
                     "nuvra-0.1.0.dist-info/licenses/LICENSE"):  # fmt: skip
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
    (sdist,) = tmp_path.glob("nuvra-*.tar.gz")
    members = tarfile.open(sdist).getnames()
    assert any(m.endswith("src/semv_core/module.cpp") for m in members)
    assert not any("/.venv/" in m or "/build/" in m for m in members)


def layout_rows() -> list[tuple[str, list[str]]]:
    """The Layout table of docs/layout.md: each row's directory and the names in backticks after it."""
    with open(os.path.join(ROOT, "docs", "layout.md"), encoding="utf-8") as f:
        section = f.read().partition("\n## Layout\n")[2].partition("\n## ")[0]
    rows = []
    for line in section.splitlines():
        cells = line.split(" | ")
        if line.startswith("| `") and len(cells) == 2:
            rows.append((cells[0].strip("| `"), re.findall(r"`([^`]+)`", cells[1])))
    return rows


# Names in the table that are files: a path (with a "/", from the row's directory), a file of a
# known kind (found anywhere under it), or a bare lower-case name (the stem of a file or directory
# under it).
# Other names in backticks (Ref, Python.h, nuvra._batch, array.array) are not files of the tree.
_PATH = re.compile(r"^[\w*.-]*/[\w*./-]*$")
_FILE = re.compile(r"^[\w*-]+\.(hpp|cpp|py|dict)$")
_STEM = re.compile(r"^[a-z][\w-]*$")


def test_every_path_in_the_readme_layout_exists():
    rows = layout_rows()
    assert len(rows) >= 10
    missing = []
    for directory, names in rows:
        base = os.path.join(ROOT, directory)
        assert os.path.isdir(base), directory
        under = [os.path.relpath(os.path.join(d, f), base) for d, dirs, files in os.walk(base) for f in files + dirs]
        for name in names:
            if _PATH.match(name):
                found = glob.glob(os.path.join(base, name))
            elif _FILE.match(name):
                found = [p for p in under if fnmatch.fnmatch(os.path.basename(p), name)]
            elif _STEM.match(name):
                found = [p for p in under if os.path.splitext(os.path.basename(p))[0] == name]
            else:
                continue
            if not found:
                missing.append(f"{directory} {name}")
    assert missing == []


def find_python313(value: str) -> subprocess.CompletedProcess:
    script = f'source "{ROOT}/scripts/env.sh"; find_python313'
    return subprocess.run(
        ["bash", "-c", script], env={**os.environ, "PYTHON313": value}, capture_output=True, text=True
    )


def test_an_interpreter_that_is_not_cpython_313_is_refused(tmp_path):
    fake = tmp_path / "python3.13"
    fake.write_text("#!/bin/sh\nexit 0\n")  # exits 0 for any script: not CPython 3.13 for all that
    fake.chmod(0o755)
    for value in ("/nonexistent/python3.13", str(fake), "/bin/sh"):
        result = find_python313(value)
        assert result.returncode == 2 and result.stdout == "", value
        assert (
            result.stderr
            == f"error: PYTHON313={value} is not a CPython 3.13 interpreter; point it at one, or unset it\n"
        )
    chosen = find_python313(sys.executable)
    assert chosen.returncode == 0 and chosen.stdout == sys.executable + "\n"
