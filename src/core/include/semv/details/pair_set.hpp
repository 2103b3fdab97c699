// A set of code-point pairs, for the bigrams of a word that the symbol table
// does not number (those with a code point outside a-z, 0-9 and '_').
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace semv::details {

class PairSet {
 public:
  static constexpr std::uint64_t key(char32_t first, char32_t second) {
    // Code points and lone surrogates are below 2**21.
    return (std::uint64_t{first} << 21) | second;
  }

  // True when the pair was not in the set before. May throw std::bad_alloc.
  bool insert(std::uint64_t key);
  std::uint64_t size() const { return size_; }

 private:
  static constexpr std::size_t inline_capacity = 16;
  static constexpr std::uint64_t empty = ~std::uint64_t{0};

  bool insert_into_table(std::uint64_t key);
  void grow();

  std::array<std::uint64_t, inline_capacity> inline_;  // used while table_ is empty
  std::vector<std::uint64_t> table_;                   // open addressing, linear probing
  std::uint64_t size_ = 0;
};

}  // namespace semv::details
