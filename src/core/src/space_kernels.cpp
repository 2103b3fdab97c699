// The kernels of a space on the general tables: a word's or a token's
// vector by prefix and by bigrams, the token cache of a scratch, and the
// scans that cut a text into tokens and words. They never allocate, but for
// a word of code points outside the symbols and for explanations.
#include "semv/details/space_kernels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "semv/details/tokens.hpp"

namespace semv {

namespace {

using details::feasible_sizes;
using details::GeneralTables;
using details::no_symbol;
using details::SizeRange;
using details::symbol_of_byte;

// What a unit of a text is once folded (when `fold`): the ASCII letter,
// digit or '_' it stands for, case kept, or 0 for a separator.
constexpr std::array<char, 0x180> token_chars(bool fold) {
  std::array<char, 0x180> table{};
  for (char32_t c = 0; c < 128; ++c)
    if (is_token_char(c)) table[c] = static_cast<char>(c);
  if (fold)
    for (const Fold& f : turkish_fold) table[f.from] = f.to;
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

// The steps that read no space and no scratch. Inline, so that the compiler
// weighs them for inlining into the scans that call them once per token.

// First keyword (in space order) that the symbols s[0..n) start with, or
// no_node.
template <class SymbolAt>
inline std::uint32_t prefix_keyword(const GeneralTables& t, std::size_t n, SymbolAt symbol_at) {
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

// The cache key of the token of `length` units at `units` (at most
// Entry::max_length), of which `readable` units may be read: its units
// folded by `chars`, with bit 5 set, zero-padded to three words. Bytes
// without a fold are loaded as words (copied first where the text ends
// within them) and masked, on a little-endian machine, where a word's
// first byte is its low one.
template <class Unit>
inline void key_of(const Unit* units, std::size_t length, std::size_t readable,
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

// The words of the token [begin, end): '_' separates, and a word begins at
// an upper-case letter after a lower-case one or a digit, or before a
// lower-case one after another upper-case one.
template <class Unit, class Piece>
inline void cut_words(const Unit* text, std::size_t begin, std::size_t end,
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

// Calls piece(begin, end) for each token of the text that may match a
// keyword, cut into words when the space splits them; chars is the fold
// table. Returns whether the text holds any token. A token or a word of
// one unit matches nothing (a keyword has two), so it may go unreported.
template <class Unit, class Piece>
inline bool for_each_piece(const Unit* text, std::size_t n, bool split, const std::array<char, 0x180>& chars,
                           Piece piece) {
  // Without a fold, tokens are the runs of ASCII units that the masks of
  // the fixed space's scan find; most spaces neither fold nor split.
  if (&chars == &plain_chars && !split) return details::for_each_token_with_pair<false>(text, n, piece);
  // piece once more, out of line, for the other scans.
  auto one = [&](std::size_t begin, std::size_t end) __attribute__((noinline)) {
    piece(begin, end);
  };
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

}  // namespace

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
std::size_t SpaceKernels::score_bigrams(const Space& space, SpaceScratch& s, std::uint16_t* pairs,
                                        std::size_t pair_count, std::size_t d, AxisMatch* matches) {
  const GeneralTables& t = *space.tables_;
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
std::size_t SpaceKernels::token_matches(const Space& space, SpaceScratch& s, std::size_t n,
                                        SymbolAt symbol_at, AxisMatch* matches) {
  const GeneralTables& t = *space.tables_;
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
bool SpaceKernels::word_matches(const Space& space, SpaceScratch& s, const Unit* w, std::size_t n,
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
  const GeneralTables& t = *space.tables_;
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

// The cached vector of a token, from its key.
const SpaceKernels::Entry* SpaceKernels::find(const SpaceScratch& s, const std::uint64_t (&words)[3],
                                              std::size_t length, std::size_t& home) {
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
    if (e.length == length && e.key[0] == words[0] && e.key[1] == words[1] && e.key[2] == words[2]) return &e;
  }
  return nullptr;
}

// matches: the token's vector, or null for none.
void SpaceKernels::insert(SpaceScratch& s, std::size_t home, const std::uint64_t (&words)[3],
                          std::size_t length, const AxisMatch* matches, std::size_t k) {
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

template <class Unit>
TextForm SpaceKernels::text_vector(const Space& space, const Unit* text, std::size_t n, double* out,
                                   SpaceScratch& s) {
  const std::size_t k = space.axis_count();
  double* sums = s.sums_.data();
  std::fill(sums, sums + k, +0.0);
  AxisMatch* matches = s.matches_.data();
  std::uint64_t matched = 0;
  const auto& chars = space.spec_.fold ? folded_chars : plain_chars;
  const std::uint8_t* keyword_pairs = space.tables_->keyword_pair.data();
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
    const std::size_t scored = token_matches(
        space, s, length, [&](std::size_t i) { return key_symbols[key[i]]; }, matches);
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
void SpaceKernels::explain(const Space& space, const Unit* text, std::size_t n,
                           std::vector<Space::Explained>& out, SpaceScratch& s) {
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

// The entry points, for the three widths of a text's units.
#define SEMV_KERNEL_UNITS(Unit)                                                                   \
  template bool SpaceKernels::word_matches(const Space&, SpaceScratch&, const Unit*, std::size_t, \
                                           AxisMatch*);                                           \
  template TextForm SpaceKernels::text_vector(const Space&, const Unit*, std::size_t, double*,    \
                                              SpaceScratch&);                                     \
  template void SpaceKernels::explain(const Space&, const Unit*, std::size_t,                     \
                                      std::vector<Space::Explained>&, SpaceScratch&);

SEMV_KERNEL_UNITS(std::uint8_t)
SEMV_KERNEL_UNITS(std::uint16_t)
SEMV_KERNEL_UNITS(std::uint32_t)

#undef SEMV_KERNEL_UNITS

}  // namespace semv
