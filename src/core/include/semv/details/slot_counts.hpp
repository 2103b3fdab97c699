// Per-keyword counts of shared bigrams, 16 keyword slots at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "semv/vocabulary.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace semv::details {

static_assert(keyword_slots % 16 == 0);
inline constexpr std::size_t slot_chunks = keyword_slots / 16;

// Bit j set for slot j; 96 slots fit in 128 bits.
using SlotMask = unsigned __int128;

#if defined(__SSE2__)

struct SlotCounts {
  __m128i chunk[slot_chunks];

  SlotCounts() {
    for (auto& c : chunk) c = _mm_setzero_si128();
  }
  void add(const std::uint8_t* row) {
    for (std::size_t i = 0; i < slot_chunks; ++i)
      chunk[i] = _mm_add_epi8(chunk[i], _mm_load_si128(reinterpret_cast<const __m128i*>(row + 16 * i)));
  }
  std::uint8_t operator[](std::size_t j) const {
    alignas(16) std::uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), chunk[j / 16]);
    return bytes[j % 16];
  }
  // Slots where 7 * count >= twice_size + twice_d (counts are at most 9; the
  // sum saturates at 255, which no count reaches).
  SlotMask passing(const std::uint8_t* twice_size, std::uint8_t twice_d) const {
    const __m128i d = _mm_set1_epi8(static_cast<char>(twice_d));
    SlotMask mask = 0;
    for (std::size_t i = 0; i < slot_chunks; ++i) {
      const __m128i c = chunk[i];
      const __m128i c2 = _mm_add_epi8(c, c), c4 = _mm_add_epi8(c2, c2);
      const __m128i c7 = _mm_sub_epi8(_mm_add_epi8(c4, c4), c);
      const __m128i need =
          _mm_adds_epu8(_mm_load_si128(reinterpret_cast<const __m128i*>(twice_size + 16 * i)), d);
      const __m128i pass = _mm_cmpeq_epi8(_mm_max_epu8(c7, need), c7);
      mask |= SlotMask(static_cast<std::uint16_t>(_mm_movemask_epi8(pass))) << (16 * i);
    }
    return mask;
  }
};

#else

struct SlotCounts {
  std::uint8_t count[keyword_slots] = {};

  void add(const std::uint8_t* row) {
    for (std::size_t j = 0; j < keyword_slots; ++j) count[j] += row[j];
  }
  std::uint8_t operator[](std::size_t j) const { return count[j]; }
  SlotMask passing(const std::uint8_t* twice_size, std::uint8_t twice_d) const {
    SlotMask mask = 0;
    for (std::size_t j = 0; j < keyword_slots; ++j)
      if (7u * count[j] >= unsigned{twice_size[j]} + twice_d) mask |= SlotMask(1) << j;
    return mask;
  }
};

#endif

}  // namespace semv::details
