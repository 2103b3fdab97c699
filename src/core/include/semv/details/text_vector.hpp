// The text vector over the stored units of a text.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "semv/details/code_points.hpp"
#include "semv/details/token_cache.hpp"
#include "semv/details/tokens.hpp"
#include "semv/details/word_vector.hpp"
#include "semv/vectors.hpp"

namespace semv::details {

constexpr bool matches(const WordVector& w) {
  return w.components[0] > 0.0 || w.components[1] > 0.0 || w.components[2] > 0.0;
}

// Running sums of the matched token vectors, added in token order.
struct TextSums {
  double sum[3] = {+0.0, +0.0, +0.0};
  std::uint64_t matched_count = 0;

  // A unit vector adds 1.0 to its axis and +0.0 to the others, which leaves
  // them as they are: the sums are never -0.0 and never NaN.
  void add_unit(Axis axis) {
    sum[index_of(axis)] = sum[index_of(axis)] + 1.0;
    ++matched_count;
  }

  void add(const WordVector& w) {
    if (matches(w)) add_components(w.components);
  }

  // The scores of a fallback token, which match when any is kept.
  void add(const AxisScores& scores) {
    if (scores.any) add_components(scores.score);
  }

  void add_components(const std::array<double, axis_count>& c) {
    sum[0] = sum[0] + c[0];
    sum[1] = sum[1] + c[1];
    sum[2] = sum[2] + c[2];
    ++matched_count;
  }

  // The vector of a text with or without any token.
  TextVector result(bool any_token) const {
    if (!any_token) return {TextForm::no_tokens, {0.0, 0.0, 0.0}};
    if (matched_count == 0) return {TextForm::no_match, {0.0, 0.0, 0.0}};
    const double length = std::sqrt((sum[0] * sum[0] + sum[1] * sum[1]) + sum[2] * sum[2]);
    if (!(length > 0.0)) return {TextForm::zero_length, {0.0, 0.0, 0.0}};
    return {TextForm::normalised, {sum[0] / length, sum[1] / length, sum[2] / length}};
  }
};

// The walk over the tokens of one text, with or without a cache of token
// vectors: each its own loop, so that neither tests for the cache per token.
template <class Unit, bool cached>
class TextWalk {
 public:
  TextWalk(const Vocabularies& v, const Unit* text, std::size_t n, TokenCache& cache,
           KeywordPairMarks& keyword_pairs)
      : v_(v), text_(text), n_(n), cache_(cache), keyword_pairs_(keyword_pairs) {}

  // One token with two letters in a row, [begin, end) of the text. A keyword
  // begins with two letters, and each of its bigrams is two, so no other
  // token matches anything.
  void token(std::size_t begin, std::size_t end) {
    const Token<Unit> w{{text_ + begin, end - begin}};
    if constexpr (cached) {
      sums_.add(cached_vector(w));
    } else {
      const std::uint16_t first = first_pair(v_, w);
      if (const PrefixKeyword* match = prefix_match(v_, w, first))
        sums_.add_unit(match->axis);
      else
        sums_.add(fallback_scores(v_, w, first, keyword_pairs_.next_word()));
    }
  }
  TextVector result(bool any_token) const { return sums_.result(any_token); }

 private:
  // A token is looked up in the cache before anything else: finding it costs
  // less than even the prefix scan.
  WordVector cached_vector(const Token<Unit>& w) {
    TokenCache::Key key;
    if (!TokenCache::key_of(w.data, w.length, text_ + n_ - w.data, key)) return token_vector(w);
    if (const WordVector* known = cache_.find(key)) return *known;
    const WordVector computed = token_vector(w);
    cache_.insert(key, computed);
    return computed;
  }

  WordVector token_vector(const Token<Unit>& w) {
    const std::uint16_t first = first_pair(v_, w);
    if (const PrefixKeyword* match = prefix_match(v_, w, first)) return unit_vector(match->axis);
    return fallback_vector(fallback_scores(v_, w, first, keyword_pairs_.next_word()));
  }

  const Vocabularies& v_;
  const Unit* text_;
  std::size_t n_;
  TokenCache& cache_;
  KeywordPairMarks& keyword_pairs_;
  TextSums sums_;
};

template <class Unit, bool cached>
TextVector walk_text(const Vocabularies& v, const Unit* text, std::size_t n, TokenCache& cache,
                     KeywordPairMarks& keyword_pairs) {
  TextWalk<Unit, cached> walk(v, text, n, cache, keyword_pairs);
  const bool any_token =
      for_each_paired_token(text, n, [&walk](std::size_t begin, std::size_t end) { walk.token(begin, end); });
  return walk.result(any_token);
}

// The sum of the vectors of the text's tokens, in token order.
template <class Unit>
TextVector text_vector_of(const Vocabularies& v, const Unit* text, std::size_t n, TokenCache& cache,
                          KeywordPairMarks& keyword_pairs) {
  return cache.active() ? walk_text<Unit, true>(v, text, n, cache, keyword_pairs)
                        : walk_text<Unit, false>(v, text, n, cache, keyword_pairs);
}

// A text on its own keeps a cache only when it is long.
template <class Unit>
TextVector text_vector_of(const Vocabularies& v, const Unit* text, std::size_t n) {
  TokenCache cache = TokenCache::for_text(n);
  KeywordPairMarks keyword_pairs;
  return text_vector_of(v, text, n, cache, keyword_pairs);
}

}  // namespace semv::details
