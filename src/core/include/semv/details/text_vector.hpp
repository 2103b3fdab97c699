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

template <class Unit>
TextVector text_vector_of(const Vocabularies& v, const Unit* text, std::size_t n) {
  double sum[3] = {+0.0, +0.0, +0.0};
  std::uint64_t matched_count = 0;
  bool any_token = false;
  SymbolPairSet seen;
  seen.bits.fill(0);
  std::size_t i = 0;
  while (true) {
    while (i < n && !is_token_unit(text[i])) ++i;
    if (i == n) break;
    const std::size_t start = i;
    while (i < n && is_token_unit(text[i])) ++i;
    any_token = true;
    const WordVector w = token_vector_of(v, AsciiLowered<Unit>{text + start, i - start}, seen);
    if (!matches(w)) continue;
    sum[0] = sum[0] + w.components[0];
    sum[1] = sum[1] + w.components[1];
    sum[2] = sum[2] + w.components[2];
    ++matched_count;
  }
  if (!any_token) return {TextForm::no_tokens, {0.0, 0.0, 0.0}};
  if (matched_count == 0) return {TextForm::no_match, {0.0, 0.0, 0.0}};
  const double length = std::sqrt((sum[0] * sum[0] + sum[1] * sum[1]) + sum[2] * sum[2]);
  if (!(length > 0.0)) return {TextForm::zero_length, {0.0, 0.0, 0.0}};
  return {TextForm::normalised, {sum[0] / length, sum[1] / length, sum[2] / length}};
}

}  // namespace semv::details
