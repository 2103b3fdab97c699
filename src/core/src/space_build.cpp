// Building a space: every rule of its axes and keywords checked, each
// problem reported as a value, then the fixed tables where the space fits
// them and the general tables it always has.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "semv/details/general_tables.hpp"
#include "semv/space.hpp"
#include "semv/vocabulary.hpp"

namespace semv {

namespace {

using details::feasible_sizes;
using details::GeneralTables;
using details::no_symbol;
using details::SizeRange;
using details::symbol_of_byte;

void problem(SpaceBuild& build, std::size_t axis, std::size_t keyword, std::string what) {
  build.problems.push_back({axis, keyword, std::move(what)});
}

std::string shown(std::string_view text) {
  std::string out = "'";
  for (unsigned char c : text.substr(0, 80)) {
    if (c >= 0x20 && c < 0x7F && c != '\'' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out + (text.size() > 80 ? "...'" : "'");
}

// A double as the fewest digits that read back as it.
std::string shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

void validate(const SpaceSpec& spec, SpaceBuild& build) {
  constexpr std::size_t none = SpaceProblem::no_index;
  if (spec.axes.empty()) problem(build, none, none, "a space needs at least one axis");
  if (spec.axes.size() > max_space_axes)
    problem(build, none, none,
            "a space has at most " + std::to_string(max_space_axes) + " axes, this one " +
                std::to_string(spec.axes.size()));
  std::size_t total = 0;
  for (std::size_t a = 0; a < spec.axes.size(); ++a) {
    const AxisSpec& axis = spec.axes[a];
    if (axis.name.empty()) problem(build, a, none, "the axis has no name");
    for (std::size_t b = 0; b < a; ++b)
      if (!axis.name.empty() && spec.axes[b].name == axis.name)
        problem(build, a, none,
                "the axis name " + shown(axis.name) + " is taken by axis " + std::to_string(b));
    if (axis.keywords.empty()) problem(build, a, none, "the axis has no keywords");
    if (!(axis.threshold > 0.0 && axis.threshold <= 1.0))
      problem(build, a, none, "the threshold must be in (0, 1], not " + shortest(axis.threshold));
    total += axis.keywords.size();
    for (std::size_t k = 0; k < axis.keywords.size(); ++k) {
      const std::string& word = axis.keywords[k];
      if (word.size() < min_space_keyword_length || word.size() > max_space_keyword_length)
        problem(build, a, k,
                "the keyword " + shown(word) + " has " + std::to_string(word.size()) +
                    " characters; a keyword has 2 to 64");
      const auto bad = std::find_if(word.begin(), word.end(), [](char c) {
        return symbol_of_byte(static_cast<unsigned char>(c)) == no_symbol;
      });
      if (bad != word.end())
        problem(build, a, k,
                "the keyword " + shown(word) + " holds " + shown(std::string_view(&*bad, 1)) +
                    "; keywords are made of a-z, 0-9 and _");
    }
  }
  if (total > max_space_keywords)
    problem(build, none, none,
            "a space has at most " + std::to_string(max_space_keywords) + " keywords, this one " +
                std::to_string(total));
  // Duplicates, found by sorting rather than hashing.
  std::vector<std::pair<std::string_view, std::pair<std::size_t, std::size_t>>> all;
  all.reserve(total);
  for (std::size_t a = 0; a < spec.axes.size(); ++a)
    for (std::size_t k = 0; k < spec.axes[a].keywords.size(); ++k)
      all.push_back({spec.axes[a].keywords[k], {a, k}});
  std::stable_sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (std::size_t i = 1; i < all.size(); ++i)
    if (all[i].first == all[i - 1].first) {
      const auto [a0, k0] = all[i - 1].second;
      const auto [a, k] = all[i].second;
      problem(build, a, k,
              "the keyword " + shown(all[i].first) + " is already keyword " + std::to_string(k0) +
                  " of axis " + std::to_string(a0) + (a0 == a ? "" : " (" + spec.axes[a0].name + ")"));
    }
}

// The fixed tables, when the space has their shape and fits them.
std::unique_ptr<Vocabularies> fixed_tables(const SpaceSpec& spec) {
  if (spec.axes.size() != axis_count || spec.split || spec.fold) return nullptr;
  std::array<std::vector<std::string_view>, axis_count> lists;
  for (std::size_t a = 0; a < axis_count; ++a) {
    const AxisSpec& axis = spec.axes[a];
    if (axis.threshold != score_threshold) return nullptr;
    for (const std::string& word : axis.keywords) {
      if (word.size() > max_keyword_length) return nullptr;
      for (char c : word)
        if (c < 'a' || c > 'z') return nullptr;
      lists[a].push_back(word);
    }
  }
  auto tables = std::make_unique<Vocabularies>();
  try {
    build_vocabularies(*tables, {lists[0], lists[1], lists[2]});
  } catch (const char*) {
    return nullptr;  // past a capacity of the fixed tables
  }
  return tables;
}

void build_general(const SpaceSpec& spec, const std::vector<std::string_view>& keywords, GeneralTables& t) {
  const std::size_t n = keywords.size();
  t.axis_of.resize(n);
  t.set_size.resize(n);
  t.threshold.resize(spec.axes.size());
  t.least_threshold = 1.0;
  for (std::size_t a = 0, kw = 0; a < spec.axes.size(); ++a) {
    t.threshold[a] = spec.axes[a].threshold;
    if (spec.axes[a].threshold < t.least_threshold || a == 0) t.least_axis = a;
    t.least_threshold = std::min(t.least_threshold, spec.axes[a].threshold);
    for (std::size_t i = 0; i < spec.axes[a].keywords.size(); ++i)
      t.axis_of[kw++] = static_cast<std::uint8_t>(a);
  }
  // Bigram sets, then postings by pair, each list by set size and index.
  std::vector<std::uint16_t> pairs_of;  // every keyword's distinct pairs, in turn
  std::vector<std::uint32_t> pairs_start(n + 1, 0);
  std::vector<std::uint32_t> per_pair(GeneralTables::pair_count + 1, 0);
  for (std::size_t kw = 0; kw < n; ++kw) {
    const std::string_view word = keywords[kw];
    const std::size_t start = pairs_of.size();
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
      const auto p =
          static_cast<std::uint16_t>(symbol_of_byte(word[i]) * symbol_count + symbol_of_byte(word[i + 1]));
      if (std::find(pairs_of.begin() + start, pairs_of.end(), p) == pairs_of.end()) {
        pairs_of.push_back(p);
        ++per_pair[p];
      }
    }
    pairs_start[kw + 1] = static_cast<std::uint32_t>(pairs_of.size());
    t.set_size[kw] = static_cast<std::uint8_t>(pairs_of.size() - start);
  }
  std::vector<std::uint16_t> by_rank(GeneralTables::pair_count);
  std::iota(by_rank.begin(), by_rank.end(), std::uint16_t{0});
  std::stable_sort(by_rank.begin(), by_rank.end(),
                   [&](std::uint16_t x, std::uint16_t y) { return per_pair[x] < per_pair[y]; });
  t.pair_rank.resize(GeneralTables::pair_count);
  for (std::size_t r = 0; r < by_rank.size(); ++r) t.pair_rank[by_rank[r]] = static_cast<std::uint16_t>(r);
  for (std::size_t kw = 0; kw < n; ++kw)
    std::sort(pairs_of.begin() + pairs_start[kw], pairs_of.begin() + pairs_start[kw + 1],
              [&](std::uint16_t x, std::uint16_t y) { return t.pair_rank[x] < t.pair_rank[y]; });
  t.size_lo.resize(GeneralTables::max_table_bigrams + 1);
  t.size_hi.resize(GeneralTables::max_table_bigrams + 1);
  for (std::size_t d = 0; d <= GeneralTables::max_table_bigrams; ++d) {
    const SizeRange r = feasible_sizes(d, t.least_threshold);
    t.size_lo[d] = static_cast<std::uint8_t>(r.lo);
    t.size_hi[d] = static_cast<std::uint8_t>(r.hi);
  }
  // The least kept count by axis and union: near t * u, then settled by the
  // comparison of doubles itself.
  constexpr std::size_t row = GeneralTables::max_table_union + 1;
  t.least_kept.assign(spec.axes.size() * row, 0xFF);
  for (std::size_t a = 0; a < spec.axes.size(); ++a) {
    const double th = spec.axes[a].threshold;
    for (std::size_t u = 1; u < row; ++u) {
      auto kept = [&](std::size_t c) { return static_cast<double>(c) / static_cast<double>(u) >= th; };
      std::size_t c = static_cast<std::size_t>(std::max(0.0, std::floor(th * static_cast<double>(u)) - 1.0));
      while (c <= u && !kept(c)) ++c;
      while (c > 0 && kept(c - 1)) --c;
      if (c <= max_space_keyword_length) t.least_kept[a * row + u] = static_cast<std::uint8_t>(c);
    }
  }
  // need: the least c with c <= min(s, d) that the least threshold keeps at
  // the union d + s - c (the union shrinks as c grows, so the first c found
  // counting up is the least).
  const std::uint8_t* least = t.least_kept.data() + t.least_axis * row;
  t.need.assign((GeneralTables::max_table_bigrams + 1) * GeneralTables::need_row, 0xFF);
  t.need_least.assign(GeneralTables::max_table_bigrams + 1, 0xFF);
  for (std::size_t d = 0; d <= GeneralTables::max_table_bigrams; ++d)
    for (std::size_t size = t.size_lo[d]; size <= t.size_hi[d] && size < GeneralTables::need_row; ++size) {
      std::size_t c = 1;
      const std::size_t most = std::min(size, d);
      while (c <= most && c < least[d + size - c]) ++c;
      if (c > most) continue;
      t.need[d * GeneralTables::need_row + size] = static_cast<std::uint8_t>(c);
      t.need_least[d] = std::min(t.need_least[d], static_cast<std::uint8_t>(c));
    }
  // need_floor: the least need over every d, by set size.
  t.need_floor.assign(GeneralTables::need_row, 0xFF);
  for (std::size_t d = 0; d <= GeneralTables::max_table_bigrams; ++d)
    for (std::size_t size = 0; size < GeneralTables::need_row; ++size)
      t.need_floor[size] = std::min(t.need_floor[size], t.need[d * GeneralTables::need_row + size]);
  // Postings of each keyword's first size - need_floor + 1 pairs: one of
  // them is the word's if the keyword is kept.
  auto indexed = [&](std::size_t kw) -> std::size_t {
    const std::size_t size = t.set_size[kw], floor = t.need_floor[size];
    return floor > size ? 0 : size - floor + 1;
  };
  std::vector<std::uint32_t> per_posting(GeneralTables::pair_count, 0);
  for (std::size_t kw = 0; kw < n; ++kw)
    for (std::size_t i = 0; i < indexed(kw); ++i) ++per_posting[pairs_of[pairs_start[kw] + i]];
  t.posting_start.assign(GeneralTables::pair_count + 1, 0);
  for (std::size_t p = 0; p < GeneralTables::pair_count; ++p)
    t.posting_start[p + 1] = t.posting_start[p] + per_posting[p];
  t.postings.resize(t.posting_start.back());
  t.posting_position.resize(t.posting_start.back());
  std::vector<std::uint32_t> next(t.posting_start.begin(), t.posting_start.end() - 1);
  std::vector<std::uint32_t> by_size(n);
  std::iota(by_size.begin(), by_size.end(), 0u);
  std::stable_sort(by_size.begin(), by_size.end(),
                   [&](std::uint32_t x, std::uint32_t y) { return t.set_size[x] < t.set_size[y]; });
  for (std::uint32_t kw : by_size)
    for (std::uint32_t i = 0; i < indexed(kw); ++i) {
      const std::uint32_t at = next[pairs_of[pairs_start[kw] + i]]++;
      t.postings[at] = static_cast<std::uint16_t>(kw);
      t.posting_position[at] = static_cast<std::uint8_t>(i);
    }
  t.keyword_signature.assign(n, 0);
  for (std::size_t kw = 0; kw < n; ++kw)
    for (std::uint32_t i = pairs_start[kw]; i < pairs_start[kw + 1]; ++i)
      t.keyword_signature[kw] |= std::uint64_t{1} << (pairs_of[i] % 64);
  t.keyword_pairs_start = std::move(pairs_start);
  t.keyword_pairs = std::move(pairs_of);
  t.keyword_pair.assign(GeneralTables::pair_count, 0);
  for (std::size_t p = 0; p < GeneralTables::pair_count; ++p) t.keyword_pair[p] = per_pair[p] != 0;
  t.posting_min_size.assign(GeneralTables::pair_count, 0xFF);
  t.posting_max_size.assign(GeneralTables::pair_count, 0);
  for (std::size_t p = 0; p < GeneralTables::pair_count; ++p)
    if (t.posting_start[p] != t.posting_start[p + 1]) {
      t.posting_min_size[p] = t.set_size[t.postings[t.posting_start[p]]];
      t.posting_max_size[p] = t.set_size[t.postings[t.posting_start[p + 1] - 1]];
    }
  // The trie, from the keywords in byte order: a new node for each prefix of
  // two or more bytes that the previous keyword does not share. Children are
  // created in byte order, and a parent before its children.
  std::vector<std::uint32_t> sorted(n);
  std::iota(sorted.begin(), sorted.end(), 0u);
  std::sort(sorted.begin(), sorted.end(),
            [&](std::uint32_t x, std::uint32_t y) { return keywords[x] < keywords[y]; });
  t.root.assign(GeneralTables::pair_count, GeneralTables::no_node);
  std::vector<std::uint32_t> parent, terminal;
  std::vector<std::uint8_t> symbol;
  std::array<std::uint32_t, max_space_keyword_length + 1>
      path{};  // path[len]: node of the prefix of len bytes
  std::string_view previous;
  for (std::uint32_t kw : sorted) {
    const std::string_view word = keywords[kw];
    std::size_t shared = 0;
    while (shared < word.size() && shared < previous.size() && word[shared] == previous[shared]) ++shared;
    for (std::size_t len = std::max<std::size_t>(shared + 1, 2); len <= word.size(); ++len) {
      const auto node = static_cast<std::uint32_t>(parent.size());
      const std::uint8_t s = symbol_of_byte(word[len - 1]);
      if (len == 2) {
        t.root[symbol_of_byte(word[0]) * symbol_count + s] = node;
        parent.push_back(GeneralTables::no_node);
      } else {
        parent.push_back(path[len - 1]);
      }
      symbol.push_back(s);
      terminal.push_back(GeneralTables::no_node);
      path[len] = node;
    }
    terminal[path[word.size()]] = kw;
    previous = word;
  }
  const std::size_t nodes = parent.size();
  t.first_keyword.resize(nodes);
  for (std::size_t v = 0; v < nodes; ++v)
    t.first_keyword[v] =
        parent[v] == GeneralTables::no_node ? terminal[v] : std::min(t.first_keyword[parent[v]], terminal[v]);
  // Edges grouped by parent, in the order they were made.
  t.edge_start.assign(nodes + 1, 0);
  for (std::size_t v = 0; v < nodes; ++v)
    if (parent[v] != GeneralTables::no_node) ++t.edge_start[parent[v] + 1];
  for (std::size_t v = 0; v < nodes; ++v) t.edge_start[v + 1] += t.edge_start[v];
  t.edge_symbol.resize(t.edge_start[nodes]);
  t.edge_node.resize(t.edge_start[nodes]);
  std::vector<std::uint32_t> fill(t.edge_start.begin(), t.edge_start.end() - 1);
  for (std::size_t v = 0; v < nodes; ++v)
    if (parent[v] != GeneralTables::no_node) {
      const std::uint32_t e = fill[parent[v]]++;
      t.edge_symbol[e] = symbol[v];
      t.edge_node[e] = static_cast<std::uint32_t>(v);
    }
  // Children were made in byte order; the scan looks them up by symbol.
  std::vector<std::pair<std::uint8_t, std::uint32_t>> edges;
  for (std::size_t v = 0; v < nodes; ++v) {
    if (t.edge_start[v + 1] - t.edge_start[v] < 2) continue;
    edges.clear();
    for (std::uint32_t e = t.edge_start[v]; e < t.edge_start[v + 1]; ++e)
      edges.push_back({t.edge_symbol[e], t.edge_node[e]});
    std::sort(edges.begin(), edges.end());
    for (std::uint32_t e = t.edge_start[v], i = 0; e < t.edge_start[v + 1]; ++e, ++i) {
      t.edge_symbol[e] = edges[i].first;
      t.edge_node[e] = edges[i].second;
    }
  }
}

}  // namespace

SpaceBuild build_space(const SpaceSpec& spec, Tables tables) noexcept {
  SpaceBuild build;
  try {
    validate(spec, build);
    if (!build.problems.empty()) return build;
    auto space = std::make_shared<Space>();
    space->spec_ = spec;
    const SpaceSpec& own = space->spec_;
    for (const AxisSpec& axis : own.axes) {
      space->first_keyword_.push_back(space->keywords_.size());
      for (const std::string& word : axis.keywords) space->keywords_.push_back(word);
    }
    space->first_keyword_.push_back(space->keywords_.size());
    if (tables == Tables::best) space->fixed_ = fixed_tables(own);
    build_general(own, space->keywords_, *space->tables_);
    build.space = std::move(space);
  } catch (const std::bad_alloc&) {
    build = SpaceBuild{};
    build.out_of_memory = true;
  } catch (const std::length_error&) {
    build = SpaceBuild{};
    build.out_of_memory = true;
  }
  return build;
}

}  // namespace semv
