// libFuzzer target: the fast core against its plain twin (semv/reference.hpp),
// bit for bit, for words and texts in all three storage widths.
//
// The first byte chooses the check (its value % 9) and the width of the units
// (its value / 9 % 3); the rest are the units, where a byte below 0x80 is one
// ASCII unit and any other byte starts a wider one, so that keywords,
// separators and wide code points stay likely in every width. The paths this drives, by name:
//   - prefix_match and has_prefix, through keywords and near-keywords;
//   - collect_bigrams: its bounds on the distinct bigrams, the words they
//     settle and those that distinct_bigrams counts (PairBits and
//     CodePointPairs), and its stops after max_scoring_bigrams;
//   - count_slots and axis_scores, in the SIMD form or, built with
//     SEMV_NO_SIMD, the scalar one;
//   - lowered_word_vector: the Lowered view, stripped, simply_lowered;
//   - text_vector_of: block_masks, whole, read from the text's last 64
//     units or copied, for_each_paired_token, tokens that run across
//     blocks, tokens without two letters in a row;
//   - TokenCache, which this build keeps for texts of 64 units or more;
//   - the wrap of KeywordPairMarks' generations (more than 255 fallback
//     tokens), on texts repeated until they are long enough;
//   - TextBatch, one per width kept for the whole run, so that its cache and
//     marks carry over from every text before.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "semv/details/code_points.hpp"
#include "semv/reference.hpp"
#include "semv/text_batch.hpp"
#include "semv/vectors.hpp"
#include "semv/vocabulary.hpp"

namespace {

using semv::vocabularies;

// Long enough for the generations of KeywordPairMarks to wrap round.
constexpr std::size_t repeated_text_units = 1536;

template <class Unit>
std::vector<Unit> decode(const std::uint8_t* data, std::size_t size) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i < size;) {
    std::uint32_t c = data[i++];
    if (c >= 0x80 && sizeof(Unit) > 1) {
      for (std::size_t k = 1; k < sizeof(Unit) && i < size; ++k) c = (c << 8) | data[i++];
      c = sizeof(Unit) == 2 ? c & 0xFFFF : c % 0x110000;
    }
    units.push_back(static_cast<Unit>(c));
  }
  return units;
}

template <class Unit>
std::u32string code_points(const std::vector<Unit>& units) {
  return std::u32string(units.begin(), units.end());
}

bool same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class Vector>
bool same_components(const Vector& a, const Vector& b) {
  for (std::size_t i = 0; i < 3; ++i)
    if (!same(a.components[i], b.components[i])) return false;
  return true;
}

bool same_word(const semv::WordVector& a, const semv::WordVector& b) {
  return a.form == b.form && (a.form != semv::WordForm::unit || a.axis == b.axis) && same_components(a, b);
}

[[noreturn]] void report(const char* what, const std::u32string& input) {
  std::fprintf(stderr, "%s differs from the reference for %zu code points:", what, input.size());
  for (char32_t c : input) std::fprintf(stderr, " %X", static_cast<unsigned>(c));
  std::fprintf(stderr, "\n");
  std::abort();
}

template <class Unit>
void check_word(const std::vector<Unit>& units) {
  const std::u32string word = code_points(units);
  if (!same_word(semv::word_vector(vocabularies, std::span<const Unit>(units)),
                 semv::reference::word_vector(word)))
    report("word_vector", word);
}

// In place, the word is lower-cased and stripped as it is read; the twin
// lowers and strips a copy.
template <class Unit>
void check_lowered_word(const std::vector<Unit>& units) {
  semv::WordVector fast;
  const bool lowered = semv::lowered_word_vector(vocabularies, std::span<const Unit>(units), fast);
  const std::u32string word = code_points(units);
  if (!semv::details::simply_lowered(units.data(), units.size())) {
    if (lowered) report("lowered_word_vector (uncovered code point)", word);
    return;
  }
  std::u32string copy;
  for (char32_t c : word) copy += semv::details::simple_lower(c);
  const std::size_t begin = copy.find_first_not_of(U"\t\n\v\f\r\x1c\x1d\x1e\x1f \x85\xa0");
  copy = begin == std::u32string::npos ? U"" : copy.substr(begin);
  copy.erase(copy.find_last_not_of(U"\t\n\v\f\r\x1c\x1d\x1e\x1f \x85\xa0") + 1);
  if (!lowered || !same_word(fast, semv::reference::word_vector(copy))) report("lowered_word_vector", word);
}

template <class Unit>
semv::TextBatch& batch() {
  static semv::TextBatch kept;
  return kept;
}

template <class Unit>
void check_text(const std::vector<Unit>& units) {
  const semv::TextVector fast = semv::text_vector(vocabularies, std::span<const Unit>(units));
  const semv::TextVector plain = semv::reference::text_vector(code_points(units));
  if (fast.form != plain.form || !same_components(fast, plain)) report("text_vector", code_points(units));
  const semv::TextVector batched = batch<Unit>().text_vector(vocabularies, std::span<const Unit>(units));
  if (batched.form != plain.form || !same_components(batched, plain))
    report("TextBatch::text_vector", code_points(units));
}

// The text written again and again, separated by `separator`, to at least n units.
template <class Unit>
std::vector<Unit> repeated(const std::vector<Unit>& units, Unit separator, std::size_t n) {
  std::vector<Unit> out;
  while (!units.empty() && out.size() < n) {
    out.insert(out.end(), units.begin(), units.end());
    out.push_back(separator);
  }
  return out;
}

template <class Unit>
void check(std::uint8_t what, const std::uint8_t* data, std::size_t size) {
  const std::vector<Unit> units = decode<Unit>(data, size);
  switch (what) {
    case 0:
    case 1: check_word(units); break;
    case 2:
    case 3:
      if constexpr (sizeof(Unit) < 4) check_lowered_word(units);
      break;
    case 4:
    case 5:
    case 6: check_text(units); break;
    default: check_text(repeated<Unit>(units, what == 7 ? ' ' : 'x', repeated_text_units)); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Repeated texts are slow to check, so they come up two times in nine.
  const std::uint8_t what = data[0] % 9, width = (data[0] / 9) % 3;
  if (width == 0) check<std::uint8_t>(what, data + 1, size - 1);
  if (width == 1) check<std::uint16_t>(what, data + 1, size - 1);
  if (width == 2) check<std::uint32_t>(what, data + 1, size - 1);
  return 0;
}
