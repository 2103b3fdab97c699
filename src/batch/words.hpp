// The words of a query that lines of a column hold: how rankings order lines
// of equal score. nuvra/_words.py is the plain twin.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

PyObject* shared_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
