// The kernels of a space on the general tables, as space.cpp calls them for
// each width of units, and the entry of a scratch's token cache, which the
// kernels fill and the scratch allocates. Only the core's sources include it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "semv/details/general_tables.hpp"
#include "semv/space.hpp"
#include "semv/vectors.hpp"

namespace semv {

// The token cache of the general kernels: lower-cased tokens of up to
// max_length bytes, with the positive components of their vector (at most
// max_axes of them; a token with more is scored every time).
struct SpaceScratch::CacheEntry {
  static constexpr std::size_t max_length = 24;
  static constexpr std::size_t max_axes = 8;
  // Entries of a scratch's cache: a power of two, as slots are masked.
  static constexpr std::size_t capacity = 16384;
  // Slots tried from a token's home; a token that finds none free takes its
  // home slot.
  static constexpr std::size_t max_probes = 4;
  std::array<std::uint64_t, max_length / 8> key;  // the bytes, zero-padded
  std::uint8_t length;                            // 0 for a free entry
  std::uint8_t count;
  std::array<std::uint8_t, max_axes> axis;
  std::array<double, max_axes> value;
};

// The kernels, over units of any width; friends of Space and SpaceScratch.
struct SpaceKernels {
  using Entry = SpaceScratch::CacheEntry;

  // What Space's functions call, instantiated in space_kernels.cpp for units
  // of one, two and four bytes.
  template <class Unit>
  static bool word_matches(const Space& space, SpaceScratch& s, const Unit* w, std::size_t n,
                           AxisMatch* matches);
  template <class Unit>
  static TextForm text_vector(const Space& space, const Unit* text, std::size_t n, double* out,
                              SpaceScratch& s);
  template <class Unit>
  static void explain(const Space& space, const Unit* text, std::size_t n, std::vector<Space::Explained>& out,
                      SpaceScratch& s);

 private:
  // The steps of the entry points, used in space_kernels.cpp only. Inline, so
  // that the compiler weighs them for inlining into the scans as it does
  // functions written inside their class.
  static inline std::size_t score_bigrams(const Space& space, SpaceScratch& s, std::uint16_t* pairs,
                                          std::size_t pair_count, std::size_t d, AxisMatch* matches);
  template <class SymbolAt>
  static inline std::size_t token_matches(const Space& space, SpaceScratch& s, std::size_t n,
                                          SymbolAt symbol_at, AxisMatch* matches);
  static inline const Entry* find(const SpaceScratch& s, const std::uint64_t (&words)[3], std::size_t length,
                                  std::size_t& home);
  static inline void insert(SpaceScratch& s, std::size_t home, const std::uint64_t (&words)[3],
                            std::size_t length, const AxisMatch* matches, std::size_t k);
};

}  // namespace semv
