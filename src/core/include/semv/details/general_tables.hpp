// The general tables of a space (semv/space.hpp), which every space that
// does not fit the fixed tables runs on: filled by the builder
// (space_build.cpp), read by the kernels (space_kernels.cpp). With them, what
// both of those share: the symbol of a keyword's byte, and the bound on the
// set sizes that may reach a threshold. Only the core's sources include it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "semv/space.hpp"
#include "semv/vocabulary.hpp"

namespace semv::details {

// The general tables: keyword bigrams as pairs of the 37 symbols, posting
// lists from each pair to the keywords that hold it, and a trie of the
// keywords for the prefix scan.
struct GeneralTables {
  static constexpr std::size_t pair_count = symbol_count * symbol_count;
  static constexpr std::uint32_t no_node = 0xFFFFFFFF;
  // Per keyword (in space order): its axis and the size of its bigram set.
  std::vector<std::uint8_t> axis_of;
  std::vector<std::uint8_t> set_size;
  // Pairs ranked by how many keywords hold them, fewest first (ties by pair):
  // a word's pairs and each keyword's are read in this order.
  std::vector<std::uint16_t> pair_rank;
  // Posting lists: postings[posting_start[p] .. posting_start[p + 1]) are the
  // keywords that hold pair p among their first size - need_floor[size] + 1
  // pairs by rank (a kept keyword shares one of those with the word), by set
  // size, then by index; posting_position is where p stands in that
  // keyword's ranked pairs.
  std::vector<std::uint32_t> posting_start;
  std::vector<std::uint16_t> postings;
  std::vector<std::uint8_t> posting_position;
  // 1 for each pair that some keyword holds, else 0 (a pair may be held and
  // have no posting).
  std::vector<std::uint8_t> keyword_pair;
  // The smallest and largest keyword set sizes of each posting list.
  std::vector<std::uint8_t> posting_min_size, posting_max_size;
  // Each keyword's distinct pairs, by rank: keyword_pairs[keyword_pairs_start[kw]
  // .. keyword_pairs_start[kw + 1]).
  std::vector<std::uint32_t> keyword_pairs_start;
  std::vector<std::uint16_t> keyword_pairs;
  // Each keyword's pairs as bits p % 64 of one word: a keyword lacks at
  // least as many of a word's pairs as it has bits that the word's lack.
  std::vector<std::uint64_t> keyword_signature;
  // The set sizes that may reach the least threshold against a word of d
  // distinct bigrams, for d up to max_table_bigrams: [size_lo[d], size_hi[d]].
  static constexpr std::size_t max_table_bigrams = pair_count;
  std::vector<std::uint8_t> size_lo, size_hi;
  // The least count of common bigrams that keeps a keyword of set size s at
  // the least threshold against a word of d bigrams: need[d * need_row + s],
  // 0xFF where none does (d up to max_table_bigrams).
  static constexpr std::size_t need_row = 64;
  std::vector<std::uint8_t> need;
  // The least of need over the set sizes in range, by d; and over d, by set
  // size (0xFF where a keyword of that size is never kept by bigrams).
  std::vector<std::uint8_t> need_least, need_floor;
  // The least count c of common bigrams that an axis keeps at a union of u,
  // fl(c / u) >= threshold, by axis and u <= max_table_union; 0xFF for none.
  static constexpr std::size_t max_table_union = max_table_bigrams + 64;
  std::vector<std::uint8_t> least_kept;
  // The trie: a keyword's first two symbols select a node through `root`;
  // below it, node n's children are edges[edge_start[n] .. edge_start[n+1])
  // as (symbol, node), by symbol. first_keyword[n] is the first keyword (in
  // space order) that ends on the path to n, or no_node.
  std::vector<std::uint32_t> root;  // pair_count entries
  std::vector<std::uint32_t> edge_start;
  std::vector<std::uint8_t> edge_symbol;
  std::vector<std::uint32_t> edge_node;
  std::vector<std::uint32_t> first_keyword;
  // Thresholds by axis, their least, and an axis that has it.
  std::vector<double> threshold;
  double least_threshold = 1.0;
  std::size_t least_axis = 0;
};

// What a byte outside a-z, 0-9 and _ stands for: a symbol that no keyword
// holds.
inline constexpr std::uint8_t no_symbol = other_symbol;

// The symbol of a byte of a keyword or of a lower-cased token: a-z, 0-9, _.
constexpr std::uint8_t symbol_of_byte(unsigned char c) {
  return symbol_of(static_cast<char32_t>(c));
}

// The keyword-free bound: a score c / u needs c <= min(s, d) and u >= max(s, d),
// so a set size s whose min(s, d) / max(s, d) falls below t scores below t
// too (division rounds monotonically). The sizes that may reach t form one
// range [lo, hi]; lo > hi when none does.
struct SizeRange {
  std::size_t lo, hi;
};

inline SizeRange feasible_sizes(std::size_t d, double t) {
  SizeRange r{max_space_keyword_length, 0};
  for (std::size_t s = 1; s < max_space_keyword_length; ++s) {
    const double bound = static_cast<double>(std::min(s, d)) / static_cast<double>(std::max(s, d));
    if (bound >= t) {
      r.lo = std::min(r.lo, s);
      r.hi = s;
    }
  }
  return r;
}

}  // namespace semv::details
