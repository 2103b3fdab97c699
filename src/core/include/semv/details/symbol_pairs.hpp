// Sets of symbol pairs (pairs of a-z, 0-9, '_'), by pair number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "semv/vocabulary.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace semv::details {

// Any set of symbol pairs, one bit each. Its owner clears it.
struct SymbolPairSet {
  std::array<std::uint64_t, (symbol_pair_count + 63) / 64> bits;

  // True when p was not in the set before.
  bool insert(std::uint16_t p) {
    const std::uint64_t bit = std::uint64_t{1} << (p % 64);
    const bool added = (bits[p / 64] & bit) == 0;
    bits[p / 64] |= bit;
    return added;
  }
  void erase(std::uint16_t p) { bits[p / 64] &= ~(std::uint64_t{1} << (p % 64)); }
};

// The symbol pairs of a short word, compared all at once.
struct ShortSymbolPairSet {
  static constexpr std::size_t capacity = 24;
  static constexpr std::uint16_t none = 0xFFFF;  // no pair has this number
  static_assert(symbol_pair_count < none);

  alignas(16) std::uint16_t items[capacity];
  std::size_t size = 0;

  ShortSymbolPairSet() {
    for (auto& item : items) item = none;
  }

  bool contains(std::uint16_t p) const {
#if defined(__SSE2__)
    const __m128i key = _mm_set1_epi16(static_cast<short>(p));
    const auto* chunks = reinterpret_cast<const __m128i*>(items);
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(_mm_load_si128(chunks), key),
                                                   _mm_cmpeq_epi16(_mm_load_si128(chunks + 1), key)),
                                      _mm_cmpeq_epi16(_mm_load_si128(chunks + 2), key));
    return _mm_movemask_epi8(hits) != 0;
#else
    bool found = false;
    for (std::uint16_t item : items) found |= item == p;
    return found;
#endif
  }

  // True when p was not in the set before; at most `capacity` pairs fit.
  bool insert(std::uint16_t p) {
    if (contains(p)) return false;
    items[size++] = p;
    return true;
  }
};
static_assert(ShortSymbolPairSet::capacity % 8 == 0 && ShortSymbolPairSet::capacity / 8 == 3);

}  // namespace semv::details
