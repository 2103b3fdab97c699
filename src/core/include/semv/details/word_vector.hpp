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

// Bit p set when the word has the symbol pair numbered p.
using SymbolPairBits = std::array<std::uint64_t, (symbol_pair_count + 63) / 64>;
inline constexpr std::size_t keyword_pair_words = max_keyword_bigrams / 64;

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

// Marks the word's bigrams and returns how many distinct ones it has.
template <class Word>
std::uint64_t collect_bigrams(const Vocabularies& v, const Word& w, SymbolPairBits& bits) {
  const std::size_t n = w.size();
  if (n < 2) return 1;  // the set that holds the word itself: no keyword has it
  [[maybe_unused]] PairSet others;
  char32_t prev = w[0];
  std::uint8_t prev_symbol = symbol_of(prev);
  for (std::size_t i = 1; i < n; ++i) {
    const char32_t c = w[i];
    const std::uint8_t symbol = symbol_of(c);
    if constexpr (Word::symbols_only) {
      const std::uint16_t p = v.pair_number[prev_symbol][symbol];
      bits[p / 64] |= std::uint64_t{1} << (p % 64);
    } else if (prev_symbol != no_symbol && symbol != no_symbol) {
      const std::uint16_t p = v.pair_number[prev_symbol][symbol];
      bits[p / 64] |= std::uint64_t{1} << (p % 64);
    } else {
      others.insert(PairSet::key(prev, c));
    }
    prev = c;
    prev_symbol = symbol;
  }
  std::uint64_t distinct = 0;
  for (std::uint64_t word : bits) distinct += static_cast<std::uint64_t>(std::popcount(word));
  if constexpr (!Word::symbols_only) distinct += others.size();
  return distinct;
}

inline double best_axis_score(const Vocabularies& v, Axis axis, const SymbolPairBits& bits,
                              std::uint64_t distinct, std::uint64_t touched) {
  const BigramList& list = v.bigrams[index_of(axis)];
  double best = 0.0;
  for (; touched != 0; touched &= touched - 1) {
    const int k = std::countr_zero(touched);
    std::uint64_t common = 0;
    for (std::size_t i = 0; i < keyword_pair_words; ++i)
      common += static_cast<std::uint64_t>(std::popcount(bits[i] & list.masks[k][i]));
    const double sim = jaccard_sim(common, distinct, list.sets[k].size);
    if (sim > best) best = sim;
  }
  return best < score_threshold ? 0.0 : best;
}

template <class Word>
WordVector word_vector_of(const Vocabularies& v, const Word& w) {
  if (w.size() == 0) return {WordForm::empty, Axis::x, {0.0, 0.0, 0.0}};
  if (const auto* match = prefix_match(v, w)) {
    WordVector unit{WordForm::unit, match->axis, {0.0, 0.0, 0.0}};
    unit.components[index_of(match->axis)] = 1.0;
    return unit;
  }
  SymbolPairBits bits{};
  const std::uint64_t distinct = collect_bigrams(v, w, bits);
  // Only keywords that share a bigram with the word can score above zero.
  std::array<std::uint64_t, axis_count> touched{};
  for (std::size_t i = 0; i < keyword_pair_words; ++i)
    for (std::uint64_t word = bits[i]; word != 0; word &= word - 1) {
      const auto& with = v.keywords_with_pair[i * 64 + std::countr_zero(word)];
      for (std::size_t a = 0; a < axis_count; ++a) touched[a] |= with[a];
    }
  WordVector result{WordForm::fallback, Axis::x, {}};
  for (Axis axis : axes)
    result.components[index_of(axis)] = best_axis_score(v, axis, bits, distinct, touched[index_of(axis)]);
  return result;
}

}  // namespace semv::details
