#include "state.hpp"

namespace nuvra {

State state;

namespace {

int intern(PyObject*& slot, const char* text) {
  if (!slot) slot = PyUnicode_InternFromString(text);
  return slot ? 0 : -1;
}

int make(PyObject*& slot, PyObject* (*factory)(double), double value) {
  if (!slot) slot = factory(value);
  return slot ? 0 : -1;
}

int str_method(PyObject*& slot, const char* name) {
  if (!slot) slot = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), name);
  return slot ? 0 : -1;
}

}  // namespace

int make_strings_and_numbers(Constants& c) {
  if (intern(c.module_name, lines::module_name) < 0 || intern(c.math, "math") < 0 ||
      intern(c.builtins_key, "__builtins__") < 0 || intern(c.test_key, "__test__") < 0)
    return -1;
  for (std::size_t index = 0; index < function_count; ++index) {
    const FunctionDef& def = *exported_functions[index];
    if (intern(c.function_names[index], def.name) < 0) return -1;
    for (std::size_t i = 0; i < def.parameters.size(); ++i)
      if (intern(c.parameter_names[index][i], def.parameters[i].name) < 0) return -1;
  }
  if (!c.file_name && !(c.file_name = PyUnicode_FromString(lines::source_file))) return -1;
  if (make(c.zero, PyFloat_FromDouble, 0.0) < 0 || make(c.one, PyFloat_FromDouble, 1.0) < 0) return -1;
  return str_method(c.str_lower, "lower") < 0 || str_method(c.str_strip, "strip") < 0 ? -1 : 0;
}

}  // namespace nuvra
