// A str's own storage, as the span of units it is stored in.
#pragma once

#include <span>

#include "python.hpp"

namespace nuvra {

// Calls f with the str's code points as a span of 1-, 2- or 4-byte units,
// read in place.
template <class F>
auto with_units(PyObject* str, F&& f) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return f(std::span(static_cast<const Py_UCS1*>(data), n));
    case PyUnicode_2BYTE_KIND: return f(std::span(static_cast<const Py_UCS2*>(data), n));
    default: return f(std::span(static_cast<const Py_UCS4*>(data), n));
  }
}

}  // namespace nuvra
