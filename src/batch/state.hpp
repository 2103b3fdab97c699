// What nuvra._batch keeps per module object: its types and the objects it
// makes once, at import. Module functions reach it through their module;
// the methods of its types through the type that defines them. Nothing of
// the module is process-wide, so each interpreter has a module of its own.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

struct State {
  PyTypeObject* column_type;
  PyTypeObject* space_type;
  PyTypeObject* arrow_source_type;
  PyTypeObject* grouper_type;
  // str.lower and str.strip, for the words the core cannot lower in place.
  PyObject* str_lower;
  PyObject* str_strip;
  // The default space (faults, security, data) as a nuvra._batch.Space:
  // what every function scores in when it is given no other.
  PyObject* default_space;
};

extern PyModuleDef module_def;

inline State& state_of(PyObject* module) {
  return *static_cast<State*>(PyModule_GetState(module));
}

// The state of the module whose type `type` is (or derives from).
inline State& state_of_type(PyTypeObject* type) {
  return state_of(PyType_GetModuleByDef(type, &module_def));
}

}  // namespace nuvra::batch
