#include "semv/details/pair_set.hpp"

namespace semv::details {

namespace {

std::size_t slot_of(std::uint64_t key, std::size_t mask) {
  // Fibonacci hashing: the high bits of the product mix all bits of the key.
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
}

}  // namespace

bool PairSet::insert(std::uint64_t key) {
  if (table_.empty()) {
    for (std::uint64_t i = 0; i < size_; ++i)
      if (inline_[i] == key) return false;
    if (size_ < inline_capacity) {
      inline_[size_++] = key;
      return true;
    }
    grow();
  }
  return insert_into_table(key);
}

bool PairSet::insert_into_table(std::uint64_t key) {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t slot = slot_of(key, mask);; slot = (slot + 1) & mask) {
    if (table_[slot] == key) return false;
    if (table_[slot] == empty) {
      table_[slot] = key;
      break;
    }
  }
  ++size_;
  if (size_ * 2 > table_.size()) grow();
  return true;
}

void PairSet::grow() {
  std::vector<std::uint64_t> old(table_.empty() ? 4 * inline_capacity : 2 * table_.size(), empty);
  old.swap(table_);
  const std::uint64_t count = size_;
  size_ = 0;
  if (old.empty()) {
    for (std::uint64_t i = 0; i < count; ++i) insert_into_table(inline_[i]);
  } else {
    for (std::uint64_t key : old)
      if (key != empty) insert_into_table(key);
  }
}

}  // namespace semv::details
