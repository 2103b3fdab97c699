// nuvra._batch.Space: a space compiled by the core, as the Python layer sees
// it. The object owns the core's space; columns borrow it for a fill.
#pragma once

#include <array>
#include <memory>
#include <mutex>

#include "python.hpp"
#include "semv/space.hpp"

namespace nuvra::batch {

extern PyTypeObject* space_type;
PyType_Spec* space_spec();

// Scratches a space keeps from call to call, so that a column scored a block
// at a time finds the tokens of earlier blocks in their caches. A few are
// kept, each handed to one thread at a time.
class ScratchPool {
 public:
  static constexpr std::size_t kept = 8;

  // One kept, or null.
  std::unique_ptr<semv::SpaceScratch> take() {
    const std::lock_guard lock(mutex_);
    return count_ > 0 ? std::move(scratches_[--count_]) : nullptr;
  }
  void give_back(std::unique_ptr<semv::SpaceScratch> scratch) {
    const std::lock_guard lock(mutex_);
    if (count_ < kept) scratches_[count_++] = std::move(scratch);
  }

 private:
  std::mutex mutex_;
  std::array<std::unique_ptr<semv::SpaceScratch>, kept> scratches_;
  std::size_t count_ = 0;
};

// The core's space of a nuvra._batch.Space, and its pool of scratches; null
// with TypeError set for any other object.
const semv::Space* space_of(PyObject* object, ScratchPool** pool = nullptr);

// default_axes(): the fixed space's axes as [(name, [keyword, ...], threshold)].
PyObject* default_axes(PyObject*, PyObject* const*, Py_ssize_t nargs);

// cosines_k(vectors, query, out): the cosine of each row of the (n, k)
// float64 buffer `vectors` with the k doubles of `query`, into out.
PyObject* cosines_k(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nuvra::batch
