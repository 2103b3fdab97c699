"""Import, namespace, function objects and the rules of initialisation."""

import copy
import gc
import importlib
import inspect
import pickle
import sys
import warnings

import pytest

import nuvra.semv_core as semv_core
from nuvra_testing.helpers import run_python
from nuvra_testing.source_lines import FUNCTION_LINES

PARAMETERS = {
    "get_semantic_vector_c": ("word",),
    "vectorize_text_c": ("text",),
    "cosine_similarity_c": ("v1", "v2"),
}


def test_namespace_holds_the_module_entries_in_order():
    own = [k for k in vars(semv_core) if not k.startswith("__") or k in ("__builtins__", "__test__")]
    assert own == ["__builtins__", "math", *PARAMETERS, "__test__"]
    assert semv_core.math is sys.modules["math"]
    assert semv_core.__test__ == {}
    assert semv_core.__builtins__ is sys.modules["builtins"]
    assert semv_core.__doc__ is None
    for private in ("re", "X_KEYWORDS", "Z_BIGRAMS", "jaccard_sim", "c_cosine_similarity"):
        assert not hasattr(semv_core, private)


def test_spec_attributes_are_copied():
    spec = semv_core.__spec__
    assert semv_core.__loader__ is spec.loader
    assert semv_core.__file__ == spec.origin
    assert semv_core.__package__ == "nuvra"
    assert not hasattr(semv_core, "__path__")


@pytest.mark.parametrize("name", PARAMETERS)
def test_function_attributes_and_code_record(name):
    line, params = FUNCTION_LINES[name], PARAMETERS[name]
    f = getattr(semv_core, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "nuvra.semv_core"
    assert f.__doc__ is None
    assert f.__globals__ is vars(semv_core)
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    assert f.__annotations__ == {}
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("nuvra/semv_core", name, line)
    assert code.co_argcount == len(params) and code.co_nlocals == len(params)
    assert code.co_varnames == params
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert str(inspect.signature(f)) == f"({', '.join(params)})"
    assert repr(f) == f"<function nuvra.semv_core.{name}({', '.join(params)})>"


def test_function_attributes_are_read_only_and_the_type_not_instantiable():
    f = semv_core.cosine_similarity_c
    with pytest.raises(AttributeError):
        f.__name__ = "other"
    with pytest.raises(AttributeError):
        f.__code__ = None
    with pytest.raises(TypeError):
        type(f)()
    assert type(semv_core.get_semantic_vector_c) is type(f)


@pytest.mark.parametrize("name", PARAMETERS)
def test_functions_pickle_and_copy_as_themselves(name):
    f = getattr(semv_core, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_no_code_address_on_the_functions():
    # The vectorcall offset is the type's business: an instance would read its call routine's address.
    for function in (semv_core.get_semantic_vector_c, semv_core.vectorize_text_c, semv_core.cosine_similarity_c):
        assert not hasattr(function, "__vectorcalloffset__")
        assert "__vectorcalloffset__" not in type(function).__dict__
    assert semv_core.vectorize_text_c(text="error") == [1.0, 0.0, 0.0]  # the call path is unchanged


def test_functions_stay_unbound_as_class_attributes():
    class Holder:
        vector = semv_core.get_semantic_vector_c

    assert Holder().vector is semv_core.get_semantic_vector_c
    assert Holder().vector("error") == [1.0, 0.0, 0.0]


def test_functions_are_tracked_by_the_garbage_collector():
    f = semv_core.vectorize_text_c
    assert gc.is_tracked(f)
    assert vars(semv_core) in gc.get_referents(f)


def test_import_again_after_removing_the_registry_entry_gives_the_same_objects():
    functions = [getattr(semv_core, n) for n in PARAMETERS]
    test_dict = semv_core.__test__
    del sys.modules["nuvra.semv_core"]
    try:
        again = importlib.import_module("nuvra.semv_core")
    finally:
        sys.modules["nuvra.semv_core"] = semv_core
    assert again is semv_core
    assert all(getattr(again, n) is f for n, f in zip(PARAMETERS, functions, strict=True))
    assert again.__test__ is test_dict


def test_exec_on_the_same_module_object_changes_nothing():
    import _imp

    before = dict(vars(semv_core))
    _imp.exec_dynamic(semv_core)
    assert vars(semv_core) == before


def test_exec_on_another_module_object_is_refused():
    result = run_python(
        """
        import importlib.util, nuvra
        spec = importlib.util.find_spec("nuvra.semv_core")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
            print(sorted(k for k in vars(second) if not k.startswith("__")))
        """
    )
    assert result.stdout.splitlines() == [
        "Module 'semv_core' has already been imported. Re-initialisation is not supported.",
        "[]",
    ], result.stderr


def test_registry_entry_is_made_by_exec_when_missing():
    result = run_python(
        """
        import importlib.util, sys, nuvra
        spec = importlib.util.find_spec("nuvra.semv_core")
        module = importlib.util.module_from_spec(spec)
        assert "nuvra.semv_core" not in sys.modules
        spec.loader.exec_module(module)
        print(sys.modules["nuvra.semv_core"] is module)
        """
    )
    assert result.stdout.split() == ["True"], result.stderr


def test_creation_copies_the_spec_attributes_that_exist():
    result = run_python(
        """
        import _imp, importlib.util, types, nuvra
        origin = importlib.util.find_spec("nuvra.semv_core").origin

        class Broken:
            name = "nuvra.semv_core"
            @property
            def loader(self):
                raise ValueError("unreadable loader")
        Broken.origin = origin
        try:
            _imp.create_dynamic(Broken())
        except ValueError as e:
            print(e)

        spec = types.SimpleNamespace(
            name="nuvra.semv_core", origin=origin, loader=None, submodule_search_locations=["p"]
        )
        module = _imp.create_dynamic(spec)
        print(module.__loader__, module.__file__ == origin, module.__package__, module.__path__)
        print(sorted(k for k in vars(module) if not k.startswith("__")))
        """
    )
    assert result.stdout.splitlines() == [
        "unreadable loader",
        "None True None ['p']",
        "[]",
    ], result.stderr


def test_failed_math_import_reports_line_2_and_a_later_import_starts_over():
    result = run_python(
        """
        import sys
        sys.modules["math"] = None
        try:
            import nuvra.semv_core
        except ImportError as e:
            tb, found = e.__traceback__, []
            while tb:
                code = tb.tb_frame.f_code
                if code.co_filename == "nuvra/semv_core":
                    found.append((code.co_name, tb.tb_lineno))
                tb = tb.tb_next
            print(type(e).__name__, found)
        print("nuvra.semv_core" in sys.modules)
        del sys.modules["math"]
        import nuvra.semv_core as m
        print(m.get_semantic_vector_c("crash"), m.math is sys.modules["math"])
        """
    )
    assert result.stdout.splitlines() == [
        "ModuleNotFoundError [('init nuvra.semv_core', 2)]",
        "False",
        "[1.0, 0.0, 0.0] True",
    ], result.stderr


INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
SUBINTERPRETER_IMPORT = """
import _interpreters
interp = _interpreters.create("{config}")
try:
    error = _interpreters.run_string(interp, "import nuvra.semv_core")
finally:
    _interpreters.destroy(interp)
print(error.type.__name__)
print(error.msg)
"""
FAILED_FIRST_IMPORT = """
import sys
sys.modules["math"] = None
try:
    import nuvra.semv_core
except ImportError:
    pass
del sys.modules["math"]
"""


@pytest.mark.parametrize("first", ["import nuvra.semv_core", FAILED_FIRST_IMPORT])
def test_second_interpreter_is_refused_also_after_a_failed_first_import(first):
    result = run_python(first + SUBINTERPRETER_IMPORT.format(config="legacy"))
    assert result.stdout.splitlines() == ["ImportError", INTERPRETER_CHANGE], result.stderr


def test_isolated_interpreter_is_refused_by_the_import_machinery():
    result = run_python("import nuvra.semv_core" + SUBINTERPRETER_IMPORT.format(config="isolated"))
    lines = result.stdout.splitlines()
    assert lines[0] == "ImportError" and lines[1] != INTERPRETER_CHANGE, result.stderr


def test_matching_runtime_issues_no_version_warning():
    # The mismatch itself needs another runtime; this runtime must stay silent,
    # even when warnings are errors.
    result = run_python("import nuvra.semv_core", "-W", "error")
    assert result.returncode == 0, result.stderr
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run = run_python("import warnings; warnings.simplefilter('always'); import nuvra.semv_core")
    assert run.stderr == "" and not caught
