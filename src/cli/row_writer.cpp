// The command's row writer, format_rows() of nuvra._batch: the rows of `nuvra vectors` as bytes.
//
// A row is pieces[0], the line number (when there is one), pieces[1], the
// first number, pieces[2], ..., pieces[k], the k-th number, pieces[k + 1],
// the dominant axis's cell, pieces[k + 2], the text's cell and pieces[k + 3].
// The caller writes the pieces and the axes' cells; this file writes the
// numbers, the line numbers and the texts, exactly as the command's Python
// writer (nuvra/cli/output.py) does:
// - numbers as repr() writes them (CSV, JSON lines) or as format(x, "W.4f")
//   (the table);
// - a text's undecodable bytes (surrogates U+DC80 to U+DCFF) written back
//   as those bytes, except in JSON lines, where every surrogate is a \udXXX
//   escape; other surrogates as \udXXX escapes;
// - the table's texts with control characters and terminal escapes shown
//   escaped, and no white space left at the end of a row;
// - CSV fields quoted when they hold a comma, a quote or a line end; JSON
//   strings escaped as json.dumps(ensure_ascii=False) escapes them.
// Texts are the lines of a UTF-8 buffer (as decoded strictly or with
// surrogateescape) or str objects.
#include "row_writer.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "line_scan.hpp"
#include "memory.hpp"
#include "parallel.hpp"

namespace nuvra::batch {

namespace {

enum class Style { table, csv, jsonl };

// A row whose text is longer than this, in bytes or units, is written a piece
// of about this size at a time, on the calling thread.
constexpr std::size_t write_chunk = std::size_t{1} << 20;
// Text is scanned at most this many units between two looks at the output.
constexpr std::size_t scan_step = 64 * 1024;
// Rows per piece of work on a thread, each piece formatted into its own buffer.
constexpr std::size_t group_rows = 2048;
// One thread per this many bytes of text at least.
constexpr std::size_t bytes_per_thread = 512 * 1024;

// A text: UTF-8 bytes (width 0) or the units of a str (width 1, 2 or 4).
struct Text {
  const void* data = nullptr;
  std::size_t length = 0;
  int width = 0;
};

struct Layout {
  Style style = Style::table;
  std::size_t k = 0;
  std::size_t first_line = 0;  // 0: no line column
  std::size_t line_width = 0, line_prefix_chars = 0;
  std::vector<std::string> pieces, axis_cells;
  std::vector<std::size_t> number_widths;
};

const char hex_digits[] = "0123456789abcdef";

void put_hex(std::string& out, char kind, std::uint32_t value, int digits) {
  char text[6] = {'\\', kind};
  for (int i = 0; i < digits; ++i) text[2 + i] = hex_digits[(value >> (4 * (digits - 1 - i))) & 0xF];
  out.append(text, 2 + digits);
}

// backslashreplace's form of a code point that is not written as itself.
void put_backslashed(std::string& out, std::uint32_t c) {
  if (c <= 0xFF)
    put_hex(out, 'x', c, 2);
  else
    put_hex(out, 'u', c, 4);
}

void put_utf8(std::string& out, std::uint32_t c) {
  char bytes[4];
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (c >> 6));
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (c >> 12));
    bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
    out.append(bytes, 3);
  } else {
    bytes[0] = static_cast<char>(0xF0 | (c >> 18));
    bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
    out.append(bytes, 4);
  }
}

bool is_surrogate(std::uint32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

// An undecodable byte, as surrogateescape keeps it.
bool is_escaped_byte(std::uint32_t c) {
  return c >= 0xDC80 && c <= 0xDCFF;
}

// What the table shows escaped: C0 and C1 controls, DEL, line and paragraph
// separators, bidirectional overrides and isolates, and the undecodable bytes
// 0x80 to 0x9F (C1 controls on a terminal that reads bytes).
bool table_escapes(std::uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || (c >= 0xDC80 && c <= 0xDC9F);
}

void put_table_escape(std::string& out, std::uint32_t c) {
  if (c == '\t') {
    out += "\\t";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\n') {
    out += "\\n";
  } else if (c >= 0xDC80 && c <= 0xDC9F) {
    put_hex(out, 'x', c - 0xDC00, 2);
  } else {
    put_backslashed(out, c);
  }
}

// White space (str.isspace) that the table writes as itself, and so strips at
// the end of a row.
bool is_plain_space(std::uint32_t c) {
  return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The length of the UTF-8 bytes s[0, n) without the plain white space at their end.
std::size_t utf8_without_trailing_space(const std::uint8_t* s, std::size_t n) {
  for (;;) {
    if (n >= 1 && s[n - 1] == 0x20) {
      n -= 1;
    } else if (n >= 2 && s[n - 2] == 0xC2 && s[n - 1] == 0xA0) {
      n -= 2;
    } else if (n >= 3 && s[n - 3] >= 0xE1 && s[n - 3] <= 0xE3) {
      const std::uint32_t c = ((s[n - 3] & 0x0Fu) << 12) | ((s[n - 2] & 0x3Fu) << 6) | (s[n - 1] & 0x3Fu);
      // Lead bytes E1 to E3 with two continuation bytes are always a whole code point.
      if ((s[n - 2] & 0xC0) != 0x80 || (s[n - 1] & 0xC0) != 0x80 || !is_plain_space(c)) return n;
      n -= 3;
    } else {
      return n;
    }
  }
}

// The valid UTF-8 sequence at s (n >= 1 bytes left) as the strict decoder reads
// it: its length and code point, or 0 when the byte s[0] is undecodable.
int utf8_sequence(const std::uint8_t* s, std::size_t n, std::uint32_t& c) {
  const std::uint8_t b = s[0];
  if (b < 0xC2) return 0;
  if (b < 0xE0) {
    if (n < 2 || (s[1] & 0xC0) != 0x80) return 0;
    c = ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    return 2;
  }
  if (b < 0xF0) {
    const std::uint8_t low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    if (n < 3 || s[1] < low || s[1] > high || (s[2] & 0xC0) != 0x80) return 0;
    c = ((b & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    return 3;
  }
  if (b < 0xF5) {
    const std::uint8_t low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    if (n < 4 || s[1] < low || s[1] > high || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return 0;
    c = ((b & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
    return 4;
  }
  return 0;
}

// JSON's escapes of what json.dumps escapes: a quote, a backslash, and C0 controls.
void put_json_escape(std::string& out, std::uint32_t c) {
  switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    case '\b': out += "\\b"; break;
    case '\f': out += "\\f"; break;
    default: put_hex(out, 'u', c, 4);
  }
}

// The bytes that each style writes as they are (CSV's quotes are doubled in a
// quoted field).
struct PlainBytes {
  bool table[256] = {}, csv[256] = {}, jsonl[256] = {};
  PlainBytes() {
    for (int c = 0; c < 256; ++c) csv[c] = c != '"';  // CSV writes undecodable bytes back as they are
    for (int c = 0; c < 128; ++c) {
      table[c] = c >= 0x20 && c < 0x7F;
      jsonl[c] = c >= 0x20 && c != '"' && c != '\\';
    }
  }
};
const PlainBytes plain_bytes;

const bool* plain_ascii(Style style) {
  return style == Style::table ? plain_bytes.table
         : style == Style::csv ? plain_bytes.csv
                               : plain_bytes.jsonl;
}

// Eight bytes at a time: whether any byte of a word is some byte, or below
// some byte (up to 0x80), or above 0x7E (each test exact for "any").
constexpr std::uint64_t ones = 0x0101010101010101ull, high_bits = 0x8080808080808080ull;

std::uint64_t word_at(const std::uint8_t* s) {
  std::uint64_t word;
  std::memcpy(&word, s, sizeof word);
  return word;
}

std::uint64_t any_below(std::uint64_t word, std::uint8_t bound) {
  return (word - ones * bound) & ~word & high_bits;
}

std::uint64_t any_equal(std::uint64_t word, std::uint8_t byte) {
  return any_below(word ^ (ones * byte), 1);
}

std::uint64_t any_above_tilde(std::uint64_t word) {
  return ((word + ones) | word) & high_bits;
}

// Where the bytes s[i, stop) that the style writes as they are end.
std::size_t plain_run_end(Style style, const std::uint8_t* s, std::size_t i, std::size_t stop) {
  for (; i + 8 <= stop; i += 8) {
    const std::uint64_t word = word_at(s + i);
    std::uint64_t special;
    if (style == Style::table)
      special = any_below(word, 0x20) | any_above_tilde(word);
    else if (style == Style::jsonl)
      special = any_below(word, 0x20) | any_equal(word, '"') | any_equal(word, '\\') | (word & high_bits);
    else
      special = any_equal(word, '"');
    if (special) break;
  }
  const bool* plain = plain_ascii(style);
  while (i < stop && plain[s[i]]) ++i;
  return i;
}

// Whether a CSV field needs quotes: a comma, a quote or a line end in it.
template <class Unit>
bool csv_needs_quotes(const Unit* s, std::size_t n) {
  std::size_t i = 0;
  if constexpr (sizeof(Unit) == 1) {
    for (; i + 8 <= n; i += 8) {
      const std::uint64_t word = word_at(reinterpret_cast<const std::uint8_t*>(s) + i);
      if (any_equal(word, ',') | any_equal(word, '"') | any_equal(word, '\n') | any_equal(word, '\r')) break;
    }
  }
  for (; i < n; ++i) {
    const auto c = s[i];
    if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
  }
  return false;
}

// Calls write(bytes), taking over the new reference bytes (null with the exception
// set when it could not be made); -1 with the exception set. Plain pointers, no
// Ref: the call may release the lock, and a thread ended by the interpreter's
// finalisation when it takes the lock back unwinds through here without it (see
// Held).
int write_bytes(PyObject* write, PyObject* bytes) {
  if (!bytes) return -1;
  PyObject* result = PyObject_CallOneArg(write, bytes);
  Py_DECREF(bytes);
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

// Output that goes to the Python stream in pieces of about write_chunk bytes
// (on the calling thread, with the lock held), or stays whole (on a helper).
class Sink {
 public:
  Sink(std::string& buffer, PyObject* write) : out(buffer), write_(write) {}

  // Hands the output over once it is large enough; false with the exception set
  // when writing failed.
  bool maybe_flush() { return !write_ || out.size() < write_chunk || flush(); }

  bool flush() {
    if (!write_ || out.empty()) return true;
    if (write_bytes(write_, PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()))) < 0)
      return false;
    out.clear();
    return true;
  }

  std::string& out;

 private:
  PyObject* write_;
};

// The text of a UTF-8 buffer, its bytes [0, n); false when writing failed.
bool put_utf8_text(Style style, Sink& sink, const std::uint8_t* s, std::size_t n, bool quoted) {
  std::string& out = sink.out;
  std::size_t i = 0;
  while (i < n) {
    const std::size_t stop = std::min(n, i + scan_step);
    while (i < stop) {
      const std::size_t j = plain_run_end(style, s, i, stop);
      out.append(reinterpret_cast<const char*>(s + i), j - i);
      i = j;
      if (i == stop) break;
      const std::uint8_t b = s[i];
      if (b < 0x80) {
        if (style == Style::table)
          put_table_escape(out, b);
        else if (style == Style::jsonl)
          put_json_escape(out, b);
        else
          out += quoted ? "\"\"" : "\"";  // a quote
        ++i;
        continue;
      }
      if (style == Style::csv) {  // every other byte, decodable or not, as it is
        out.push_back(static_cast<char>(b));
        ++i;
        continue;
      }
      std::uint32_t c = 0;
      const int length = utf8_sequence(s + i, n - i, c);
      if (length == 0) {  // an undecodable byte, kept as a surrogate by surrogateescape
        if (style == Style::jsonl)
          put_hex(out, 'u', 0xDC00u + b, 4);
        else if (style == Style::table && b < 0xA0)
          put_hex(out, 'x', b, 2);
        else
          out.push_back(static_cast<char>(b));
        ++i;
        continue;
      }
      if (style == Style::table && table_escapes(c))
        put_table_escape(out, c);
      else
        out.append(reinterpret_cast<const char*>(s + i), static_cast<std::size_t>(length));
      i += static_cast<std::size_t>(length);
    }
    if (!sink.maybe_flush()) return false;
  }
  return true;
}

// The text of a str's units [0, n).
template <class Unit>
bool put_str_text(Style style, Sink& sink, const Unit* s, std::size_t n, bool quoted) {
  std::string& out = sink.out;
  const bool* plain = plain_ascii(style);
  std::size_t i = 0;
  while (i < n) {
    const std::size_t stop = std::min(n, i + scan_step);
    while (i < stop) {
      const std::uint32_t c = s[i];
      if (c < 0x80) {
        if (plain[c])
          out.push_back(static_cast<char>(c));
        else if (style == Style::table)
          put_table_escape(out, c);
        else if (style == Style::jsonl)
          put_json_escape(out, c);
        else
          out += quoted ? "\"\"" : "\"";
        ++i;
        continue;
      }
      if (style == Style::table && table_escapes(c)) {
        put_table_escape(out, c);
        ++i;
        continue;
      }
      if (!is_surrogate(c)) {
        put_utf8(out, c);
        ++i;
        continue;
      }
      if (style == Style::jsonl) {  // each one escaped
        put_hex(out, 'u', c, 4);
        ++i;
        continue;
      }
      // A run of surrogates goes back as bytes when all are undecodable bytes, else
      // every one of them as an escape (the run is what the encoder hands its error
      // handler; in the table, the bytes shown escaped end it).
      std::size_t end = i;
      bool bytes = true;
      while (end < n && is_surrogate(s[end]) && !(style == Style::table && table_escapes(s[end]))) {
        bytes = bytes && is_escaped_byte(s[end]);
        ++end;
      }
      for (; i < end; ++i) {
        if (bytes)
          out.push_back(static_cast<char>(s[i] - 0xDC00));
        else
          put_hex(out, 'u', s[i], 4);
      }
    }
    if (!sink.maybe_flush()) return false;
  }
  return true;
}

// The end of a str's units without the plain white space at their end.
template <class Unit>
std::size_t str_without_trailing_space(const Unit* s, std::size_t n) {
  while (n > 0 && is_plain_space(s[n - 1])) --n;
  return n;
}

template <class Unit>
bool put_str_cell(Style style, Sink& sink, const Unit* s, std::size_t n, std::size_t row_start) {
  std::string& out = sink.out;
  if (style == Style::table) {
    n = str_without_trailing_space(s, n);
    if (n == 0) {  // nothing left of the text: the row ends with the cell before it
      out.resize(row_start +
                 utf8_without_trailing_space(reinterpret_cast<const std::uint8_t*>(out.data()) + row_start,
                                             out.size() - row_start));
      return true;
    }
    return put_str_text(style, sink, s, n, false);
  }
  const bool quoted = style == Style::jsonl || csv_needs_quotes(s, n);
  if (quoted) out.push_back('"');
  if (!put_str_text(style, sink, s, n, quoted)) return false;
  if (quoted) sink.out.push_back('"');
  return true;
}

bool put_text_cell(Style style, Sink& sink, const Text& text, std::size_t row_start) {
  switch (text.width) {
    case 1:
      return put_str_cell(style, sink, static_cast<const std::uint8_t*>(text.data), text.length, row_start);
    case 2:
      return put_str_cell(style, sink, static_cast<const std::uint16_t*>(text.data), text.length, row_start);
    case 4:
      return put_str_cell(style, sink, static_cast<const std::uint32_t*>(text.data), text.length, row_start);
    default: break;
  }
  std::string& out = sink.out;
  const auto* s = static_cast<const std::uint8_t*>(text.data);
  std::size_t n = text.length;
  if (style == Style::table) {
    n = utf8_without_trailing_space(s, n);
    if (n == 0) {
      out.resize(row_start +
                 utf8_without_trailing_space(reinterpret_cast<const std::uint8_t*>(out.data()) + row_start,
                                             out.size() - row_start));
      return true;
    }
    return put_utf8_text(style, sink, s, n, false);
  }
  const bool quoted = style == Style::jsonl || csv_needs_quotes(s, n);
  if (quoted) out.push_back('"');
  if (!put_utf8_text(style, sink, s, n, quoted)) return false;
  if (quoted) sink.out.push_back('"');
  return true;
}

// x as repr(x) writes it: the shortest digits that read back as x, in fixed
// notation for exponents from -4 to 15, else in exponent notation.
void put_repr(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "nan";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  if (x == 0.0) {
    out += std::signbit(x) ? "-0.0" : "0.0";
    return;
  }
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific);
  std::string_view written(text, static_cast<std::size_t>(result.ptr - text));
  if (written.front() == '-') {
    out.push_back('-');
    written.remove_prefix(1);
  }
  const std::size_t e = written.find('e');
  const std::string_view mantissa = written.substr(0, e);
  int exponent = 0;
  std::from_chars(written.data() + e + 1 + (written[e + 1] == '+'), written.data() + written.size(),
                  exponent);
  char digits[24];
  std::size_t count = 0;
  for (const char c : mantissa)
    if (c != '.') digits[count++] = c;
  const int point = exponent + 1;  // digits before the decimal point
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits, count);
    } else if (static_cast<std::size_t>(point) >= count) {
      out.append(digits, count);
      out.append(static_cast<std::size_t>(point) - count, '0');
      out += ".0";
    } else {
      out.append(digits, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits + point, count - static_cast<std::size_t>(point));
    }
    return;
  }
  out.append(mantissa);
  out.append(written.substr(e));  // e+XX, e-XX: two digits at least, as repr writes them
}

// x as format(x, f"{width}.4f") writes it.
void put_fixed(std::string& out, double x, std::size_t width) {
  char text[400];
  std::size_t length;
  if (std::isnan(x)) {  // without its sign, as format() writes it
    length = 3;
    std::memcpy(text, "nan", length);
  } else {
    const auto result = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed, 4);
    length = static_cast<std::size_t>(result.ptr - text);
  }
  if (width > length) out.append(width - length, ' ');
  out.append(text, length);
}

// The index of the dominant axis, k for none: the first of the largest
// components when it is above 0 (as numpy's argmax, a NaN is the largest).
std::size_t dominant(const double* v, std::size_t k) {
  std::size_t best = 0;
  for (std::size_t j = 0; j < k; ++j) {
    if (std::isnan(v[j])) return k;
    if (v[j] > v[best]) best = j;
  }
  return v[best] > 0.0 ? best : k;
}

// The cells of a row from its first number to its text, kept for the rows
// of the same vector (bit for bit): a log's lines share few vectors.
class SegmentCache {
 public:
  static constexpr std::size_t max_k = 8;

  // The segment of the vector v, written by `write` into out and kept, or
  // copied from the one kept.
  template <class Write>
  void put(std::string& out, const double* v, std::size_t k, Write write) {
    if (k > max_k) {
      write();
      return;
    }
    if (entries_.empty()) entries_.resize(slots);
    std::uint64_t bits[max_k];
    std::memcpy(bits, v, k * sizeof(double));
    std::uint64_t hash = 0;
    for (std::size_t j = 0; j < k; ++j) hash = (hash ^ bits[j]) * 0x9E3779B97F4A7C15ull;
    Entry& entry = entries_[hash >> (64 - slot_bits)];  // the best mixed bits
    if (entry.used && std::memcmp(entry.bits, bits, k * sizeof(double)) == 0) {
      out += entry.text;
      return;
    }
    const std::size_t start = out.size();
    write();
    entry.text.assign(out, start);
    std::memcpy(entry.bits, bits, k * sizeof(double));
    entry.used = true;
  }

 private:
  static constexpr int slot_bits = 12;
  static constexpr std::size_t slots = std::size_t{1} << slot_bits;
  struct Entry {
    std::uint64_t bits[max_k];
    bool used = false;
    std::string text;
  };
  std::vector<Entry> entries_;
};

// What a thread keeps from row to row.
struct RowState {
  SegmentCache cache;
  std::string buffer;
};

// One row into the sink; false with the exception set when writing failed.
bool put_row(const Layout& layout, Sink& sink, SegmentCache& cache, std::size_t row, const double* v,
             const Text& text) {
  std::string& out = sink.out;
  const std::size_t row_start = out.size();
  out += layout.pieces[0];
  if (layout.first_line > 0) {
    char digits[24];
    // Unsigned: first_line is at most PY_SSIZE_T_MAX, so adding a row number never wraps.
    const auto result = std::to_chars(digits, digits + sizeof digits, layout.first_line + row);
    const auto count = static_cast<std::size_t>(result.ptr - digits);
    out.append(digits, count);
    if (layout.line_width > layout.line_prefix_chars + count)
      out.append(layout.line_width - layout.line_prefix_chars - count, ' ');
  }
  cache.put(out, v, layout.k, [&] {
    for (std::size_t j = 0; j < layout.k; ++j) {
      out += layout.pieces[1 + j];
      if (layout.style == Style::table)
        put_fixed(out, v[j], layout.number_widths[j]);
      else
        put_repr(out, v[j]);
    }
    out += layout.pieces[layout.k + 1];
    out += layout.axis_cells[dominant(v, layout.k)];
    out += layout.pieces[layout.k + 2];
  });
  if (!put_text_cell(layout.style, sink, text, row_start)) return false;
  out += layout.pieces[layout.k + 3];
  return sink.maybe_flush();
}

// Copies each item of a tuple of bytes.
int bytes_items(PyObject* tuple, std::size_t count, std::vector<std::string>& out, const char* what) {
  if (!PyTuple_Check(tuple) || static_cast<std::size_t>(PyTuple_GET_SIZE(tuple)) != count) {
    PyErr_Format(PyExc_ValueError, "format_rows() needs %s as a tuple of %zu bytes", what, count);
    return -1;
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(i));
    if (!PyBytes_Check(item)) {
      PyErr_Format(PyExc_TypeError, "format_rows() needs %s as bytes, got %T", what, item);
      return -1;
    }
    out.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
  }
  return 0;
}

int size_arg(PyObject* arg, std::size_t& out, const char* what) {
  const Py_ssize_t value = PyLong_AsSsize_t(arg);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "format_rows() needs %s >= 0", what);
    return -1;
  }
  out = static_cast<std::size_t>(value);
  return 0;
}

// What a call holds of its arguments: released by the call once the rows are
// written, and never by a destructor. A call runs Python code (write(), and its
// own threads' part without the lock); a thread that takes the lock back while
// the interpreter is finalising (a daemon thread) is ended there, and the
// unwinding runs this frame's destructors without the lock. What is held here
// is then left to leak, as the thread's own Python frames are.
struct Held {
  Py_buffer vectors{}, data{};
  bool vectors_held = false, data_held = false;
  PyObject* tuple = nullptr;

  void release() {
    if (vectors_held) PyBuffer_Release(&vectors);
    if (data_held) PyBuffer_Release(&data);
    Py_XDECREF(tuple);
    vectors_held = data_held = false;
    tuple = nullptr;
  }
};

PyObject* write_rows(PyObject* const* args, Held& held) {
  try {
    Layout layout;
    std::size_t style = 0, workers = 0;
    if (size_arg(args[0], style, "a style") < 0 || size_arg(args[3], layout.k, "k") < 0 ||
        size_arg(args[5], layout.line_width, "line_width") < 0 ||
        size_arg(args[6], layout.line_prefix_chars, "line_prefix_chars") < 0 ||
        size_arg(args[11], workers, "workers") < 0)
      return nullptr;
    if (size_arg(args[4], layout.first_line, "first_line") < 0) return nullptr;
    if (style > 2 || layout.k == 0 || layout.k > 4096) {
      PyErr_SetString(PyExc_ValueError, "format_rows() needs a style of 0, 1 or 2 and k from 1 to 4096");
      return nullptr;
    }
    layout.style = static_cast<Style>(style);
    if (bytes_items(args[7], layout.k + 4, layout.pieces, "pieces") < 0 ||
        bytes_items(args[8], layout.k + 1, layout.axis_cells, "axis_cells") < 0)
      return nullptr;
    PyObject* widths = args[9];
    if (!PyTuple_Check(widths) || static_cast<std::size_t>(PyTuple_GET_SIZE(widths)) != layout.k) {
      PyErr_SetString(PyExc_ValueError, "format_rows() needs number_widths as a tuple of k ints");
      return nullptr;
    }
    for (std::size_t j = 0; j < layout.k; ++j) {
      std::size_t width = 0;
      if (size_arg(PyTuple_GET_ITEM(widths, static_cast<Py_ssize_t>(j)), width, "number widths") < 0)
        return nullptr;
      layout.number_widths.push_back(width);
    }
    PyObject* write = args[10];
    if (!PyCallable_Check(write)) {
      PyErr_SetString(PyExc_TypeError, "format_rows() needs a callable write");
      return nullptr;
    }

    Py_buffer& vectors = held.vectors;
    if (PyObject_GetBuffer(args[2], &vectors, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    held.vectors_held = true;
    if (vectors.itemsize != sizeof(double) || !vectors.format || std::string_view(vectors.format) != "d" ||
        static_cast<std::size_t>(vectors.len) % (sizeof(double) * layout.k) != 0) {
      PyErr_SetString(PyExc_ValueError,
                      "format_rows() needs vectors as a C-contiguous float64 buffer of k per row");
      return nullptr;
    }
    const auto* numbers = static_cast<const double*>(vectors.buf);
    const std::size_t n = static_cast<std::size_t>(vectors.len) / (sizeof(double) * layout.k);

    // The texts: in place in the buffer, or in the str objects a tuple keeps alive.
    std::vector<Text> texts;
    texts.reserve(n);
    std::size_t total = 0, longest = 0;
    if (PyTuple_Check(args[1]) || PyList_Check(args[1])) {
      held.tuple = PySequence_Tuple(args[1]);
      if (!held.tuple) return nullptr;
      if (static_cast<std::size_t>(PyTuple_GET_SIZE(held.tuple)) != n) {
        PyErr_SetString(PyExc_ValueError, "format_rows() needs as many texts as vectors");
        return nullptr;
      }
      for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(held.tuple, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(item)) {
          PyErr_Format(PyExc_TypeError, "format_rows() needs texts as str, got %T", item);
          return nullptr;
        }
        const Text text{PyUnicode_DATA(item), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)),
                        static_cast<int>(PyUnicode_KIND(item))};
        texts.push_back(text);
        total += text.length * static_cast<std::size_t>(text.width);
        longest = std::max(longest, text.length);
      }
    } else {
      Py_buffer& data = held.data;
      if (PyObject_GetBuffer(args[1], &data, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
      held.data_held = true;
      // Bytes only: the units of a numpy str array or of a buffer of wider items are no UTF-8.
      const std::string_view format = data.format ? data.format : "B";
      if (data.itemsize != 1 || (format != "B" && format != "b" && format != "c")) {
        PyErr_Format(PyExc_TypeError,
                     "format_rows() needs texts as a list of str or a buffer of bytes, got %T", args[1]);
        return nullptr;
      }
      const auto* bytes = static_cast<const std::uint8_t*>(data.buf);
      total = static_cast<std::size_t>(data.len);
      for_each_line(bytes, total, [&](std::size_t begin, std::size_t length) {
        if (length > 0 && bytes[begin + length - 1] == '\r') --length;
        texts.push_back({bytes + begin, length, 0});
        longest = std::max(longest, length);
      });
      if (texts.size() != n) {
        PyErr_Format(PyExc_ValueError, "format_rows() got %zu lines for %zu vectors", texts.size(), n);
        return nullptr;
      }
    }

    const std::size_t threads =
        longest > write_chunk
            ? 1
            : std::min({workers, 1 + total / bytes_per_thread, (n + group_rows - 1) / group_rows});
    if (threads <= 1) {
      // On this thread, with the lock: the output goes out a piece at a time.
      std::string buffer;
      buffer.reserve(std::min<std::size_t>(write_chunk + write_chunk / 4, total + n * (16 + 24 * layout.k)));
      Sink sink(buffer, write);
      SegmentCache cache;
      for (std::size_t i = 0; i < n; ++i) {
        if (!put_row(layout, sink, cache, i, numbers + i * layout.k, texts[i])) return nullptr;
        if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0) return nullptr;
      }
      if (!sink.flush()) return nullptr;
      Py_RETURN_NONE;
    }

    // Groups of rows formatted on several threads, each into its own buffer, then
    // written in order.
    const std::size_t groups = (n + group_rows - 1) / group_rows;
    std::vector<std::string> outputs(groups);
    std::atomic<bool> short_of_memory{false};
    ParallelRun run(groups, threads);
    const int status = run.run<RowState>([&](RowState& state, std::size_t begin, std::size_t end) {
      for (std::size_t g = begin; g < end; ++g) {
        const bool done = allocated([&] {
          // Into the thread's own buffer, then moved to its place: threads that
          // appended to neighbouring strings would share their cache lines.
          Sink sink(state.buffer, nullptr);
          const std::size_t last = std::min(n, (g + 1) * group_rows);
          for (std::size_t i = g * group_rows; i < last; ++i)
            put_row(layout, sink, state.cache, i, numbers + i * layout.k, texts[i]);
          const std::size_t capacity = state.buffer.capacity();
          outputs[g] = std::move(state.buffer);
          state.buffer = std::string();
          state.buffer.reserve(capacity);
        });
        if (!done) short_of_memory.store(true, std::memory_order_relaxed);
      }
    });
    if (status < 0) return nullptr;
    if (short_of_memory.load()) return PyErr_NoMemory();
    // A group at a time: buffers of this size come back to the allocator and are
    // reused, where one of the whole block's size would be mapped afresh.
    for (std::string& output : outputs) {
      if (output.empty()) continue;
      PyObject* bytes = PyBytes_FromStringAndSize(output.data(), static_cast<Py_ssize_t>(output.size()));
      std::string().swap(output);
      if (write_bytes(write, bytes) < 0) return nullptr;
    }
    Py_RETURN_NONE;
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

// format_rows(style, texts, vectors, k, first_line, line_width,
// line_prefix_chars, pieces, axis_cells, number_widths, write, workers):
// writes the rows through write(bytes). style is 0 (table), 1 (CSV) or 2
// (JSON lines); texts the UTF-8 bytes of the lines (each without its "\n" and
// one "\r" before it) or a tuple of str; vectors k float64 per row; first_line
// the number of the first row (0: no line column), whose cell is padded to
// line_width code points, line_prefix_chars of them written by pieces[0].
PyObject* format_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 12) {
    PyErr_Format(PyExc_TypeError, "format_rows() takes 12 arguments (%zd given)", nargs);
    return nullptr;
  }
  Held held;
  PyObject* result = write_rows(args, held);
  held.release();
  return result;
}

}  // namespace nuvra::batch
