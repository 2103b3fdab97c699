// Spaces built at run time: validation, the general tables, and the kernels
// that score words and texts with them.
#include "semv/space.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>

#include "semv/details/token_cache.hpp"
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

// symbol_of_byte as a table.
constexpr std::array<std::uint8_t, 256> byte_symbols = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = symbol_of_byte(static_cast<unsigned char>(c));
  return table;
}();

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

// A 64-bit mix for the token cache, seeded per process.
inline std::uint64_t mix(std::uint64_t h, std::uint64_t word) {
  h = (h ^ word) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 31);
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
  // A keyword kept at a threshold t has c >= t * u >= t * d bigrams in common
  // with the word (u >= d is the union), so it holds one of the word's pairs
  // but the c_need - 1 most common: only the postings of the rarer pairs are
  // read, and each keyword found there is counted by its own pairs.
  static std::size_t score_bigrams(const Space& space, SpaceScratch& s, std::uint16_t* pairs,
                                   std::size_t pair_count, std::size_t d, AxisMatch* matches) {
    const GeneralTables& t = space.tables_;
    const std::size_t k = space.axis_count();
    for (std::size_t a = 0; a < k; ++a) matches[a] = AxisMatch{};
    if (pair_count == 0) return 0;
    const SizeRange sizes = d <= GeneralTables::max_table_bigrams ? SizeRange{t.size_lo[d], t.size_hi[d]}
                                                                  : feasible_sizes(d, t.least_threshold);
    if (sizes.lo > sizes.hi) return 0;
    // The least count of common bigrams that keeps a keyword of each set
    // size at the least threshold (need[s], 0xFF where none), from the table
    // of least kept counts; a word too long for the table has the bound 1.
    std::array<std::uint8_t, max_space_keyword_length> need;
    need.fill(1);
    const bool tabled = d <= GeneralTables::max_table_bigrams;
    if (tabled) {
      const std::uint8_t* least = t.least_kept.data() + t.least_axis * (GeneralTables::max_table_union + 1);
      for (std::size_t size = sizes.lo; size <= sizes.hi; ++size) {
        std::size_t c = 1;
        const std::size_t most = std::min(size, d);
        while (c <= most && c < least[d + size - c]) ++c;
        need[size] = c <= most ? static_cast<std::uint8_t>(c) : 0xFF;
      }
    }
    if (pair_count < *std::min_element(need.begin() + sizes.lo, need.begin() + sizes.hi + 1)) return 0;
    const std::uint32_t* start = t.posting_start.data();
    std::sort(pairs, pairs + pair_count, [start](std::uint16_t x, std::uint16_t y) {
      return start[x + 1] - start[x] < start[y + 1] - start[y];
    });
    std::uint8_t* marks = s.counts_.data();
    std::uint16_t* touched = s.touched_.data();
    std::size_t touched_count = 0;
    const std::uint8_t* set_size = t.set_size.data();
    // A keyword of size s with c >= need[s] common pairs holds one of the
    // word's pair_count - need[s] + 1 rarest: the i-th rarest pair (r =
    // pair_count - i left) is read for the sizes whose need is at most r.
    std::size_t cap = sizes.hi;
    for (std::size_t i = 0; i < pair_count; ++i) {
      const std::size_t r = pair_count - i;
      while (cap >= sizes.lo && need[cap] > r) --cap;
      if (cap < sizes.lo) break;
      const std::uint16_t p = pairs[i];
      if (t.posting_max_size[p] < sizes.lo || t.posting_min_size[p] > cap) continue;
      const std::uint16_t* first = t.postings.data() + start[p];
      const std::uint16_t* last = t.postings.data() + start[p + 1];
      if (set_size[*first] < sizes.lo)
        first = std::partition_point(first, last, [&](std::uint16_t kw) { return set_size[kw] < sizes.lo; });
      for (; first != last && set_size[*first] <= cap; ++first) {
        const std::uint16_t kw = *first;
        if (!marks[kw]) {
          marks[kw] = 1;
          touched[touched_count++] = kw;
        }
      }
    }
    // Each candidate's count, from its pairs against the word's marks; the
    // best per axis as a fraction c / u, compared exactly.
    const std::uint64_t* seen = s.pairs_seen_.data();
    std::array<std::uint32_t, max_space_axes> best_c{}, best_u{}, best_kw{};
    std::size_t scored = 0;
    for (std::size_t i = 0; i < touched_count; ++i) {
      const std::uint16_t kw = touched[i];
      marks[kw] = 0;
      // Counted until more of its pairs are missing than need[size] allows.
      const std::size_t size = set_size[kw];
      if (need[size] > size) continue;
      const std::size_t allowed = size - need[size];
      std::size_t c = 0, missing = 0;
      for (std::uint32_t j = t.keyword_pairs_start[kw];
           j < t.keyword_pairs_start[kw + 1] && missing <= allowed; ++j) {
        const std::uint16_t p = t.keyword_pairs[j];
        const std::size_t common = (seen[p / 64] >> (p % 64)) & 1;
        c += common;
        missing += common ^ 1;
      }
      if (missing > allowed) continue;
      const std::size_t u = d + set_size[kw] - c;
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
    const std::uint32_t* start = t.posting_start.data();
    std::uint8_t prev = symbol_at(0);
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint8_t cur = symbol_at(i);
      const std::uint16_t p = static_cast<std::uint16_t>(prev * symbol_count + cur);
      const std::uint64_t bit = std::uint64_t{1} << (p % 64);
      if (!(seen[p / 64] & bit)) {
        seen[p / 64] |= bit;
        all[distinct++] = p;
        if (start[p] != start[p + 1]) pairs[count++] = p;
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
      const std::uint32_t* start = t.posting_start.data();
      for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::uint8_t a = symbol_at(i), b = symbol_at(i + 1);
        if (a != no_symbol && b != no_symbol) {
          const std::uint16_t p = static_cast<std::uint16_t>(a * symbol_count + b);
          const std::uint64_t bit = std::uint64_t{1} << (p % 64);
          if (!(seen[p / 64] & bit)) {
            seen[p / 64] |= bit;
            marked.push_back(p);
            if (start[p] != start[p + 1]) pairs.push_back(p);
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

  // The cached vector of a token, from its bytes zero-padded to three words.
  static const Entry* find(const SpaceScratch& s, const std::uint64_t (&words)[3], std::size_t length,
                           std::size_t& home) {
    std::uint64_t h = s.cache_seed_;
    h = mix(h, words[0]);
    h = mix(h, words[1]);
    h = mix(h, words[2] + length);
    home = static_cast<std::size_t>(h >> 20) & (Entry::capacity - 1);
    for (std::size_t probe = 0, slot = home; probe < Entry::max_probes;
         ++probe, slot = (slot + 1) & (Entry::capacity - 1)) {
      const Entry& e = s.cache_[slot];
      if (e.length == 0) return nullptr;
      if (e.length == length && e.key[0] == words[0] && e.key[1] == words[1] && e.key[2] == words[2])
        return &e;
    }
    return nullptr;
  }

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
    for (std::size_t a = 0; a < k; ++a)
      if (matches[a].score > 0.0) {
        e.axis[e.count] = static_cast<std::uint8_t>(a);
        e.value[e.count++] = matches[a].score;
      }
  }

  // Calls piece(begin, end) for each token of the text, cut into words when
  // the space splits them; chars is the fold table. Returns whether the text
  // holds any token.
  template <class Unit, class Piece>
  static bool for_each_piece(const Unit* text, std::size_t n, bool split,
                             const std::array<char, 0x180>& chars, Piece piece) {
    bool any = false;
    std::size_t i = 0;
    while (i < n) {
      while (i < n && token_char(text[i], chars) == 0) ++i;
      if (i == n) break;
      const std::size_t begin = i;
      while (i < n && token_char(text[i], chars) != 0) ++i;
      const std::size_t end = i;
      any = true;
      if (!split) {
        piece(begin, end);
        continue;
      }
      // Cuts within the token, by offsets from its first unit.
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
    return any;
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
    const std::uint8_t* symbols = byte_symbols.data();
    const bool any = for_each_piece(text, n, space.spec_.split, chars, [&](std::size_t b, std::size_t e) {
      const std::size_t length = e - b;
      std::uint64_t words[3] = {0, 0, 0};
      char* key = reinterpret_cast<char*>(words);
      std::size_t home = 0;
      std::size_t scored = 0;
      if (length <= Entry::max_length) {
        // Its bytes, and whether any of its pairs is a keyword's: a token
        // without one matches no keyword by prefix or by bigrams.
        key[0] = ascii_lower(token_char(text[b], chars));
        std::uint8_t previous = symbols[static_cast<unsigned char>(key[0])];
        bool keyword_pair = false;
        for (std::size_t i = 1; i < length; ++i) {
          key[i] = ascii_lower(token_char(text[b + i], chars));
          const std::uint8_t symbol = symbols[static_cast<unsigned char>(key[i])];
          keyword_pair |= keyword_pairs[previous * symbol_count + symbol];
          previous = symbol;
        }
        if (!keyword_pair) return;
        if (const Entry* hit = find(s, words, length, home)) {
          for (std::size_t j = 0; j < hit->count; ++j)
            sums[hit->axis[j]] = sums[hit->axis[j]] + hit->value[j];
          matched += hit->count != 0;
          return;
        }
        // Scored from the bytes just made, not from the text's units again.
        scored = token_matches(
            space, s, length, [&](std::size_t i) { return symbols[static_cast<unsigned char>(key[i])]; },
            matches);
      } else {
        scored = token_matches(
            space, s, length,
            [&](std::size_t i) { return symbol_of_byte(ascii_lower(token_char(text[b + i], chars))); },
            matches);
      }
      if (scored != 0) {
        for (std::size_t a = 0; a < k; ++a)
          if (matches[a].score > 0.0) sums[a] = sums[a] + matches[a].score;
        ++matched;
      }
      if (length <= Entry::max_length && scored <= Entry::max_axes)
        insert(s, home, words, length, matches, k);
    });
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
  t.posting_start.assign(GeneralTables::pair_count + 1, 0);
  for (std::size_t p = 0; p < GeneralTables::pair_count; ++p)
    t.posting_start[p + 1] = t.posting_start[p] + per_pair[p];
  t.postings.resize(pairs_of.size());
  std::vector<std::uint32_t> next(t.posting_start.begin(), t.posting_start.end() - 1);
  std::vector<std::uint32_t> by_size(n);
  std::iota(by_size.begin(), by_size.end(), 0u);
  std::stable_sort(by_size.begin(), by_size.end(),
                   [&](std::uint32_t x, std::uint32_t y) { return t.set_size[x] < t.set_size[y]; });
  for (std::uint32_t kw : by_size)
    for (std::uint32_t i = pairs_start[kw]; i < pairs_start[kw + 1]; ++i)
      t.postings[next[pairs_of[i]]++] = static_cast<std::uint16_t>(kw);
  t.keyword_pairs_start = std::move(pairs_start);
  t.keyword_pairs = std::move(pairs_of);
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
  t.keyword_pair.assign(GeneralTables::pair_count, 0);
  for (std::size_t p = 0; p < GeneralTables::pair_count; ++p)
    t.keyword_pair[p] = t.posting_start[p] != t.posting_start[p + 1];
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
    counts_.assign(space.keyword_count(), 0);
    touched_.assign(space.keyword_count(), 0);
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
