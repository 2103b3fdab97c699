// Spaces built at run time: validation, the general tables, and the kernels
// that score words and texts with them.
#include "semv/space.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>

#include "semv/details/token_cache.hpp"
#include "semv/details/tokens.hpp"
#include "semv/text_batch.hpp"

namespace semv {

namespace {

using details::GeneralTables;

constexpr std::uint8_t no_symbol = other_symbol;

// The symbol of a byte of a keyword or of a lower-cased token: a-z, 0-9, _.
constexpr std::uint8_t symbol_of_byte(unsigned char c) {
  return symbol_of(static_cast<char32_t>(c));
}

// What a unit of a text is once folded (when `fold`): the ASCII letter,
// digit or '_' it stands for, case kept, or 0 for a separator.
constexpr std::array<char, 0x180> token_chars(bool fold) {
  std::array<char, 0x180> table{};
  for (unsigned c = 0; c < 128; ++c)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')
      table[c] = static_cast<char>(c);
  if (fold) {
    // The Turkish letters onto the ASCII ones, upper case onto upper case so
    // that a fold never makes a cut between words.
    constexpr std::pair<char16_t, char> turkish[] = {{u'ç', 'c'}, {u'Ç', 'C'}, {u'ğ', 'g'}, {u'Ğ', 'G'},
                                                     {u'ı', 'i'}, {u'İ', 'I'}, {u'ö', 'o'}, {u'Ö', 'O'},
                                                     {u'ş', 's'}, {u'Ş', 'S'}, {u'ü', 'u'}, {u'Ü', 'U'}};
    for (auto [from, to] : turkish) table[from] = to;
  }
  return table;
}

constexpr std::array<char, 0x180> plain_chars = token_chars(false), folded_chars = token_chars(true);

// The symbol of a byte of a cache key: a token's units with bit 5 set, which
// lowers A-Z, keeps digits and makes '_' DEL.
constexpr std::array<std::uint8_t, 256> key_symbols = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c)
    table[c] = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                   ? symbol_of_byte(static_cast<unsigned char>(c))
                   : no_symbol;
  table[0x7F] = symbol_of_byte('_');
  return table;
}();

// The bits set in x, without the popcnt instruction that the baseline
// x86-64 lacks (std::popcount calls out of line there).
constexpr std::size_t bit_count(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

template <class Unit>
char token_char(Unit u, const std::array<char, 0x180>& table) {
  return u < table.size() ? table[u] : 0;
}

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}
constexpr bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}
constexpr bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}
constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The keyword-free bound: a score c / u needs c <= min(s, d) and u >= max(s, d),
// so a set size s whose min(s, d) / max(s, d) falls below t scores below t
// too (division rounds monotonically). The sizes that may reach t form one
// range [lo, hi]; lo > hi when none does.
struct SizeRange {
  std::size_t lo, hi;
};

SizeRange feasible_sizes(std::size_t d, double t) {
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

}  // namespace

// The token cache of the general kernels: lower-cased tokens of up to
// max_length bytes, with the positive components of their vector (at most
// max_axes of them; a token with more is scored every time).
struct SpaceScratch::CacheEntry {
  static constexpr std::size_t max_length = 24;
  static constexpr std::size_t max_axes = 8;
  static constexpr std::size_t capacity = 16384;
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

  // First keyword (in space order) that the symbols s[0..n) start with, or
  // no_node.
  template <class SymbolAt>
  static std::uint32_t prefix_keyword(const GeneralTables& t, std::size_t n, SymbolAt symbol_at) {
    if (n < 2) return GeneralTables::no_node;
    const std::uint8_t s0 = symbol_at(0), s1 = symbol_at(1);
    if (s0 == no_symbol || s1 == no_symbol) return GeneralTables::no_node;
    std::uint32_t node = t.root[s0 * symbol_count + s1];
    if (node == GeneralTables::no_node) return GeneralTables::no_node;
    for (std::size_t i = 2; i < n; ++i) {
      const std::uint8_t s = symbol_at(i);
      if (s == no_symbol) break;
      const std::uint8_t* first = t.edge_symbol.data() + t.edge_start[node];
      const std::uint8_t* last = t.edge_symbol.data() + t.edge_start[node + 1];
      const std::uint8_t* edge = std::lower_bound(first, last, s);
      if (edge == last || *edge != s) break;
      node = t.edge_node[edge - t.edge_symbol.data()];
    }
    return t.first_keyword[node];
  }

  // Best kept score per axis, from the distinct symbol pairs of a word that
  // some keyword holds (ids below pair_count, marked in s.pairs_seen_) and
  // its count d of distinct bigrams in all; the axes that score are in
  // matches (score > 0). Returns how many axes score.
  //
  // A keyword of set size `size` is kept at the least threshold only with
  // need[size] or more bigrams in common with the word. The word's pairs and
  // each keyword's are read in one order, rarest first, so:
  // - a kept keyword holds one of the word's pair_count - need + 1 first
  //   pairs: only their postings are read;
  // - a keyword first met at its own j-th pair lacks its first j pairs (the
  //   word's rarer pairs were read before and did not hold it), so it is a
  //   candidate only while j <= size - need, and is counted from pair j + 1,
  //   until more of its pairs are missing than need allows.
  static std::size_t score_bigrams(const Space& space, SpaceScratch& s, std::uint16_t* pairs,
                                   std::size_t pair_count, std::size_t d, AxisMatch* matches) {
    const GeneralTables& t = space.tables_;
    const std::size_t k = space.axis_count();
    for (std::size_t a = 0; a < k; ++a) matches[a] = AxisMatch{};
    if (pair_count == 0) return 0;
    const bool tabled = d <= GeneralTables::max_table_bigrams;
    const SizeRange sizes =
        tabled ? SizeRange{t.size_lo[d], t.size_hi[d]} : feasible_sizes(d, t.least_threshold);
    if (sizes.lo > sizes.hi) return 0;
    // Past the table (a word of other code points too), the bound is 1.
    static constexpr auto ones = [] {
      std::array<std::uint8_t, GeneralTables::need_row> a{};
      a.fill(1);
      return a;
    }();
    const std::uint8_t* need = tabled ? t.need.data() + d * GeneralTables::need_row : ones.data();
    if (pair_count < (tabled ? t.need_least[d] : 1)) return 0;
    // By rank, by insertion: a word has few pairs.
    const std::uint16_t* rank = t.pair_rank.data();
    std::uint64_t signature = std::uint64_t{1} << (pairs[0] % 64);
    for (std::size_t i = 1; i < pair_count; ++i) {
      const std::uint16_t p = pairs[i];
      signature |= std::uint64_t{1} << (p % 64);
      std::size_t j = i;
      for (; j > 0 && rank[pairs[j - 1]] > rank[p]; --j) pairs[j] = pairs[j - 1];
      pairs[j] = p;
    }
    if (++s.word_ == 0) {  // the marks wrapped: none may look current
      std::fill(s.met_.begin(), s.met_.end(), 0u);
      s.word_ = 1;
    }
    const std::uint32_t word = s.word_;
    std::uint32_t* met = s.met_.data();
    const std::uint32_t* start = t.posting_start.data();
    const std::uint16_t* postings = t.postings.data();
    const std::uint8_t* position = t.posting_position.data();
    const std::uint8_t* set_size = t.set_size.data();
    const std::uint64_t* seen = s.pairs_seen_.data();
    std::array<std::uint32_t, max_space_axes> best_c{}, best_u{}, best_kw{};
    std::size_t scored = 0;
    // The i-th pair (r = pair_count - i left) is read for the sizes whose
    // need is at most r.
    std::size_t cap = sizes.hi;
    for (std::size_t i = 0; i < pair_count; ++i) {
      const std::size_t r = pair_count - i;
      while (cap >= sizes.lo && need[cap] > r) --cap;
      if (cap < sizes.lo) break;
      const std::uint16_t p = pairs[i];
      if (t.posting_max_size[p] < sizes.lo || t.posting_min_size[p] > cap) continue;
      std::size_t at = start[p];
      const std::size_t last = start[p + 1];
      if (set_size[postings[at]] < sizes.lo)
        at = std::partition_point(postings + at, postings + last,
                                  [&](std::uint16_t kw) { return set_size[kw] < sizes.lo; }) -
             postings;
      for (; at != last; ++at) {
        const std::uint16_t kw = postings[at];
        const std::size_t size = set_size[kw];
        if (size > cap) break;
        const std::size_t j = position[at];
        if (met[kw] == word || j + need[size] > size) continue;
        met[kw] = word;
        const std::size_t allowed = size - need[size];
        if (bit_count(t.keyword_signature[kw] & ~signature) > allowed) continue;
        std::size_t c = 1, missing = j;
        const std::uint16_t* own = t.keyword_pairs.data() + t.keyword_pairs_start[kw];
        for (std::size_t m = j + 1; m < size && missing <= allowed; ++m) {
          const std::size_t common = (seen[own[m] / 64] >> (own[m] % 64)) & 1;
          c += common;
          missing += common ^ 1;
        }
        if (missing > allowed) continue;
        // The best per axis as a fraction c / u, compared exactly.
        const std::size_t u = d + size - c;
        const std::size_t a = t.axis_of[kw];
        const bool kept = u <= GeneralTables::max_table_union
                              ? c >= t.least_kept[a * (GeneralTables::max_table_union + 1) + u]
                              : static_cast<double>(c) / static_cast<double>(u) >= t.threshold[a];
        if (!kept) continue;
        if (best_u[a] == 0) {
          ++scored;
        } else {
          const std::uint64_t lhs = std::uint64_t{c} * best_u[a], rhs = std::uint64_t{best_c[a]} * u;
          if (lhs < rhs || (lhs == rhs && kw > best_kw[a])) continue;
          // Equal fractions give equal doubles: the first keyword keeps it.
        }
        best_c[a] = static_cast<std::uint32_t>(c);
        best_u[a] = static_cast<std::uint32_t>(u);
        best_kw[a] = kw;
      }
    }
    for (std::size_t a = 0; a < k; ++a)
      if (best_u[a] != 0)
        matches[a] =
            AxisMatch{static_cast<double>(best_c[a]) / static_cast<double>(best_u[a]), best_kw[a], false};
    return scored;
  }

  // The vector of a lower-cased token of symbols (all below no_symbol) into
  // matches; the number of axes that score.
  template <class SymbolAt>
  static std::size_t token_matches(const Space& space, SpaceScratch& s, std::size_t n, SymbolAt symbol_at,
                                   AxisMatch* matches) {
    const GeneralTables& t = space.tables_;
    const std::uint32_t first = prefix_keyword(t, n, symbol_at);
    if (first != GeneralTables::no_node) {
      for (std::size_t a = 0; a < space.axis_count(); ++a) matches[a] = AxisMatch{};
      matches[t.axis_of[first]] = AxisMatch{1.0, first, true};
      return 1;
    }
    if (n < 2) {
      for (std::size_t a = 0; a < space.axis_count(); ++a) matches[a] = AxisMatch{};
      return 0;
    }
    // Distinct pairs, marked in a bitmap that is cleared again after; only
    // those that some keyword holds are kept for scoring.
    std::uint16_t pairs[GeneralTables::pair_count];
    std::uint16_t all[GeneralTables::pair_count];
    std::size_t count = 0, distinct = 0;
    std::uint64_t* seen = s.pairs_seen_.data();
    const std::uint8_t* held = t.keyword_pair.data();
    std::uint8_t prev = symbol_at(0);
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint8_t cur = symbol_at(i);
      const std::uint16_t p = static_cast<std::uint16_t>(prev * symbol_count + cur);
      const std::uint64_t bit = std::uint64_t{1} << (p % 64);
      if (!(seen[p / 64] & bit)) {
        seen[p / 64] |= bit;
        all[distinct++] = p;
        if (held[p]) pairs[count++] = p;
      }
      prev = cur;
    }
    const std::size_t scored = score_bigrams(space, s, pairs, count, distinct, matches);
    for (std::size_t i = 0; i < distinct; ++i) seen[all[i] / 64] = 0;
    return scored;
  }

  // The vector of a normalised word of any code points. The pairs that hold
  // a code point outside the symbols count towards its bigrams and never
  // match; they are told apart by sorting. False when memory is short.
  template <class Unit>
  static bool word_matches(const Space& space, SpaceScratch& s, const Unit* w, std::size_t n,
                           AxisMatch* matches) {
    auto symbol_at = [w](std::size_t i) {
      return w[i] < 128 ? symbol_of_byte(static_cast<unsigned char>(w[i])) : no_symbol;
    };
    bool plain = true;
    for (std::size_t i = 0; i < n && plain; ++i) plain = symbol_at(i) != no_symbol;
    if (plain) {
      token_matches(space, s, n, symbol_at, matches);
      return true;
    }
    const GeneralTables& t = space.tables_;
    const std::uint32_t first = prefix_keyword(t, n, symbol_at);
    for (std::size_t a = 0; a < space.axis_count(); ++a) matches[a] = AxisMatch{};
    if (first != GeneralTables::no_node) {
      matches[t.axis_of[first]] = AxisMatch{1.0, first, true};
      return true;
    }
    if (n < 2) return true;  // the set {w} shares nothing with a keyword's
    std::vector<std::uint16_t> marked;
    try {
      std::vector<std::uint64_t> others;
      std::vector<std::uint16_t> pairs;
      std::uint64_t* seen = s.pairs_seen_.data();
      const std::uint8_t* held = t.keyword_pair.data();
      for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::uint8_t a = symbol_at(i), b = symbol_at(i + 1);
        if (a != no_symbol && b != no_symbol) {
          const std::uint16_t p = static_cast<std::uint16_t>(a * symbol_count + b);
          const std::uint64_t bit = std::uint64_t{1} << (p % 64);
          if (!(seen[p / 64] & bit)) {
            seen[p / 64] |= bit;
            marked.push_back(p);
            if (held[p]) pairs.push_back(p);
          }
        } else {
          others.push_back(std::uint64_t{w[i]} << 32 | w[i + 1]);
        }
      }
      std::sort(others.begin(), others.end());
      const std::size_t distinct_others = std::unique(others.begin(), others.end()) - others.begin();
      score_bigrams(space, s, pairs.data(), pairs.size(), marked.size() + distinct_others, matches);
    } catch (...) {
      for (std::uint16_t p : marked) s.pairs_seen_[p / 64] = 0;
      return false;
    }
    for (std::uint16_t p : marked) s.pairs_seen_[p / 64] = 0;
    return true;
  }

  // The cache key of the token of `length` units at `units` (at most
  // Entry::max_length), of which `readable` units may be read: its units
  // folded by `chars`, with bit 5 set, zero-padded to three words. Bytes
  // without a fold are loaded as words (copied first where the text ends
  // within them) and masked, on a little-endian machine, where a word's
  // first byte is its low one.
  template <class Unit>
  static void key_of(const Unit* units, std::size_t length, std::size_t readable,
                     const std::array<char, 0x180>& chars, std::uint64_t (&words)[3]) {
    constexpr std::uint64_t bit5 = 0x2020202020202020ull;
    if constexpr (sizeof(Unit) == 1 && std::endian::native == std::endian::little) {
      if (&chars == &plain_chars) {
        if (readable >= sizeof words) {
          std::memcpy(words, units, sizeof words);
        } else {
          words[0] = words[1] = words[2] = 0;
          std::memcpy(words, units, length);
        }
        for (std::size_t w = 0; w < 3; ++w) {
          const std::size_t bytes = length > 8 * w ? std::min<std::size_t>(length - 8 * w, 8) : 0;
          words[w] =
              (words[w] | bit5) & (bytes == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1);
        }
        return;
      }
    }
    unsigned char bytes[sizeof words] = {};
    for (std::size_t i = 0; i < length; ++i)
      bytes[i] = static_cast<unsigned char>(token_char(units[i], chars) | 0x20);
    std::memcpy(words, bytes, sizeof words);
  }

  // The cached vector of a token, from its key.
  static const Entry* find(const SpaceScratch& s, const std::uint64_t (&words)[3], std::size_t length,
                           std::size_t& home) {
    // Multiply-shift hashing of the three words under the seed.
    const std::uint64_t seed = s.cache_seed_;
    const std::uint64_t h = (words[0] ^ seed) * 0x9E3779B97F4A7C15ull +
                            (words[1] ^ (seed >> 1)) * 0xC2B2AE3D27D4EB4Full +
                            (words[2] ^ (seed >> 2)) * 0x165667B19E3779F9ull + length;
    home = static_cast<std::size_t>(h >> 32) & (Entry::capacity - 1);
    for (std::size_t probe = 0, slot = home; probe < Entry::max_probes;
         ++probe, slot = (slot + 1) & (Entry::capacity - 1)) {
      const Entry& e = s.cache_[slot];
      if (e.length == 0) return nullptr;
      if (e.length == length && e.key[0] == words[0] && e.key[1] == words[1] && e.key[2] == words[2])
        return &e;
    }
    return nullptr;
  }

  // matches: the token's vector, or null for none.
  static void insert(SpaceScratch& s, std::size_t home, const std::uint64_t (&words)[3], std::size_t length,
                     const AxisMatch* matches, std::size_t k) {
    std::size_t slot = home;
    for (std::size_t probe = 1; probe < Entry::max_probes && s.cache_[slot].length != 0; ++probe)
      slot = (slot + 1) & (Entry::capacity - 1);
    if (s.cache_[slot].length != 0) slot = home;
    Entry& e = s.cache_[slot];
    e.key = {words[0], words[1], words[2]};
    e.length = static_cast<std::uint8_t>(length);
    e.count = 0;
    for (std::size_t a = 0; matches != nullptr && a < k; ++a)
      if (matches[a].score > 0.0) {
        e.axis[e.count] = static_cast<std::uint8_t>(a);
        e.value[e.count++] = matches[a].score;
      }
  }

  // Calls piece(begin, end) for each token of the text that may match a
  // keyword, cut into words when the space splits them; chars is the fold
  // table. Returns whether the text holds any token. A token or a word of
  // one unit matches nothing (a keyword has two), so it may go unreported.
  template <class Unit, class Piece>
  static bool for_each_piece(const Unit* text, std::size_t n, bool split,
                             const std::array<char, 0x180>& chars, Piece piece) {
    // Without a fold, tokens are the runs of ASCII units that the masks of
    // the fixed space's scan find; most spaces neither fold nor split.
    if (&chars == &plain_chars && !split) return details::for_each_token_with_pair<false>(text, n, piece);
    // piece once more, out of line, for the other scans.
    auto one = [&](std::size_t begin, std::size_t end) __attribute__((noinline)) { piece(begin, end); };
    auto token = [&](std::size_t begin, std::size_t end) {
      if (split)
        cut_words(text, begin, end, chars, one);
      else
        one(begin, end);
    };
    if (&chars == &plain_chars) return details::for_each_token_with_pair<false>(text, n, token);
    bool any = false;
    std::size_t i = 0;
    while (i < n) {
      while (i < n && token_char(text[i], chars) == 0) ++i;
      if (i == n) break;
      const std::size_t begin = i;
      while (i < n && token_char(text[i], chars) != 0) ++i;
      any = true;
      token(begin, i);
    }
    return any;
  }

  // The words of the token [begin, end): '_' separates, and a word begins at
  // an upper-case letter after a lower-case one or a digit, or before a
  // lower-case one after another upper-case one.
  template <class Unit, class Piece>
  static void cut_words(const Unit* text, std::size_t begin, std::size_t end,
                        const std::array<char, 0x180>& chars, Piece& piece) {
    const Unit* token = text + begin;
    const std::size_t length = end - begin;
    std::size_t start = 0;
    for (std::size_t j = 0; j < length; ++j) {
      const char c = token_char(token[j], chars);
      if (c == '_') {
        if (j > start) piece(begin + start, begin + j);
        start = j + 1;
        continue;
      }
      if (j > start && is_upper(c)) {
        const char before = token_char(token[j - 1], chars);
        const char after = j + 1 < length ? token_char(token[j + 1], chars) : 0;
        if (is_lower(before) || is_digit(before) || (is_upper(before) && is_lower(after))) {
          piece(begin + start, begin + j);
          start = j;
        }
      }
    }
    if (length > start) piece(begin + start, end);
  }

  template <class Unit>
  static TextForm text_vector(const Space& space, const Unit* text, std::size_t n, double* out,
                              SpaceScratch& s) {
    const std::size_t k = space.axis_count();
    double* sums = s.sums_.data();
    std::fill(sums, sums + k, +0.0);
    AxisMatch* matches = s.matches_.data();
    std::uint64_t matched = 0;
    const auto& chars = space.spec_.fold ? folded_chars : plain_chars;
    const std::uint8_t* keyword_pairs = space.tables_.keyword_pair.data();
    auto add = [&](const AxisMatch* m) {
      for (std::size_t a = 0; a < k; ++a)
        if (m[a].score > 0.0) sums[a] = sums[a] + m[a].score;
      ++matched;
    };
    // Inlined into the scan: it runs once per token, most often to find the
    // token in the cache.
    auto token = [&](std::size_t b, std::size_t e) __attribute__((always_inline)) {
      const std::size_t length = e - b;
      if (length > Entry::max_length) {
        const std::size_t scored = token_matches(
            space, s, length,
            [&](std::size_t i) { return symbol_of_byte(ascii_lower(token_char(text[b + i], chars))); },
            matches);
        if (scored != 0) add(matches);
        return;
      }
      std::uint64_t words[3];
      key_of(text + b, length, n - b, chars, words);
      std::size_t home = 0;
      if (const Entry* hit = find(s, words, length, home)) {
        for (std::size_t j = 0; j < hit->count; ++j) sums[hit->axis[j]] = sums[hit->axis[j]] + hit->value[j];
        matched += hit->count != 0;
        return;
      }
      // A token none of whose pairs is a keyword's matches no keyword by
      // prefix or by bigrams; it is kept as such.
      const unsigned char* key = reinterpret_cast<const unsigned char*>(words);
      std::uint8_t previous = key_symbols[key[0]];
      bool keyword_pair = false;
      for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t symbol = key_symbols[key[i]];
        keyword_pair |= keyword_pairs[previous * symbol_count + symbol];
        previous = symbol;
      }
      if (!keyword_pair) {
        insert(s, home, words, length, nullptr, k);
        return;
      }
      // Scored from the key just made, not from the text's units again.
      const std::size_t scored =
          token_matches(space, s, length, [&](std::size_t i) { return key_symbols[key[i]]; }, matches);
      if (scored != 0) add(matches);
      if (scored <= Entry::max_axes) insert(s, home, words, length, matches, k);
    };
    const bool any = for_each_piece(text, n, space.spec_.split, chars, token);
    std::fill(out, out + k, 0.0);
    if (!any) return TextForm::no_tokens;
    if (matched == 0) return TextForm::no_match;
    double squares = sums[0] * sums[0];
    for (std::size_t a = 1; a < k; ++a) squares = squares + sums[a] * sums[a];
    const double length = std::sqrt(squares);
    if (!(length > 0.0)) return TextForm::zero_length;
    for (std::size_t a = 0; a < k; ++a) out[a] = sums[a] / length;
    return TextForm::normalised;
  }

  template <class Unit>
  static void explain(const Space& space, const Unit* text, std::size_t n, std::vector<Space::Explained>& out,
                      SpaceScratch& s) {
    const std::size_t k = space.axis_count();
    AxisMatch* matches = s.matches_.data();
    const auto& chars = space.spec_.fold ? folded_chars : plain_chars;
    for_each_piece(text, n, space.spec_.split, chars, [&](std::size_t b, std::size_t e) {
      auto symbol_at = [&](std::size_t i) {
        return symbol_of_byte(ascii_lower(token_char(text[b + i], chars)));
      };
      if (token_matches(space, s, e - b, symbol_at, matches) == 0) return;
      std::string token(e - b, '\0');
      for (std::size_t i = 0; i < token.size(); ++i) token[i] = ascii_lower(token_char(text[b + i], chars));
      for (std::size_t a = 0; a < k; ++a)
        if (matches[a].score > 0.0) out.push_back({token, b, a, matches[a]});
    });
  }
};

// --- building -------------------------------------------------------------

namespace {

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
    build_general(own, space->keywords_, space->tables_);
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

// --- the space --------------------------------------------------------------

std::size_t Space::axis_of(std::size_t keyword) const {
  return tables_.axis_of[keyword];
}

std::size_t Space::memory() const {
  const GeneralTables& t = tables_;
  std::size_t bytes = sizeof(Space) + (fixed_ ? sizeof(Vocabularies) : 0);
  for (const AxisSpec& axis : spec_.axes) {
    bytes += axis.name.capacity() + axis.keywords.capacity() * sizeof(std::string);
    for (const std::string& word : axis.keywords) bytes += word.capacity() > 15 ? word.capacity() + 1 : 0;
  }
  bytes += keywords_.capacity() * sizeof(std::string_view) + first_keyword_.capacity() * sizeof(std::size_t);
  bytes += t.axis_of.capacity() + t.set_size.capacity() + t.posting_start.capacity() * 4 +
           t.postings.capacity() * 2 + t.posting_min_size.capacity() + t.posting_max_size.capacity() +
           t.root.capacity() * 4 + t.edge_start.capacity() * 4 + t.edge_symbol.capacity() +
           t.edge_node.capacity() * 4 + t.first_keyword.capacity() * 4 + t.threshold.capacity() * 8;
  return bytes;
}

SpaceScratch::SpaceScratch() = default;

SpaceScratch::~SpaceScratch() {
  std::free(cache_);
}

bool SpaceScratch::bind(const Space& space) noexcept {
  if (space_ == &space) return cache_ != nullptr || space.fixed();
  space_ = nullptr;
  try {
    const std::size_t k = space.axis_count();
    sums_.assign(k, 0.0);
    matches_.assign(k, AxisMatch{});
    met_.assign(space.keyword_count(), 0);
    word_ = 0;
    pairs_seen_.assign((details::GeneralTables::pair_count + 63) / 64, 0);
    if (space.fixed()) {
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

double cosine_similarity(const double* v1, const double* v2, std::size_t k) {
  if (k == axis_count) {
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
  if (k == axis_count) {
    const double q[3] = {query[0], query[1], query[2]};
    semv::cosine_similarities(rows, n, q, out);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = cosine_similarity(rows + i * k, query, k);
}

}  // namespace semv
