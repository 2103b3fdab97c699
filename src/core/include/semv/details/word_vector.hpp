// The word vector over any code-point view (see code_points.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "semv/details/code_points.hpp"
#include "semv/details/pair_set.hpp"
#include "semv/details/slot_counts.hpp"
#include "semv/details/symbol_pairs.hpp"
#include "semv/vectors.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

inline constexpr std::array<std::uint8_t, 128> ascii_symbols = [] {
  std::array<std::uint8_t, 128> t{};
  for (char32_t c = 0; c < 128; ++c) t[c] = symbol_of(c);
  return t;
}();

// Symbols of ASCII units that are lower-cased as they are read.
inline constexpr std::array<std::uint8_t, 128> lowered_symbols = [] {
  std::array<std::uint8_t, 128> t{};
  for (char32_t c = 0; c < 128; ++c) t[c] = symbol_of(ascii_lower(c));
  return t;
}();

template <class Word>
std::uint8_t symbol_at(const Word& w, std::size_t i) {
  if constexpr (Word::ascii_units) {
    return lowered_symbols[w.data[i]];
  } else {
    const char32_t c = w[i];
    return c < 128 ? ascii_symbols[c] : no_symbol;
  }
}

// The bigrams of a word as the fallback scores them.
struct WordBigrams {
  // All distinct bigrams of the word, keyword bigrams or not.
  std::uint64_t distinct = 0;
  // The keyword bigrams among them, each once, as pair numbers.
  std::array<std::uint16_t, max_keyword_bigrams> keyword_pairs;
  std::size_t keyword_pair_count = 0;

  void add_new_symbol_pair(std::uint16_t p, std::uint16_t keyword_bigram_count) {
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

// The bigrams of a text token, all symbol pairs. `seen` is empty on entry and
// is left empty, so one set serves every token of a text without clearing.
template <class Word>
void collect_token_bigrams(const Vocabularies& v, const Word& w, SymbolPairSet& seen, WordBigrams& out) {
  const std::size_t n = w.size();
  if (n < 2) {
    out.distinct = 1;  // the set that holds the token itself: no keyword has it
    return;
  }
  std::uint16_t added[symbol_pair_count];
  std::size_t count = 0;
  std::uint8_t prev = symbol_at(w, 0);
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t symbol = symbol_at(w, i);
    const std::uint16_t p = v.pair_number[prev][symbol];
    prev = symbol;
    if (!seen.insert(p)) continue;
    added[count++] = p;
    out.add_new_symbol_pair(p, v.keyword_bigram_count);
  }
  for (std::size_t j = 0; j < count; ++j) seen.erase(added[j]);
}

// Words of up to this many code points keep their symbol pairs in a short
// set, which is cheaper than clearing a set of all symbol pairs.
inline constexpr std::size_t short_word = ShortSymbolPairSet::capacity + 1;

// The bigrams of any word: the set of its code-point pairs, or for a word of
// one code point the set that holds the word itself, which no keyword has.
template <class Word>
void collect_word_bigrams(const Vocabularies& v, const Word& w, WordBigrams& out) {
  const std::size_t n = w.size();
  if (n < 2) {
    out.distinct = 1;
    return;
  }
  ShortSymbolPairSet short_seen;
  SymbolPairSet seen;  // cleared only for long words
  const bool is_short = n <= short_word;
  if (!is_short) seen.bits.fill(0);
  PairSet others;
  std::uint8_t prev = symbol_at(w, 0);
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t symbol = symbol_at(w, i);
    if (prev != no_symbol && symbol != no_symbol) {
      const std::uint16_t p = v.pair_number[prev][symbol];
      if (is_short ? short_seen.insert(p) : seen.insert(p))
        out.add_new_symbol_pair(p, v.keyword_bigram_count);
    } else if (others.insert(PairSet::key(w[i - 1], w[i]))) {
      ++out.distinct;
    }
    prev = symbol;
  }
}

// The thresholded best score of each axis.
//
// A score c / u, with c bigrams in common and u in the union, is kept when it
// is at least 0.4. For these small counts (u < 40) no quotient rounds across
// 0.4, so the test is exact in integers: 5c >= 2u, that is 7c >= 2(d + s) for
// a word of d distinct bigrams and a keyword of s. As c <= 9, a word of more
// than 30 distinct bigrams scores nothing. The kept scores of an axis are
// compared as fractions, which picks the same maximum as comparing rounded
// quotients, so each axis divides at most once.
inline std::array<double, axis_count> axis_scores(const Vocabularies& v, const WordBigrams& word) {
  std::array<double, axis_count> scores{};
  const std::uint64_t d = word.distinct;
  const std::size_t shared = word.keyword_pair_count;
  if (shared == 0 || 7 * std::min<std::uint64_t>(shared, max_bigrams_per_keyword) < 2 * (d + 1))
    return scores;
  SlotCounts common;
  for (std::size_t i = 0; i < shared; ++i) common.add(v.keywords_with_pair[word.keyword_pairs[i]].data());
  const SlotMask passing = common.passing(v.twice_set_size.data(), static_cast<std::uint8_t>(2 * d));
  if (passing == 0) return scores;
  for (std::size_t a = 0; a < axis_count; ++a) {
    const std::size_t begin = v.first_slot[a], end = v.first_slot[a + 1];
    auto bits = static_cast<std::uint64_t>(passing >> begin) & ((std::uint64_t{1} << (end - begin)) - 1);
    std::uint64_t c_best = 0, u_best = 1;
    for (; bits != 0; bits &= bits - 1) {
      const std::size_t j = begin + static_cast<std::size_t>(std::countr_zero(bits));
      const std::uint64_t c = common[j], u = d + v.twice_set_size[j] / 2 - c;
      if (c * u_best > c_best * u) {
        c_best = c;
        u_best = u;
      }
    }
    if (c_best != 0) scores[a] = jaccard_sim(c_best, u_best);
  }
  return scores;
}

inline WordVector unit_vector(Axis axis) {
  WordVector unit{WordForm::unit, axis, {0.0, 0.0, 0.0}};
  unit.components[index_of(axis)] = 1.0;
  return unit;
}

inline WordVector fallback_vector(const Vocabularies& v, const WordBigrams& bigrams) {
  const std::array<double, axis_count> scores = axis_scores(v, bigrams);
  return {WordForm::fallback, Axis::x, {scores[0], scores[1], scores[2]}};
}

// The vector of a normalised word.
template <class Word>
WordVector word_vector_of(const Vocabularies& v, const Word& w) {
  if (w.size() == 0) return {WordForm::empty, Axis::x, {0.0, 0.0, 0.0}};
  if (const PrefixKeyword* match = prefix_match(v, w)) return unit_vector(match->axis);
  WordBigrams bigrams;
  collect_word_bigrams(v, w, bigrams);
  return fallback_vector(v, bigrams);
}

// The vector of a text token (never empty), with the text's set of pairs.
template <class Word>
WordVector token_vector_of(const Vocabularies& v, const Word& w, SymbolPairSet& seen) {
  if (const PrefixKeyword* match = prefix_match(v, w)) return unit_vector(match->axis);
  WordBigrams bigrams;
  collect_token_bigrams(v, w, seen, bigrams);
  return fallback_vector(v, bigrams);
}

}  // namespace semv::details
