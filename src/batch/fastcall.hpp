// A METH_FASTCALL function as the PyCFunction a method table holds.
#pragma once

#include "python.hpp"

namespace nuvra::batch {

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace nuvra::batch
