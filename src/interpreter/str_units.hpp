// A str's own storage, as the span of units it is stored in, and the
// interpreter's normalisation of a word.
#pragma once

#include <span>

#include "python.hpp"
#include "ref.hpp"

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

// The word lower-cased and stripped by str's own lower and strip (the
// descriptors given), whatever a subclass defines; null with the exception set.
inline PyObject* lowered_and_stripped(PyObject* word, PyObject* str_lower, PyObject* str_strip) {
  const Ref lowered(PyObject_Vectorcall(str_lower, &word, 1, nullptr));
  if (!lowered) return nullptr;
  PyObject* arg = lowered.get();
  return PyObject_Vectorcall(str_strip, &arg, 1, nullptr);
}

}  // namespace nuvra
