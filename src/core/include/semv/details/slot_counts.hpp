// Per-keyword counts of shared bigrams, 16 keyword slots at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "semv/details/simd.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

static_assert(keyword_slots % 16 == 0 && keyword_slots <= 128);
inline constexpr std::size_t slot_chunks = keyword_slots / 16;

// For each keyword slot, pair_weight times the number of rows added that
// have it: at most 7 * 9 = 63, as no keyword has more bigrams.
struct SlotCounts {
  alignas(16) std::uint8_t weighted[keyword_slots];
  // Bit j of passing[j / 64] is set where weighted >= twice_size + twice_d.
  std::uint64_t passing[2];

  std::uint32_t count(std::size_t j) const { return unweighted[weighted[j]]; }

 private:
  static constexpr auto unweighted = [] {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i / pair_weight);
    return t;
  }();
};
static_assert(pair_weight * max_bigrams_per_keyword < 256);

// Adds the rows of keywords_with_pair named by `pairs` and tests each slot
// against the threshold (see axis_scores).
inline void count_slots(const Vocabularies& v, const std::uint16_t* pairs, std::size_t n,
                        std::uint8_t twice_d, SlotCounts& out) {
#if SEMV_SSE2
  static_assert(slot_chunks == 6);
  // Six sums held in registers across the loop, in the compiler's vector
  // type, whose additions it allocates better than the intrinsic's.
  using Bytes = unsigned char __attribute__((vector_size(16)));
  Bytes c0{}, c1{}, c2{}, c3{}, c4{}, c5{};
  for (std::size_t k = 0; k < n; ++k) {
    const auto* row = reinterpret_cast<const Bytes*>(v.keywords_with_pair[pairs[k]].data());
    c0 += row[0];
    c1 += row[1];
    c2 += row[2];
    c3 += row[3];
    c4 += row[4];
    c5 += row[5];
  }
  auto* counts = reinterpret_cast<__m128i*>(out.weighted);
  _mm_store_si128(counts, reinterpret_cast<__m128i>(c0));
  _mm_store_si128(counts + 1, reinterpret_cast<__m128i>(c1));
  _mm_store_si128(counts + 2, reinterpret_cast<__m128i>(c2));
  _mm_store_si128(counts + 3, reinterpret_cast<__m128i>(c3));
  _mm_store_si128(counts + 4, reinterpret_cast<__m128i>(c4));
  _mm_store_si128(counts + 5, reinterpret_cast<__m128i>(c5));
  // The needed sum saturates at 255, which no weighted count reaches.
  const __m128i d = _mm_set1_epi8(static_cast<char>(twice_d));
  const auto* twice_size = reinterpret_cast<const __m128i*>(v.twice_set_size.data());
  std::uint64_t mask[2] = {0, 0};
  for (std::size_t i = 0; i < slot_chunks; ++i) {
    const __m128i c = _mm_load_si128(counts + i);
    const __m128i need = _mm_adds_epu8(_mm_load_si128(twice_size + i), d);
    const __m128i pass = _mm_cmpeq_epi8(_mm_max_epu8(c, need), c);
    mask[i / 4] |= std::uint64_t(static_cast<std::uint16_t>(_mm_movemask_epi8(pass))) << (16 * (i % 4));
  }
  out.passing[0] = mask[0];
  out.passing[1] = mask[1];
#else
  for (std::size_t j = 0; j < keyword_slots; ++j) out.weighted[j] = 0;
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t j = 0; j < keyword_slots; ++j) out.weighted[j] += v.keywords_with_pair[pairs[k]][j];
  out.passing[0] = out.passing[1] = 0;
  for (std::size_t j = 0; j < keyword_slots; ++j)
    if (out.weighted[j] >= unsigned{v.twice_set_size[j]} + twice_d)
      out.passing[j / 64] |= std::uint64_t{1} << (j % 64);
#endif
}

}  // namespace semv::details
