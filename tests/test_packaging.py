"""The wheel and the sdist: what they hold and declare."""

import os
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
                     "nuvra/cli/__init__.py", "nuvra-0.1.0.dist-info/licenses/LICENSE"):  # fmt: skip
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
    assert any(m.endswith("src/module/module.cpp") for m in members)
    assert not any("/.venv/" in m or "/build/" in m for m in members)
