// Objects that the batch engine keeps from call to call (a thread's token
// caches): a column of lines comes a block at a time, and the tokens scored
// for one block are those of the next.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

namespace nuvra::batch {

// A few kept objects, each handed to one thread at a time: at most
// `capacity`, so that what a call with many threads leaves is bounded, and
// given back to the allocator on release().
template <class T>
class Kept {
 public:
  static constexpr std::size_t capacity = 8;

  // Bytes of the objects kept now (those in use by a call are not counted).
  std::size_t memory() const {
    const std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count_; ++i) bytes += kept_[i]->memory();
    return bytes;
  }
  // Frees every object kept now; the bytes freed. A call that holds one
  // gives it back when it ends, and the next call makes what it needs anew.
  std::size_t release() {
    std::array<std::unique_ptr<T>, capacity> freed;
    std::size_t bytes = 0;
    {
      const std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < count_; ++i) {
        bytes += kept_[i]->memory();
        freed[i] = std::move(kept_[i]);
      }
      count_ = 0;
    }
    return bytes;  // freed is destroyed outside the lock
  }

  // One kept, or null.
  std::unique_ptr<T> take() {
    const std::lock_guard lock(mutex_);
    return count_ > 0 ? std::move(kept_[--count_]) : nullptr;
  }
  void give_back(std::unique_ptr<T> object) {
    const std::lock_guard lock(mutex_);
    if (count_ < capacity) kept_[count_++] = std::move(object);
  }

 private:
  mutable std::mutex mutex_;
  std::array<std::unique_ptr<T>, capacity> kept_;
  std::size_t count_ = 0;
};

// A thread's T for one call: one kept by `from` (which may be null), or a new
// one, given back at the end; when memory is short even for that, one of its
// own, kept by nobody.
template <class T>
class Borrowed {
 public:
  explicit Borrowed(Kept<T>* from) : from_(from) {
    if (from_) held_ = from_->take();
    if (!held_) held_.reset(new (std::nothrow) T);
    if (!held_) own_.emplace();
  }
  ~Borrowed() {
    if (from_ && held_) from_->give_back(std::move(held_));
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  T& get() { return held_ ? *held_ : *own_; }

 private:
  Kept<T>* from_;
  std::unique_ptr<T> held_;
  std::optional<T> own_;
};

}  // namespace nuvra::batch
