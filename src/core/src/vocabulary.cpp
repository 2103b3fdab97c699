// The vocabularies, built by the compiler, and checks of them against their
// published figures.
#include "semv/vocabulary.hpp"

namespace semv {

constexpr Vocabularies vocabularies = built_vocabularies();

namespace {

constexpr std::size_t set_size_sum(Axis axis) {
  std::size_t sum = 0;
  const BigramList& list = vocabularies.bigrams[index_of(axis)];
  for (std::size_t k = 0; k < list.size; ++k) sum += list.sets[k].size;
  return sum;
}

constexpr std::size_t distinct_bigrams(Axis axis) {
  std::array<bool, max_keyword_bigrams> seen{};
  std::size_t count = 0;
  const BigramList& list = vocabularies.bigrams[index_of(axis)];
  for (std::size_t k = 0; k < list.size; ++k)
    for (std::size_t i = 0; i < list.sets[k].size; ++i)
      if (!seen[list.sets[k].pairs[i]]) {
        seen[list.sets[k].pairs[i]] = true;
        ++count;
      }
  return count;
}

constexpr bool keywords_unique() {
  for (std::size_t i = 0; i < vocabularies.prefix_keyword_count; ++i)
    for (std::size_t j = i + 1; j < vocabularies.prefix_keyword_count; ++j)
      if (vocabularies.prefix_keywords[i].text == vocabularies.prefix_keywords[j].text) return false;
  return vocabularies.prefix_keyword_count == keyword_count && keyword_count == 28 + 28 + 35;
}

constexpr std::size_t set_size(Axis axis, std::size_t k) {
  return vocabularies.bigrams[index_of(axis)].sets[k].size;
}

static_assert(vocabularies.keywords[0].size == 28 && vocabularies.keywords[1].size == 28 &&
              vocabularies.keywords[2].size == 35);
static_assert(vocabularies.bigrams[0].size == 28 && vocabularies.bigrams[1].size == 28 &&
              vocabularies.bigrams[2].size == 35);
static_assert(set_size_sum(Axis::x) == 123 && set_size_sum(Axis::y) == 136 && set_size_sum(Axis::z) == 133);
static_assert(distinct_bigrams(Axis::x) == 95 && distinct_bigrams(Axis::y) == 94 &&
              distinct_bigrams(Axis::z) == 89);
static_assert(keywords_unique());

// number_byte_pairs looks only at A-Z and a-z: no other byte lowers onto a-z.
constexpr bool only_ascii_letters_lower_onto_letters() {
  for (char32_t c = 0; c < 256; ++c) {
    const bool ascii_letter = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
    if ((symbol_of(details::simple_lower(c)) < 26) != ascii_letter) return false;
  }
  return true;
}
static_assert(only_ascii_letters_lower_onto_letters());
static_assert(set_size(Axis::x, 12) == 7 && set_size(Axis::x, 27) == 5);  // "terminate", "istisna"
static_assert(set_size(Axis::z, 2) == 1);                                 // "db"
constexpr std::uint16_t db_pair = vocabularies.pair_number[symbol_of('d')][symbol_of('b')];
static_assert(vocabularies.smallest_set_with_pair[db_pair] == 1);  // "db"
static_assert(set_size(Axis::x, 13) == 9 && set_size(Axis::y, 16) == 9 && set_size(Axis::z, 23) == 9);

// Each slot has a field of its own in the rows of keywords_with_pair, and
// the fields of a keyword's slot add up to its set's size.
constexpr bool slot_fields_hold_the_sets() {
  for (std::size_t a = 0; a < keyword_slots; ++a) {
    if (slot_byte(a) >= slot_bytes) return false;
    for (std::size_t b = a + 1; b < keyword_slots; ++b)
      if (slot_byte(a) == slot_byte(b) && slot_shift(a) == slot_shift(b)) return false;
    std::size_t count = 0;
    for (const auto& row : vocabularies.keywords_with_pair)
      count += (row[slot_byte(a)] >> slot_shift(a)) & 0x0F;
    if (count != vocabularies.set_size[a]) return false;
  }
  return true;
}
static_assert(slot_fields_hold_the_sets());

// A count passes least_common exactly when the threshold, compared in
// doubles, keeps its score; a slot without a keyword passes for none.
constexpr bool least_common_is_the_threshold() {
  const std::size_t used = vocabularies.first_slot[axis_count];
  for (std::size_t d = 1; d <= max_scoring_bigrams; ++d)
    for (std::size_t slot = 0; slot < keyword_slots; ++slot) {
      const std::uint8_t least = vocabularies.least_common[d][slot];
      if (slot >= used) {
        if (least != 0xFF) return false;
        continue;
      }
      const std::size_t s = vocabularies.set_size[slot];
      for (std::size_t c = 0; c <= s && c <= d; ++c)
        if ((static_cast<double>(c) / static_cast<double>(d + s - c) >= score_threshold) != (c >= least))
          return false;
    }
  return true;
}
static_assert(least_common_is_the_threshold());

}  // namespace
}  // namespace semv
