"""The README's Python examples, run as written from the repository's root: there the source
tree's nuvra/ (without its built extensions) is the package imported."""

import doctest
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")

RUN = """
import doctest, sys
import nuvra
print("package:", nuvra.__file__)
source = sys.stdin.read()
test = doctest.DocTestParser().get_doctest(source, {}, "README", "README.md", 0)
runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
runner.run(test)
print("results:", runner.summarize(verbose=False))
"""


def python_blocks(text: str) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.S | re.M)


def test_the_readme_has_python_examples():
    with open(README, encoding="utf-8") as f:
        blocks = python_blocks(f.read())
    assert len(blocks) >= 3 and all(">>> " in block for block in blocks)
    assert sum(len(doctest.DocTestParser().get_examples(block)) for block in blocks) >= 10


@pytest.mark.skipif(not os.path.isdir(os.path.join(ROOT, "nuvra")), reason="needs the source tree")
def test_the_readme_python_examples_run_from_the_repository_root():
    with open(README, encoding="utf-8") as f:
        blocks = python_blocks(f.read())
    # The blocks in one session, as a reader runs them in turn: the later ones use what the
    # earlier ones imported and made.
    session = "\n".join(blocks)
    result = subprocess.run(
        [sys.executable, "-c", RUN], input=session, capture_output=True, text=True, cwd=ROOT, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    # the source tree's package is the one imported, as it is for a reader at the root
    assert lines[0] == "package: " + os.path.join(ROOT, "nuvra", "__init__.py")
    failed, attempted = map(int, re.search(r"TestResults\(failed=(\d+), attempted=(\d+)\)", lines[-1]).groups())
    assert attempted >= 10 and failed == 0, result.stdout
