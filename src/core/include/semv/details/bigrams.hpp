// The bigrams of a word, collected as far as the fallback scores need them.
//
// A kept score c / u, with c bigrams in common and u in the union, needs
// 5c >= 2u (see axis_scores). The union counts every distinct bigram d of the
// word, and c <= 9, so a word of more than 5 * 9 / 2 = 22 distinct bigrams
// scores nothing and collection stops there. Each set below costs O(1) per bigram and holds
// at most a couple of dozen pairs, whatever the word: no input can steer it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "semv/vocabulary.hpp"

namespace semv::details {

inline constexpr std::size_t max_scoring_bigrams =
    threshold_denominator * max_bigrams_per_keyword / threshold_numerator;
static_assert(max_scoring_bigrams == 22);

// The symbol pairs (pairs of a-z, 0-9, '_') of one word, a bit each.
class WordSymbolPairs {
 public:
  WordSymbolPairs() { bits_.fill(0); }
  // True when p was not in the set before.
  bool insert(std::uint16_t p) {
    const std::uint64_t bit = std::uint64_t{1} << (p % 64);
    const bool added = (bits_[p / 64] & bit) == 0;
    bits_[p / 64] |= bit;
    return added;
  }

 private:
  std::array<std::uint64_t, (symbol_pair_count + 63) / 64> bits_;
};

// The symbol pairs of the tokens of one text, each token a generation: a pair
// is in the current token's set when it is marked with the current generation,
// so a new token starts with an empty set without clearing it.
class TokenSymbolPairs {
 public:
  TokenSymbolPairs() { marks_.fill(0); }
  void next_token() {
    if (++generation_ != 0) return;
    marks_.fill(0);  // after 255 tokens the marks wrap round
    generation_ = 1;
  }
  bool insert(std::uint16_t p) {
    const bool added = marks_[p] != generation_;
    marks_[p] = generation_;
    return added;
  }

 private:
  std::array<std::uint8_t, symbol_pair_count> marks_;
  std::uint8_t generation_ = 0;
};

// Pairs with a code point that is no symbol, by their two code points.
class CodePointPairs {
 public:
  static constexpr std::uint64_t key(char32_t first, char32_t second) {
    // Code points and lone surrogates are below 2**21.
    return (std::uint64_t{first} << 21) | second;
  }
  bool insert(std::uint64_t key) {
    for (std::size_t i = 0; i < size_; ++i)
      if (items_[i] == key) return false;
    items_[size_++] = key;
    return true;
  }

 private:
  std::uint64_t items_[max_scoring_bigrams + 1];
  std::size_t size_ = 0;
};

// What the fallback needs of a word's bigram set.
struct WordBigrams {
  // The number of distinct bigrams, counted up to max_scoring_bigrams + 1.
  std::uint32_t distinct = 0;
  // The keyword bigrams among them, each once, as pair numbers, and the
  // smallest bigram set of a keyword that has one of them.
  std::uint32_t keyword_pair_count = 0;
  std::uint32_t smallest_set = 0xFF;
  std::array<std::uint16_t, max_scoring_bigrams + 1> keyword_pairs;

  bool scores_nothing() const { return keyword_pair_count == 0 || distinct > max_scoring_bigrams; }
};

// The bigram set of a word, over any view of code_points.hpp: the pairs of
// consecutive code points, or for a word of one code point the set that holds
// the word itself, which no keyword has. Words and text tokens alike; they
// differ only in the set that holds their symbol pairs.
template <class Word, class SymbolPairs>
WordBigrams collect_bigrams(const Vocabularies& v, const Word w, SymbolPairs& symbol_pairs) {
  WordBigrams out;
  const std::size_t n = w.size();
  if (n < 2) {
    out.distinct = 1;
    return out;
  }
  // Locals, so that the stores into the sets need not reload them.
  const std::uint16_t keyword_bigram_count = v.keyword_bigram_count;
  std::uint32_t distinct = 0, keyword_pair_count = 0, smallest_set = 0xFF;
  CodePointPairs other_pairs;
  std::uint8_t prev = w.symbol(0);
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t symbol = w.symbol(i);
    if (prev != no_symbol && symbol != no_symbol) {
      const std::uint16_t p = v.pair_number[prev][symbol];
      prev = symbol;
      if (!symbol_pairs.insert(p)) continue;
      if (p < keyword_bigram_count) {
        out.keyword_pairs[keyword_pair_count++] = p;
        smallest_set = std::min<std::uint32_t>(smallest_set, v.smallest_set_with_pair[p]);
      }
    } else {
      prev = symbol;
      if (!other_pairs.insert(CodePointPairs::key(w[i - 1], w[i]))) continue;
    }
    if (++distinct > max_scoring_bigrams) break;  // scores nothing
  }
  out.distinct = distinct;
  out.keyword_pair_count = keyword_pair_count;
  out.smallest_set = smallest_set;
  return out;
}

}  // namespace semv::details
