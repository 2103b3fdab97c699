// What the batch engine does with vectors once they are made: cosines
// against a query, the k best of them, and where the lines behind them begin.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

PyObject* float_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* cosines(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* top(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* count_above(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* line_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
