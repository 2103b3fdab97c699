// Module definition and multi-phase initialisation of nuvra.semv_core.
#include "exports.hpp"
#include "function_type.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "source_lines.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

// Creation ----------------------------------------------------------------

// Only one interpreter may ever hold the module: its state is process-wide.
int check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return -1;
  if (state.interpreter == -1) {
    state.interpreter = id;
  } else if (id != state.interpreter) {
    PyErr_SetString(
        PyExc_ImportError,
        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  return 0;
}

int copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, const char* to, bool none_too) {
  PyObject* found;
  const int present = PyObject_GetOptionalAttrString(spec, from, &found);
  if (present <= 0) return present;
  const Ref value(found);
  return none_too || value.get() != Py_None ? PyDict_SetItemString(ns, to, value.get()) : 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
  if (check_interpreter() < 0) return nullptr;
  if (state.module) return Py_NewRef(state.module);
  const Ref name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* ns = PyModule_GetDict(module.get());
  if (copy_spec_attribute(spec, ns, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, ns, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, ns, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

// Execution ---------------------------------------------------------------

int set_module(PyObject* module) {
  state.module = Py_NewRef(module);
  PyObject* ns = PyModule_GetDict(module);
  if (!ns) return -1;
  Py_XSETREF(state.ns, Py_NewRef(ns));
  if (!state.builtins && !(state.builtins = PyImport_ImportModule("builtins"))) return -1;
  return PyDict_SetItem(ns, state.constants.builtins_key, state.builtins);
}

int check_version() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, lines::module_name, "does not match", major,
                          minor);
}

// Fails with the pending exception and an "init" traceback entry at `line`.
int fail_at(int line) {
  // Under memory pressure CPython 3.13.0 can report a failed dict insertion
  // without an exception; a lost allocation is the only cause here.
  if (!PyErr_Occurred()) PyErr_NoMemory();
  add_traceback(lines::init_name, line, state.ns);
  return -1;
}

int enter_in_registry() {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* entry;
  const int found = PyMapping_GetOptionalItem(modules, state.constants.module_name, &entry);
  const Ref present(entry);
  if (found < 0) return -1;
  return found ? 0 : PyObject_SetItem(modules, state.constants.module_name, state.module);
}

int make_codes() {
  for (const FunctionDef* def : exported_functions) {
    PyObject*& code = state.constants.codes[index_of(*def)];
    if (!code && !(code = make_code(*def))) return -1;
  }
  return 0;
}

int import_math() {
  const Ref math(PyImport_ImportModuleLevelObject(state.constants.math, state.ns, nullptr, nullptr, 0));
  return math ? PyDict_SetItem(state.ns, state.constants.math, math.get()) : -1;
}

int publish(const FunctionDef& def) {
  const std::size_t index = index_of(def);
  const Ref function(make_function(def, state.constants.codes[index], state.ns));
  return function ? PyDict_SetItem(state.ns, state.constants.function_names[index], function.get()) : -1;
}

int publish_test_dict() {
  const Ref test(PyDict_New());
  return test ? PyDict_SetItem(state.ns, state.constants.test_key, test.get()) : -1;
}

int run_exec(PyObject* module) {
  Constants& c = state.constants;
  // set_module needs the "__builtins__" key before the other constants exist.
  if (!c.builtins_key && !(c.builtins_key = PyUnicode_InternFromString("__builtins__"))) return -1;
  if (set_module(module) < 0 || check_version() < 0 || make_strings_and_numbers(c) < 0) return -1;
  if (!c.function_type && !(c.function_type = make_function_type())) return fail_at(lines::init);
  if (enter_in_registry() < 0 || make_codes() < 0) return fail_at(lines::init);
  if (import_math() < 0) return fail_at(lines::import_math);
  // X_KEYWORDS, Y_KEYWORDS, Z_KEYWORDS, X_BIGRAMS, Y_BIGRAMS and Z_BIGRAMS
  // come next: the compiler has built them, in this order, into one constant
  // table (semv::vocabularies), so nothing is left to do and nothing can fail.
  for (const FunctionDef* def : exported_functions)
    if (publish(*def) < 0) return fail_at(def->line);
  if (publish_test_dict() < 0) return fail_at(lines::init);
  return 0;
}

int exec(PyObject* module) {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'semv_core' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  if (run_exec(module) == 0) return 0;
  Py_CLEAR(state.module);  // a later import starts over on a new module object
  return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "semv_core", nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace nuvra

PyMODINIT_FUNC PyInit_semv_core() {
  return PyModuleDef_Init(&nuvra::definition);
}
