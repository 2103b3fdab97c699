// The bodies of the exported functions, called after argument binding.
#pragma once

#include <array>

#include "python.hpp"

namespace nuvra {

PyObject* get_semantic_vector_body(PyObject* const* values, PyObject* globals);
PyObject* vectorize_text_body(PyObject* const* values, PyObject* globals);
PyObject* cosine_similarity_body(PyObject* const* values, PyObject* globals);

// The word vector without argument binding: a new list, or null with the
// exception and this step's own traceback entry, but not the function's line.
PyObject* semantic_vector(PyObject* word, PyObject* globals);

// A new list of three floats: the items given, or three new floats.
PyObject* shared_list(PyObject* x, PyObject* y, PyObject* z);
PyObject* new_float_list(const std::array<double, 3>& components);

}  // namespace nuvra
