"""The type stubs: they tell the truth to mypy --strict and match the modules."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(__file__)


@pytest.mark.slow
def test_stubs_pass_mypy_strict():
    api = pytest.importorskip("mypy.api")
    out, err, status = api.run(["--strict", "--no-incremental", os.path.join(HERE, "typed_usage.py")])
    assert status == 0, out + err
    out, _, status = api.run(["--strict", "--no-incremental", "-c", "from nuvra.semv_core import vectorize_text_c\n"
                              "x: int = vectorize_text_c(b'bytes')"])  # fmt: skip
    assert status == 1 and "incompatible type" in out
    # The stubs type the calls that succeed: None always raises, so it does not type-check.
    none_call = "from nuvra.semv_core import get_semantic_vector_c\nget_semantic_vector_c(None)"
    out, _, status = api.run(["--strict", "--no-incremental", "-c", none_call])
    assert status == 1 and "incompatible type" in out
    # A single text where a column is expected always raises: refused as well.
    for call in ('vectorize_texts("one text")', 'word_vectors("error")', 'most_similar("error", "disk error")'):
        out, _, status = api.run(["--strict", "--no-incremental", "-c", f"import nuvra\nnuvra.{call}"])
        assert status == 1 and ("incompatible type" in out or "No overload variant" in out), call
    # Items that are not numbers are refused in the per-call lists.
    out, _, status = api.run(["--strict", "--no-incremental", "-c", "from nuvra.semv_core import cosine_similarity_c\n"
                              "cosine_similarity_c(['x', 0, 0], [1, 0, 0])"])  # fmt: skip
    assert status == 1 and "cosine_similarity_c" in out


@pytest.mark.slow
def test_stubs_match_the_modules():
    pytest.importorskip("mypy.stubtest")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nuvra.semv_core", "nuvra._batch"],
                            capture_output=True, text=True, cwd="/", timeout=300)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
