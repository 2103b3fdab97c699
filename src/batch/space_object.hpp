// nuvra._batch.Space: a space compiled by the core, as the Python layer sees
// it. The object owns the core's space; columns borrow it for a fill.
#pragma once

#include <memory>

#include "kept.hpp"
#include "python.hpp"
#include "semv/space.hpp"

namespace nuvra::batch {

struct State;

PyType_Spec* space_spec();

// The core's space of a nuvra._batch.Space, and its pool of scratches; null
// with TypeError set for any other object.
const semv::Space* space_of(State& state, PyObject* object, Kept<semv::SpaceScratch>** pool = nullptr);

// The default space as a new nuvra._batch.Space; null with the exception set.
PyObject* new_default_space(State& state);

// default_space(): the module's default space.
PyObject* default_space(PyObject* module, PyObject* const*, Py_ssize_t nargs);

}  // namespace nuvra::batch
