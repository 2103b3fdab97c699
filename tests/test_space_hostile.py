"""Space files and pickles made to hurt (files that never end or nest without end, file
names that are not printable, pickles that the constructor would refuse), and the memory
a space holds, told and given back."""

import os
import pickle
import subprocess
import sys

import pytest

import nuvra
from nuvra import Space, SpaceError
from nuvra.space import MAX_SPACE_FILE_BYTES, _unpickle

# Seconds a command may take before it counts as hung.
LIMIT = 60
AXES = '[axes.net]\nkeywords = ["network", "socket"]\n'


def nuvra_command(*args: str, env: dict | None = None) -> subprocess.CompletedProcess:
    """The command in a subprocess; a hang fails the test instead of stopping the suite."""
    try:
        return subprocess.run(
            [sys.executable, "-I", "-m", "nuvra", *args],
            input=b"a network socket\n",
            capture_output=True,
            cwd="/",
            timeout=LIMIT,
            env={**os.environ, **(env or {})},
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"nuvra {' '.join(args)} still ran after {LIMIT} s")


def loaded_in_subprocess(path: str) -> subprocess.CompletedProcess:
    code = "import sys, nuvra\ntry:\n nuvra.Space.load(sys.argv[1])\nexcept nuvra.SpaceError as e:\n print(e)\n"
    try:
        return subprocess.run(
            [sys.executable, "-I", "-c", code, path], capture_output=True, text=True, cwd="/", timeout=LIMIT
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"Space.load({path!r}) still ran after {LIMIT} s")


@pytest.fixture
def endless(tmp_path):
    """Space files whose extends names a file that never ends, each with the words its error holds."""
    fifo = tmp_path / "pipe.toml"
    os.mkfifo(fifo)
    files = []
    for n, (target, why) in enumerate(
        [(str(fifo), "FIFO"), ("/dev/zero", "character device"), ("/dev/urandom", "character device")]
    ):
        toml = tmp_path / f"t{n}.toml"
        toml.write_text(f'extends = "{target}"\n')
        json_file = tmp_path / f"j{n}.json"
        json_file.write_text(f'{{"extends": "{target}"}}')
        files += [(toml, target, why), (json_file, target, why)]
    return files


class TestFilesThatNeverEnd:
    def test_space_check_load_space_option_and_variable(self, endless, tmp_path):
        for path, target, why in endless:
            for result in (
                nuvra_command("space", "check", str(path)),
                nuvra_command("vectors", "--space", str(path)),
                nuvra_command("vectors", env={"NUVRA_SPACE": str(path)}),
            ):
                assert result.returncode == 2, (path, result)
                message = result.stderr.decode()
                assert message.count("\n") == 1 and target in message and why in message, message
            loaded = loaded_in_subprocess(str(path))
            assert loaded.returncode == 0 and target in loaded.stdout and why in loaded.stdout

    def test_a_fifo_named_directly(self, tmp_path):
        fifo = tmp_path / "direct.toml"
        os.mkfifo(fifo)
        result = nuvra_command("space", "check", str(fifo))
        assert result.returncode == 2 and "not a regular file" in result.stderr.decode()

    def test_a_file_over_the_limit(self, tmp_path):
        big = tmp_path / "big.toml"
        with open(big, "wb") as f:
            f.write(AXES.encode())
            f.truncate(MAX_SPACE_FILE_BYTES + 1)
        with pytest.raises(SpaceError, match="larger than") as e:
            Space.load(big)
        assert str(big) in str(e.value)
        at_limit = tmp_path / "padded.toml"
        at_limit.write_text(AXES + "#" * 1000 + "\n")
        assert Space.load(at_limit).axes == ("net",)


class TestFilesNestedWithoutEnd:
    @pytest.mark.parametrize("suffix", [".toml", ".json"])
    def test_deep_nesting_is_one_message(self, tmp_path, suffix):
        depth = 100_000
        path = tmp_path / f"deep{suffix}"
        if suffix == ".toml":
            path.write_text(AXES + "x = " + "[" * depth + "]" * depth + "\n")
        else:
            path.write_text('{"x": ' + "[" * depth + "]" * depth + "}")
        result = nuvra_command("space", "check", str(path))
        assert result.returncode == 2
        message = result.stderr.decode()
        assert "Traceback" not in message and message.count("\n") == 1
        assert str(path) in message and "nested too deeply" in message
        with pytest.raises(SpaceError, match="nested too deeply"):
            Space.load(path)

    def test_deep_keywords_are_a_problem_not_a_crash(self, tmp_path):
        path = tmp_path / "deep_keywords.json"
        path.write_text('{"axes": {"net": {"keywords": [' + "[" * 500 + "]" * 500 + "]}}}")
        with pytest.raises(SpaceError):
            Space.load(path)


class TestNamesOfFiles:
    """A valid file loads whatever it is called; the name it gets from its file name is printable."""

    NAMES = [
        (os.fsdecode("güvenlik".encode("latin-1")), "g\\xfcvenlik"),  # a byte that is not UTF-8
        ("ağ\u00a0alanı", "ağ\\xa0alanı"),  # a no-break space
        ("net\u200b", "net\\u200b"),  # a zero-width space
        ("a\x1b[31mb", "a\\x1b[31mb"),  # a terminal escape
        ("ağ alanı", "ağ alanı"),  # printable: kept as it is
    ]

    @pytest.mark.parametrize(("stem", "name"), NAMES)
    def test_the_default_name_of_any_file_name(self, tmp_path, stem, name):
        path = os.path.join(os.fsencode(tmp_path), os.fsencode(stem) + b".toml")
        with open(path, "wb") as f:
            f.write(AXES.encode())
        space = Space.load(os.fsdecode(path))
        assert space.name == name and space.name.isprintable() and space.axes == ("net",)
        assert Space.load(path) == space  # the path as bytes
        assert pickle.loads(pickle.dumps(space)) == space
        with open(path, "wb") as f:
            f.write(b'name = "x"\n' + AXES.encode())
        assert Space.load(os.fsdecode(path)).name == "x"

    def test_at_the_command_line(self, tmp_path):
        for stem, name in self.NAMES:
            path = os.path.join(os.fsencode(tmp_path), os.fsencode(stem) + b".toml")
            with open(path, "wb") as f:
                f.write(AXES.encode())
            check = nuvra_command("space", "check", os.fsdecode(path))
            assert check.returncode == 0, check.stderr
            shown = nuvra_command("space", "show", os.fsdecode(path))
            assert shown.returncode == 0, shown.stderr
            head = shown.stdout.decode().splitlines()[0]
            assert head.startswith(f"space {name}: 1 axis") or head.startswith(f"space {name}: 1 axes"), head
            assert "\x1b" not in shown.stdout.decode()
            vectors = nuvra_command("vectors", "--space", os.fsdecode(path), "--format", "csv")
            assert vectors.returncode == 0 and b"net" in vectors.stdout.split(b"\n")[0].split(b","), vectors


def pickled(name, axes, split, fold) -> bytes:
    """The bytes of a pickled space as __reduce__ lays it out, with any content."""

    class Forged:
        def __reduce__(self):
            return _unpickle, (1, name, axes, split, fold)

    return pickle.dumps(Forged())


class TestPickles:
    GOOD = [("net", "network socket", 0.4)]

    def test_a_forged_pickle_is_refused_as_the_constructor_refuses_it(self):
        cases = [
            (None, [("n\x1bt", "network socket", 0.4)], False, False, "an axis name 'n\\x1bt' holds a control"),
            ("x\u200b", self.GOOD, False, False, "name 'x\\u200b' holds a control"),
            (None, [("net", "network Socket", 0.4)], False, False, "keywords are made of"),
            (None, [("net", "network socket", 1.5)], False, False, "threshold must be in (0, 1]"),
            (None, [("net", "network socket", 0.4), ("net", "error", 0.4)], False, False, "given twice"),
            (None, [("net", ["network"], 0.4)], False, False, "keywords must be a str"),
            (None, [("net", "network")], False, False, "an axis must be (name, keywords, threshold)"),
            (None, "net", False, False, "axes must be a list"),
            (None, self.GOOD, "no", False, "split must be True or False, got 'no'"),
            (None, self.GOOD, False, 1, "fold must be True or False, got 1"),
            (None, self.GOOD, False, [0], "fold must be True or False"),
        ]
        for name, axes, split, fold, message in cases:
            with pytest.raises(SpaceError) as e:
                pickle.loads(pickled(name, axes, split, fold))
            assert message in str(e.value) and str(e.value).startswith("a pickled space: "), (message, str(e.value))
            assert type(e.value) is SpaceError

    def test_the_constructor_refuses_what_the_pickle_refuses(self):
        with pytest.raises(SpaceError, match="holds a control"):
            Space({"n\x1bt": ["network"]})
        with pytest.raises(SpaceError, match="split must be"):
            Space({"net": ["network"]}, split=True)

    def test_every_real_space_round_trips(self):
        spaces = [
            Space.default(),
            Space({"net": ["network", "socket"], "disk": {"keywords": ["disk"], "threshold": 0.5}}, name="a b"),
            Space({"hata": ["hata", "ariza"]}, split="words", fold="turkish"),
        ]
        for space in spaces:
            back = pickle.loads(pickle.dumps(space))
            assert back == space and (back.split, back.fold, back.name) == (space.split, space.fold, space.name)
        assert pickle.loads(pickled(None, self.GOOD, True, False)).split == "words"


# --- the memory a space holds -----------------------------------------------------------------------


def heap_bytes() -> int | None:
    """Bytes allocated by the process now, as glibc counts them; None elsewhere."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (n, ctypes.c_size_t)
            for n in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
        ]

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


class TestMemoryThatIsTold:
    TEXTS = [f"network socket timeout on disk {i}" for i in range(200_000)]

    @pytest.mark.parametrize("keywords", [2, 400])
    def test_nbytes_is_what_a_new_space_allocates(self, keywords):
        from nuvra import _batch

        if heap_bytes() is None:
            pytest.skip("no mallinfo2 to count the heap with")
        if any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan")):
            pytest.skip("the sanitizers' allocators are not glibc's: mallinfo2 does not see them")
        axes = [(f"a{j}", [f"kw{j}x{i}" for i in range(keywords)], 0.4) for j in range(6)]
        before = heap_bytes()
        spaces = [_batch.Space(axes, False, False) for _ in range(20)]
        per_space = (heap_bytes() - before) / len(spaces)
        told = spaces[0].nbytes
        assert told >= spaces[0].table_bytes
        assert abs(told - per_space) <= 0.05 * per_space, (told, per_space)

    @pytest.mark.parametrize("general", [True, False])
    def test_what_calls_keep_is_counted_bounded_and_released(self, general):
        axes = {"net": ["network", "socket"], "disk": ["disk", "storage"]}
        if general:
            space = Space(axes)
        else:
            space = Space({"a": ["network"], "b": ["disk"], "c": ["timeout"]})
        assert space._native.on_fixed_tables is not general
        fresh = space.nbytes
        assert space.kept_bytes == 0
        expected = nuvra.vectorize_texts(self.TEXTS[:1000], space=space)
        nuvra.vectorize_texts(self.TEXTS, workers=8, space=space)
        kept = space.kept_bytes
        assert kept > 0 and space.nbytes == fresh + kept
        nuvra.vectorize_texts(self.TEXTS, workers=16, space=space)
        # at most eight scratches, each of a token cache under 2 MiB
        assert kept <= space.kept_bytes <= 8 * (2 << 20)
        held = space.nbytes
        assert space.release() == held - fresh
        assert space.kept_bytes == 0 and space.nbytes == fresh
        assert space.release() == 0
        assert (nuvra.vectorize_texts(self.TEXTS[:1000], workers=4, space=space) == expected).all()
