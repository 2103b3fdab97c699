// str.lower of the code points whose lower case is one code point that a
// rule of their block gives.
#pragma once

namespace semv::details {

// Code points below this have a one-to-one lower case that simple_lower
// gives (Basic Latin, Latin-1, Latin Extended-A, the Turkish letters among
// them), except U+0130, whose lower case is two code points.
inline constexpr char32_t lowered_limit = 0x180;
inline constexpr char32_t capital_i_with_dot = 0x130;

// str.lower of one code point below lowered_limit, written as the rules of the
// blocks: A-Z and the Latin-1 capitals shift by 32, the capitals of Latin
// Extended-A sit just before their small letters, and Y with diaeresis lowers
// into Latin-1.
constexpr char32_t simple_lower(char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c == 0x178) return 0xFF;
  const bool even = c % 2 == 0;
  if ((c >= 0x100 && c <= 0x137 && even && c != capital_i_with_dot) || (c >= 0x139 && c <= 0x148 && !even) ||
      (c >= 0x14A && c <= 0x177 && even) || (c >= 0x179 && c <= 0x17E && !even))
    return c + 1;
  return c;
}

}  // namespace semv::details
