# Shared by scripts/run and scripts/test: finds CPython 3.13 and prepares a
# virtual environment with the package built and installed. Source it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Whether $1 runs as CPython 3.13: what it prints, not only its exit status, is checked.
is_cpython313() {
  [ "$("$1" -c 'import sys; print(sys.implementation.name, *sys.version_info[:2])' 2>/dev/null)" = "cpython 3 13" ]
}

# PYTHON313 when it is set (and then it must be CPython 3.13: no other interpreter is
# tried in its place), else python3.13 on PATH, else one of pyenv's 3.13 versions.
find_python313() {
  local candidate
  if [ -n "${PYTHON313:-}" ]; then
    if is_cpython313 "$PYTHON313"; then
      echo "$PYTHON313"
      return 0
    fi
    echo "error: PYTHON313=$PYTHON313 is not a CPython 3.13 interpreter; point it at one, or unset it" >&2
    exit 2
  fi
  for candidate in "$(command -v python3.13 || true)"; do
    if [ -n "$candidate" ] && is_cpython313 "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  local root
  root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  for candidate in "$root"/versions/3.13*/bin/python3.13; do
    if [ -x "$candidate" ] && is_cpython313 "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# make_venv DIR EXTRAS [PIP OPTIONS...]: a fresh venv in DIR with the package
# (and EXTRAS) installed, built with the pip options given.
make_venv() {
  local dir="$1" extras="${2:-}" python status=0
  shift $(($# < 2 ? $# : 2))
  python="$(find_python313)" || status=$?
  if [ "$status" -eq 2 ]; then
    exit 2 # PYTHON313 is not CPython 3.13: said already
  fi
  if [ "$status" -ne 0 ]; then
    cat >&2 <<'MSG'
error: CPython 3.13 was not found.
  Install it, for example with one of:
    apt-get install python3.13 python3.13-venv python3.13-dev
    pyenv install 3.13
  or point PYTHON313 at a python3.13 executable.
MSG
    exit 2
  fi
  echo "using $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))" >&2
  if [ ! -x "$dir/bin/python" ]; then
    step "creating the virtual environment in ${dir#"$ROOT/"}"
    "$python" -m venv "$dir"
  fi
  step "installing dependencies from PyPI"
  quiet_pip "$dir/bin/python" -m pip install --quiet --upgrade pip
  # The distribution was named nuvra-semv before: its files are now nuvra's.
  "$dir/bin/python" -m pip uninstall --quiet --yes nuvra-semv >/dev/null 2>&1 || true
  # The package's own dependencies (and its extras') first, so that the next step is the build alone.
  local requirements
  mapfile -t requirements < <("$dir/bin/python" - "$ROOT/pyproject.toml" "$extras" <<'PY'
import sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))["project"]
extras = sys.argv[2].strip("[]").split(",") if sys.argv[2] else []
wanted = list(project.get("dependencies", []))
for extra in filter(None, extras):
    wanted += project.get("optional-dependencies", {}).get(extra, [])
print("\n".join(w for w in wanted if not w.startswith("nuvra")))
PY
  )
  if [ "${#requirements[@]}" -gt 0 ]; then
    quiet_pip "$dir/bin/python" -m pip install --quiet "${requirements[@]}"
  fi
  step "building the extension and installing the package (about 2 minutes the first time)"
  quiet_pip "$dir/bin/python" -m pip install --quiet "$@" "$ROOT$extras"
}

# step MESSAGE: one line on standard error saying what the script does now.
step() {
  echo "==> $*" >&2
}

# quiet_pip COMMAND...: runs COMMAND with pip's warnings about find-links and index locations
# that do not exist (this machine's pip configuration names some) left out; every other line,
# and the exit status, as they are.
quiet_pip() {
  "$@" 2> >(grep -v -E "^WARNING: Location '[^']*' is ignored" >&2)
}

# install_testing DIR: what the tests, benchmarks and fuzzers share (the
# pure-Python reference, log generators, helpers), from testing/.
install_testing() {
  step "installing the test helpers (testing/)"
  quiet_pip "$1/bin/python" -m pip install --quiet --no-deps --force-reinstall "$ROOT/testing"
}
