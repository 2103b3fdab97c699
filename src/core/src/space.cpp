// A space as a value: its accessors, the bytes it owns, the scratch that
// binds to it, and the functions for each width of units, which run the fixed
// tables' functions where the space has them and the kernels
// (space_kernels.cpp) otherwise. Then the cosines of k components.
#include "semv/space.hpp"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "semv/details/general_tables.hpp"
#include "semv/details/space_kernels.hpp"
#include "semv/details/token_cache.hpp"
#include "semv/text_batch.hpp"

namespace semv {

namespace {

using details::GeneralTables;

template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

Space::Space() : tables_(std::make_unique<GeneralTables>()) {}

Space::~Space() = default;

std::size_t Space::axis_of(std::size_t keyword) const {
  return tables_->axis_of[keyword];
}

std::size_t Space::memory() const {
  const GeneralTables& t = *tables_;
  std::size_t bytes = sizeof(Space) + sizeof(GeneralTables) + (fixed_ ? sizeof(Vocabularies) : 0);
  for (const AxisSpec& axis : spec_.axes) {
    bytes += axis.name.capacity() + axis.keywords.capacity() * sizeof(std::string);
    for (const std::string& word : axis.keywords) bytes += word.capacity() > 15 ? word.capacity() + 1 : 0;
  }
  bytes += vector_bytes(keywords_) + vector_bytes(first_keyword_);
  // Every array of the general tables.
  for (const std::size_t array : {vector_bytes(t.axis_of),
                                  vector_bytes(t.set_size),
                                  vector_bytes(t.pair_rank),
                                  vector_bytes(t.posting_start),
                                  vector_bytes(t.postings),
                                  vector_bytes(t.posting_position),
                                  vector_bytes(t.keyword_pair),
                                  vector_bytes(t.posting_min_size),
                                  vector_bytes(t.posting_max_size),
                                  vector_bytes(t.keyword_pairs_start),
                                  vector_bytes(t.keyword_pairs),
                                  vector_bytes(t.keyword_signature),
                                  vector_bytes(t.size_lo),
                                  vector_bytes(t.size_hi),
                                  vector_bytes(t.need),
                                  vector_bytes(t.need_least),
                                  vector_bytes(t.need_floor),
                                  vector_bytes(t.least_kept),
                                  vector_bytes(t.root),
                                  vector_bytes(t.edge_start),
                                  vector_bytes(t.edge_symbol),
                                  vector_bytes(t.edge_node),
                                  vector_bytes(t.first_keyword),
                                  vector_bytes(t.threshold)})
    bytes += array;
  return bytes;
}

std::size_t SpaceScratch::memory() const noexcept {
  return sizeof(SpaceScratch) + vector_bytes(met_) + vector_bytes(pairs_seen_) + vector_bytes(sums_) +
         vector_bytes(matches_) + (cache_ ? CacheEntry::capacity * sizeof(CacheEntry) : 0) +
         (fixed_batch_ ? fixed_batch_->memory() : 0);
}

SpaceScratch::SpaceScratch() = default;

SpaceScratch::~SpaceScratch() {
  std::free(cache_);
}

bool SpaceScratch::bind(const Space& space) noexcept {
  if (space_ == &space) return cache_ != nullptr || space.fixed_tables();
  space_ = nullptr;
  try {
    const std::size_t k = space.axis_count();
    sums_.assign(k, 0.0);
    matches_.assign(k, AxisMatch{});
    met_.assign(space.keyword_count(), 0);
    word_ = 0;
    pairs_seen_.assign((details::GeneralTables::pair_count + 63) / 64, 0);
    if (space.fixed_tables()) {
      if (!fixed_batch_) fixed_batch_ = std::make_unique<TextBatch>();
    } else {
      if (!cache_) {
        cache_ = static_cast<CacheEntry*>(std::calloc(CacheEntry::capacity, sizeof(CacheEntry)));
        if (!cache_) return false;
      } else {
        std::memset(static_cast<void*>(cache_), 0, CacheEntry::capacity * sizeof(CacheEntry));
      }
      cache_seed_ = details::TokenCache::seed();
    }
  } catch (...) {
    return false;
  }
  space_ = &space;
  return true;
}

namespace {

void store(const std::array<double, axis_count>& components, double* out) {
  out[0] = components[0];
  out[1] = components[1];
  out[2] = components[2];
}

}  // namespace

#define SEMV_SPACE_UNITS(Unit)                                                                            \
  bool Space::word_vector(std::span<const Unit> word, double* out, SpaceScratch& s) const {               \
    if (fixed_) {                                                                                         \
      store(semv::word_vector(*fixed_, word).components, out);                                            \
      return true;                                                                                        \
    }                                                                                                     \
    if (!SpaceKernels::word_matches(*this, s, word.data(), word.size(), s.matches_.data())) return false; \
    for (std::size_t a = 0; a < axis_count(); ++a) out[a] = s.matches_[a].score;                          \
    return true;                                                                                          \
  }                                                                                                       \
  TextForm Space::text_vector(std::span<const Unit> text, double* out, SpaceScratch& s) const {           \
    if (fixed_) {                                                                                         \
      const TextVector tv = s.fixed_batch_->text_vector(*fixed_, text);                                   \
      store(tv.components, out);                                                                          \
      return tv.form;                                                                                     \
    }                                                                                                     \
    return SpaceKernels::text_vector(*this, text.data(), text.size(), out, s);                            \
  }                                                                                                       \
  bool Space::explain(std::span<const Unit> text, std::vector<Explained>& out, SpaceScratch& s)           \
      const noexcept {                                                                                    \
    try {                                                                                                 \
      SpaceKernels::explain(*this, text.data(), text.size(), out, s);                                     \
    } catch (...) {                                                                                       \
      return false;                                                                                       \
    }                                                                                                     \
    return true;                                                                                          \
  }

SEMV_SPACE_UNITS(std::uint8_t)
SEMV_SPACE_UNITS(std::uint16_t)
SEMV_SPACE_UNITS(std::uint32_t)

#undef SEMV_SPACE_UNITS

// --- cosine -----------------------------------------------------------------

// Vectors of three components take the kernels written for that width (the
// same operations in the same order), whatever space they come from.
double cosine_similarity(const double* v1, const double* v2, std::size_t k) {
  if (k == 3) {
    const double a[3] = {v1[0], v1[1], v1[2]}, b[3] = {v2[0], v2[1], v2[2]};
    return c_cosine_similarity(a, b);
  }
  double dot = v1[0] * v2[0];
  for (std::size_t i = 1; i < k; ++i) dot = dot + v1[i] * v2[i];
  if (dot == 0.0) return 0.0;
  double n1 = v1[0] * v1[0], n2 = v2[0] * v2[0];
  for (std::size_t i = 1; i < k; ++i) n1 = n1 + v1[i] * v1[i];
  for (std::size_t i = 1; i < k; ++i) n2 = n2 + v2[i] * v2[i];
  const double len1 = std::sqrt(n1), len2 = std::sqrt(n2);
  if (len1 == 0.0 || len2 == 0.0) return 0.0;
  return dot / (len1 * len2);
}

void cosine_similarities(const double* rows, std::size_t n, const double* query, std::size_t k, double* out) {
  if (k == 3) {
    const double q[3] = {query[0], query[1], query[2]};
    semv::cosine_similarities(rows, n, q, out);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = cosine_similarity(rows + i * k, query, k);
}

}  // namespace semv
