// Per-keyword counts of shared bigrams, 32 keyword slots in 16 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "semv/details/simd.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

static_assert(keyword_slots % 32 == 0 && keyword_slots <= 128);
inline constexpr std::size_t slot_chunks = keyword_slots / 32;

// For each keyword slot, the number of rows added that have it, in the fields
// of keywords_with_pair.
struct SlotCounts {
  alignas(16) std::uint8_t fields[slot_bytes];
  // Bit j of passing[j / 64] is set where the count keeps a score.
  std::uint64_t passing[2];

  std::uint32_t count(std::size_t j) const { return (fields[slot_byte(j)] >> slot_shift(j)) & 0x0F; }
};

// Adds the rows of keywords_with_pair named by `pairs` and tests each slot's
// count against least_common for a word of d distinct bigrams, at most
// max_scoring_bigrams (see axis_scores).
inline void count_slots(const Vocabularies& v, const std::uint16_t* pairs, std::size_t n, std::uint32_t d,
                        SlotCounts& out) {
  const std::uint8_t* least = v.least_common[d].data();
#if SEMV_SSE2
  static_assert(slot_chunks == 3);
  // Three sums held in registers across the loop, in the compiler's vector
  // type, whose additions it allocates better than the intrinsic's. A byte
  // holds two fields, which never carry into each other.
  using Bytes = unsigned char __attribute__((vector_size(16)));
  Bytes c0{}, c1{}, c2{};
  for (std::size_t k = 0; k < n; ++k) {
    const auto* row = reinterpret_cast<const Bytes*>(v.keywords_with_pair[pairs[k]].data());
    c0 += row[0];
    c1 += row[1];
    c2 += row[2];
  }
  auto* fields = reinterpret_cast<__m128i*>(out.fields);
  _mm_store_si128(fields, reinterpret_cast<__m128i>(c0));
  _mm_store_si128(fields + 1, reinterpret_cast<__m128i>(c1));
  _mm_store_si128(fields + 2, reinterpret_cast<__m128i>(c2));
  // Low fields are slots 32i to 32i + 15, high fields the next 16.
  const __m128i low_field = _mm_set1_epi8(0x0F);
  const auto* need = reinterpret_cast<const __m128i*>(least);
  std::uint64_t mask[2] = {0, 0};
  for (std::size_t i = 0; i < 2 * slot_chunks; ++i) {
    const __m128i bytes = _mm_load_si128(fields + i / 2);
    const __m128i c = _mm_and_si128(i % 2 == 0 ? bytes : _mm_srli_epi16(bytes, 4), low_field);
    const __m128i pass = _mm_cmpeq_epi8(_mm_max_epu8(c, _mm_load_si128(need + i)), c);
    mask[i / 4] |= std::uint64_t(static_cast<std::uint16_t>(_mm_movemask_epi8(pass))) << (16 * (i % 4));
  }
  out.passing[0] = mask[0];
  out.passing[1] = mask[1];
#else
  for (std::size_t b = 0; b < slot_bytes; ++b) out.fields[b] = 0;
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t b = 0; b < slot_bytes; ++b) out.fields[b] += v.keywords_with_pair[pairs[k]][b];
  out.passing[0] = out.passing[1] = 0;
  for (std::size_t j = 0; j < keyword_slots; ++j)
    if (out.count(j) >= least[j]) out.passing[j / 64] |= std::uint64_t{1} << (j % 64);
#endif
}

}  // namespace semv::details
