// The vectors of tokens, kept for the length of one call, or by one
// thread across the texts of a batch: a log text repeats its words (a 4 MB log
// holds about 691,000 tokens but fewer than 6,000 distinct ones), and scoring a
// token costs far more than finding it again.
//
// Open addressing over a table sized by the text, with a hash seeded once per
// process and at most max_probes probes: a token that finds no free place
// takes its home slot, so even tokens built against the hash cost no more than
// one lookup each on top of scoring them as if there were no cache.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "semv/details/seed.hpp"
#include "semv/vectors.hpp"

namespace semv::details {

class TokenCache {
 public:
  // Tokens longer than this are scored every time.
  static constexpr std::size_t max_length = 16;
  static constexpr std::size_t max_probes = 4;

  // A lower-cased token as a key: its bytes, zero-padded, and its length.
  struct Key {
    std::uint64_t low = 0, high = 0;
    std::size_t length = 0;
  };

  // A cache for a text of n units, or an inactive one when the text is short
  // (a table would cost more than it saves) or memory is short.
  static TokenCache for_text(std::size_t n) {
    if (n < min_text_units) return TokenCache(0);
    const std::size_t wanted = std::bit_ceil(n / units_per_entry);
    return TokenCache(wanted < min_capacity ? min_capacity : wanted > max_capacity ? max_capacity : wanted);
  }
  // A cache for every text of a batch, inactive when memory is short.
  static TokenCache for_batch() { return TokenCache(max_capacity); }

  // Bytes of its table (0 when inactive).
  std::size_t memory() const noexcept { return capacity_ * sizeof(Entry); }

  TokenCache(TokenCache&& other) noexcept
      : seed_(other.seed_), entries_(other.entries_), capacity_(other.capacity_) {
    other.entries_ = nullptr;
    other.capacity_ = 0;
  }
  ~TokenCache() {
    if (entries_ != nullptr) std::free(entries_);  // short texts, the most, skip the call
  }
  TokenCache(const TokenCache&) = delete;
  TokenCache& operator=(const TokenCache&) = delete;
  TokenCache& operator=(TokenCache&&) = delete;

  bool active() const { return entries_ != nullptr; }

  // Forgets every token.
  void clear() {
    if (entries_ != nullptr) std::memset(static_cast<void*>(entries_), 0, capacity_ * sizeof(Entry));
  }

  // Chosen once per process, so that which tokens share a slot cannot be
  // worked out in advance.
  static std::uint64_t seed() { return process_seed(); }

  // The key of a token of A-Z a-z 0-9 _, stored as `Unit`s: its units with
  // bit 5 set, which folds A-Z onto a-z and keeps the rest apart ('_' becomes
  // DEL, which no token holds).
  // `readable` units may be read from `units`: with 16 or more, a 1-byte
  // token is loaded whole and masked (on a little-endian machine, where its
  // first byte is the low one), else copied unit by unit.
  template <class Unit>
  static bool key_of(const Unit* units, std::size_t length, std::size_t readable, Key& key) {
    if (length > max_length) return false;
    if constexpr (sizeof(Unit) == 1 && std::endian::native == std::endian::little) {
      if (readable >= 2 * sizeof(std::uint64_t)) {
        std::memcpy(&key.low, units, 8);
        std::memcpy(&key.high, units + 8, 8);
        key.low &= length >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
        key.high &= length >= 16  ? ~std::uint64_t{0}
                    : length <= 8 ? 0
                                  : (std::uint64_t{1} << (8 * (length - 8))) - 1;
        return finish_key(length, key);
      }
    }
    unsigned char bytes[max_length] = {};
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(units[i]);
    std::memcpy(&key.low, bytes, 8);
    std::memcpy(&key.high, bytes + 8, 8);
    return finish_key(length, key);
  }

  // The cached vector of the token, or null.
  const WordVector* find(const Key& key) const {
    for (std::size_t probe = 0, slot = slot_of(key); probe < max_probes;
         ++probe, slot = (slot + 1) & (capacity_ - 1)) {
      const Entry& e = entries_[slot];
      if (e.length == 0) return nullptr;
      if (e.length == key.length && e.low == key.low && e.high == key.high) return &e.vector;
    }
    return nullptr;
  }

  // Into the first free slot of the token's probes, or over its home slot
  // when they are all taken: a batch of many distinct tokens keeps its
  // recent ones.
  void insert(const Key& key, const WordVector& vector) {
    const std::size_t home = slot_of(key);
    std::size_t slot = home;
    for (std::size_t probe = 1; probe < max_probes && entries_[slot].length != 0; ++probe)
      slot = (slot + 1) & (capacity_ - 1);
    if (entries_[slot].length != 0) slot = home;
    entries_[slot] = {key.low, key.high, static_cast<std::uint32_t>(key.length), vector};
  }

 private:
  static bool finish_key(std::size_t length, Key& key) {
    const std::uint64_t bit5 = 0x2020202020202020ull;
    key.low |= length >= 8 ? bit5 : bit5 >> (8 * (8 - length));
    key.high |= length >= 16 ? bit5 : length <= 8 ? 0 : bit5 >> (8 * (16 - length));
    key.length = length;
    return true;
  }

  // A table of `capacity` entries (a power of two), or none for 0.
  explicit TokenCache(std::size_t capacity) {
    if (capacity == 0) return;
    seed_ = seed();
    entries_ = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    capacity_ = entries_ ? capacity : 0;
  }

  // SEMV_TOKEN_CACHE_MIN_UNITS lowers it, so that the core fuzzer reaches
  // the cache with short inputs.
#ifdef SEMV_TOKEN_CACHE_MIN_UNITS
  static constexpr std::size_t min_text_units = SEMV_TOKEN_CACHE_MIN_UNITS;
#else
  static constexpr std::size_t min_text_units = 4096;
#endif
  static constexpr std::size_t units_per_entry = 64;
  static constexpr std::size_t min_capacity = 256, max_capacity = 16384;

  struct Entry {
    std::uint64_t low, high;
    std::uint32_t length;  // 0 for a free entry: no token is empty
    WordVector vector;
  };

  std::size_t slot_of(const Key& key) const {
    // Multiply-shift hashing of the two halves under the seed.
    const std::uint64_t s = seed_;
    const std::uint64_t h =
        (key.low ^ s) * 0x9E3779B97F4A7C15ull + (key.high ^ (s >> 1)) * 0xC2B2AE3D27D4EB4Full + key.length;
    return static_cast<std::size_t>(h >> 32) & (capacity_ - 1);
  }

  static_assert(max_capacity * sizeof(Entry) <= 1 << 20, "a cache stays under 1 MiB");

  std::uint64_t seed_ = 0;
  Entry* entries_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace semv::details
