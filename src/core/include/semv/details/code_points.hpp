// Read-only views of a string's code points, over the units it is stored in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace semv::details {

constexpr char32_t ascii_lower(char32_t c) {
  return c - U'A' < 26 ? c + (U'a' - U'A') : c;
}

// What str.strip() removes from an ASCII string: HT, LF, VT, FF, CR, the four
// information separators 0x1C-0x1F, and space.
constexpr bool is_ascii_space(char32_t c) {
  return c == U' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
}

// A-Z, a-z, 0-9 and '_': the code points that make up text tokens.
inline constexpr std::array<bool, 256> token_units = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  return t;
}();

template <class Unit>
constexpr bool is_token_unit(Unit c) {
  if constexpr (sizeof(Unit) == 1)
    return token_units[c];
  else
    return c < 256 && token_units[c];
}

// Code points as stored.
template <class Unit>
struct CodePoints {
  static constexpr bool ascii_units = false;
  const Unit* data;
  std::size_t length;
  constexpr std::size_t size() const { return length; }
  constexpr char32_t operator[](std::size_t i) const { return data[i]; }
};

// ASCII units lower-cased as they are read, as str.lower does for ASCII: an
// ASCII word, or a text token inside a str of any width.
template <class Unit>
struct AsciiLowered {
  static constexpr bool ascii_units = true;
  const Unit* data;
  std::size_t length;
  constexpr std::size_t size() const { return length; }
  constexpr char32_t operator[](std::size_t i) const { return ascii_lower(data[i]); }
};

}  // namespace semv::details
