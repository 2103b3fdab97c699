#include "semv/reference.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "semv/characters.hpp"

namespace semv::reference {

namespace {

using BigramSet = std::set<std::u32string>;

std::u32string widen(std::string_view keyword) {
  return std::u32string(keyword.begin(), keyword.end());
}

// The substrings of two consecutive code points; a string of fewer than two
// code points gives the set that holds the string itself.
BigramSet bigram_set(std::u32string_view s) {
  if (s.size() < 2) return {std::u32string(s)};
  BigramSet set;
  for (std::size_t i = 0; i + 1 < s.size(); ++i) set.insert(std::u32string(s.substr(i, 2)));
  return set;
}

double jaccard(const BigramSet& a, const BigramSet& b) {
  std::vector<std::u32string> common;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
  const std::size_t intersect_len = common.size();
  const std::size_t union_len = a.size() + b.size() - intersect_len;
  if (union_len == 0) return 0.0;
  return static_cast<double>(intersect_len) / static_cast<double>(union_len);
}

// The bigram sets of each axis's keywords, in list order, made once.
const std::vector<BigramSet>& keyword_sets(Axis axis) {
  static const std::array<std::vector<BigramSet>, axis_count> sets = [] {
    std::array<std::vector<BigramSet>, axis_count> all;
    for (Axis a : axes)
      for (std::string_view keyword : keyword_source(a))
        all[index_of(a)].push_back(bigram_set(widen(keyword)));
    return all;
  }();
  return sets[index_of(axis)];
}

}  // namespace

WordVector word_vector(std::u32string_view word) {
  if (word.empty()) return {WordForm::empty, Axis::x, {0.0, 0.0, 0.0}};
  for (Axis axis : axes)
    for (std::string_view keyword : keyword_source(axis))
      if (word.starts_with(widen(keyword))) {
        WordVector unit{WordForm::unit, axis, {0.0, 0.0, 0.0}};
        unit.components[index_of(axis)] = 1.0;
        return unit;
      }
  const BigramSet wb = bigram_set(word);
  WordVector result{WordForm::fallback, Axis::x, {0.0, 0.0, 0.0}};
  for (Axis axis : axes) {
    double best = 0.0;
    for (const BigramSet& keyword : keyword_sets(axis)) {
      const double sim = jaccard(wb, keyword);
      if (sim > best) best = sim;
    }
    result.components[index_of(axis)] = best < score_threshold ? 0.0 : best;
  }
  return result;
}

TextVector text_vector(std::u32string_view text) {
  double vec[3] = {+0.0, +0.0, +0.0};
  bool any_token = false;
  std::uint64_t matched_count = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (!is_token_char(text[i])) {
      ++i;
      continue;
    }
    std::u32string token;
    for (; i < text.size() && is_token_char(text[i]); ++i)
      token += text[i] >= U'A' && text[i] <= U'Z' ? text[i] + (U'a' - U'A') : text[i];
    any_token = true;
    const WordVector v = word_vector(token);
    if (v.components[0] > 0.0 || v.components[1] > 0.0 || v.components[2] > 0.0) {
      vec[0] = vec[0] + v.components[0];
      vec[1] = vec[1] + v.components[1];
      vec[2] = vec[2] + v.components[2];
      ++matched_count;
    }
  }
  if (!any_token) return {TextForm::no_tokens, {0.0, 0.0, 0.0}};
  if (matched_count == 0) return {TextForm::no_match, {0.0, 0.0, 0.0}};
  const double length = std::sqrt((vec[0] * vec[0] + vec[1] * vec[1]) + vec[2] * vec[2]);
  if (!(length > 0.0)) return {TextForm::zero_length, {0.0, 0.0, 0.0}};
  return {TextForm::normalised, {vec[0] / length, vec[1] / length, vec[2] / length}};
}

// --- spaces ---------------------------------------------------------------

namespace {

char32_t folded(char32_t c) {
  for (const Fold& f : turkish_fold)
    if (f.from == c) return static_cast<char32_t>(f.to);
  return c;
}

bool upper(char32_t c) {
  return c >= U'A' && c <= U'Z';
}
bool lower(char32_t c) {
  return c >= U'a' && c <= U'z';
}
bool digit(char32_t c) {
  return c >= U'0' && c <= U'9';
}

}  // namespace

std::vector<double> word_vector(const SpaceSpec& space, std::u32string_view word) {
  std::vector<double> vec(space.axes.size(), 0.0);
  if (word.empty()) return vec;
  for (std::size_t a = 0; a < space.axes.size(); ++a)
    for (const std::string& keyword : space.axes[a].keywords)
      if (word.starts_with(widen(keyword))) {
        vec[a] = 1.0;
        return vec;
      }
  const BigramSet wb = bigram_set(word);
  for (std::size_t a = 0; a < space.axes.size(); ++a) {
    double best = 0.0;
    for (const std::string& keyword : space.axes[a].keywords) {
      const double sim = jaccard(wb, bigram_set(widen(keyword)));
      if (sim > best) best = sim;
    }
    vec[a] = best >= space.axes[a].threshold ? best : 0.0;
  }
  return vec;
}

std::vector<std::u32string> tokens(const SpaceSpec& space, std::u32string_view text) {
  std::u32string t(text);
  if (space.fold)
    for (char32_t& c : t) c = folded(c);
  std::vector<std::u32string> runs, pieces;
  for (std::size_t i = 0; i < t.size();) {
    if (!is_token_char(t[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < t.size() && is_token_char(t[j])) ++j;
    runs.push_back(t.substr(i, j - i));
    i = j;
  }
  for (const std::u32string& run : runs) {
    if (!space.split) {
      pieces.push_back(run);
      continue;
    }
    std::u32string piece;
    for (std::size_t i = 0; i < run.size(); ++i) {
      const char32_t c = run[i];
      if (c == U'_') {
        if (!piece.empty()) pieces.push_back(piece);
        piece.clear();
        continue;
      }
      if (i > 0 && upper(c)) {
        const char32_t before = run[i - 1];
        const char32_t after = i + 1 < run.size() ? run[i + 1] : U' ';
        if ((lower(before) || digit(before) || (upper(before) && lower(after))) && !piece.empty()) {
          pieces.push_back(piece);
          piece.clear();
        }
      }
      piece += c;
    }
    if (!piece.empty()) pieces.push_back(piece);
  }
  for (std::u32string& piece : pieces)
    for (char32_t& c : piece)
      if (upper(c)) c += U'a' - U'A';
  return pieces;
}

std::vector<double> text_vector(const SpaceSpec& space, std::u32string_view text) {
  const std::size_t k = space.axes.size();
  std::vector<double> sum(k, +0.0);
  bool matched = false;
  for (const std::u32string& token : tokens(space, text)) {
    const std::vector<double> v = word_vector(space, token);
    bool positive = false;
    for (double c : v) positive = positive || c > 0.0;
    if (!positive) continue;
    matched = true;
    for (std::size_t a = 0; a < k; ++a) sum[a] = sum[a] + v[a];
  }
  std::vector<double> out(k, 0.0);
  if (!matched) return out;
  double squares = sum[0] * sum[0];
  for (std::size_t a = 1; a < k; ++a) squares = squares + sum[a] * sum[a];
  const double length = std::sqrt(squares);
  if (!(length > 0.0)) return out;
  for (std::size_t a = 0; a < k; ++a) out[a] = sum[a] / length;
  return out;
}

}  // namespace semv::reference
