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
//     marks carry over from every text before;
//   - spaces built at run time from the input (one first byte in three): its
//     keywords up to a 0 byte, '|' starting the next axis, thresholds and
//     options from the second byte; then the text, scored by the space on
//     its best tables and on the general ones against the plain twin, and
//     the text as a normalised word.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "semv/details/code_points.hpp"
#include "semv/reference.hpp"
#include "semv/space.hpp"
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

// A space from the input's keywords, and its text.
semv::SpaceSpec space_of(std::uint8_t options, const std::uint8_t* data, std::size_t size, std::size_t& used) {
  static constexpr double thresholds[] = {0.4, 1.0, 0.25, 1.0 / 3.0, 4.9406564584124654e-324, 0.5, 0.1, 0.75};
  semv::SpaceSpec spec;
  spec.split = options & 1;
  spec.fold = options & 2;
  spec.axes.push_back({"a0", {}, thresholds[(options >> 2) & 7]});
  std::string word;
  auto finish = [&] {
    if (word.size() >= 2 && word.size() <= semv::max_space_keyword_length) {
      bool taken = false;
      for (const auto& axis : spec.axes)
        for (const auto& k : axis.keywords) taken = taken || k == word;
      if (!taken) spec.axes.back().keywords.push_back(word);
    }
    word.clear();
  };
  for (used = 0; used < size && data[used] != 0; ++used) {
    const char c = static_cast<char>(data[used]);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
      word += c;
    } else {
      finish();
      if (c == '|' && spec.axes.size() < semv::max_space_axes && !spec.axes.back().keywords.empty())
        spec.axes.push_back({"a" + std::to_string(spec.axes.size()), {}, thresholds[(options >> 5) & 7]});
    }
  }
  finish();
  if (used < size) ++used;  // the 0 byte
  if (spec.axes.back().keywords.empty()) spec.axes.back().keywords.push_back("er");
  return spec;
}

template <class Unit>
void check_space(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  std::size_t used = 0;
  const semv::SpaceSpec spec = space_of(data[0], data + 1, size - 1, used);
  const std::vector<Unit> units = decode<Unit>(data + 1 + used, size - 1 - used);
  const std::u32string text = code_points(units);
  const std::vector<double> plain = semv::reference::text_vector(spec, text);
  for (semv::Tables tables : {semv::Tables::best, semv::Tables::general}) {
    const semv::SpaceBuild build = semv::build_space(spec, tables);
    if (!build.space) report("build_space", text);
    semv::SpaceScratch scratch;
    if (!scratch.bind(*build.space)) continue;
    std::vector<double> out(spec.axes.size());
    build.space->text_vector(std::span<const Unit>(units), out.data(), scratch);
    if (std::memcmp(out.data(), plain.data(), out.size() * sizeof(double)) != 0) report("Space::text_vector", text);
    // The text's units as a word, lower-cased in ASCII: normalised when they
    // hold no other upper case and no white space at either end.
    std::vector<Unit> word = units;
    for (Unit& u : word)
      if (u >= 'A' && u <= 'Z') u += 'a' - 'A';
    std::u32string w = code_points(word);
    const std::vector<double> word_plain = semv::reference::word_vector(spec, w);
    build.space->word_vector(std::span<const Unit>(word), out.data(), scratch);
    if (std::memcmp(out.data(), word_plain.data(), out.size() * sizeof(double)) != 0)
      report("Space::word_vector", w);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Repeated texts are slow to check, so they come up two times in nine.
  const std::uint8_t what = data[0] % 9, width = (data[0] / 9) % 3;
  if (data[0] / 27 % 3 == 2) {
    if (width == 0) check_space<std::uint8_t>(data + 1, size - 1);
    if (width == 1) check_space<std::uint16_t>(data + 1, size - 1);
    if (width == 2) check_space<std::uint32_t>(data + 1, size - 1);
    return 0;
  }
  if (width == 0) check<std::uint8_t>(what, data + 1, size - 1);
  if (width == 1) check<std::uint16_t>(what, data + 1, size - 1);
  if (width == 2) check<std::uint32_t>(what, data + 1, size - 1);
  return 0;
}
