// Binding of call arguments to the parameters of an exported function.
#pragma once

#include "exports.hpp"
#include "python.hpp"

namespace nuvra {

enum class Binding {
  bound,       // values[0 .. parameter_count) hold new references
  failed,      // a count or keyword error (or a keyword's __eq__ raised)
  wrong_type,  // an argument of another type than its parameter's
};

// Binds the arguments of a call, or releases what it took and sets the
// exception. Only a failed type test is reported without the function's own
// traceback entry; the caller adds that entry for every other failure.
Binding bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** values);

}  // namespace nuvra
