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

// The k best rows of scores[0, n); NaN never ranks. Selection is linear: the
// candidates are partitioned around the k-th before the k are sorted.
// std::bad_alloc when memory is short.
inline Top top_rows(const double* scores, std::size_t n, std::size_t k) {
  Top top;
  std::vector<Ranked> candidates;
  candidates.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isnan(scores[i])) candidates.push_back({scores[i], i});
  if (k == 0 || candidates.empty()) return top;
  if (candidates.size() > k)
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k - 1),
                     candidates.end(), ranks_before);
  const auto end = candidates.begin() + static_cast<std::ptrdiff_t>(std::min(k, candidates.size()));
  std::sort(candidates.begin(), end, ranks_before);
  top.best.assign(candidates.begin(), end);
  const double last = top.best.back().score;
  for (std::size_t i = 0; i < n; ++i) top.ties += scores[i] == last;
  return top;
}

}  // namespace nuvra::batch
