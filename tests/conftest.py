import os
import struct
import subprocess
import sys
import textwrap

import pytest

import nuvra.semv_core as semv_core

SOURCE_FILE = "nuvra/semv_core"


def bits(x: float) -> int:
    """The IEEE-754 bit pattern: tells -0.0 from 0.0 and compares NaN."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_bits(a, b) -> bool:
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same_bits, a, b))
    return type(a) is float and type(b) is float and bits(a) == bits(b)


def entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function, line) of the module's traceback entries, outermost first."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            out.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def run_python(code: str, *args: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, isolated from the source tree."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run(
        [sys.executable, "-I", *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        cwd="/",
        timeout=120,
    )


@pytest.fixture
def module():
    return semv_core
