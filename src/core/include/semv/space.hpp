// A semantic space as a value: axes, their keyword lists and thresholds, and
// the options `split` and `fold`, compiled at run time into tables that the
// space owns. A space of three axes with thresholds of 0.4, no options and
// keywords that fit the fixed tables (semv/vocabulary.hpp) runs on those
// tables, built from its lists; every other space runs on the general tables
// below. Nothing here throws past its functions: building reports every
// problem as a value, and the kernels never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "semv/vectors.hpp"
#include "semv/vocabulary.hpp"

namespace semv {

// The limits of a space.
inline constexpr std::size_t max_space_axes = 64;
inline constexpr std::size_t max_space_keywords = 65535;
inline constexpr std::size_t min_space_keyword_length = 2;
inline constexpr std::size_t max_space_keyword_length = 64;
inline constexpr double default_space_threshold = 0.4;

struct AxisSpec {
  std::string name;
  std::vector<std::string> keywords;
  double threshold = default_space_threshold;
};

struct SpaceSpec {
  std::vector<AxisSpec> axes;
  bool split = false;  // cut tokens into words: snake_case and CamelCase
  bool fold = false;   // map Turkish letters onto ASCII before anything else
};

// One rule that a space breaks. `axis` and `keyword` index the spec;
// no_index where the problem is not about one.
struct SpaceProblem {
  static constexpr std::size_t no_index = static_cast<std::size_t>(-1);
  std::size_t axis = no_index;
  std::size_t keyword = no_index;
  std::string what;
};

class Space;
class TextBatch;

struct SpaceBuild {
  std::shared_ptr<const Space> space;  // null when a problem was found
  std::vector<SpaceProblem> problems;
  bool out_of_memory = false;
};

// Which tables a space may run on: the fixed ones where it fits them (the
// default), or always the general ones (for tests and benchmarks).
enum class Tables : std::uint8_t { best, general };

// The space of `spec`, or every problem of it. Never throws.
SpaceBuild build_space(const SpaceSpec& spec, Tables tables = Tables::best) noexcept;

// How a token or word scored on an axis, for explanations.
struct AxisMatch {
  double score = 0.0;
  std::uint32_t keyword = 0;  // index into the space's keywords (all axes, in order)
  bool prefix = false;
};

namespace details {

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

}  // namespace details

// What one thread keeps while it scores with one space: which keywords a
// word has met, and a cache of token vectors. It binds to the
// first space it is used with and starts afresh with any other.
class SpaceScratch {
 public:
  SpaceScratch();
  ~SpaceScratch();
  SpaceScratch(const SpaceScratch&) = delete;
  SpaceScratch& operator=(const SpaceScratch&) = delete;

  // Ready for `space`; false when memory is short (nothing is scored then).
  bool bind(const Space& space) noexcept;

 private:
  friend struct SpaceKernels;
  friend class Space;
  struct CacheEntry;
  const Space* space_ = nullptr;
  // met_[kw] == word_ when keyword kw was met while scoring the current word.
  std::vector<std::uint32_t> met_;
  std::uint32_t word_ = 0;
  std::vector<std::uint64_t> pairs_seen_;
  std::vector<double> sums_;
  std::vector<AxisMatch> matches_;
  CacheEntry* cache_ = nullptr;
  std::size_t cache_capacity_ = 0;
  std::uint64_t cache_seed_ = 0;
  std::unique_ptr<TextBatch> fixed_batch_;
};

class Space {
 public:
  std::size_t axis_count() const { return spec_.axes.size(); }
  const SpaceSpec& spec() const { return spec_; }
  std::size_t keyword_count() const { return keywords_.size(); }
  std::string_view keyword(std::size_t index) const { return keywords_[index]; }
  // The axis of a keyword, and its index in that axis's list.
  std::size_t axis_of(std::size_t keyword) const;
  std::size_t index_in_axis(std::size_t keyword) const { return keyword - first_keyword_[axis_of(keyword)]; }
  // The fixed tables, when the space runs on them; else null.
  const Vocabularies* fixed() const { return fixed_.get(); }
  // Bytes of the tables it owns.
  std::size_t memory() const;

  // The vector of an already normalised word (folded, lower-cased, stripped)
  // into out[0 .. axis_count()); false, out untouched, when memory is short
  // (a word with code points outside the keywords' sorts its pairs).
  bool word_vector(std::span<const std::uint8_t> word, double* out, SpaceScratch& s) const;
  bool word_vector(std::span<const std::uint16_t> word, double* out, SpaceScratch& s) const;
  bool word_vector(std::span<const std::uint32_t> word, double* out, SpaceScratch& s) const;

  // The vector of a text into out[0 .. axis_count()).
  TextForm text_vector(std::span<const std::uint8_t> text, double* out, SpaceScratch& s) const;
  TextForm text_vector(std::span<const std::uint16_t> text, double* out, SpaceScratch& s) const;
  TextForm text_vector(std::span<const std::uint32_t> text, double* out, SpaceScratch& s) const;

  // One record per token and axis with a positive component, in token order,
  // then axis order. `token` holds the token as scored.
  struct Explained {
    std::string token;
    std::size_t start = 0;  // in units of the text
    std::size_t axis = 0;
    AxisMatch match;
  };
  // False when memory is short.
  bool explain(std::span<const std::uint8_t> text, std::vector<Explained>& out,
               SpaceScratch& s) const noexcept;
  bool explain(std::span<const std::uint16_t> text, std::vector<Explained>& out,
               SpaceScratch& s) const noexcept;
  bool explain(std::span<const std::uint32_t> text, std::vector<Explained>& out,
               SpaceScratch& s) const noexcept;

 private:
  friend SpaceBuild build_space(const SpaceSpec&, Tables) noexcept;
  friend struct SpaceKernels;
  friend class SpaceScratch;
  SpaceSpec spec_;
  std::vector<std::string_view> keywords_;  // views into spec_, all axes in order
  std::vector<std::size_t> first_keyword_;  // per axis, and the total last
  std::unique_ptr<Vocabularies> fixed_;
  details::GeneralTables tables_;
};

// The cosine of two vectors of k doubles: products and sums left to right;
// +0.0 when the dot product or a length is zero. For k = 3 it is
// c_cosine_similarity bit for bit.
double cosine_similarity(const double* v1, const double* v2, std::size_t k);

// out[i] = cosine_similarity(row i of `rows`, query, k) for n rows of k doubles.
void cosine_similarities(const double* rows, std::size_t n, const double* query, std::size_t k, double* out);

}  // namespace semv
