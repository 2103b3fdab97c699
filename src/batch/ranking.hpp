// The k best scores of a column: plain C++, run with the interpreter lock
// released.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace nuvra::batch {

struct Ranked {
  double score;
  std::size_t row;
};

// Higher scores first, and the lower row first among equal scores (so -0.0
// and 0.0 tie). Rows are distinct, so this is a strict total order.
inline bool ranks_before(const Ranked& a, const Ranked& b) {
  return a.score > b.score || (a.score == b.score && a.row < b.row);
}

struct Top {
  std::vector<Ranked> best;  // at most k, in rank order
  std::size_t ties = 0;      // rows whose score equals the last of `best`, shown or not
};

// Candidates are gathered until there are this many (or twice k), then cut
// to the k best: each cut costs its candidates once and keeps at most half.
inline constexpr std::size_t min_candidates = 1024;

// The k best rows of scores[0, n); NaN never ranks. Once k candidates have
// been cut to, the k-th best score is a floor: rows come in order, so a later
// row must score strictly more to rank, one comparison for most rows. Linear
// whatever the order of the scores. std::bad_alloc when memory is short.
inline Top top_rows(const double* scores, std::size_t n, std::size_t k) {
  Top top;
  if (k == 0) return top;
  const std::size_t capacity = std::max(min_candidates, k > n ? n : 2 * k);
  std::vector<Ranked> kept;
  kept.reserve(std::min(n, capacity));
  const auto cut = [&] {
    std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(k - 1), kept.end(),
                     ranks_before);
    kept.resize(k);
  };
  bool has_floor = false;
  double floor = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double score = scores[i];
    if (std::isnan(score) || (has_floor && !(score > floor))) continue;
    kept.push_back({score, i});
    if (kept.size() == capacity && capacity > k) {
      cut();
      floor = kept.back().score;
      has_floor = true;
    }
  }
  if (kept.size() > k) cut();
  std::sort(kept.begin(), kept.end(), ranks_before);
  if (kept.empty()) return top;
  const double last = kept.back().score;
  for (std::size_t i = 0; i < n; ++i) top.ties += scores[i] == last;
  top.best = std::move(kept);
  return top;
}

}  // namespace nuvra::batch
