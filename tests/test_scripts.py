"""scripts/env.sh: pip's warnings about locations this machine's configuration names are left
out, and nothing else; the set-up says each step."""

import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def bash(script: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        ["bash", "-c", f'source "{ROOT}/scripts/env.sh"\n{script}'], capture_output=True, text=True, timeout=60
    )


NOISY = """echo "WARNING: Location 'file:///opt/pypi/numpy/' is ignored: it is either a non-existing path" >&2
echo 'WARNING: something else' >&2
echo 'ERROR: no matching distribution' >&2
echo out
exit 3
"""


def test_quiet_pip_leaves_out_the_location_warnings_alone_and_keeps_the_status(tmp_path):
    noisy = tmp_path / "noisy.sh"
    noisy.write_text(NOISY)
    result = bash(f'set +e; quiet_pip bash "{noisy}"; echo status=$?; sleep 0.2')
    assert result.stdout.splitlines() == ["out", "status=3"]
    assert result.stderr.splitlines() == ["WARNING: something else", "ERROR: no matching distribution"]


def test_each_step_of_the_set_up_is_said():
    result = bash('step "building the extension"')
    assert result.stderr == "==> building the extension\n"
    with open(os.path.join(ROOT, "scripts", "env.sh"), encoding="utf-8") as f:
        env = f.read()
    with open(os.path.join(ROOT, "scripts", "test"), encoding="utf-8") as f:
        test = f.read()
    for said in ("creating the virtual environment", "installing dependencies", "building the extension"):
        assert f'step "{said}' in env
    for said in ("building and running the core's C++ tests", "running pytest"):
        assert f'step "{said}' in test
