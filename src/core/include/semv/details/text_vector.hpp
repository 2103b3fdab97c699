// The text vector over the stored units of a text.
#pragma once

#include <cmath>
#include <cstdint>

#include "semv/details/code_points.hpp"
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
  bool any_token = false;

  void add(const WordVector& w) {
    if (!matches(w)) return;
    sum[0] = sum[0] + w.components[0];
    sum[1] = sum[1] + w.components[1];
    sum[2] = sum[2] + w.components[2];
    ++matched_count;
  }

  TextVector result() const {
    if (!any_token) return {TextForm::no_tokens, {0.0, 0.0, 0.0}};
    if (matched_count == 0) return {TextForm::no_match, {0.0, 0.0, 0.0}};
    const double length = std::sqrt((sum[0] * sum[0] + sum[1] * sum[1]) + sum[2] * sum[2]);
    if (!(length > 0.0)) return {TextForm::zero_length, {0.0, 0.0, 0.0}};
    return {TextForm::normalised, {sum[0] / length, sum[1] / length, sum[2] / length}};
  }
};

// Units of tokens by class: letters, and digits or '_'.
inline constexpr std::uint8_t letter_unit = 2, other_token_unit = 1;
inline constexpr std::array<std::uint8_t, 256> token_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c)
    if (token_units[c])
      t[c] = symbol_of(simple_lower(static_cast<char32_t>(c))) < 26 ? letter_unit : other_token_unit;
  return t;
}();

template <class Unit>
constexpr std::uint8_t token_class(Unit c) {
  if constexpr (sizeof(Unit) == 1)
    return token_classes[c];
  else
    return c < 256 ? token_classes[c] : 0;
}

template <class Unit>
TextVector text_vector_of(const Vocabularies& v, const Unit* text, std::size_t n) {
  TextSums sums;
  TokenSymbolPairs symbol_pairs;
  std::size_t i = 0;
  while (true) {
    while (i < n && token_class(text[i]) == 0) ++i;
    if (i == n) break;
    const std::size_t start = i;
    std::uint8_t classes = 0;
    for (std::uint8_t c; i < n && (c = token_class(text[i])) != 0; ++i) classes |= c;
    sums.any_token = true;
    // A token without letters starts no keyword and shares no bigram with one.
    if ((classes & letter_unit) == 0) continue;
    sums.add(token_vector_of(v, Lowered<Unit>{text + start, i - start}, symbol_pairs));
  }
  return sums.result();
}

}  // namespace semv::details
