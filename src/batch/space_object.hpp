// nuvra._batch.Space: a space compiled by the core, as the Python layer sees
// it. The object owns the core's space; columns borrow it for a fill.
#pragma once

#include <memory>

#include "kept.hpp"
#include "python.hpp"
#include "semv/space.hpp"

namespace nuvra::batch {

extern PyTypeObject* space_type;
PyType_Spec* space_spec();

// The core's space of a nuvra._batch.Space, and its pool of scratches; null
// with TypeError set for any other object.
const semv::Space* space_of(PyObject* object, Kept<semv::SpaceScratch>** pool = nullptr);

// default_axes(): the fixed space's axes as [(name, [keyword, ...], threshold)].
PyObject* default_axes(PyObject*, PyObject* const*, Py_ssize_t nargs);

// cosines_k(vectors, query, out): the cosine of each row of the (n, k)
// float64 buffer `vectors` with the k doubles of `query`, into out.
PyObject* cosines_k(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
