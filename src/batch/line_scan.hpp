// The lines of a block of bytes and the check of their encoding. Plain C++:
// it runs with the interpreter lock released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace nuvra::batch {

// Calls line(begin, length) for each line: the bytes up to each "\n", and
// those after the last one unless they are none. So "" has no line, "a\n" one
// and "a\n\n" two, the last of them empty.
template <class Line>
void for_each_line(const std::uint8_t* data, std::size_t size, Line line) {
  std::size_t begin = 0;
  while (begin < size) {
    const void* newline = std::memchr(data + begin, '\n', size - begin);
    const std::size_t end =
        newline ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - data) : size;
    line(begin, end - begin);
    begin = end + 1;
  }
}

struct LineSpan {
  std::size_t begin, end;  // the "\n" left out
};

// The spans of lines `rows` (ascending), as for_each_line numbers them from 0.
// False, with the spans of the rows before it, at the first row past the last
// line. std::bad_alloc when memory is short.
inline bool find_lines(const std::uint8_t* data, std::size_t size, std::span<const std::size_t> rows,
                       std::vector<LineSpan>& spans) {
  spans.reserve(rows.size());
  std::size_t line = 0, begin = 0;
  for (const std::size_t row : rows) {
    for (;; ++line) {
      if (begin >= size) return false;
      const void* newline = std::memchr(data + begin, '\n', size - begin);
      const std::size_t end =
          newline ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - data) : size;
      if (line == row) {
        spans.push_back({begin, end});
        break;
      }
      begin = end + 1;
    }
  }
  return true;
}

// Whether the bytes are well-formed UTF-8, as the interpreter's strict
// decoder takes them: no overlong forms, no surrogates, nothing above
// U+10FFFF.
inline bool valid_utf8(const std::uint8_t* s, std::size_t n) {
  constexpr std::uint64_t high_bits = 0x8080808080808080ull;
  std::size_t i = 0;
  while (i < n) {
    // ASCII 16 bytes at a time, the common case.
    if (n - i >= 16) {
      std::uint64_t low, high;
      std::memcpy(&low, s + i, 8);
      std::memcpy(&high, s + i + 8, 8);
      if (((low | high) & high_bits) == 0) {
        i += 16;
        continue;
      }
    }
    if (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & high_bits) == 0) {
        i += 8;
        continue;
      }
    }
    const std::uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The length of the sequence, and the range its second byte must be in.
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // no overlong forms
      if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < length || s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

// Whether any byte is marked in `table`.
inline bool has_marked_byte(const std::array<bool, 256>& table, const std::uint8_t* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (table[s[i]]) return true;
  return false;
}

}  // namespace nuvra::batch
