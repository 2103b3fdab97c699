// The module functions that build columns, one per kind of input.
#pragma once

#include "column.hpp"
#include "python.hpp"

namespace nuvra::batch {

PyObject* sequence_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* ucs4_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* lines_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// Arrow string columns, through the Arrow PyCapsule interface.
PyType_Spec* arrow_source_spec();
PyObject* arrow_source(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
