// Read-only views of a string's code points, over the units it is stored in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "semv/details/lower_case.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

inline constexpr auto lower_table = [] {
  std::array<std::uint16_t, lowered_limit> t{};
  for (char32_t c = 0; c < lowered_limit; ++c) t[c] = static_cast<std::uint16_t>(simple_lower(c));
  return t;
}();

// The symbol of each code point below lowered_limit, as it is and once
// lower-cased.
inline constexpr auto plain_symbols = [] {
  std::array<std::uint8_t, lowered_limit> t{};
  for (char32_t c = 0; c < lowered_limit; ++c) t[c] = symbol_of(c);
  return t;
}();
inline constexpr auto lowered_symbols = [] {
  std::array<std::uint8_t, lowered_limit> t{};
  for (char32_t c = 0; c < lowered_limit; ++c) t[c] = symbol_of(simple_lower(c));
  return t;
}();

// What str.strip() removes below lowered_limit: HT, LF, VT, FF, CR, the four
// information separators 0x1C-0x1F, space, NEL and no-break space.
constexpr bool is_simple_space(char32_t c) {
  return c == U' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F) || c == 0x85 || c == 0xA0;
}
inline constexpr auto simple_spaces = [] {
  std::array<bool, lowered_limit> t{};
  for (char32_t c = 0; c < lowered_limit; ++c) t[c] = is_simple_space(c);
  return t;
}();

// Whether every unit has its lower case in the table.
template <class Unit>
constexpr bool simply_lowered(const Unit* data, std::size_t n) {
  if constexpr (sizeof(Unit) == 1) {
    return true;
  } else {
    for (std::size_t i = 0; i < n; ++i)
      if (data[i] >= lowered_limit || data[i] == capital_i_with_dot) return false;
    return true;
  }
}

// Code points as stored.
template <class Unit>
struct CodePoints {
  const Unit* data;
  std::size_t length;
  constexpr std::size_t size() const { return length; }
  constexpr char32_t operator[](std::size_t i) const { return data[i]; }
  constexpr std::uint8_t symbol(std::size_t i) const {
    return data[i] < lowered_limit ? plain_symbols[data[i]] : other_symbol;
  }
};

// Code points lower-cased by the table as they are read, as str.lower does
// for them: an ASCII or Latin-1 word, any word that simply_lowered accepts,
// or a text token inside a str of any width.
template <class Unit>
struct Lowered {
  const Unit* data;
  std::size_t length;
  constexpr std::size_t size() const { return length; }
  constexpr char32_t operator[](std::size_t i) const { return lower_table[data[i]]; }
  constexpr std::uint8_t symbol(std::size_t i) const { return lowered_symbols[data[i]]; }
};

// A token of a text that holds two letters in a row (the others match
// nothing), lower-cased by the table as it is read: its units are A-Z a-z
// 0-9 _, whatever the width they are stored in.
template <class Unit>
struct Token : Lowered<Unit> {};

template <class Word>
inline constexpr bool is_token = false;
template <class Unit>
inline constexpr bool is_token<Token<Unit>> = true;

// The views whose units are all below 256 and lower as simple_lower does, so
// that a pair of them is looked up by its two bytes.
template <class Word>
inline constexpr bool byte_view = false;
template <>
inline constexpr bool byte_view<Lowered<std::uint8_t>> = true;
template <class Unit>
inline constexpr bool byte_view<Token<Unit>> = true;

// The view with the stripped ends of a lower-cased word cut off; its units
// are below lowered_limit.
template <class Unit>
constexpr Lowered<Unit> stripped(const Unit* data, std::size_t n) {
  std::size_t begin = 0, end = n;
  while (begin < end && simple_spaces[data[begin]]) ++begin;
  while (end > begin && simple_spaces[data[end - 1]]) --end;
  return {data + begin, end - begin};
}

}  // namespace semv::details
