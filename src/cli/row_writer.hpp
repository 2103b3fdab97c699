// The rows of `nuvra vectors` written in native code: a block's line
// numbers, vectors, dominant axes and texts as the bytes of a table, CSV or
// JSON lines, on several threads without the lock where the block is large.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

PyObject* format_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
