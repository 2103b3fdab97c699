// Allocation failures as the interpreter reports them. Whatever a container
// or a thread handle throws when memory or address space runs short
// (std::bad_alloc, std::length_error for a size no container can hold, any
// other std::exception from the standard library) becomes MemoryError: no
// failure to allocate ever reaches std::terminate.
#pragma once

#include <exception>

#include "python.hpp"

namespace nuvra::batch {

// Runs allocate(); false if it threw. Touches nothing of the interpreter, so
// it may run with the lock released; the caller sets MemoryError once it has
// the lock back.
template <class Allocate>
bool allocated(Allocate&& allocate) {
  try {
    allocate();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The same with the lock held: -1 with MemoryError set if allocate() threw.
template <class Allocate>
int allocate_or_raise(Allocate&& allocate) {
  if (allocated(allocate)) return 0;
  PyErr_NoMemory();
  return -1;
}

}  // namespace nuvra::batch
