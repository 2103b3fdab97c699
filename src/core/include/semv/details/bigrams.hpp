// The bigrams of a word, collected as far as the fallback scores need them.
//
// A kept score c / u, with c bigrams in common and u in the union, needs
// 5c >= 2u (see axis_scores). The union counts every distinct bigram d of the
// word, and c <= 9, so a word of more than 5 * 9 / 2 = 22 distinct bigrams
// scores nothing and collection stops there.
//
// One pass finds the keyword bigrams exactly, each once, but only bounds d:
// the other bigrams are counted with their repeats, which bounds d from
// above, and by their distinct first code points, which bounds it from
// below, as bigrams that begin differently differ. The bounds meet for most
// words (all but 2% of the fallback tokens of a log), and d is known. A word
// that the lower bound already rules out scores nothing, since a larger d
// rules out more; the rest count their distinct bigrams with a set of every
// pair (distinct_bigrams). Each set below costs O(1) per bigram and holds a
// bounded number of pairs, whatever the word: no input can steer it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "semv/details/code_points.hpp"
#include "semv/details/simd.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

// The size of the smallest bigram set of a keyword that has one of the n
// keyword pairs, or 0xFF for none.
inline std::uint32_t smallest_set_with(const Vocabularies& v, const std::uint16_t* pairs, std::size_t n) {
  std::uint32_t smallest = 0xFF;
  for (std::size_t k = 0; k < n; ++k)
    smallest = std::min<std::uint32_t>(smallest, v.smallest_set_with_pair[pairs[k]]);
  return smallest;
}

// Whether no keyword can keep a score against a word of d distinct bigrams
// whose keyword bigrams are the `shared` pairs. A keyword with c of the
// word's bigrams and s of its own keeps c / (d + s - c) when 7c >= 2(d + s);
// as c <= s, that needs 5c >= 2d too; c is at most `shared` and 9, and s at
// least the smallest set with one of the pairs, which is looked for only when
// even the largest s, 9, would pass. True for one d, it is true for every
// larger one; true for every word without a keyword bigram and every word of
// more than max_scoring_bigrams.
inline bool cannot_score(const Vocabularies& v, const std::uint16_t* pairs, std::uint32_t shared,
                         std::uint32_t d) {
  constexpr std::uint32_t num = threshold_numerator, den = threshold_denominator;
  const std::uint32_t c_max = std::min<std::uint32_t>(shared, max_bigrams_per_keyword);
  if (den * c_max < num * d) return true;
  if ((num + den) * c_max >= num * (d + max_bigrams_per_keyword)) return false;
  return (num + den) * c_max < num * (d + smallest_set_with(v, pairs, shared));
}

// The keyword bigrams of the words of one call, each word a generation: a
// pair is in a word's set when it is marked with the word's generation, so a
// new word starts with an empty set without clearing it.
class KeywordPairMarks {
 public:
  // The set of the next word.
  class Set {
   public:
    // True when p was not in the set before.
    bool insert(std::uint16_t p) const {
      const bool added = marks_[p] != generation_;
      marks_[p] = generation_;
      return added;
    }

   private:
    friend class KeywordPairMarks;
    Set(std::uint8_t* marks, std::uint8_t generation) : marks_(marks), generation_(generation) {}
    std::uint8_t* marks_;
    std::uint8_t generation_;
  };

  KeywordPairMarks() { clear(); }

  Set next_word() {
    if (++generation_ == 0) {
      clear();  // after 255 words the marks wrap round
      generation_ = 1;
    }
    return Set(marks_.data(), generation_);
  }

 private:
  void clear() {
#if SEMV_SSE2
    // Sixteen bytes a store, written out: the compiler turns a fill of the
    // marks, or a loop of stores, into a string instruction that steps a
    // word at a time.
    auto* marks = reinterpret_cast<__m128i*>(marks_.data());
    [marks]<std::size_t... i>(std::index_sequence<i...>) {
      ((_mm_store_si128(marks + i, _mm_setzero_si128())), ...);
    }(std::make_index_sequence<max_keyword_bigrams / 16>{});
#else
    marks_.fill(0);
#endif
  }

  static_assert(max_keyword_bigrams % 16 == 0);
  alignas(16) std::array<std::uint8_t, max_keyword_bigrams> marks_;
  std::uint8_t generation_ = 0;
};

// A set of pair numbers below `count`, a bit each.
template <std::size_t count>
class PairBits {
 public:
  // True when p was not in the set before.
  bool insert(std::uint16_t p) {
    const std::uint64_t bit = std::uint64_t{1} << (p % 64);
    const bool added = (bits_[p / 64] & bit) == 0;
    bits_[p / 64] |= bit;
    return added;
  }

 private:
  std::array<std::uint64_t, (count + 63) / 64> bits_{};
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
  // The number of distinct bigrams, counted up to max_scoring_bigrams + 1, or
  // a lower bound of it that already rules every keyword out.
  std::uint32_t distinct = 0;
  // The keyword bigrams among them, each once, as pair numbers.
  std::uint32_t keyword_pair_count = 0;
  std::array<std::uint16_t, max_scoring_bigrams + 1> keyword_pairs;

  bool scores_nothing(const Vocabularies& v) const {
    return cannot_score(v, keyword_pairs.data(), keyword_pair_count, distinct);
  }
};

// The number of distinct bigrams of a word of two or more code points,
// counted up to max_scoring_bigrams + 1: the pairs of symbols by pair number,
// the others by their code points.
template <class Word>
[[gnu::noinline]] std::uint32_t distinct_bigrams(const Vocabularies& v, const Word w) {
  PairBits<symbol_pair_count> symbol_pairs;
  CodePointPairs other_pairs;
  std::uint32_t distinct = 0;
  std::uint8_t prev = w.symbol(0);
  for (std::size_t i = 1; i < w.size(); ++i) {
    const std::uint8_t symbol = w.symbol(i);
    const std::uint16_t p = v.pair_number[prev][symbol];
    prev = symbol;
    const bool added =
        p == other_pair ? other_pairs.insert(CodePointPairs::key(w[i - 1], w[i])) : symbol_pairs.insert(p);
    if (added && ++distinct > max_scoring_bigrams) break;
  }
  return distinct;
}

// The bytes of units i - 1 and i of a view of bytes, as byte_pair_index.
template <class Word>
std::uint16_t byte_pair_at(const Word& w, std::size_t i) {
  if constexpr (sizeof(w.data[0]) == 1) {
    std::uint16_t index;
    std::memcpy(&index, w.data + i - 1, 2);
    return index;
  } else {
    return byte_pair_index(static_cast<std::uint8_t>(w.data[i - 1]), static_cast<std::uint8_t>(w.data[i]));
  }
}

// The keyword bigram of units 0 and 1 of a word, or a number at or above
// keyword_bigram_count for a pair that is none or a word of fewer than two.
template <class Word>
std::uint16_t first_pair(const Vocabularies& v, const Word& w) {
  if (!is_token<Word> && w.size() < 2) return no_keyword_pair;
  if constexpr (byte_view<Word>)
    return v.byte_pair_keyword[byte_pair_at(w, 1)];
  else
    return v.pair_number[w.symbol(0)][w.symbol(1)];
}

// The number of bits set.
#if defined(__POPCNT__) || !(defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)))
inline std::uint32_t bits_set(std::uint64_t x) {
  return static_cast<std::uint32_t>(std::popcount(x));
}
#else
// Without the popcnt instruction, std::popcount is a call into the
// compiler's runtime, slower than these few operations; out of line, they
// leave the bigram pass's registers alone.
[[gnu::noinline]] inline std::uint32_t bits_set(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
}
#endif

// What the pass of collect_bigrams gathers besides the keyword pairs.
struct PairScan {
  std::uint64_t other_firsts = 0;  // bit s: an other bigram begins with symbol s
  std::size_t others = 0;          // the other bigrams, repeats counted
  std::uint32_t shared = 0;        // the keyword pairs; 0 after a stop
};

// The pass over the pairs of a word of two or more units, whose first pair
// first_pair has found. Only a word of more than max_scoring_bigrams pairs,
// a `long_word`, can stop on the way: when it has more distinct pairs than
// that, or else now and then, so that a long word stops once it cannot score.
template <bool long_word, class Word, class KeywordPairSet>
[[gnu::always_inline]] inline PairScan scan_pairs(const Vocabularies& v, const Word w, std::uint16_t first,
                                                  KeywordPairSet& keyword_pairs,
                                                  std::uint16_t* keyword_pairs_out) {
  // Locals, so that the stores into the sets need not reload them.
  const std::uint16_t keyword_bigram_count = v.keyword_bigram_count;
  PairScan scan;
  std::uint16_t p = first;  // the pair of units i - 1 and i as a keyword bigram, if it is one
  // For the views not of bytes, the symbols of units i - 1 and i.
  std::uint8_t before = 0, prev = 0;
  if constexpr (!byte_view<Word>) {
    before = w.symbol(0);
    prev = w.symbol(1);
  }
  for (std::size_t i = 1;;) {
    if (p < keyword_bigram_count) {
      if (keyword_pairs.insert(p)) {
        if (long_word && scan.shared == max_scoring_bigrams) return {};
        keyword_pairs_out[scan.shared++] = p;
      }
    } else {
      if constexpr (byte_view<Word>) before = w.symbol(i - 1);
      scan.other_firsts |= std::uint64_t{1} << before;
      ++scan.others;
      if (long_word && scan.others % 64 == 0 &&
          scan.shared + bits_set(scan.other_firsts) > max_scoring_bigrams)
        return {};
    }
    if (++i == w.size()) return scan;
    if constexpr (byte_view<Word>) {
      // no_keyword_pair is above every keyword bigram.
      p = v.byte_pair_keyword[byte_pair_at(w, i)];
    } else {
      const std::uint8_t symbol = w.symbol(i);
      p = v.pair_number[prev][symbol];
      before = prev;
      prev = symbol;
    }
  }
}

// The bigram set of a word, over any view of code_points.hpp: the pairs of
// consecutive code points, whose first pair first_pair has found, or for a
// word of one code point the set that holds the word itself, which no
// keyword has. Words and text tokens alike, with the word's own set of
// keyword pairs.
template <class Word, class KeywordPairSet>
[[gnu::always_inline]] inline void collect_bigrams(const Vocabularies& v, const Word w, std::uint16_t first,
                                                   KeywordPairSet& keyword_pairs, WordBigrams& out) {
  const std::size_t n = w.size();
  if (!is_token<Word> && n < 2) {
    out.distinct = 1;
    return;
  }
  const PairScan scan = n - 1 > max_scoring_bigrams
                            ? scan_pairs<true>(v, w, first, keyword_pairs, out.keyword_pairs.data())
                            : scan_pairs<false>(v, w, first, keyword_pairs, out.keyword_pairs.data());
  const std::uint32_t shared = scan.shared;
  out.keyword_pair_count = shared;
  // Without a keyword bigram, and with at most one other, the bounds need no count.
  if (shared == 0 || scan.others <= 1) {
    out.distinct =
        static_cast<std::uint32_t>(std::min<std::size_t>(shared + scan.others, max_scoring_bigrams + 1));
    return;
  }
  const auto at_least = shared + bits_set(scan.other_firsts);
  const bool known = at_least == shared + scan.others;
  out.distinct = known || cannot_score(v, out.keyword_pairs.data(), shared, at_least)
                     ? at_least
                     : distinct_bigrams(v, w);
}

}  // namespace semv::details
