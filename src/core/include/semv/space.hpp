// A semantic space as a value: axes, their keyword lists and thresholds, and
// the options `split` and `fold`, compiled at run time into tables that the
// space owns. A space of three axes with thresholds of 0.4, no options and
// keywords that fit the fixed tables (semv/vocabulary.hpp) runs on those
// tables, built from its lists; every other space runs on the general tables
// (semv/details/general_tables.hpp, which only the core's sources include).
// Nothing here throws past its functions: building reports every problem as
// a value, and the kernels never allocate.
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

namespace details {
struct GeneralTables;
}

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
  // Bytes it owns, itself included: its token cache (for a space on the
  // general tables) or its batch's (on the fixed ones), and what it marks.
  std::size_t memory() const noexcept;

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
  // Empty tables, which build_space fills; throws std::bad_alloc.
  Space();
  ~Space();

  std::size_t axis_count() const { return spec_.axes.size(); }
  const SpaceSpec& spec() const { return spec_; }
  std::size_t keyword_count() const { return keywords_.size(); }
  std::string_view keyword(std::size_t index) const { return keywords_[index]; }
  // The axis of a keyword, and its index in that axis's list.
  std::size_t axis_of(std::size_t keyword) const;
  std::size_t index_in_axis(std::size_t keyword) const { return keyword - first_keyword_[axis_of(keyword)]; }
  // The fixed table layout, built from this space's own lists, when the
  // space fits it (three axes, thresholds of 0.4, no options, short a-z
  // keywords); else null. Any space may fit it: it says how the space runs,
  // not that it is the default space.
  const Vocabularies* fixed_tables() const { return fixed_.get(); }
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
  // Never null; out of line, so that this header does not hold its layout.
  std::unique_ptr<details::GeneralTables> tables_;
};

// The cosine of two vectors of k doubles: products and sums left to right;
// +0.0 when the dot product or a length is zero. For k = 3 it is
// c_cosine_similarity bit for bit.
double cosine_similarity(const double* v1, const double* v2, std::size_t k);

// out[i] = cosine_similarity(row i of `rows`, query, k) for n rows of k doubles.
void cosine_similarities(const double* rows, std::size_t n, const double* query, std::size_t k, double* out);

}  // namespace semv
