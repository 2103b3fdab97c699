// The bodies of the exported functions, called after argument binding: each
// returns a new reference, or null with the exception and the traceback
// entries of its own steps.
#pragma once

#include <array>

#include "python.hpp"

namespace nuvra {

PyObject* get_semantic_vector_body(PyObject* const* values, PyObject* globals);
PyObject* vectorize_text_body(PyObject* const* values, PyObject* globals);
PyObject* cosine_similarity_body(PyObject* const* values, PyObject* globals);

// A new list of three floats: the shared items given, or three new floats.
PyObject* shared_list(PyObject* x, PyObject* y, PyObject* z);
PyObject* new_float_list(const std::array<double, 3>& components);

}  // namespace nuvra
