// The word vector over any code-point view (see code_points.hpp).
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "semv/details/code_points.hpp"
#include "semv/details/pair_set.hpp"
#include "semv/vectors.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

// The bigrams of a word as the fallback scores them.
struct WordBigrams {
  // Bit p set when the word has the symbol pair numbered p.
  std::array<std::uint64_t, (symbol_pair_count + 63) / 64> seen{};
  // The keyword bigrams among them, each once.
  std::array<std::uint16_t, max_keyword_bigrams> keyword_pairs;
  std::size_t keyword_pair_count = 0;
  // All distinct bigrams of the word, keyword bigrams or not.
  std::uint64_t distinct = 0;

  void add_symbol_pair(std::uint16_t p, std::uint16_t keyword_bigram_count) {
    const std::uint64_t bit = std::uint64_t{1} << (p % 64);
    if (seen[p / 64] & bit) return;
    seen[p / 64] |= bit;
    ++distinct;
    if (p < keyword_bigram_count) keyword_pairs[keyword_pair_count++] = p;
  }
};

// Whether the word starts with the keyword, whose first two letters it has.
template <class Word>
constexpr bool has_prefix(const Word& w, const PrefixKeyword& keyword) {
  if (keyword.length > w.size()) return false;
  for (std::size_t i = 2; i < keyword.length; ++i)
    if (w[i] != static_cast<char32_t>(keyword.text[i])) return false;
  return true;
}

// The first keyword, X before Y before Z, that the word starts with.
template <class Word>
constexpr const PrefixKeyword* prefix_match(const Vocabularies& v, const Word& w) {
  if (w.size() < 2) return nullptr;
  const char32_t first = w[0] - U'a', second = w[1] - U'a';
  if (first >= 26 || second >= 26) return nullptr;
  const PrefixCandidates& cands = v.prefixes[first][second];
  for (std::size_t i = 0; i < cands.size; ++i) {
    const PrefixKeyword& keyword = v.prefix_keywords[cands.keyword[i]];
    if (has_prefix(w, keyword)) return &keyword;
  }
  return nullptr;
}

// Collects the word's bigrams: the set of its code-point pairs, or for a word
// of one code point the set that holds the word itself, which no keyword has.
template <class Word>
void collect_bigrams(const Vocabularies& v, const Word& w, WordBigrams& out) {
  const std::size_t n = w.size();
  if (n < 2) {
    out.distinct = 1;
    return;
  }
  [[maybe_unused]] PairSet others;
  const std::uint16_t keyword_bigrams = v.keyword_bigram_count;
  char32_t prev = w[0];
  std::uint8_t prev_symbol = symbol_of(prev);
  for (std::size_t i = 1; i < n; ++i) {
    const char32_t c = w[i];
    const std::uint8_t symbol = symbol_of(c);
    if (Word::symbols_only || (prev_symbol != no_symbol && symbol != no_symbol)) {
      out.add_symbol_pair(v.pair_number[prev_symbol][symbol], keyword_bigrams);
    } else if constexpr (!Word::symbols_only) {
      if (others.insert(PairSet::key(prev, c))) ++out.distinct;
    }
    prev = c;
    prev_symbol = symbol;
  }
}

// The best score of each axis, thresholded. Only keywords that share a bigram
// with the word can score above zero, so only those are divided.
inline std::array<double, axis_count> axis_scores(const Vocabularies& v, const WordBigrams& word) {
  std::array<std::array<std::uint8_t, 64>, axis_count> common{};
  std::array<std::uint64_t, axis_count> touched{};
  for (std::size_t i = 0; i < word.keyword_pair_count; ++i) {
    const auto& with = v.keywords_with_pair[word.keyword_pairs[i]];
    for (std::size_t a = 0; a < axis_count; ++a) {
      touched[a] |= with[a];
      for (std::uint64_t bits = with[a]; bits != 0; bits &= bits - 1) ++common[a][std::countr_zero(bits)];
    }
  }
  std::array<double, axis_count> scores{};
  for (std::size_t a = 0; a < axis_count; ++a) {
    const BigramList& list = v.bigrams[a];
    double best = 0.0;
    for (std::uint64_t bits = touched[a]; bits != 0; bits &= bits - 1) {
      const int k = std::countr_zero(bits);
      const double sim = jaccard_sim(common[a][k], word.distinct, list.sets[k].size);
      if (sim > best) best = sim;
    }
    scores[a] = best < score_threshold ? 0.0 : best;
  }
  return scores;
}

template <class Word>
WordVector word_vector_of(const Vocabularies& v, const Word& w) {
  if (w.size() == 0) return {WordForm::empty, Axis::x, {0.0, 0.0, 0.0}};
  if (const auto* match = prefix_match(v, w)) {
    WordVector unit{WordForm::unit, match->axis, {0.0, 0.0, 0.0}};
    unit.components[index_of(match->axis)] = 1.0;
    return unit;
  }
  WordBigrams bigrams;
  collect_bigrams(v, w, bigrams);
  const std::array<double, axis_count> scores = axis_scores(v, bigrams);
  WordVector result{WordForm::fallback, Axis::x, {scores[0], scores[1], scores[2]}};
  return result;
}

}  // namespace semv::details
