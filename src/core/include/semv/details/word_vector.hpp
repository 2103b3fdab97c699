// The word vector over any code-point view (see code_points.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "semv/details/bigrams.hpp"
#include "semv/details/code_points.hpp"
#include "semv/details/slot_counts.hpp"
#include "semv/vectors.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

// Whether n bytes lower-cased are n letters a-z: a byte lowers onto a-z
// exactly when it is that letter with bit 5 set (A-Z or a-z), so a word of
// 1-byte units is compared several bytes at a time.
template <std::size_t n>
bool lowered_bytes_equal(const unsigned char* bytes, const char* letters) {
  using Chunk = std::conditional_t<n == 8, std::uint64_t, std::uint32_t>;
  Chunk a, b;
  std::memcpy(&a, bytes, n);
  std::memcpy(&b, letters, n);
  return (a | static_cast<Chunk>(0x2020202020202020ull)) == b;
}

// Whether the word starts with the keyword, whose first two letters it has.
template <class Word>
bool has_prefix(const Word& w, const PrefixKeyword& keyword) {
  const std::size_t n = keyword.length;
  if (n > w.size()) return false;
  if constexpr (std::is_base_of_v<Lowered<std::uint8_t>, Word>) {
    // Two overlapping chunks cover the keyword, within the word's length.
    const char* k = keyword.text.data();
    if (n >= 8) return lowered_bytes_equal<8>(w.data, k) && lowered_bytes_equal<8>(w.data + n - 8, k + n - 8);
    if (n >= 4) return lowered_bytes_equal<4>(w.data, k) && lowered_bytes_equal<4>(w.data + n - 4, k + n - 4);
  }
  for (std::size_t i = 2; i < n; ++i)
    if (w[i] != static_cast<char32_t>(keyword.text[i])) return false;
  return true;
}

// The first keyword, X before Y before Z, that the word starts with: the
// keywords that begin with the word's first pair (first_pair), which must be
// a keyword bigram.
template <class Word>
[[gnu::always_inline]] inline const PrefixKeyword* prefix_match(const Vocabularies& v, const Word& w,
                                                                std::uint16_t first) {
  if (first >= v.keyword_bigram_count) return nullptr;
  const PrefixCandidates& cands = v.prefix_candidates[first];
  for (std::size_t i = 0; i < cands.size; ++i) {
    const PrefixKeyword& keyword = v.prefix_keywords[cands.keyword[i]];
    if (has_prefix(w, keyword)) return &keyword;
  }
  return nullptr;
}

// The thresholded best score of each axis, and whether any is kept: a kept
// score is positive, as it has a bigram in common.
struct AxisScores {
  std::array<double, axis_count> score{};
  bool any = false;
};

// The thresholded best score of each axis.
//
// A score c / u, with c bigrams in common and u in the union, is kept when it
// is at least score_threshold, 2/5. For these small counts (u < 40) no
// quotient rounds across it (threshold_test_is_exact), so the test is exact in
// integers: 5c >= 2u, that is 7c >= 2(d + s) for a word of d distinct bigrams
// and a keyword of s, as u = d + s - c (least_kept_common); cannot_score
// settles most words before any keyword is counted. The kept scores of an axis are compared as
// fractions, which picks the same maximum as comparing rounded quotients, so
// each axis divides at most once.
inline AxisScores axis_scores(const Vocabularies& v, const WordBigrams& word) {
  AxisScores scores;
  if (word.scores_nothing(v)) return scores;
  const std::uint32_t d = word.distinct;  // at most max_scoring_bigrams, or nothing scores
  SlotCounts common;
  count_slots(v, word.keyword_pairs.data(), word.keyword_pair_count, d, common);
  std::uint32_t c_best[axis_count] = {0, 0, 0}, u_best[axis_count] = {1, 1, 1};
  for (std::size_t half = 0; half < 2; ++half) {
    for (std::uint64_t bits = common.passing[half]; bits != 0; bits &= bits - 1) {
      const std::size_t j = 64 * half + static_cast<std::size_t>(std::countr_zero(bits));
      const std::size_t a = (j >= v.first_slot[1]) + (j >= v.first_slot[2]);
      const std::uint32_t c = common.count(j), u = d + v.set_size[j] - c;
      if (c * u_best[a] > c_best[a] * u) {
        c_best[a] = c;
        u_best[a] = u;
      }
    }
  }
  for (std::size_t a = 0; a < axis_count; ++a) {
    if (c_best[a] == 0) continue;
    scores.score[a] = jaccard_sim(c_best[a], u_best[a]);
    scores.any = true;
  }
  return scores;
}

// Whole vectors from a table: writing the 1.0 into a vector that is then
// copied would stall the copy's wide loads on the narrow store.
inline constexpr std::array<std::array<double, 3>, axis_count> unit_components{
    {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

inline WordVector unit_vector(Axis axis) {
  return {WordForm::unit, axis, unit_components[index_of(axis)]};
}

// The fallback scores of a word that starts with no keyword.
template <class Word, class KeywordPairSet>
[[gnu::always_inline]] inline AxisScores fallback_scores(const Vocabularies& v, const Word& w,
                                                         std::uint16_t first, KeywordPairSet keyword_pairs) {
  WordBigrams bigrams;
  collect_bigrams(v, w, first, keyword_pairs, bigrams);
  return axis_scores(v, bigrams);
}

inline WordVector fallback_vector(const AxisScores& scores) {
  return {WordForm::fallback, Axis::x, {scores.score[0], scores.score[1], scores.score[2]}};
}

// The vector of a normalised word.
template <class Word>
[[gnu::always_inline]] inline WordVector word_vector_of(const Vocabularies& v, const Word& w) {
  if (w.size() == 0) return {WordForm::empty, Axis::x, {0.0, 0.0, 0.0}};
  const std::uint16_t first = first_pair(v, w);
  if (const PrefixKeyword* match = prefix_match(v, w, first)) return unit_vector(match->axis);
  KeywordPairMarks keyword_pairs;
  return fallback_vector(fallback_scores(v, w, first, keyword_pairs.next_word()));
}

}  // namespace semv::details
