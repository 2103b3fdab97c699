// The axis vocabularies: keyword lists and their bigram sets, with the
// lookup tables the word vector uses to scan prefixes and score bigrams.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "semv/characters.hpp"
#include "semv/details/lower_case.hpp"

namespace semv {

enum class Axis : std::uint8_t { x = 0, y = 1, z = 2 };
inline constexpr std::size_t axis_count = 3;
inline constexpr std::array<Axis, axis_count> axes{Axis::x, Axis::y, Axis::z};

constexpr std::size_t index_of(Axis axis) {
  return static_cast<std::size_t>(axis);
}

// The axes' names, where a person reads them (the package, the command).
inline constexpr std::array<std::string_view, axis_count> axis_names{"fault", "security", "data"};

// Faults, errors and stopping.
inline constexpr std::array<std::string_view, 28> x_keywords{
    "error", "fail",  "crash",     "bug",        "warning", "exception", "fatal", "timeout", "kill",  "stop",
    "exit",  "quit",  "terminate", "disconnect", "break",   "close",     "abort", "hata",    "ariza", "cokme",
    "bozuk", "kusur", "problem",   "sorun",      "engel",   "limit",     "uyari", "istisna"};

// Security, identity and access.
inline constexpr std::array<std::string_view, 28> y_keywords{
    "auth",    "login",     "password",   "key",  "token",    "user",    "admin",
    "secure",  "crypto",    "cert",       "ssh",  "encrypt",  "decrypt", "privilege",
    "allow",   "denied",    "permission", "sign", "guvenlik", "giris",   "sifre",
    "anahtar", "kullanici", "yetki",      "izin", "yasak",    "kripto",  "sertifika"};

// Data, storage and queries.
inline constexpr std::array<std::string_view, 35> z_keywords{
    "database", "sql",     "db",     "file",   "save",  "write",      "read",   "query", "list",
    "select",   "update",  "insert", "delete", "table", "column",     "row",    "csv",   "json",
    "xml",      "storage", "log",    "veri",   "dosya", "veritabani", "kayit",  "yaz",   "oku",
    "sorgu",    "liste",   "tablo",  "sutun",  "satir", "depo",       "gunluk", "bellek"};

constexpr std::span<const std::string_view> keyword_source(Axis axis) {
  switch (axis) {
    case Axis::x: return x_keywords;
    case Axis::y: return y_keywords;
    case Axis::z: break;
  }
  return z_keywords;
}

inline constexpr std::size_t max_keywords_per_axis = 35;
inline constexpr std::size_t max_keyword_length = 10;
inline constexpr std::size_t max_bigrams_per_keyword = max_keyword_length - 1;
inline constexpr std::size_t keyword_count = x_keywords.size() + y_keywords.size() + z_keywords.size();

// Scores below this are dropped from a fallback vector.
inline constexpr double score_threshold = 0.4;

// The same threshold as a fraction, for the word vector's tests in integers:
// a score c / u is kept when threshold_denominator * c >= threshold_numerator * u.
inline constexpr std::uint32_t threshold_numerator = 2, threshold_denominator = 5;

// Scores have a union of fewer than 40 bigrams (at most 22 of the word's, see
// details/bigrams.hpp, and 9 of a keyword's), and for all of them the test in
// integers keeps exactly the scores that the comparison of doubles keeps.
constexpr bool threshold_test_is_exact() {
  for (std::uint32_t u = 1; u < 40; ++u)
    for (std::uint32_t c = 0; c <= u; ++c)
      if ((static_cast<double>(c) / u >= score_threshold) !=
          (threshold_denominator * c >= threshold_numerator * u))
        return false;
  return true;
}
static_assert(threshold_test_is_exact());

// Code points that may occur in a text token, once lower-cased: a-z, 0-9, '_'.
// Each has a symbol number, and every ordered pair of symbols a pair number;
// the bigrams that occur in keywords take the lowest pair numbers. Every
// other code point has the one symbol other_symbol, and a pair with it has
// the pair number other_pair.
inline constexpr std::size_t symbol_count = 26 + 10 + 1;
inline constexpr std::size_t symbol_pair_count = symbol_count * symbol_count;
// Room for the distinct keyword bigrams of all axes (checked when they are
// numbered): the rows of keywords_with_pair, 9 KiB in all.
inline constexpr std::size_t max_keyword_bigrams = 192;
inline constexpr std::uint8_t other_symbol = symbol_count;
inline constexpr std::uint16_t other_pair = 0xFFFE;

constexpr std::uint8_t symbol_of(char32_t c) {
  if (c >= U'a' && c <= U'z') return static_cast<std::uint8_t>(c - U'a');
  if (c >= U'0' && c <= U'9') return static_cast<std::uint8_t>(26 + (c - U'0'));
  if (c == U'_') return 36;
  return other_symbol;
}

// The symbols are the keyword characters, all of them.
static_assert([] {
  for (char32_t c = 0; c < 128; ++c)
    if ((symbol_of(c) != other_symbol) != is_keyword_char(c)) return false;
  return true;
}());

// A keyword list as the word vector scans it.
struct KeywordList {
  std::array<std::string_view, max_keywords_per_axis> words{};
  std::uint8_t size = 0;
};

// The bigram set of one keyword, as pair numbers (all below max_keyword_bigrams).
struct BigramSet {
  std::array<std::uint16_t, max_bigrams_per_keyword> pairs{};
  std::uint8_t size = 0;
};

// One bigram set per keyword of an axis, index-aligned with its keyword list.
struct BigramList {
  std::array<BigramSet, max_keywords_per_axis> sets{};
  std::uint8_t size = 0;
};

// A keyword as the prefix scan compares it, 16 bytes so that one is found
// from its index by a shift.
struct alignas(16) PrefixKeyword {
  std::array<char, max_keyword_length> text{};
  std::uint8_t length = 0;
  Axis axis = Axis::x;
};

static_assert(sizeof(PrefixKeyword) == 16);

// The keywords that begin with one keyword bigram, X before Y before Z, as
// indexes into Vocabularies::prefix_keywords.
struct PrefixCandidates {
  // The most keywords that share their first two letters (checked when built),
  // so that the candidates fit in one 8-byte record.
  static constexpr std::size_t capacity = 7;
  std::array<std::uint8_t, capacity> keyword{};
  std::uint8_t size = 0;
};

// A slot per keyword, padded to whole 32-slot rows for the SIMD counts.
inline constexpr std::size_t keyword_slots = (keyword_count + 31) / 32 * 32;

// Where a slot's count lies in a row of keywords_with_pair, a 4-bit field
// each: 16 bytes hold 32 slots, the first 16 in their low halves. No count
// exceeds 9, so sums of rows never carry out of a field.
inline constexpr std::size_t slot_bytes = keyword_slots / 2;
constexpr std::size_t slot_byte(std::size_t slot) {
  return 16 * (slot / 32) + slot % 16;
}
constexpr unsigned slot_shift(std::size_t slot) {
  return 4 * (slot / 16 % 2);
}
static_assert(max_bigrams_per_keyword < 16);

// A word of more than max_scoring_bigrams distinct bigrams scores nothing: a
// kept score c / u, with c <= 9 bigrams in common and u >= the word's d,
// needs threshold_denominator * c >= threshold_numerator * u.
inline constexpr std::size_t max_scoring_bigrams =
    threshold_denominator * max_bigrams_per_keyword / threshold_numerator;
static_assert(max_scoring_bigrams == 22);

// The least count c of common bigrams that keeps a score against a keyword
// of s bigrams and a word of d: (num + den) * c >= num * (s + d), from
// den * c >= num * (d + s - c).
constexpr std::uint8_t least_kept_common(std::size_t s, std::size_t d) {
  constexpr std::size_t num = threshold_numerator, sum = threshold_numerator + threshold_denominator;
  return static_cast<std::uint8_t>((num * (s + d) + sum - 1) / sum);
}

inline constexpr std::uint16_t unnumbered_pair = 0xFFFF;
// In Vocabularies::byte_pair_keyword: a pair that is no keyword bigram.
inline constexpr std::uint8_t no_keyword_pair = 0xFF;

// Two consecutive bytes as they lie in memory, read as one 16-bit number.
constexpr std::uint16_t byte_pair_index(std::uint8_t first, std::uint8_t second) {
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::uint16_t>(second << 8 | first);
  return static_cast<std::uint16_t>(first << 8 | second);
}

struct Vocabularies {
  std::array<KeywordList, axis_count> keywords{};
  std::array<BigramList, axis_count> bigrams{};
  // Prefix scan: the keywords, and the candidates by the keyword bigram that
  // a word begins with (built last, once the bigrams are numbered).
  std::array<PrefixKeyword, keyword_count> prefix_keywords{};
  std::uint8_t prefix_keyword_count = 0;
  std::array<PrefixCandidates, max_keyword_bigrams> prefix_candidates{};
  // Pair number of each pair of symbols, other_symbol's included, in rows of
  // 64 so that a row begins at a shift of its symbol.
  std::array<std::array<std::uint16_t, 64>, symbol_count + 1> pair_number = [] {
    std::array<std::array<std::uint16_t, 64>, symbol_count + 1> numbers{};
    for (auto& row : numbers) row.fill(other_pair);
    for (std::size_t s = 0; s < symbol_count; ++s)
      for (std::size_t t = 0; t < symbol_count; ++t) numbers[s][t] = unnumbered_pair;
    return numbers;
  }();
  // Every keyword has a slot: axis X's keywords first, then Y's, then Z's.
  // In row p of keywords_with_pair, a slot's field (slot_byte, slot_shift)
  // is 1 when the slot's keyword has bigram p, else 0.
  alignas(16) std::array<std::array<std::uint8_t, slot_bytes>, max_keyword_bigrams> keywords_with_pair{};
  // The size of each slot's bigram set, 0 for a slot without a keyword.
  std::array<std::uint8_t, keyword_slots> set_size{};
  // least_kept_common by a word's distinct bigrams d and the slot; 0xFF,
  // which no count reaches, where there is no keyword.
  alignas(16) std::array<std::array<std::uint8_t, keyword_slots>, max_scoring_bigrams + 1> least_common{};
  // The size of the smallest bigram set among the keywords that have bigram p.
  std::array<std::uint8_t, max_keyword_bigrams> smallest_set_with_pair = [] {
    std::array<std::uint8_t, max_keyword_bigrams> sizes{};
    sizes.fill(0xFF);
    return sizes;
  }();
  std::array<std::uint8_t, axis_count + 1> first_slot{};
  std::uint16_t keyword_bigram_count = 0;
  // The keyword bigram of each pair of units below 256 once lower-cased
  // (details/lower_case.hpp), or no_keyword_pair, by byte_pair_index: for
  // the words and tokens stored in bytes, one load of both units and one
  // lookup.
  std::array<std::uint8_t, 256 * 256> byte_pair_keyword{};
};

namespace details {

constexpr void throw_if(bool failed, const char* what) {
  // During constant evaluation a vocabulary that breaks an invariant of the
  // tables above stops compilation; at run time the builder catches it.
  if (failed) throw what;
}

}  // namespace details

// The keyword lists the tables are built from, one per axis in axis order.
using KeywordSources = std::array<std::span<const std::string_view>, axis_count>;

inline constexpr KeywordSources default_keyword_sources{x_keywords, y_keywords, z_keywords};

// Builds the keyword list of one axis and adds its words to the prefix scan.
constexpr void build_keywords(Vocabularies& v, Axis axis, std::span<const std::string_view> words) {
  auto& list = v.keywords[index_of(axis)];
  details::throw_if(words.size() > max_keywords_per_axis, "keywords per axis");
  for (std::string_view word : words) {
    details::throw_if(word.size() < 2 || word.size() > max_keyword_length, "keyword length");
    for (char c : word) details::throw_if(c < 'a' || c > 'z', "keyword letter");
    list.words[list.size++] = word;
    bool present = false;
    for (std::size_t i = 0; i < v.prefix_keyword_count; ++i) {
      const PrefixKeyword& known = v.prefix_keywords[i];
      present = present || std::string_view(known.text.data(), known.length) == word;
    }
    if (present) continue;
    details::throw_if(v.prefix_keyword_count == keyword_count, "keyword capacity");
    PrefixKeyword& entry = v.prefix_keywords[v.prefix_keyword_count++];
    for (std::size_t i = 0; i < word.size(); ++i) entry.text[i] = word[i];
    entry.length = static_cast<std::uint8_t>(word.size());
    entry.axis = axis;
  }
}

// The prefix candidates of each keyword bigram, in the keywords' order.
constexpr void index_prefixes(Vocabularies& v) {
  for (std::uint8_t k = 0; k < v.prefix_keyword_count; ++k) {
    const PrefixKeyword& keyword = v.prefix_keywords[k];
    PrefixCandidates& cands =
        v.prefix_candidates[v.pair_number[symbol_of(keyword.text[0])][symbol_of(keyword.text[1])]];
    details::throw_if(cands.size == PrefixCandidates::capacity, "prefix capacity");
    cands.keyword[cands.size++] = k;
  }
}

// Builds the bigram list of one axis from its finished keyword list,
// numbering the keyword bigrams it is the first to have.
constexpr void build_bigrams(Vocabularies& v, Axis axis) {
  const auto& words = v.keywords[index_of(axis)];
  auto& list = v.bigrams[index_of(axis)];
  const std::size_t a = index_of(axis);
  v.first_slot[a + 1] = static_cast<std::uint8_t>(v.first_slot[a] + words.size);
  details::throw_if(v.first_slot[a + 1] > keyword_slots, "slot capacity");
  for (std::size_t k = 0; k < words.size; ++k) {
    std::string_view word = words.words[k];
    BigramSet set{};
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
      std::uint16_t& number = v.pair_number[symbol_of(word[i])][symbol_of(word[i + 1])];
      if (number == unnumbered_pair) {
        details::throw_if(v.keyword_bigram_count == max_keyword_bigrams, "bigram capacity");
        number = v.keyword_bigram_count++;
      }
      bool present = false;
      for (std::size_t j = 0; j < set.size; ++j) present = present || set.pairs[j] == number;
      if (present) continue;
      set.pairs[set.size++] = number;
      const std::size_t slot = v.first_slot[a] + k;
      v.keywords_with_pair[number][slot_byte(slot)] |= static_cast<std::uint8_t>(1u << slot_shift(slot));
    }
    list.sets[k] = set;
    v.set_size[v.first_slot[a] + k] = set.size;
    for (std::size_t j = 0; j < set.size; ++j)
      v.smallest_set_with_pair[set.pairs[j]] = std::min(v.smallest_set_with_pair[set.pairs[j]], set.size);
    ++list.size;
  }
}

// The least counts that keep a score, slot by slot, once every slot is filled.
constexpr void fill_least_common(Vocabularies& v) {
  for (std::size_t d = 0; d <= max_scoring_bigrams; ++d)
    for (std::size_t slot = 0; slot < keyword_slots; ++slot)
      v.least_common[d][slot] =
          slot < v.first_slot[axis_count] ? least_kept_common(v.set_size[slot], d) : 0xFF;
}

// Every pair of symbols that is no keyword bigram is numbered after them.
constexpr void number_other_pairs(Vocabularies& v) {
  std::uint16_t next = v.keyword_bigram_count;
  for (auto& row : v.pair_number)
    for (auto& cell : row)
      if (cell == unnumbered_pair) cell = next++;
}

// The keyword bigrams by their bytes, from the finished pair numbers. Only
// the bytes that lower onto a-z begin or end one, which keeps the work of
// the compiler's evaluation small.
constexpr void number_byte_pairs(Vocabularies& v) {
  details::throw_if(v.keyword_bigram_count > no_keyword_pair, "byte pair capacity");
  v.byte_pair_keyword.fill(no_keyword_pair);
  std::array<std::uint8_t, 2 * 26> letters{};
  for (std::uint8_t c = 0; c < 26; ++c) {
    letters[2 * c] = static_cast<std::uint8_t>('a' + c);
    letters[2 * c + 1] = static_cast<std::uint8_t>('A' + c);
  }
  for (std::uint8_t first : letters)
    for (std::uint8_t second : letters) {
      const std::uint16_t p =
          v.pair_number[symbol_of(details::simple_lower(first))][symbol_of(details::simple_lower(second))];
      if (p < v.keyword_bigram_count)
        v.byte_pair_keyword[byte_pair_index(first, second)] = static_cast<std::uint8_t>(p);
    }
}

// All seven steps in their order, into a value-initialised `v`: the keyword
// lists X, Y, Z, then the bigram lists; then the tables drawn from them. The
// compiler runs it on the default lists; a space of three axes that fits the
// tables' capacities runs it at run time, where a broken capacity throws the
// const char* that names it (caught where the space is built).
constexpr void build_vocabularies(Vocabularies& v, const KeywordSources& sources) {
  for (Axis axis : axes) build_keywords(v, axis, sources[index_of(axis)]);
  for (Axis axis : axes) build_bigrams(v, axis);
  fill_least_common(v);
  number_other_pairs(v);
  number_byte_pairs(v);
  index_prefixes(v);
}

constexpr Vocabularies built_vocabularies() {
  Vocabularies v{};
  build_vocabularies(v, default_keyword_sources);
  return v;
}

// The vocabularies, built by the compiler (vocabulary.cpp).
extern const Vocabularies vocabularies;

}  // namespace semv
