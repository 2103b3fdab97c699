// The type of the exported functions: a vector call with function attributes.
#pragma once

#include "exports.hpp"
#include "python.hpp"

namespace nuvra {

struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* globals;
  PyObject* code;
  PyObject* annotations;
};

// The type, made once per process.
PyTypeObject* make_function_type();

// The code-location record of a function: its file, name, first line and
// parameters, as a code object.
PyObject* make_code(const FunctionDef& def);

PyObject* make_function(const FunctionDef& def, PyObject* code, PyObject* globals);

}  // namespace nuvra
