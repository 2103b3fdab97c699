// nuvra._batch.Grouper, header_length() and message_column(): log lines grouped into templates.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

PyType_Spec* grouper_spec();

// header_length(line): where the header of a str line ends, in code points.
PyObject* header_length(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// message_start(line): where the part of a str line worth scoring starts: after
// its header, or at the header's severe level (ERROR, WARN, ...), in code points.
PyObject* message_start(PyObject*, PyObject* const* args, Py_ssize_t nargs);
// message_column(column, workers): a text column's rows without their headers.
PyObject* message_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
