// The tokeniser: the tokens of a text are its maximal runs of A-Z a-z 0-9 _,
// found in the text's own units, without a copy, through bit masks.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "semv/details/simd.hpp"

namespace semv::details {

// The units of tokens, A-Z a-z 0-9 _, by class: letters, and digits or '_'.
inline constexpr std::uint8_t letter_unit = 2, other_token_unit = 1;
inline constexpr std::array<std::uint8_t, 256> token_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) t[c] = letter_unit;
    if ((c >= '0' && c <= '9') || c == '_') t[c] = other_token_unit;
  }
  return t;
}();

template <class Unit>
constexpr std::uint8_t token_class(Unit c) {
  if constexpr (sizeof(Unit) == 1)
    return token_classes[c];
  else
    return c < 256 ? token_classes[c] : 0;
}

// A text is read in blocks of 64 units, each as two masks: bit i of `token`
// is set where unit i belongs to a token, bit i of `letter` where it is a
// letter. Units past the end of the text belong to no token.
inline constexpr std::size_t block_units = 64;

struct BlockMasks {
  std::uint64_t token = 0, letter = 0;
};

// The simple form, for any block.
template <class Unit>
BlockMasks block_masks_by_table(const Unit* units, std::size_t count) {
  BlockMasks m;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t c = token_class(units[i]);
    m.token |= std::uint64_t{c != 0} << i;
    m.letter |= std::uint64_t{c == letter_unit} << i;
  }
  return m;
}

#if SEMV_SSE2
// 16 units narrowed to bytes, with every unit above 255 as 255, which no token
// has: the packs saturate.
template <class Unit>
__m128i narrowed(const Unit* units) {
  const auto* p = reinterpret_cast<const __m128i*>(units);
  if constexpr (sizeof(Unit) == 1) {
    return _mm_loadu_si128(p);
  } else if constexpr (sizeof(Unit) == 2) {
    return _mm_packus_epi16(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));
  } else {
    // Code points are below 2**21, so the signed pack to 16 bits keeps every
    // value below 256 and sends the rest to at least 256.
    const __m128i low = _mm_packs_epi32(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));
    const __m128i high = _mm_packs_epi32(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3));
    return _mm_packus_epi16(low, high);
  }
}

// x in [low, low + span], as unsigned bytes.
inline __m128i in_range(__m128i x, char low, char span) {
  const __m128i offset = _mm_sub_epi8(x, _mm_set1_epi8(low));
  return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(span)), offset);
}

// The fast form, for a whole block: A-Z folds onto a-z by setting bit 5.
template <class Unit>
BlockMasks block_masks_by_simd(const Unit* units) {
  BlockMasks m;
  for (std::size_t i = 0; i < block_units / 16; ++i) {
    const __m128i x = narrowed(units + 16 * i);
    const __m128i letters = in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 25);
    const __m128i others = _mm_or_si128(in_range(x, '0', 9), _mm_cmpeq_epi8(x, _mm_set1_epi8('_')));
    const auto letter_bits = static_cast<std::uint16_t>(_mm_movemask_epi8(letters));
    const auto token_bits = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_or_si128(letters, others)));
    m.letter |= std::uint64_t{letter_bits} << (16 * i);
    m.token |= std::uint64_t{token_bits} << (16 * i);
  }
  return m;
}
#endif

template <class Unit>
BlockMasks block_masks(const Unit* units, std::size_t count) {
#if SEMV_SSE2
  if (count == block_units) return block_masks_by_simd(units);
  // The last units of the text, copied so that nothing past its end is read;
  // NUL belongs to no token.
  Unit padded[block_units] = {};
  std::memcpy(padded, units, count * sizeof(Unit));
  return block_masks_by_simd(padded);
#else
  return block_masks_by_table(units, count);
#endif
}

// Bits 0 to n - 1, for n from 0 to 63.
constexpr std::uint64_t low_bits(unsigned n) {
  return (std::uint64_t{1} << n) - 1;
}

// Calls on_token(begin, end, has_letter_pair) for each token [begin, end) of
// the n units, in order, with whether it holds two letters in a row. A token
// begins at the lowest set bit of a block's `token` mask and ends at the next
// clear one, or runs on into the next block.
template <class Unit, class OnToken>
[[gnu::always_inline]] inline void for_each_token(const Unit* text, std::size_t n, OnToken&& on_token) {
  std::size_t open_begin = 0;  // of a token that runs on from an earlier block
  bool open = false, open_letter = false;
  std::uint64_t letter_before = 0;  // the last unit of the block before, a letter
  for (std::size_t base = 0; base < n; base += block_units) {
    const std::size_t count = n - base < block_units ? n - base : block_units;
    BlockMasks m = block_masks(text + base, count);
    // From here on bit i of `letter` marks a letter after a letter: as no
    // unit outside a token is a letter, the pairs of a token are its bits.
    const std::uint64_t letters = m.letter;
    m.letter &= (letters << 1) | letter_before;
    letter_before = letters >> 63;
    if (open) {
      if (m.token == ~std::uint64_t{0}) {
        open_letter = open_letter || m.letter != 0;
        continue;
      }
      const unsigned end = static_cast<unsigned>(std::countr_zero(~m.token));
      on_token(open_begin, base + end, open_letter || (m.letter & low_bits(end)) != 0);
      open = false;
      m.token &= ~low_bits(end);
    }
    while (m.token != 0) {
      // Adding the lowest set bit clears the lowest run of set bits and sets
      // the bit after it, which no token has; it carries out of the block
      // when the run reaches its end.
      const std::uint64_t after = m.token + (m.token & (~m.token + 1));
      const std::uint64_t run = m.token & ~after;
      const std::size_t begin = base + static_cast<unsigned>(std::countr_zero(m.token));
      if (after == 0) {
        open = true;
        open_begin = begin;
        open_letter = (m.letter & run) != 0;
        break;
      }
      on_token(begin, base + static_cast<unsigned>(std::countr_zero(after)), (m.letter & run) != 0);
      m.token &= after;
    }
  }
  if (open) on_token(open_begin, n, open_letter);
}

}  // namespace semv::details
