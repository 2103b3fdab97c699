// The tokeniser: the tokens of a text are its maximal runs of A-Z a-z 0-9 _,
// found in the text's own units, without a copy, through bit masks.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "semv/characters.hpp"
#include "semv/details/simd.hpp"

namespace semv::details {

// The units of tokens, A-Z a-z 0-9 _, by class: letters, and digits or '_'.
inline constexpr std::uint8_t letter_unit = 2, other_token_unit = 1;
inline constexpr std::array<std::uint8_t, 256> token_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (char32_t c = 0; c < 256; ++c) {
    if (!is_token_char(c)) continue;
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    t[c] = letter ? letter_unit : other_token_unit;
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

// The masks of the `count` units from `units`, which follow `before` units of
// the same text.
template <class Unit>
BlockMasks block_masks(const Unit* units, std::size_t count, [[maybe_unused]] std::size_t before) {
#if SEMV_SSE2
  if (count == block_units) return block_masks_by_simd(units);
  if (before + count >= block_units) {
    // The text's last block_units units, which end where these do, shifted
    // down to them: nothing past the text's end is read, and nothing copied.
    BlockMasks m = block_masks_by_simd(units + count - block_units);
    const auto shift = static_cast<unsigned>(block_units - count);
    m.token >>= shift;
    m.letter >>= shift;
    return m;
  }
  // A text shorter than a block, copied so that nothing past its end is
  // read; NUL belongs to no token.
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

// Calls on_token(begin, end) for each token [begin, end) of the n units that
// holds two letters in a row (with `letters`; else any two units, a token of
// two or more), in order, and returns whether there is any token at all: no
// keyword can match a token without such a pair. Bit i of a block's `token`
// mask marks a unit of a token, bit i of `pairs` a paired unit after another;
// each run of `token` with a bit of `pairs` is a token to report, found from
// its lowest pair back to the gap before it and on to the gap after it, or
// running on into the next block.
template <bool letters, class Unit, class OnToken>
[[gnu::always_inline]] inline bool for_each_token_with_pair(const Unit* text, std::size_t n,
                                                            OnToken&& on_token) {
  bool any_token = false;
  std::size_t open_begin = 0;  // of a token that runs on from an earlier block
  bool open = false, open_paired = false;
  std::uint64_t paired_before = 0;  // the last unit of the block before, paired
  for (std::size_t base = 0; base < n; base += block_units) {
    const std::size_t count = n - base < block_units ? n - base : block_units;
    const BlockMasks m = block_masks(text + base, count, base);
    std::uint64_t token = m.token;
    // No unit outside a token is paired, so each pair lies in one token.
    const std::uint64_t paired = letters ? m.letter : m.token;
    std::uint64_t pairs = paired & ((paired << 1) | paired_before);
    paired_before = paired >> 63;
    any_token = any_token || token != 0;
    if (open) {
      if (token == ~std::uint64_t{0}) {
        open_paired = open_paired || pairs != 0;
        continue;
      }
      const unsigned end = static_cast<unsigned>(std::countr_zero(~token));
      if (open_paired || (pairs & low_bits(end)) != 0) on_token(open_begin, base + end);
      open = false;
      token &= ~low_bits(end);
      pairs &= ~low_bits(end);
    }
    while (pairs != 0) {
      const std::uint64_t below = (pairs & (~pairs + 1)) - 1;  // the bits below the lowest pair
      // countl_zero(0) is 64: a run from the block's first unit begins there.
      const auto begin = static_cast<unsigned>(64 - std::countl_zero(~token & below));
      const std::uint64_t gaps_after = ~token & ~below;
      if (gaps_after == 0) {
        open = open_paired = true;
        open_begin = base + begin;
        break;
      }
      const unsigned end = static_cast<unsigned>(std::countr_zero(gaps_after));
      on_token(base + begin, base + end);
      pairs &= ~low_bits(end);
    }
    // A token at the block's end without a pair may find one in the next.
    if (!open && (token >> 63) != 0) {
      open = true;
      open_paired = false;
      open_begin = base + static_cast<unsigned>(64 - std::countl_zero(~token));
    }
  }
  if (open && open_paired) on_token(open_begin, n);
  return any_token;
}

// The tokens that can match a keyword of the fixed space.
template <class Unit, class OnToken>
[[gnu::always_inline]] inline bool for_each_paired_token(const Unit* text, std::size_t n,
                                                         OnToken&& on_token) {
  return for_each_token_with_pair<true>(text, n, static_cast<OnToken&&>(on_token));
}

}  // namespace semv::details
