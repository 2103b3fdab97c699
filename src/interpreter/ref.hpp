// An owned reference to a Python object, released when the handle goes out of
// scope: the one way the interpreter layers hold a reference across a step
// that can fail.
#pragma once

#include <utility>

#include "python.hpp"

namespace nuvra {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference, or null from a call that failed.
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XSETREF(object_, other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  explicit operator bool() const { return object_ != nullptr; }
  PyObject* get() const { return object_; }
  // Hands the reference on, for a call that steals it or for the result.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace nuvra
