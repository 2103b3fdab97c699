"""Fails the interpreter's allocations one at a time, and from one on, inside
calls of the module and inside its initialisation. Run as a script in a fresh
interpreter; prints one JSON summary line.

Every outcome must be the right result or an exception (MemoryError or the
call's own error): anything else is reported, and a crash ends the process.
"""

import _testcapi
import importlib.util
import json
import sys

from nuvra_testing.helpers import Number, bits, entries


def attempt(call, start=None, stop=0):
    """Calls with allocations failing: the first `start` succeed, then those up
    to `stop` fail (all of them for stop 0). With start None, nothing fails."""
    # Nothing but the call may allocate while the hooks are in place.
    result = error = None
    if start is None:
        try:
            return call(), None
        except Exception as e:  # noqa: BLE001
            return None, e
    _testcapi.set_nomemory(start, stop)
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - every outcome is judged by the caller
        error = e
    _testcapi.remove_mem_hooks()
    return result, error


def outcome(result, error):
    if error is None:
        return ["result", bits(result)]
    return ["error", type(error).__name__, str(error)]


# CPython 3.13.0 loses an exception whose own creation fails for want of
# memory and then reports this instead (len(5) does the same).
LOST_EXCEPTION = ["error", "SystemError", "error return without exception set"]


def sweep(name, call, faults, lost):
    """Fails allocation `start` alone, then every one from `start` on, for
    start = 0, 1, ... until the call no longer reaches the failure. Returns
    how many allocation points the call has."""
    normal = outcome(*attempt(call))
    start = 0
    for start in range(100_000):
        for stop in (start + 1, 0):
            got = outcome(*attempt(call, start, stop))
            if got == normal or got[:2] == ["error", "MemoryError"]:
                continue
            if got == LOST_EXCEPTION and normal[0] == "error":
                lost.append(name)
                continue
            faults.append(f"{name}: failing allocation {start}..{stop} gave {got}, not {normal}")
        if got == normal:  # failing every allocation from `start` on no longer hits the call
            break
    again = outcome(*attempt(call))
    if again != normal:
        faults.append(f"{name}: gave {again} after the sweep, not {normal}")
    return start


def function_type_exists():
    return any(t.__module__ == "nuvra.semv_core" for t in object.__subclasses__())


def initialise_once(start, stop):
    """One import of the module with allocations failing, then a normal one."""
    # With every allocation failing, the interpreter's own import of a module
    # that is not loaded yet can retry for ever; math is loaded beforehand (a
    # failing import of math is tested on its own).
    import math  # noqa: F401

    import nuvra  # noqa: F401 - the package, not the extension

    spec = importlib.util.find_spec("nuvra.semv_core")

    def load():
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        try:
            spec.loader.exec_module(module)
        except BaseException:
            del sys.modules[spec.name]
            raise
        return module

    _, error = attempt(load, start, stop)
    report = {
        "error": None if error is None else type(error).__name__,
        "message": None if error is None else str(error),
        "entries": [] if error is None else entries(error),
        "type_exists": function_type_exists(),
    }
    import nuvra.semv_core as later

    report["later"] = later.vectorize_text_c("disk write error") == [0.0, 0.0, 0.0] or bits(
        later.get_semantic_vector_c("bread")
    ) == bits([0.6, 0.0, 0.75])
    print(json.dumps(report))


def sweep_calls():
    import nuvra.semv_core as module

    faults = []
    f_word, f_text, f_cos = module.get_semantic_vector_c, module.vectorize_text_c, module.cosine_similarity_c
    a, b = [0.3, 0.5, 0.8], [0.9, Number(0.25), 4]
    calls = {
        "word prefix": lambda: f_word("  ErrorCode "),
        "word fallback": lambda: f_word("connection"),
        "word non-ASCII": lambda: f_word("İzin çokme"),
        "word empty": lambda: f_word(" \t"),
        "word long": lambda: f_word("ağ" * 3000 + "\U0001f600" * 50),
        "word None": lambda: f_word(None),
        "word by keyword": lambda: f_word(word="database"),
        "text with matches": lambda: f_text("ERROR: disk write failed, 2024"),
        "text without matches": lambda: f_text("hello world"),
        "text empty": lambda: f_text(""),
        "text non-ASCII": lambda: f_text("Disk hatası: güvenlik_log 2024 kaydı"),
        "text None": lambda: f_text(None),
        "cosine by position": lambda: f_cos(a, b),
        "cosine by keyword": lambda: f_cos(v2=b, v1=a),
        "cosine None": lambda: f_cos(None, a),
        "cosine short": lambda: f_cos([1, 2], a),
        "cosine bad item": lambda: f_cos(["x", 0, 0], a),
        "binding count": lambda: f_cos(a),
        "binding multiple": lambda: f_cos(a, v1=b),
        "binding unexpected": lambda: f_word(w="x"),
        "binding missing": lambda: f_cos(v2=a),
        "binding type": lambda: f_text(b"bytes"),
    }
    lost = []
    points = {name: sweep(name, call, faults, lost) for name, call in calls.items()}
    print(json.dumps({"points": points, "faults": faults, "lost_exceptions": sorted(set(lost))}))


if __name__ == "__main__":
    if sys.argv[1] == "init":
        initialise_once(int(sys.argv[2]), int(sys.argv[3]))
    else:
        sweep_calls()
