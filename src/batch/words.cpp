// shared_words(column, rows, words, fold): for each requested row of a text
// column, how many of the query's words it holds as whole words.
//
// A line's words are its runs of A-Z, a-z, 0-9 and _, compared lower-cased;
// with fold, the Turkish letters count as the ASCII letters they fold to (so "Şifre" holds "sifre"), and
// every other unit separates words. Each line is read once, in place, in whatever width its row has, and the
// search stops as soon as every word is found. The fold needs code points: a
// column of encoded bytes read in place is refused with it. The counting runs
// without the interpreter lock when the lines are long enough to make that
// worth it.
#include "words.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "column.hpp"
#include "memory.hpp"
#include "ref.hpp"
#include "semv/characters.hpp"
#include "state.hpp"

namespace nuvra::batch {

namespace {

// Below this many units in the requested rows the lock is kept: releasing it
// costs more than the count.
constexpr std::size_t units_without_lock = 16 * 1024;

// The lower-cased ASCII word character a unit stands for, or 0 for a unit
// that separates words.
struct WordCharacters {
  std::array<char, 256> narrow{};  // units below 256
  bool fold = false;

  explicit WordCharacters(bool folding) : fold(folding) {
    for (char32_t c = 0; c < 128; ++c)
      if (semv::is_token_char(c)) narrow[c] = lower(static_cast<char>(c));
    if (fold)
      for (const semv::Fold& f : semv::turkish_fold)
        if (f.from < 256) narrow[f.from] = lower(f.to);
  }

  static constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

  char operator()(std::uint32_t unit) const {
    if (unit < 256) return narrow[unit];
    if (fold)
      for (const semv::Fold& f : semv::turkish_fold)
        if (f.from == unit) return lower(f.to);
    return 0;
  }
};

// The query's words, distinct, grouped by length.
struct QueryWords {
  std::vector<std::string> words;
  std::vector<std::vector<std::uint32_t>> by_length;  // word indices per length
  std::size_t grouped = 0;                            // the words in by_length: those a row can hold
};

template <class Unit>
std::size_t count_in_row(const Unit* units, std::size_t n, const QueryWords& query, const WordCharacters& map,
                         std::vector<std::uint8_t>& found) {
  const std::size_t total = query.grouped;
  const std::size_t longest = query.by_length.size() - 1;
  std::fill(found.begin(), found.end(), std::uint8_t{0});
  std::size_t held = 0;
  std::size_t i = 0;
  while (i < n) {
    if (!map(units[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < n && map(units[i])) ++i;
    const std::size_t length = i - start;
    if (length > longest) continue;
    for (std::uint32_t w : query.by_length[length]) {
      if (found[w]) continue;
      const std::string& word = query.words[w];
      std::size_t j = 0;
      while (j < length && map(units[start + j]) == word[j]) ++j;
      if (j < length) continue;
      found[w] = 1;
      if (++held == total) return held;
      break;  // the words are distinct: no other one equals this token
    }
  }
  return held;
}

std::size_t count_in(const Row& row, const QueryWords& query, const WordCharacters& map,
                     std::vector<std::uint8_t>& found) {
  switch (row.width) {
    case 1: return count_in_row(static_cast<const std::uint8_t*>(row.data), row.length, query, map, found);
    case 2: return count_in_row(static_cast<const std::uint16_t*>(row.data), row.length, query, map, found);
    case 4: return count_in_row(static_cast<const std::uint32_t*>(row.data), row.length, query, map, found);
    default: return 0;  // a missing value holds no word
  }
}

// The words as the query gives them: str of [a-z0-9_], lower-cased as
// words_of makes them; repeats count once.
int query_words_of(PyObject* words, QueryWords& query) {
  Ref items(PySequence_Fast(words, "shared_words() needs the words as an iterable of str"));
  if (!items) return -1;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "shared_words() needs the words as str, got %.100s",
                   Py_TYPE(item)->tp_name);
      return -1;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (!text) return -1;
    const std::string_view word(text, static_cast<std::size_t>(size));
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
      return semv::is_keyword_char(static_cast<unsigned char>(c));
    });
    if (!plain) {
      PyErr_Format(PyExc_ValueError, "shared_words() needs words of a-z, 0-9 and _, got %R", item);
      return -1;
    }
    if (allocate_or_raise([&] { query.words.emplace_back(word); }) < 0) return -1;
  }
  // Repeats are dropped by sorting, not hashing: no query can steer a hash into
  // quadratic time. The counts do not depend on the words' order.
  return allocate_or_raise([&] {
    std::sort(query.words.begin(), query.words.end());
    query.words.erase(std::unique(query.words.begin(), query.words.end()), query.words.end());
  });
}

// Groups the words by length. A word longer than every requested row cannot be
// one of their tokens and is left out: the table then grows with the rows, not
// with the longest word.
int group_by_length(QueryWords& query, std::size_t longest_row) {
  std::size_t longest = 0;
  for (const std::string& word : query.words)
    if (word.size() <= longest_row) longest = std::max(longest, word.size());
  return allocate_or_raise([&] {
    query.by_length.resize(longest + 1);
    for (std::size_t w = 0; w < query.words.size(); ++w)
      if (query.words[w].size() <= longest) {
        query.by_length[query.words[w].size()].push_back(static_cast<std::uint32_t>(w));
        ++query.grouped;
      }
  });
}

// The requested rows, each an int within the column.
int requested_rows(PyObject* rows, std::size_t size, std::vector<std::size_t>& out, std::size_t& units,
                   std::size_t& longest, const Column& column) {
  Ref items(PySequence_Fast(rows, "shared_words() needs the rows as an iterable of int"));
  if (!items) return -1;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (allocate_or_raise([&] { out.reserve(static_cast<std::size_t>(n)); }) < 0) return -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    // An exact int is read without running Python code.
    if (!PyLong_CheckExact(item)) {
      PyErr_Format(PyExc_TypeError, "shared_words() needs the rows as int, got %.100s",
                   Py_TYPE(item)->tp_name);
      return -1;
    }
    const Py_ssize_t row = PyLong_AsSsize_t(item);
    if (row == -1 && PyErr_Occurred()) return -1;
    if (row < 0 || static_cast<std::size_t>(row) >= size) {
      PyErr_Format(PyExc_IndexError, "shared_words(): row %zd is not in a column of %zu rows", row, size);
      return -1;
    }
    out.push_back(static_cast<std::size_t>(row));
    const std::size_t length = column.rows[static_cast<std::size_t>(row)].length;
    units += length;
    longest = std::max(longest, length);
  }
  return 0;
}

}  // namespace

PyObject* shared_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 || !PyObject_TypeCheck(args[0], state_of(module).column_type)) {
    PyErr_SetString(PyExc_TypeError, "shared_words(column: Column, rows, words, fold: bool)");
    return nullptr;
  }
  const Column& column = *column_of(args[0]);
  if (column.kind != Kind::texts) {
    PyErr_SetString(PyExc_ValueError, "shared_words() needs a column of texts");
    return nullptr;
  }
  const int fold = PyObject_IsTrue(args[3]);
  if (fold < 0) return nullptr;
  if (fold && column.bytes_in_place) {
    PyErr_SetString(PyExc_ValueError,
                    "shared_words() folds Turkish letters only in a column of code points, not in one of "
                    "bytes read in place");
    return nullptr;
  }
  QueryWords query;
  if (query_words_of(args[2], query) < 0) return nullptr;
  std::vector<std::size_t> rows;
  std::size_t units = 0, longest_row = 0;
  if (requested_rows(args[1], column.rows.size(), rows, units, longest_row, column) < 0 ||
      group_by_length(query, longest_row) < 0)
    return nullptr;

  std::vector<std::size_t> counts;
  std::vector<std::uint8_t> found;
  if (allocate_or_raise([&] {
        counts.resize(rows.size());
        found.resize(query.words.size());
      }) < 0)
    return nullptr;
  const WordCharacters map(fold != 0);
  auto work = [&] {
    if (query.grouped == 0) return;  // no row can hold a word: every count is 0
    for (std::size_t i = 0; i < rows.size(); ++i)
      counts[i] = count_in(column.rows[rows[i]], query, map, found);
  };
  if (units < units_without_lock) {
    work();
  } else {
    PyThreadState* saved = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(saved);
  }

  Ref result(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* count = PyLong_FromSize_t(counts[i]);  // a small int: the interpreter's own, no new object
    if (!count) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), count);
  }
  return result.release();
}

}  // namespace nuvra::batch
