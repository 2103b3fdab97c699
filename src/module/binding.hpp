// Binding of call arguments to the parameters of an exported function.
#pragma once

#include "exports.hpp"
#include "python.hpp"

namespace nuvra {

// Fills values[0 .. parameter_count) with new references, or releases what it
// took and returns -1 with TypeError (or the error of a keyword's __eq__) set.
// Count and keyword failures get the function's traceback entry; a failed type
// test gets none.
int bind_arguments(const FunctionDef& def, PyObject* globals, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** values);

}  // namespace nuvra
